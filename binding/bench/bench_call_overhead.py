"""Per-call overhead of a module wrapper, against the same library function called through
ctypes from this interpreter and through a pointer in a C loop.

usage: python2.7 bench_call_overhead.py [CALLS]
Needs on PYTHONPATH the folder of _Tavrel.so, on LD_LIBRARY_PATH the stand-in's folder, and
TAVREL_BENCH_LOOP naming the benchmark's C loop library."""
import ctypes
import os
import sys
import time

import _Tavrel

RTLD_NOLOAD = 4
ROUNDS = 7


def best_ns_per_call(loop, calls):
    """The fastest of several rounds, in nanoseconds per call."""
    best = None
    for _ in range(ROUNDS):
        start = time.time()
        loop(calls)
        elapsed = (time.time() - start) * 1e9 / calls
        best = elapsed if best is None else min(best, elapsed)
    return best


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
        for _ in xrange(n):
            pass

    def wrapper_loop(n):
        for _ in xrange(n):
            wrapper(table)

    def ctypes_loop(n):
        for _ in xrange(n):
            direct()

    loop = best_ns_per_call(empty_loop, calls)
    module = best_ns_per_call(wrapper_loop, calls) - loop
    through_ctypes = best_ns_per_call(ctypes_loop, calls) - loop
    in_c = min(c_loop(address, calls) for _ in range(ROUNDS))
    _Tavrel.KTUnload()

    print 'KTIsInitialized of the stand-in, %d calls, best of %d rounds, ns per call' % (calls, ROUNDS)
    print '(the Python loop, %.1f ns, removed)' % loop
    print '  module wrapper              %7.1f' % module
    print '  ctypes                      %7.1f' % through_ctypes
    print '  direct C loop               %7.1f   (the library function itself)' % in_c
    print '  wrapper overhead            %7.1f   (wrapper minus direct C)' % (module - in_c)
    print '  ctypes overhead             %7.1f   (ctypes minus direct C)' % (through_ctypes - in_c)
    print 'ratios'
    print '  wrapper overhead / ctypes call      %6.3f   (goal: at most 0.333)' % ((module - in_c) / through_ctypes)
    print '  wrapper overhead / ctypes overhead  %6.3f' % ((module - in_c) / (through_ctypes - in_c))
    print '  wrapper call / ctypes call          %6.3f' % (module / through_ctypes)
    print '  wrapper call / direct C call        %6.2f' % (module / in_c)

if __name__ == '__main__':
    main()
