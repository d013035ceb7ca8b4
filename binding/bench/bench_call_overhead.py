"""Per-call overhead of a module wrapper, against the same library function called through
ctypes from this interpreter and through a pointer in a C loop. A probe function called like
a wrapper that does nothing (_tavrel_bench_probe) splits the overhead into the interpreter's
share and the module's own.

usage: python2.7 bench_call_overhead.py [CALLS]   (or python3)
Needs on PYTHONPATH the folder of the interpreter's _Tavrel, on LD_LIBRARY_PATH the stand-in's
folder, and TAVREL_BENCH_LOOP naming the benchmark's C loop library; the interpreter's
_tavrel_bench_probe on PYTHONPATH."""
from __future__ import print_function

import ctypes
import os
import sys
import time

import _Tavrel
import _tavrel_bench_probe

from bench_stats import counting, interleaved, per_round, print_figures, print_ratio

RTLD_NOLOAD = 4
ROUNDS = 11


def ns_per_call(loop, calls):
    start = time.time()
    loop(calls)
    return (time.time() - start) * 1e9 / calls


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000000
    _Tavrel.KTLoad()
    table = _Tavrel.KTGetInterface()
    library = ctypes.CDLL('tavrellib.so', mode=RTLD_NOLOAD)
    direct = library.KTIsInitialized
    direct.restype = ctypes.c_int
    direct.argtypes = []
    c_loop = ctypes.CDLL(os.environ['TAVREL_BENCH_LOOP']).tavrel_bench_c_loop
    c_loop.restype = ctypes.c_double
    c_loop.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    address = ctypes.cast(direct, ctypes.c_void_p).value

    wrapper = _Tavrel.KT_INTERFACE_IsInitialized

    def empty_loop(n):
        for _ in counting(n):
            pass

    def wrapper_loop(n):
        for _ in counting(n):
            wrapper(table)

    def ctypes_loop(n):
        for _ in counting(n):
            direct()

    probe = _tavrel_bench_probe.call

    def probe_loop(n):
        for _ in counting(n):
            probe(table)

    loop, wrapped, through, probed, in_c = interleaved([
        lambda: ns_per_call(empty_loop, calls),
        lambda: ns_per_call(wrapper_loop, calls),
        lambda: ns_per_call(ctypes_loop, calls),
        lambda: ns_per_call(probe_loop, calls),
        lambda: c_loop(address, calls)], ROUNDS)
    _Tavrel.KTUnload()
    module = per_round(lambda w, e: w - e, wrapped, loop)
    through_ctypes = per_round(lambda c, e: c - e, through, loop)
    interpreter = per_round(lambda p, e: p - e, probed, loop)

    print('Python %d.%d: KTIsInitialized of the stand-in, %d calls a round, %d interleaved rounds, ns per call'
          % (sys.version_info[0], sys.version_info[1], calls, ROUNDS))
    print_figures('the Python loop (removed below)', loop, 'ns')
    print_figures('module wrapper', module, 'ns')
    print_figures('ctypes', through_ctypes, 'ns')
    print_figures('direct C loop (the function)', in_c, 'ns')
    print_figures('wrapper overhead (wrapper - C)', per_round(lambda m, c: m - c, module, in_c), 'ns')
    print_figures('  the interpreter\'s (the probe)', interpreter, 'ns')
    print_figures('  the module\'s (the rest)',
                  per_round(lambda m, i, c: m - i - c, module, interpreter, in_c), 'ns')
    print_figures('ctypes overhead (ctypes - C)', per_round(lambda t, c: t - c, through_ctypes, in_c), 'ns')
    print_ratio('wrapper overhead / ctypes call', per_round(lambda m, c, t: (m - c) / t, module, in_c, through_ctypes),
                'goal: at most 0.2')
    print_ratio('wrapper call / ctypes call', per_round(lambda m, t: m / t, module, through_ctypes))


if __name__ == '__main__':
    main()
