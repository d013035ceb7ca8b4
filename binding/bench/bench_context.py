"""Throughput of the context road a signing service runs: one library context and one
private-key context, then KT_INTERFACE_CtxSignData on 1 KiB in a loop, against a direct C
loop of KTCtxSignData on the same stand-in and the same private-key context, in one run.

usage: python2.7 bench_context.py [SIGNATURES]
Needs on PYTHONPATH the folder of _Tavrel.so, on LD_LIBRARY_PATH the stand-in's folder,
TAVREL_BENCH_CONTEXT_LOOP naming the benchmark's C loop library and TAVREL_STANDIN_WORLD a
world file (made with the built-in world when missing)."""
from __future__ import print_function

import ctypes
import os
import sys
import time

import _Tavrel
from bench_stats import counting, interleaved, per_round, print_figures, print_ratio

RTLD_NOLOAD = 4
ROUNDS = 9
ALGORITHM = 1
MEDIUM = {'dwTypeIndex': 1, 'dwDevIndex': 0, 'szPassword': '12345678'}  # VM1K-000101 of the built-in world
DATA = (b'0123456789abcdef' * 64)[:1024]


def main():
    signatures = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    _Tavrel.KTLoad()
    table = _Tavrel.KTGetInterface()
    _Tavrel.KT_INTERFACE_Initialize(table)
    context, key = [], []
    _Tavrel.KT_INTERFACE_CtxCreate(table, context)
    _Tavrel.KT_INTERFACE_CtxReadPrivateKey(table, context[0], dict(MEDIUM), key, None)

    library = ctypes.CDLL('tavrellib.so', mode=RTLD_NOLOAD)
    c_loop = ctypes.CDLL(os.environ['TAVREL_BENCH_CONTEXT_LOOP']).tavrel_bench_ctx_sign_loop
    c_loop.restype = ctypes.c_double
    c_loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p,
                       ctypes.c_ulong, ctypes.c_ulong]
    sign_address = ctypes.cast(library.KTCtxSignData, ctypes.c_void_p).value
    release_address = ctypes.cast(library.KTFreeMemory, ctypes.c_void_p).value

    wrapper = _Tavrel.KT_INTERFACE_CtxSignData
    handle = key[0]

    def module_ns():
        out = []
        start = time.time()
        for _ in counting(signatures):
            wrapper(table, handle, ALGORITHM, DATA, len(DATA), 1, 0, out)
        return (time.time() - start) * 1e9 / signatures

    def direct_ns():
        ns = c_loop(sign_address, release_address, int(handle), ALGORITHM, DATA, len(DATA), signatures)
        if ns < 0:
            raise RuntimeError('KTCtxSignData failed in the C loop')
        return ns

    module, direct = interleaved([module_ns, direct_ns], ROUNDS)
    _Tavrel.KT_INTERFACE_CtxFreePrivateKey(table, handle)
    _Tavrel.KT_INTERFACE_CtxFree(table, context[0])
    _Tavrel.KT_INTERFACE_Finalize(table)
    _Tavrel.KTUnload()

    print('KTCtxSignData of the stand-in on %d bytes, %d signatures a round, %d interleaved rounds' % (
        len(DATA), signatures, ROUNDS))
    print_figures('module wrapper', [ns / 1e3 for ns in module], 'us')
    print_figures('direct C loop', [ns / 1e3 for ns in direct], 'us')
    print_ratio('module / direct C (signatures per second)', per_round(lambda m, d: d / m, module, direct),
                'goal: at least 0.9')


if __name__ == '__main__':
    main()
