"""Data-path throughput of the module: KT_INTERFACE_HashData and KT_INTERFACE_SignData on
1 KiB and 1 MiB through the module, through ctypes and in a direct C loop over the same
stand-in functions, with the ratios.

usage: python2.7 bench_data_path.py [SECONDS-PER-LINE]
Needs on PYTHONPATH the folder of _Tavrel.so, on LD_LIBRARY_PATH the stand-in's folder,
TAVREL_BENCH_DATA_LOOP naming the benchmark's C loop library, and TAVREL_BENCH_WORLD a
scratch path for the stand-in's world file (a key is read from it for signing)."""
from __future__ import print_function

import ctypes
import os
import sys
import time

import _Tavrel
from bench_stats import counting, interleaved, median, per_round, print_ratio, spread

RTLD_NOLOAD = 4
ROUNDS = 11
SIZES = [('1 KiB', 1024), ('1 MiB', 1024 * 1024)]
FUNCTIONS = ['HashData', 'SignData']


def ns_per_call(loop, calls):
    """A loop may measure itself (returning its own figure) or be timed here (returning None)."""
    start = time.time()
    own = loop(calls)
    return own if own is not None else (time.time() - start) * 1e9 / calls


def calls_for(ns_per_call, seconds):
    return max(3, int(seconds * 1e9 / ROUNDS / max(ns_per_call, 1.0)))


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
    world = os.environ['TAVREL_BENCH_WORLD']
    _Tavrel.KTLoad()
    table = _Tavrel.KTGetInterface()
    library = ctypes.CDLL('tavrellib.so', mode=RTLD_NOLOAD)
    library.TavrelStandin_SetWorldPath.argtypes = [ctypes.c_char_p]
    library.TavrelStandin_SetWorldPath(world.encode())
    _Tavrel.KT_INTERFACE_Initialize(table)
    _Tavrel.KT_INTERFACE_ReadPrivateKey(table, {'dwTypeIndex': 1, 'dwDevIndex': 0, 'szPassword': '12345678'}, None)

    free = library.KTFreeMemory
    free.argtypes = [ctypes.c_void_p]
    free.restype = None
    c_loop = ctypes.CDLL(os.environ['TAVREL_BENCH_DATA_LOOP']).tavrel_bench_data_loop
    c_loop.restype = ctypes.c_double
    c_loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_ulong]
    free_address = ctypes.cast(free, ctypes.c_void_p).value

    print('Data path of the stand-in, medians of %d interleaved rounds, microseconds per call '
          '(both outputs asked for)' % ROUNDS)
    print('%-9s %-6s %10s %10s %10s %9s %9s %8s' % ('function', 'size', 'module', 'ctypes', 'direct C',
                                                    'module-C', 'ctypes-C', 'spread'))
    ratios = []
    for name in FUNCTIONS:
        direct = getattr(library, 'KT' + name)
        direct.restype = ctypes.c_ulong
        direct.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p),
                           ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_ulong)]
        address = ctypes.cast(direct, ctypes.c_void_p).value
        wrapper = getattr(_Tavrel, 'KT_INTERFACE_' + name)
        for label, size in SIZES:
            data = os.urandom(size)

            def module_loop(n):
                for _ in counting(n):
                    wrapper(table, data, size, [], [])

            def ctypes_loop(n):
                text, binary, length = ctypes.c_char_p(), ctypes.c_void_p(), ctypes.c_ulong()
                for _ in counting(n):
                    direct(data, size, ctypes.byref(text), ctypes.byref(binary), ctypes.byref(length))
                    free(ctypes.cast(text, ctypes.c_void_p))
                    free(binary)

            def c_road(n):
                return c_loop(address, free_address, data, size, n)

            calls = calls_for(ns_per_call(module_loop, 3), seconds / 3)
            columns = interleaved([lambda road=road: ns_per_call(road, calls)
                                   for road in (module_loop, ctypes_loop, c_road)], ROUNDS)
            module, through_ctypes, in_c = [median(column) / 1e3 for column in columns]
            print('%-9s %-6s %10.2f %10.2f %10.2f %9.2f %9.2f %7.1f%%' % (
                name, label, module, through_ctypes, in_c, module - in_c, through_ctypes - in_c,
                100 * max(spread(column) for column in columns)))
            goal = 'goal: at least 0.95' if size > 1024 else ''
            ratios.append(('%s %s: module / direct C' % (name, label), per_round(lambda m, c: c / m, columns[0],
                                                                                 columns[2]), goal))
            ratios.append(('%s %s: module / ctypes' % (name, label), per_round(lambda m, t: t / m, columns[0],
                                                                               columns[1]), ''))
    print('module-C, ctypes-C: what each road adds to the library call (its overhead, microseconds);')
    print('spread: the widest of the three roads\'; ratios: throughput of the module over the other road\'s')
    for label, values, goal in ratios:
        print_ratio(label, values, goal)
    _Tavrel.KT_INTERFACE_ResetPrivateKey(table)
    _Tavrel.KT_INTERFACE_Finalize(table)
    library.TavrelStandin_SetWorldPath(None)
    _Tavrel.KTUnload()


if __name__ == '__main__':
    main()
