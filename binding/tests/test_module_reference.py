# -*- coding: utf-8 -*-
"""docs/module-reference.md and _Tavrel.pyi against the module itself: every wrapper has its
entry, the stub names what the module holds with the item counts its wrappers parse, the
settings keys are those the getters fill, and every worked example prints what the
reference shows, run as written on the stand-in's default world."""
from __future__ import print_function

import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import _Tavrel
from tavrel_wrapper_kinds import WRAPPERS
from test_refused_texts import TEXT_PLACES
from wrapper_testing import tool_env

REFERENCE = os.environ['VEK_TEST_REFERENCE']
STUB = os.environ['VEK_TEST_STUB']
PYTHON3 = os.environ['VEK_TEST_PYTHON3']
EXTRACT = os.environ['VEK_TEST_EXTRACT']
EXAMPLES = ['sign-verify', 'sign-hash', 'hash-in-parts', 'verify-on-time', 'envelope', 'session', 'context', 'named-key']


def reference():
    return io.open(REFERENCE, encoding='utf-8').read()


def module_names():
    return set(name for name in dir(_Tavrel) if not name.startswith('__'))


def wrappers():
    return set(name for name in module_names() if name.startswith('KT_INTERFACE_')) - {'KT_INTERFACE_swigregister'}


class EntriesTest(unittest.TestCase):
    longMessage = True  # the difference, and the name of what differs
    def test_one_entry_per_wrapper(self):
        headings = re.findall(r'^#### (KT_INTERFACE_\w+)$', reference(), re.M)
        self.assertEqual(len(headings), len(set(headings)))
        self.assertEqual(set(headings), wrappers())

    def test_every_wrapper_taking_a_text_names_code_6(self):
        # A Unicode text that Windows-1251 cannot encode raises code 6 wherever a text goes in.
        encoding = set(kind for kind, (_, takes_text) in TEXT_PLACES.items() if takes_text)
        entries = re.split(r'^#### ', reference(), flags=re.M)[1:]
        checked = 0
        for entry in entries:
            name = entry.split('\n', 1)[0]
            kinds = set(re.findall(r'\| \[([\w-]+)\]\(#kind-', entry))
            if name.startswith('KT_INTERFACE_') and kinds & encoding:
                raises = re.search(r'^- Raises: (.*)$', entry, re.M).group(1)
                self.assertIn('[code 6](#conversion-errors)', raises, name)
                checked += 1
        self.assertEqual(checked, len([name for name, _, _, items in WRAPPERS
                                       if set(kind for kind, _ in items) & encoding]))

    def test_settings_keys_are_those_the_getters_fill(self):
        rows = re.findall(r'^\| `\w+` \| (`KT_INTERFACE_Get\w+Settings`), .*\| (.*) \|$', reference(), re.M)
        self.assertEqual(len(rows), 8)
        _Tavrel.KTLoad()
        t = _Tavrel.KTGetInterface()
        try:
            _Tavrel.KT_INTERFACE_Initialize(t)
            for getter, keys in rows:
                filled = {}
                getattr(_Tavrel, getter.strip('`'))(t, filled)
                self.assertEqual(sorted(filled), sorted(re.findall(r'"(\w+)"', keys)), getter)
            _Tavrel.KT_INTERFACE_Finalize(t)
        finally:
            _Tavrel.KTUnload()


class ConstantsTest(unittest.TestCase):
    def test_every_constant_once_with_its_value(self):
        section = reference().split('\n## Constants\n')[1].split('\n## ')[0]
        rows = re.findall(r'^\| (`.*) \| .* \|$', section, re.M)
        listed = [(name, value) for row in rows for name, value in re.findall(r'`(\w+)` ("\w*"|\d+)', row)]
        constants = [name for name in module_names() if not callable(getattr(_Tavrel, name))]
        self.assertEqual(sorted(name for name, _ in listed), sorted(constants))
        for name, value in listed:
            expected = value[1:-1].encode('ascii') if value.startswith('"') else int(value)
            self.assertEqual(getattr(_Tavrel, name), expected, name)


class StubTest(unittest.TestCase):
    longMessage = True
    def setUp(self):
        text = io.open(STUB, encoding='utf-8').read()
        self.functions = dict((name, params) for name, params in re.findall(r'^def (\w+)\((.*)\) ->', text, re.M))
        self.constants = set(re.findall(r'^(\w+): (?:int|bytes)$', text, re.M))

    def test_names_what_the_module_holds(self):
        self.assertEqual(set(self.functions) | self.constants, module_names())

    def test_every_function_takes_its_arguments_positionally_as_the_stub_says(self):
        for name, params in sorted(self.functions.items()):
            if not params:
                continue
            self.assertTrue(params.endswith(', /'), '%s(%s): not positional-only' % (name, params))
            with self.assertRaises(TypeError, msg=name):
                getattr(_Tavrel, name)(**{re.match(r'(\w+):', params).group(1): None})

    def test_wrappers_take_the_items_they_parse(self):
        for name in sorted(wrappers()):
            params = re.findall(r'(\w+): ', self.functions[name])
            with self.assertRaises(TypeError) as raised:
                getattr(_Tavrel, name)()
            self.assertEqual(str(raised.exception),
                             '%s() takes exactly %d argument%s (0 given)'
                             % (name, len(params), '' if len(params) == 1 else 's'))


class ExamplesTest(unittest.TestCase):
    longMessage = True
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix='tavrel-reference-')

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def extract(self, name):
        path = os.path.join(self.scratch, name)
        subprocess.check_call([PYTHON3, EXTRACT, REFERENCE, name, path], env=tool_env())
        return path

    def test_every_example_is_tested(self):
        self.assertEqual(re.findall(r'^<!-- example: ([\w-]+)\.py -->$', reference(), re.M), EXAMPLES)

    def test_examples_print_what_the_reference_shows(self):
        for name in EXAMPLES:
            script, expected = self.extract(name + '.py'), self.extract(name + '-output')
            # Written for both interpreters: Python 3 compiles it too.
            subprocess.check_call([PYTHON3, '-c', 'import sys; compile(open(sys.argv[1]).read(), sys.argv[1], "exec")',
                                   script], env=tool_env())
            env = dict(os.environ, TAVREL_STANDIN_WORLD=os.path.join(self.scratch, name + '.world.json'))
            child = subprocess.Popen([sys.executable, script], cwd=self.scratch, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = child.communicate()
            self.assertEqual((child.returncode, err.decode('utf-8', 'replace')), (0, u''), name)
            self.assertEqual(out.decode('utf-8'), io.open(expected, encoding='utf-8').read(), name)


if __name__ == '__main__':
    unittest.main()
