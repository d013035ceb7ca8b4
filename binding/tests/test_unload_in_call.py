"""Script code that runs inside a wrapper call (a `this` property, an instance dictionary
key's __eq__, another thread while the interpreter lock is handed over) unloads the library: the
call then raises the table's argument-1 TypeError and makes no library call after the
detach but the releases. The stand-in's trace shows what was called after `DllMain 0`."""
from __future__ import print_function

import unittest

from tavrel_testing import LIB_NORMAL, TABLE_TYPE_ERROR, ChildTestCase

# Runs in the child before the steps: script objects that unload the library.
_UNLOADERS = '''
import threading

class Unloading(object):
    """A dictionary key with the hash of `name` whose comparison unloads the library."""
    def __init__(self, name):
        self.name = name
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        _Tavrel.KTUnload()
        return False

class UnloadingBytes(bytes):
    """A byte-string key (2.7's str) that matches its own spelling after unloading the library."""
    __hash__ = bytes.__hash__
    def __eq__(self, other):
        _Tavrel.KTUnload()
        return True

class ThisUnloads(object):
    """A table holder whose `this` property unloads the library first (without an instance
    dictionary, `this` is looked up as an attribute)."""
    __slots__ = ()

    @property
    def this(self):
        table = _Tavrel.KTGetInterface()
        _Tavrel.KTUnload()
        return table

class ThisKeyUnloads(object):
    """A table holder whose instance dictionary compares `this` with a key that unloads."""
    def __init__(self, table):
        self.__dict__[Unloading('this')] = None
        self.__dict__['this'] = table

def loaded():
    _Tavrel.KTLoad()
    return _Tavrel.KTGetInterface()

def after_detach():
    """The library calls the trace holds after its last `DllMain 0`."""
    lines = trace()
    last = len(lines) - 1 - lines[::-1].index('DllMain 0')
    return [line for line in lines[last + 1:] if line.startswith('KT')]
'''

# Library functions that a call may still make after a detach: releases of what it got.
RELEASES = {'KTFreeMemory', 'KTFreeCertOwnerInfo', 'KTFreeSignInfo', 'KTFreeSenderInfo', 'KTFreeCertificateInfo',
            'KTFreeCertificateInfoEx', 'KTFreeCRInfo', 'KTFreeCertificatesArray', 'KTCtxFree', 'KTCtxFreePrivateKey',
            'KTSessionDestroy'}


def calls_while_detached(trace):
    """KT lines of the trace that lie between a `DllMain 0` and the next `DllMain 1` and are
    no release."""
    attached, found = False, []
    for line in trace:
        if line.startswith('DllMain '):
            attached = line == 'DllMain 1'
        elif line.startswith('KT') and not attached and line not in RELEASES:
            found.append(line)
    return found


class UnloadInsideOneCallTest(ChildTestCase):

    def test_unload_during_conversion(self):
        child = self.run_child('''
            cases = [
                ('this property', 'IsInitialized', lambda t: (ThisUnloads(),)),
                ('this key', 'IsInitialized', lambda t: (ThisKeyUnloads(t),)),
            ]
            for name, wrapper, arguments in cases:
                table = loaded()
                result[name] = [outcome(getattr(_Tavrel, 'KT_INTERFACE_' + wrapper), *arguments(table)),
                                _Tavrel.KTGetInterface() is None, mapped(), after_detach()]
            # The keys of a dictionary the module reads are matched by their characters: their
            # __eq__ never runs, and the library refuses the medium while it stays loaded.
            for name, key in [('medium key', Unloading('szPassword')),
                              ('byte-string medium key', UnloadingBytes(b'szPassword'))]:
                table = loaded()
                got = outcome(_Tavrel.KT_INTERFACE_ReadPrivateKey, table, {'dwTypeIndex': 0, 'dwDevIndex': 0, key: 'x'},
                              None)
                result[name] = [got[0], _Tavrel.KTGetInterface() is None]
        ''', LIB_NORMAL, setup=_UNLOADERS)
        refused = lambda wrapper: ['TypeError', [TABLE_TYPE_ERROR % ('KT_INTERFACE_' + wrapper)]]
        self.assertEqual(child.result, {
            'this property': [refused('IsInitialized'), True, False, []],
            'this key': [refused('IsInitialized'), True, False, []],
            'medium key': ['RuntimeError', False],
            'byte-string medium key': ['RuntimeError', False],
        })

    def test_error_text_not_asked_after_detach(self):
        # The context's `this` unloads; the handle output after it is no list (code 2): the
        # error carries no text, since the detached library is not asked for one.
        child = self.run_child('''
            medium = {'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': 'x'}
            refused = outcome(_Tavrel.KT_INTERFACE_CtxReadPrivateKey, loaded(), ThisUnloads(), medium, 5, None)
            result['refused'] = [refused[0], refused[1][0]['ErrorCode'], refused[1][0]['ErrorDesc'] is None]
            result['calls'] = after_detach()
        ''', LIB_NORMAL, setup=_UNLOADERS)
        self.assertEqual(child.result, {'refused': ['TypeError', 2, True],
                                        'calls': []})


class UnloadFromAnotherThreadTest(ChildTestCase):

    def test_threads(self):
        # One thread calls wrappers (the medium's odd key is matched by its characters, not
        # compared); the other unloads and loads again, switching at every opportunity.
        child = self.run_child('''
            import sys, time
            if hasattr(sys, 'setswitchinterval'):
                sys.setswitchinterval(1e-6)
            else:
                sys.setcheckinterval(1)

            class Slow(object):
                def __hash__(self):
                    return hash('szPassword')
                def __eq__(self, other):
                    for _ in range(20):
                        pass
                    return False

            counts = {'refused': 0, 'called': 0}
            stop = []

            def caller():
                while not stop:
                    medium = {'dwTypeIndex': 0, 'dwDevIndex': 0, Slow(): 'x'}
                    try:
                        _Tavrel.KT_INTERFACE_ReadPrivateKey(_Tavrel.KTGetInterface(), medium, None)
                        counts['called'] += 1
                    except TypeError:
                        counts['refused'] += 1
                    except RuntimeError:
                        counts['called'] += 1

            thread = threading.Thread(target=caller)
            thread.start()
            unloads = 0
            while unloads < 300 or (min(counts.values()) < 20 and unloads < 20000):
                _Tavrel.KTLoad()
                time.sleep(0.0002)
                _Tavrel.KTUnload()
                unloads += 1
                time.sleep(0.0001)
            stop.append(True)
            thread.join()
            result['unloads'], result['counts'] = unloads, counts
        ''', LIB_NORMAL, setup=_UNLOADERS)
        self.assertEqual(calls_while_detached(child.trace), [])
        self.assertEqual(child.trace.count('DllMain 0'), child.result['unloads'])
        self.assertGreaterEqual(min(child.result['counts'].values()), 20, child.result)

if __name__ == '__main__':
    unittest.main()
