"""The module as the interpreter sees it: constants, functions, method table, argument
parsing, type table and the module file itself. Nothing here loads the library."""
from __future__ import print_function

import os
import re
import subprocess
import sys
import types
import unittest

import _Tavrel
import kt_record_fields
from tavrel_compat import PY2
from tavrel_testing import read_constants, sigapi_file

MODULE_ATTRIBUTES = {'__name__', '__doc__', '__package__', '__file__'} | (
    set() if PY2 else {'__loader__', '__spec__'})
RUNTIME_ENTRY = 'SWIG_PyInstanceMethod_New'
TABLE_FUNCTIONS = ['new_KT_INTERFACE', 'delete_KT_INTERFACE', 'KT_INTERFACE_swigregister']
LOADER_FUNCTIONS = ['KTLoad', 'KTGetInterface', 'KTUnload']
EXPORTS = {'init_Tavrel' if PY2 else 'PyInit__Tavrel', 'LoadLibraryA', 'GetProcAddress', 'FreeLibrary', 'KTLoad', 'KTGetInterface',
           'KTUnload'}


def wrap_source():
    return open(os.environ['TAVREL_TEST_WRAP_SOURCE']).read()


def method_table():
    """[(name, C function, flags)] of the generated method table, in order."""
    table = re.search(r'static PyMethodDef SwigMethods\[\] = \{\n(.*?)\n\t \{ NULL, NULL, 0, NULL \}',
                      wrap_source(), re.S).group(1)
    return re.findall(r'\{ "(\w+)", (\w+), (METH_\w+), NULL\}', table)


def parse_formats():
    """{C function: PyArg_ParseTuple format} of every function that parses an argument tuple."""
    formats = {}
    for function, body in re.findall(r'^SWIGINTERN PyObject \*(\w+)\(PyObject \*\w*, PyObject \*args\) \{\n'
                                     r'(.*?)^\}', wrap_source(), re.M | re.S):
        formats[function] = re.findall(r'PyArg_ParseTuple\(args, "([^"]*)"', body)
    return formats


def wrapper_names(subsystems=None):
    """The KT_INTERFACE_<Name> wrappers the module may have (of the given subsystems, or all),
    in the slot order of KT_INTERFACE."""
    wrapped = {line.split()[0] for line in open(sigapi_file('wrapped.txt'))
               if line.strip() and (subsystems is None or int(line.split()[1]) in subsystems)}
    slots = re.findall(r'^KT_FN(?:_ANY)?\((\w+)', open(sigapi_file('kt_functions.def')).read(), re.M)
    return ['KT_INTERFACE_' + name[2:] for name in slots if name in wrapped]


def record_functions(record, fields):
    names = []
    for field in fields:
        names += ['%s_%s_set' % (record, field[0]), '%s_%s_get' % (record, field[0])]
    return names + ['new_' + record, 'delete_' + record, record + '_swigregister']


def all_record_functions():
    """Positions 1 to 612: every record's class functions, in record order."""
    names = []
    for record, _, fields in kt_record_fields.RECORDS:
        names += record_functions(record, fields)
    return names


def expected_table():
    """The method table's order: the runtime entry, the record classes in record order, all
    141 wrappers in slot order, the KT_INTERFACE class functions and the loader functions."""
    return [RUNTIME_ENTRY] + all_record_functions() + wrapper_names() + TABLE_FUNCTIONS + LOADER_FUNCTIONS


def type_table():
    """{mangled name: printable names} of the binding runtime's type table."""
    return dict((name, set(names.split('|'))) for name, names in
                re.findall(r'^static swig_type_info _swigt__\w+ = \{"(\w+)", "([^"]*)"', wrap_source(), re.M))


class ConstantsTest(unittest.TestCase):
    def test_values(self):
        constants = read_constants()
        self.assertEqual(len(constants), 278)
        for name, value in constants:
            self.assertEqual((type(getattr(_Tavrel, name)), getattr(_Tavrel, name)), (type(value), value), name)

    def test_installation_order(self):
        installed = re.findall(r'SWIG_Python_SetConstant\(d, "(\w+)"', wrap_source())
        self.assertEqual(installed, [name for name, _ in read_constants()])


class MethodTableTest(unittest.TestCase):
    def test_order_and_calling_conventions(self):
        table = method_table()
        names = [name for name, _, _ in table]
        self.assertEqual(len(wrapper_names()), 141)
        self.assertEqual(len(names), 760)
        self.assertEqual(names, expected_table())
        self.assertEqual(table[0][2], 'METH_O')
        self.assertEqual({flags for _, _, flags in table[1:]}, {'METH_VARARGS'})

    def test_record_functions(self):
        names = [name for name, _, _ in method_table()]
        self.assertEqual(len(all_record_functions()), 612)
        self.assertEqual(names[1:613], all_record_functions())

    def test_argument_formats(self):
        formats = parse_formats()
        for name, function, _ in method_table()[1:]:
            shown = 'swigregister' if name.endswith('_swigregister') else name
            self.assertEqual(len(formats.get(function, [])), 1, name)
            items, _, fmt_name = formats[function][0].partition(':')
            self.assertEqual((fmt_name, set(items) <= {'O'}), (shown, True), name)

            # The interpreter's own errors, raised before anything runs.
            given = len(items) + 1
            with self.assertRaises(TypeError) as raised:
                getattr(_Tavrel, name)(*[None] * given)
            self.assertRegex(str(raised.exception),
                                     r'^%s\(\) takes exactly %d arguments? \(%d given\)$'
                                     % (shown, len(items), given))
            with self.assertRaises(TypeError) as raised:
                getattr(_Tavrel, name)(item=None)
            self.assertEqual(str(raised.exception), '%s() takes no keyword arguments' % name)

    def test_instance_method_entry(self):
        method = _Tavrel.SWIG_PyInstanceMethod_New(_Tavrel.KTGetInterface)
        # Python 3 has no unbound methods: the instance method is a type of its own.
        if PY2:
            self.assertIsInstance(method, types.MethodType)
        else:
            self.assertEqual(type(method).__name__, 'instancemethod')
        self.assertIs(method.__func__, _Tavrel.KTGetInterface)
        with self.assertRaises(TypeError) as raised:
            _Tavrel.SWIG_PyInstanceMethod_New()
        # Python 3 names a one-argument function with its module.
        self.assertEqual(str(raised.exception), '%sSWIG_PyInstanceMethod_New() takes exactly one argument (0 given)'
                         % ('' if PY2 else '_Tavrel.'))


class ModuleTest(unittest.TestCase):
    def test_dictionary(self):
        functions = [name for name, _, _ in method_table()]
        constants = [name for name, _ in read_constants()]
        self.assertEqual(len(functions) + len(constants), len(set(functions) | set(constants)))
        self.assertEqual(set(vars(_Tavrel)), MODULE_ATTRIBUTES | set(functions) | set(constants))
        self.assertIsNone(_Tavrel.__doc__)
        for name in functions:
            self.assertIsInstance(getattr(_Tavrel, name), types.BuiltinFunctionType, name)
            self.assertIsNone(getattr(_Tavrel, name).__doc__, name)

    def test_type_table(self):
        capsule = sys.modules['swig_runtime_data4'].type_pointer_capsule
        self.assertIn('"swig_runtime_data4.type_pointer_capsule"', repr(capsule))
        types = type_table()
        self.assertEqual(types['_p_KT_INTERFACE'], {'KT_INTERFACE *', 'PKT_INTERFACE'})
        records = ['_p_' + ('_SYSTEMTIME' if record == 'SYSTEMTIME' else record)
                   for record, _, _ in kt_record_fields.RECORDS]
        self.assertEqual(len(types), 35)
        further = sorted(set(types) - set(records) - {'_p_KT_INTERFACE'})
        self.assertEqual((len(further), further[0], further[-1]), (18, '_p_char', '_p_void'))
        # The module's own helper types stay out: every name is a C type or the library's.
        for mangled, names in types.items():
            for name in names:
                self.assertNotRegex(name, r'::|Tavrel|TAVREL', mangled)

    def test_module_file(self):
        # Tools run without the sanitizer runtime that the interpreter may have preloaded.
        env = dict(os.environ)
        env.pop('LD_PRELOAD', None)

        def tool(*args):
            return subprocess.check_output(args, env=env).decode()
        dynamic = tool('readelf', '-d', _Tavrel.__file__)
        needed = re.findall(r'\(NEEDED\)\s+Shared library: \[(.*)\]', dynamic)
        self.assertFalse([lib for lib in needed if 'python' in lib or 'tavrellib' in lib], needed)
        self.assertNotIn('RPATH', dynamic)
        self.assertNotIn('RUNPATH', dynamic)
        defined = tool('nm', '-D', '--defined-only', _Tavrel.__file__).split('\n')
        self.assertEqual({line.split()[-1] for line in defined if line.strip()}, EXPORTS)


if __name__ == '__main__':
    unittest.main()
