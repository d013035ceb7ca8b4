# -*- coding: utf-8 -*-
"""The counts of the module that README.md states, in its one table of them, against the
module as built; the table of contents of README.md and of each document of docs/ that has
one against its headings; and every relative link of these documents leads, in the clone, to
a file and, with a fragment, to a heading of it."""
from __future__ import print_function

import glob
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
    return [(len(m.group(1)), m.group(2))
            for m in re.finditer(r'^(#+) (.+)$', unfenced(text), re.M)]


def anchor(title):
    """GitHub's anchor of a heading."""
    return re.sub(r'[^\w\- ]', '', title.lower()).replace(' ', '-')


def documents():
    """README.md and the documents of docs/ it links."""
    readme = os.environ['VEK_TEST_README']
    return [readme] + sorted(glob.glob(os.path.join(os.path.dirname(readme), 'docs', '*.md')))


def read(path):
    with io.open(path, encoding='utf-8') as f:
        return f.read()


def unfenced(text):
    """The text outside the fenced blocks."""
    kept, fenced = [], False
    for line in text.split('\n'):
        if line.startswith('```'):
            fenced = not fenced
        elif not fenced:
            kept.append(line)
    return '\n'.join(kept)


class ReadmeContentsTest(unittest.TestCase):
    def test_the_contents_list_every_section_in_order(self):
        text = readme_text()
        self.assertEqual(text.count('\n## Contents\n\n'), 1, 'README.md needs one "## Contents" list')
        for path in documents():
            text = read(path)
            if '\n## Contents\n\n' not in text:
                continue
            listed = []
            for line in text.split('\n## Contents\n\n')[1].split('\n\n')[0].split('\n'):
                match = re.match(r'^((?:  )*)- \[(.+)\]\(#([\w-]+)\)$', line)
                self.assertTrue(match, path + ': not an entry of the contents: ' + line)
                listed.append((2 + len(match.group(1)) // 2, match.group(2), match.group(3)))
            sections = [(level, title, anchor(title)) for level, title in headings(text)
                        if level in (2, 3) and title != 'Contents']
            self.assertEqual(listed, sections, path + ': its contents are not its sections (level, title, anchor)')

    def test_every_link_leads_to_a_file_and_a_heading(self):
        for path in documents():
            for target in sorted(set(re.findall(r'\]\(([^)\s]+)\)', unfenced(read(path))))):
                if re.match(r'^[a-z]+:', target):
                    continue  # not a file of the clone
                name, _, fragment = target.partition('#')
                linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                self.assertTrue(os.path.isfile(linked), '%s: %s leads to no file' % (path, target))
                if fragment and linked.endswith('.md'):
                    anchors = set(anchor(title) for _, title in headings(read(linked)))
                    anchors.update(re.findall(r'<a id="([\w-]+)"></a>', read(linked)))
                    self.assertIn(fragment, anchors, '%s: %s leads to no heading' % (path, target))


if __name__ == '__main__':
    unittest.main()
