"""Shared helpers of the _Tavrel tests.

A test that loads the library runs its steps in a child interpreter of its own, whose
LD_LIBRARY_PATH names one stand-in folder and whose call trace and world file are fresh, so
that what one test loads, maps or traces never reaches another.
"""
from __future__ import print_function

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from tavrel_compat import as_bytes

# Folders of the stand-in library and of its variants, each holding one tavrellib.so.
LIB_NORMAL = os.environ.get('TAVREL_TEST_LIB_NORMAL')
LIB_NO_DLLMAIN = os.environ.get('TAVREL_TEST_LIB_NO_DLLMAIN')
LIB_REFUSING_DLLMAIN = os.environ.get('TAVREL_TEST_LIB_REFUSING_DLLMAIN')
LIB_MISSING_NAME = os.environ.get('TAVREL_TEST_LIB_MISSING_NAME')

TABLE_TYPE_ERROR = "in method '%s', argument 1 of type 'KT_INTERFACE *'"


def sigapi_file(name):
    """A file of the library's interface declarations, source or generated."""
    for folder in os.environ['TAVREL_TEST_SIGAPI_DIRS'].split(':'):
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return path
    raise IOError('%s not found in TAVREL_TEST_SIGAPI_DIRS' % name)


def read_file(path, mode='r'):
    """The whole of a file, closed at once."""
    with open(path, mode) as f:
        return f.read()


def read_constants():
    """[(name, value)] from sigapi/constants.txt, in installation order; a value is an int
    or a byte string."""
    constants = []
    for line in read_file(sigapi_file('constants.txt')).splitlines():
        text = line.strip()
        if not text or text.startswith('#'):
            continue
        name, value = text.split(None, 1)
        constants.append((name, as_bytes(value[1:-1]) if value.startswith('"') else int(value)))
    return constants


# Runs first in every child; the step's code then fills `result` with JSON values.
_PRELUDE = '''
import json, os, sys
import _Tavrel

def trace():
    """The stand-in's call trace so far, one entry per line."""
    path = os.environ['TAVREL_STANDIN_TRACE']
    return open(path).read().splitlines() if os.path.exists(path) else []

def mapped():
    """Whether a tavrellib.so is mapped into this process."""
    return any(line.rstrip().endswith('/tavrellib.so') for line in open('/proc/self/maps'))

def outcome(function, *args):
    """['ok', result] or [exception name, exception arguments]."""
    try:
        return ['ok', function(*args)]
    except Exception as e:
        return [type(e).__name__, list(e.args)]

result = {}
'''

_EPILOGUE = '''
with open(os.environ['TAVREL_TEST_RESULT'], 'w') as out:
    json.dump(result, out)
'''


class Child(object):
    """What a child interpreter left: exit code, output streams, result and call trace."""

    def __init__(self, returncode, stdout, stderr, result, trace):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr
        self.result, self.trace = result, trace


def run_child(steps, lib_dir, setup='', extra_env=None):
    """Runs steps (Python code, see _PRELUDE) in a fresh interpreter with LD_LIBRARY_PATH
    set to lib_dir, and the variables of extra_env; setup runs before _Tavrel is imported."""
    scratch = tempfile.mkdtemp(prefix='tavrel-test-')
    try:
        env = dict(os.environ,
                   LD_LIBRARY_PATH=lib_dir,
                   TAVREL_STANDIN_TRACE=os.path.join(scratch, 'trace'),
                   TAVREL_STANDIN_WORLD=os.path.join(scratch, 'world.json'),
                   TAVREL_TEST_RESULT=os.path.join(scratch, 'result.json'))
        env.update(extra_env or {})
        script = textwrap.dedent(setup) + _PRELUDE + textwrap.dedent(steps) + _EPILOGUE
        child = subprocess.Popen([sys.executable, '-c', script], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        stdout, stderr = child.communicate()
        result_path, trace_path = env['TAVREL_TEST_RESULT'], env['TAVREL_STANDIN_TRACE']
        result = json.loads(read_file(result_path)) if os.path.exists(result_path) else None
        trace = read_file(trace_path).splitlines() if os.path.exists(trace_path) else []
        return Child(child.returncode, stdout, stderr, result, trace)
    finally:
        shutil.rmtree(scratch)


class ChildTestCase(unittest.TestCase):
    """A test case whose steps run in child interpreters that must end cleanly: exit code
    0 and nothing on standard error (where a sanitizer report would land)."""

    def run_child(self, steps, lib_dir, setup=''):
        child = run_child(steps, lib_dir, setup)
        self.assertEqual((child.returncode, child.stderr), (0, b''), child.stderr)
        return child


class CallRecord(object):
    """What the stand-in recorded of the last call of each library function, and the
    requests for its next call (see standins/tavrellib/README.md), through ctypes on the
    library file that the module loaded; arguments are numbered in library order from 0."""

    def __init__(self, lib):
        import ctypes
        self._ctypes = ctypes
        self.lib = lib
        for name, argtypes, restype in [
                ('TavrelStandin_LastCallArgumentCount', [ctypes.c_char_p], ctypes.c_int),
                ('TavrelStandin_LastCallIsNull', [ctypes.c_char_p, ctypes.c_uint], ctypes.c_int),
                ('TavrelStandin_LastCallNumber', [ctypes.c_char_p, ctypes.c_uint,
                                                  ctypes.POINTER(ctypes.c_ulonglong)], ctypes.c_int),
                ('TavrelStandin_LastCallBytes', [ctypes.c_char_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_ulong],
                 ctypes.c_long),
                ('TavrelStandin_SetNullOutput', [ctypes.c_char_p, ctypes.c_uint], ctypes.c_int),
                ('TavrelStandin_SetLentText', [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_ulong],
                 ctypes.c_int),
                ('TavrelStandin_SetOutputLength', [ctypes.c_char_p, ctypes.c_uint, ctypes.c_ulonglong], ctypes.c_int),
                ('TavrelStandin_SetLateStatus', [ctypes.c_char_p, ctypes.c_ulong], ctypes.c_int)]:
            function = getattr(lib, name)
            function.argtypes, function.restype = argtypes, restype

    def argument_count(self, function):
        """Arguments of the last recorded call, None when none was recorded."""
        count = self.lib.TavrelStandin_LastCallArgumentCount(as_bytes(function))
        return None if count < 0 else count

    def is_null(self, function, index):
        return {1: True, 0: False}[self.lib.TavrelStandin_LastCallIsNull(as_bytes(function), index)]

    def number(self, function, index):
        value = self._ctypes.c_ulonglong()
        status = self.lib.TavrelStandin_LastCallNumber(as_bytes(function), index, self._ctypes.byref(value))
        assert status == 0, (function, index)
        return value.value

    def bytes(self, function, index):
        """The recorded bytes of an argument, None for a null pointer."""
        size = self.lib.TavrelStandin_LastCallBytes(as_bytes(function), index, None, 0)
        if size < 0:
            return None
        out = self._ctypes.create_string_buffer(size)
        self.lib.TavrelStandin_LastCallBytes(as_bytes(function), index, out, size)
        return out.raw[:size]

    def set_null_output(self, function, index):
        assert self.lib.TavrelStandin_SetNullOutput(as_bytes(function), index) == 0, function

    def set_lent_text(self, function, index, text):
        assert self.lib.TavrelStandin_SetLentText(as_bytes(function), index, text, len(text)) == 0, function

    def set_output_length(self, function, index, length):
        assert self.lib.TavrelStandin_SetOutputLength(as_bytes(function), index, length) == 0, function

    def set_late_status(self, function, status):
        """The next call hands out its outputs, then returns status."""
        assert self.lib.TavrelStandin_SetLateStatus(as_bytes(function), status) == 0, function
