"""The loader: KTLoad, KTGetInterface, KTUnload, the exported loader functions, the
KT_INTERFACE class functions and the table argument of the wrappers. Every test runs in
child interpreters, each given one stand-in folder."""
from __future__ import print_function

import os
import shutil
import tempfile
import unittest

from tavrel_testing import (ChildTestCase, LIB_MISSING_NAME, LIB_NO_DLLMAIN, LIB_NORMAL,
                            LIB_REFUSING_DLLMAIN, TABLE_TYPE_ERROR)

OK = ['ok', None]
LOAD_ERROR = ['RuntimeError', ['Error load library']]


class LoadTest(ChildTestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix='tavrel-loader-')
        cls.empty_dir = os.path.join(cls.scratch, 'empty')
        cls.broken_dir = os.path.join(cls.scratch, 'broken')
        os.mkdir(cls.empty_dir)
        os.mkdir(cls.broken_dir)
        with open(os.path.join(cls.broken_dir, 'tavrellib.so'), 'wb') as f:
            f.write(b'\x7fELF but not a library')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def test_load_then_unload(self):
        steps = '''
            result['imported'] = [_Tavrel.KTGetInterface() is None, mapped()]
            result['idle unload'] = outcome(_Tavrel.KTUnload)
            result['load'] = outcome(_Tavrel.KTLoad)
            result['loaded'] = [_Tavrel.KTGetInterface() is not None, mapped()]
            result['unload'] = outcome(_Tavrel.KTUnload)
            result['unloaded'] = [_Tavrel.KTGetInterface() is None, mapped()]
        '''
        attach_detach = ['DllMain 1', 'DllMain 0']
        cases = [
            # library folder, KTLoad's outcome, call trace
            ('normal', LIB_NORMAL, OK, attach_detach),
            ('no DllMain', LIB_NO_DLLMAIN, OK, []),
            ('missing name', LIB_MISSING_NAME, LOAD_ERROR, attach_detach),
            ('refusing DllMain', LIB_REFUSING_DLLMAIN, LOAD_ERROR, ['DllMain 1']),
            ('no library', self.empty_dir, LOAD_ERROR, []),
            ('broken library', self.broken_dir, LOAD_ERROR, []),
        ]
        for label, lib_dir, load, trace in cases:
            loaded = load == OK
            child = self.run_child(steps, lib_dir)
            self.assertEqual(child.result, {
                'imported': [True, False],
                'idle unload': OK,
                'load': load,
                'loaded': [loaded, loaded],
                'unload': OK,
                'unloaded': [True, False],
            }, label)
            self.assertEqual(child.trace, trace, label)

    def test_second_load_opens_once(self):
        child = self.run_child('''
            result['loads'] = [outcome(_Tavrel.KTLoad), outcome(_Tavrel.KTLoad)]
            result['trace'] = trace()
            _Tavrel.KTUnload()
            result['mapped after one unload'] = mapped()
            result['reload'] = [outcome(_Tavrel.KTLoad), _Tavrel.KTGetInterface() is not None]
            _Tavrel.KTUnload()
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'loads': [OK, OK],
            'trace': ['DllMain 1'],
            'mapped after one unload': False,
            'reload': [OK, True],
        })
        self.assertEqual(child.trace, ['DllMain 1', 'DllMain 0', 'DllMain 1', 'DllMain 0'])

    def test_exported_functions(self):
        child = self.run_child('''
            import ctypes
            lib = ctypes.CDLL(_Tavrel.__file__)
            for name, result_type, argument_types in [
                    ('LoadLibraryA', ctypes.c_void_p, [ctypes.c_char_p]),
                    ('GetProcAddress', ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_char_p]),
                    ('FreeLibrary', ctypes.c_int, [ctypes.c_void_p]),
                    ('KTLoad', ctypes.c_int, []),
                    ('KTGetInterface', ctypes.c_void_p, []),
                    ('KTUnload', ctypes.c_int, [])]:
                getattr(lib, name).restype = result_type
                getattr(lib, name).argtypes = argument_types

            result['null arguments'] = [lib.LoadLibraryA(None), lib.GetProcAddress(None, b'KTInitialize'),
                                        lib.GetProcAddress(None, None), lib.FreeLibrary(None)]
            result['KTUnload idle'] = lib.KTUnload()
            result['KTLoad'] = [lib.KTLoad(), lib.KTLoad()]
            result['same table'] = lib.KTGetInterface() == int(_Tavrel.KTGetInterface())
            result['KTUnload'] = [lib.KTUnload(), lib.KTUnload(), lib.KTGetInterface()]

            def open_by_path(folder):
                """[opened, KTUncompressFile found, unknown name found, FreeLibrary's result]"""
                handle = lib.LoadLibraryA(os.path.join(folder, 'tavrellib.so').encode())
                if not handle:
                    return [False]
                return [True, bool(lib.GetProcAddress(handle, b'KTUncompressFile')),
                        bool(lib.GetProcAddress(handle, b'NoSuchFunction')), lib.FreeLibrary(handle)]
            result['by path'] = [open_by_path(os.environ[name]) for name in [
                'TAVREL_TEST_LIB_NORMAL', 'TAVREL_TEST_LIB_REFUSING_DLLMAIN',
                'TAVREL_TEST_LIB_MISSING_NAME', 'TAVREL_TEST_LIB_NO_DLLMAIN']]
            result['mapped'] = mapped()
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'null arguments': [None, None, None, 0],
            'KTUnload idle': 0,
            'KTLoad': [1, 1],
            'same table': True,
            'KTUnload': [1, 0, None],
            'by path': [[True, True, False, 1], [False], [True, False, False, 1], [True, True, False, 1]],
            'mapped': False,
        })
        self.assertEqual(child.trace, ['DllMain 1', 'DllMain 0',  # KTLoad, KTUnload
                                       'DllMain 1', 'DllMain 0',  # normal
                                       'DllMain 1',               # refusing
                                       'DllMain 1', 'DllMain 0'])  # missing name


class TableTest(ChildTestCase):
    def test_delete(self):
        child = self.run_child('''
            delete = _Tavrel.delete_KT_INTERFACE
            result['None'] = outcome(delete, None)
            result['not a table'] = outcome(delete, 5)
            table = _Tavrel.new_KT_INTERFACE()
            result['twice'] = [outcome(delete, table), outcome(delete, table)]

            class Table:
                __swig_destroy__ = _Tavrel.delete_KT_INTERFACE
            result['register'] = outcome(_Tavrel.KT_INTERFACE_swigregister, Table)
            table = _Tavrel.new_KT_INTERFACE()
            del table                       # released through Table.__swig_destroy__
            table = _Tavrel.new_KT_INTERFACE()
            result['then released'] = outcome(delete, table)
            del table
            table = _Tavrel.new_KT_INTERFACE()
            result['made after registering'] = [type(table).__name__, table.own()]
            del table                       # still released through Table.__swig_destroy__

            _Tavrel.KTLoad()
            iface = _Tavrel.KTGetInterface()
            result['process-wide'] = [isinstance(iface, Table), outcome(delete, iface),
                                      int(_Tavrel.KTGetInterface().this) == int(iface.this)]
            _Tavrel.KTUnload()
            result['kept after unload'] = outcome(delete, iface)
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'None': OK,
            'not a table': ['TypeError', [TABLE_TYPE_ERROR % 'delete_KT_INTERFACE']],
            'twice': [OK, OK],
            'register': OK,
            'then released': OK,
            'made after registering': ['SwigPyObject', True],
            'process-wide': [True, OK, True],
            'kept after unload': OK,
        })
        self.assertEqual(child.trace, ['DllMain 1', 'DllMain 0'])

    def test_register_odd_classes(self):
        child = self.run_child('''
            register = _Tavrel.KT_INTERFACE_swigregister
            class Bad:
                __swig_destroy__ = 5
            result['bad destroy'] = outcome(register, Bad)
            result['not a class'] = outcome(register, 5)
            _Tavrel.KTLoad()
            result['table'] = outcome(_Tavrel.KTGetInterface)[0]
            class Good(object):
                pass
            result['replaced'] = [outcome(register, Good), isinstance(_Tavrel.KTGetInterface(), Good)]
            _Tavrel.KTUnload()
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'bad destroy': ['TypeError', ['__swig_destroy__ of the class is not delete_KT_INTERFACE']],
            'not a class': ['TypeError', ['swigregister takes a class, not int']],
            'table': 'ok',
            'replaced': [OK, True],
        })

    def test_table_argument(self):
        # The probe module resolves KTGetInterface from _Tavrel, so _Tavrel goes global.
        setup = '''
            import ctypes, os, sys
            sys.setdlopenflags(sys.getdlopenflags() | ctypes.RTLD_GLOBAL)
            sys.path.insert(0, os.environ['TAVREL_TEST_PROBE_DIR'])
        '''
        child = self.run_child('''
            import _tavrel_probe
            probe = _tavrel_probe.KT_INTERFACE_Probe
            made = _Tavrel.new_KT_INTERFACE()
            result['unloaded'] = [outcome(probe, x) for x in (_Tavrel.KTGetInterface(), None, made, 5)]
            _Tavrel.KTLoad()
            iface = _Tavrel.KTGetInterface()
            result['loaded'] = [outcome(probe, x) for x in (iface, None, made, 'KT_INTERFACE *')]
            class Table:
                pass
            _Tavrel.KT_INTERFACE_swigregister(Table)
            result['instance'] = outcome(probe, _Tavrel.KTGetInterface())
            _Tavrel.KTUnload()
            result['kept after unload'] = outcome(probe, iface)
            _Tavrel.delete_KT_INTERFACE(made)
        ''', LIB_NORMAL, setup)
        refused = ['TypeError', [TABLE_TYPE_ERROR % 'KT_INTERFACE_Probe']]
        self.assertEqual(child.result, {
            'unloaded': [refused] * 4,
            'loaded': [OK, refused, refused, refused],
            'instance': OK,
            'kept after unload': refused,
        })
        self.assertEqual(child.trace, ['DllMain 1', 'KTIsInitialized', 'KTIsInitialized', 'DllMain 0'])


if __name__ == '__main__':
    unittest.main()
