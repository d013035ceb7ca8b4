# -*- coding: utf-8 -*-
"""The counts of the module that README.md states, in its one table of them, against the
module as built."""
from __future__ import print_function

import os
import re
import unittest

import _Tavrel

COUNTS_MARKER = '<!-- counts:'


def readme_counts():
    """The numbers of the counts table, in its order."""
    lines = open(os.environ['VEK_TEST_README']).read().split('\n')
    starts = [n for n, line in enumerate(lines) if line.startswith(COUNTS_MARKER)]
    assert len(starts) == 1, 'README.md needs exactly one counts table'
    numbers = []
    for line in lines[starts[0] + 3:]:  # past the marker, the header and the rule
        match = re.match(r'^\|.*\| (\d+) \|$', line)
        if not match:
            break
        numbers.append(int(match.group(1)))
    return numbers


def sigapi_lines(name):
    return [line for line in open(os.path.join(os.environ['VEK_TEST_SIGAPI'], name)).read().split('\n')
            if line.strip() and not line.startswith('#')]


class ReadmeCountsTest(unittest.TestCase):
    def test_the_counts_are_the_module_s(self):
        functions = re.findall(r'^KT_FN(?:_ANY)?\(KT(\w+)', '\n'.join(sigapi_lines('kt_functions.def')), re.M)
        constants = [line.split()[0] for line in sigapi_lines('constants.txt')]
        _Tavrel.KTLoad()  # binds every function of the list, or raises
        _Tavrel.KTUnload()
        actual = [len(functions),
                  sum(1 for name in functions if callable(getattr(_Tavrel, 'KT_INTERFACE_' + name, None))),
                  sum(1 for name in constants if hasattr(_Tavrel, name))]
        self.assertEqual(len(constants), actual[2], 'constants.txt names constants the module lacks')
        self.assertEqual(readme_counts(), actual,
                         'README.md counts (library functions bound, wrapped, constants) differ from the '
                         'module: update its counts table, the one place for them')


if __name__ == '__main__':
    unittest.main()
