"""swig_postprocess.py, the build step that fixes SWIG's argument parsing and method table
and checks that the runtime is the module's own: run over the module's real generated
source (as SWIG wrote it, before the step), unchanged and with small shifts of the kind a
SWIG update or an edit makes."""
from __future__ import print_function

import os
import re
import subprocess
import tempfile
import unittest

SCRIPT = os.environ['TAVREL_TEST_POSTPROCESS']
with open(os.environ['TAVREL_TEST_GENERATED']) as generated_file:
    GENERATED = generated_file.read()

BEGIN, END = '/* _Tavrel runtime: begin */\n', '/* _Tavrel runtime: end */\n'
SIGN_DATA = 'SWIGINTERN PyObject *_wrap_KT_INTERFACE_SignData(PyObject *self, PyObject *args) {\n'
# A function of the module's own, after the runtime.
MODULE_CODE = 'SWIGINTERN PyObject *SWIG_PyInstanceMethod_New(PyObject *, PyObject *func) {\n'


def run(text):
    """(exit code, standard error, output) of the script on text."""
    scratch = tempfile.mkdtemp(prefix='tavrel-postprocess-')
    source, output = os.path.join(scratch, 'in.cxx'), os.path.join(scratch, 'out.cxx')
    with open(source, 'w') as f:
        f.write(text)
    env = dict(os.environ)
    env.pop('LD_PRELOAD', None)  # another interpreter, not ours to check
    child = subprocess.Popen([os.environ['TAVREL_TEST_PYTHON3'], SCRIPT, source, output], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, stderr = child.communicate()
    result = open(output).read() if os.path.exists(output) else None
    for path in (source, output):
        if os.path.exists(path):
            os.remove(path)
    os.rmdir(scratch)
    return child.returncode, stderr.decode(), result


def replaced(old, new, count=1):
    """The generated source with old replaced by new (old must be there)."""
    assert old in GENERATED, old
    return GENERATED.replace(old, new, count)


def runtime_reindented():
    start, end = GENERATED.index(BEGIN), GENERATED.index(END)
    return GENERATED[:start] + GENERATED[start:end].replace('\n  ', '\n    ') + GENERATED[end:]


def table(out):
    """[(name, flags)] of the method table."""
    return re.findall(r'^\t \{ "(\w+)", \w+, (METH_\w+), NULL\},$', out, re.M)


class PostprocessTest(unittest.TestCase):
    def test_rewrite(self):
        code, stderr, out = run(GENERATED)
        self.assertEqual((code, stderr), (0, ''))
        for call in ['PyArg_ParseTuple(args, ":new_SYSTEMTIME"))',
                     'PyArg_ParseTuple(args, "O:delete_SYSTEMTIME", &obj0))',
                     'PyArg_ParseTuple(args, "OOOOO:KT_INTERFACE_SignData", &obj0, &obj1, &obj2, &obj3, &obj4))']:
            self.assertIn(call, out)
        # A tuple of the right size is unpacked without parsing the format.
        self.assertIn('if (!(PyTuple_GET_SIZE(args) == 0 ? (1) : PyArg_ParseTuple(args, ":new_SYSTEMTIME"))) '
                      'SWIG_fail;', out)
        items = ''.join('obj%d = PyTuple_GET_ITEM(args, %d), ' % (i, i) for i in range(5))
        self.assertIn('(PyTuple_GET_SIZE(args) == 5 ? (%s1) : PyArg_ParseTuple(args, "OOOOO:' % items, out)
        # Outside the runtime nothing unpacks with PyArg_UnpackTuple.
        self.assertEqual(out.count('PyArg_UnpackTuple(args,'), out[out.index(BEGIN):out.index(END)].count(
            'PyArg_UnpackTuple(args,'))
        entries = table(out)
        self.assertEqual(entries[0], ('SWIG_PyInstanceMethod_New', 'METH_O'))
        self.assertEqual(set(flags for _, flags in entries[1:]), set(['METH_VARARGS']))
        names = [name for name, _ in entries]
        for name in names:
            if name.endswith('_swigregister'):
                self.assertEqual(names[names.index(name) - 1], 'delete_' + name[:-len('_swigregister')])
        self.assertEqual(sorted(names), sorted(name for name, _ in table(GENERATED)))

    def test_shifts_that_change_nothing(self):
        # The runtime is compiled as written: its layout is no anchor.
        plain = run(GENERATED)
        for label, text in [('runtime re-indented', runtime_reindented()),
                            ('blank lines in the runtime', replaced(BEGIN, BEGIN + '\n\n'))]:
            code, stderr, out = run(text)
            self.assertEqual((code, stderr), (0, ''), label)
            self.assertEqual(table(out), table(plain[2]), label)

    def test_refusals(self):
        walk = 'SWIGINTERN void walk(SwigPyObject *sobj) {\n  while (sobj) sobj = (SwigPyObject *)sobj->next;\n}\n'
        recurse = ('SWIGINTERN int depth(SwigPyObject *v) {\n  return v ? 1 + depth((SwigPyObject *)v->next) : 0;\n'
                   '}\n')
        cases = [
            ('another SWIG version', replaced(' * Version 4.1.0\n', ' * Version 4.2.1\n')),
            ('fast unpacking', replaced('_wrap_KT_INTERFACE_SignData, METH_VARARGS', '_wrap_KT_INTERFACE_SignData, METH_O')),
            ('proxy class entry', replaced('\t { NULL, NULL, 0, NULL }\n',
                                           '\t { "R_swiginit", R_swiginit, METH_VARARGS, NULL},\n'
                                           '\t { NULL, NULL, 0, NULL }\n')),
            ('optional items', replaced('PyArg_UnpackTuple(args, "KT_INTERFACE_SignData", 5, 5,',
                                        'PyArg_UnpackTuple(args, "KT_INTERFACE_SignData", 4, 5,')),
            ('no runtime entry', replaced('\t { "SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_VARARGS, '
                                          'NULL},\n', '')),
            ('registration without its class', replaced('"delete_SYSTEMTIME", _wrap_delete_SYSTEMTIME',
                                                        '"delete_SYSTEMTIMES", _wrap_delete_SYSTEMTIME')),
            ('no method table', replaced('SwigMethods[] = {', 'OtherMethods[] = {')),
            # One file serves both interpreters: both entries, for the one module.
            ('Python 2.7 entry only', replaced('#if PY_VERSION_HEX >= 0x03000000\n#  define SWIG_init',
                                               '#if 0\n#  define SWIG_init')),
            ('entries of two names', replaced('init_Tavrel\n', 'init_Other\n')),
            # A wrapper that the rewrite does not recognise keeps PyArg_UnpackTuple.
            ('a wrapper of another shape', replaced(SIGN_DATA, SIGN_DATA.replace('(PyObject *self', '(PyObject * self'))),
            # SWIG's own runtime instead of the module's.
            ('no runtime of the module', replaced(BEGIN, '')),
            ('the runtime twice', replaced(END, END + BEGIN + END)),
            # Walks of `next` outside the runtime.
            ('a loop along next in module code', replaced(MODULE_CODE, walk + MODULE_CODE)),
            ('a recursion along next in module code', replaced(MODULE_CODE, recurse + MODULE_CODE)),
            ('a loop along next before the runtime', replaced(BEGIN, walk + BEGIN)),
        ]
        for label, text in cases:
            code, stderr, out = run(text)
            self.assertNotEqual(code, 0, label)
            self.assertTrue(stderr.startswith('swig_postprocess: '), label + ': ' + stderr)
            self.assertIsNone(out, label)


if __name__ == '__main__':
    unittest.main()
