# -*- coding: utf-8 -*-
"""The counts of the module that README.md states, in its one table of them, against the
module as built; and its table of contents against its headings."""
from __future__ import print_function

import io
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


def readme_text():
    with io.open(os.environ['VEK_TEST_README'], encoding='utf-8') as f:
        return f.read()


def headings(text):
    """(level, title) of each heading outside the fenced blocks."""
    found, fenced = [], False
    for line in text.split('\n'):
        if line.startswith('```'):
            fenced = not fenced
        elif not fenced:
            match = re.match(r'^(#+) (.+)$', line)
            if match:
                found.append((len(match.group(1)), match.group(2)))
    return found


def anchor(title):
    """GitHub's anchor of a heading."""
    return re.sub(r'[^\w\- ]', '', title.lower()).replace(' ', '-')


class ReadmeContentsTest(unittest.TestCase):
    def test_the_contents_list_every_section_in_order(self):
        text = readme_text()
        self.assertEqual(text.count('\n## Contents\n\n'), 1, 'README.md needs one "## Contents" list')
        listed = []
        for line in text.split('\n## Contents\n\n')[1].split('\n\n')[0].split('\n'):
            match = re.match(r'^((?:  )*)- \[(.+)\]\(#([\w-]+)\)$', line)
            self.assertTrue(match, 'not an entry of the contents: ' + line)
            listed.append((2 + len(match.group(1)) // 2, match.group(2), match.group(3)))
        sections = [(level, title, anchor(title)) for level, title in headings(text)
                    if level in (2, 3) and title != 'Contents']
        self.assertEqual(listed, sections, 'README.md: its contents are not its sections (level, title, anchor)')

    def test_every_link_within_leads_to_a_heading(self):
        text = readme_text()
        anchors = set(anchor(title) for _, title in headings(text))
        self.assertEqual(sorted(set(re.findall(r'\]\(#([\w-]+)\)', text)) - anchors), [])


if __name__ == '__main__':
    unittest.main()
