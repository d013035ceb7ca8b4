"""Throughput of the envelope round trip (envelop to one recipient, then open) and of a
session's encrypt-then-decrypt through the module's wrappers, against a direct C loop over
the same stand-in functions, for 1 KiB and 1 MiB of data.

usage: python2.7 bench_envelope.py [SECONDS_PER_FIGURE]
Needs on PYTHONPATH the folder of _Tavrel.so, on LD_LIBRARY_PATH the stand-in's folder, and
TAVREL_BENCH_ENVELOPE_LOOP naming the benchmark's C loop library."""
from __future__ import print_function

import ctypes
import json
import os
import shutil
import sys
import tempfile
import time

import _Tavrel
from bench_stats import counting, interleaved, median, per_round, print_ratio, spread

ROUNDS = 11
SIZES = [('1 KiB', 1024), ('1 MiB', 1024 * 1024)]
MEDIUM = {'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': ''}


def calls_for(budget, one_call):
    """How many calls fill about `budget` seconds, measured on one call."""
    start = time.time()
    one_call()
    return max(3, int(budget / max(time.time() - start, 1e-6)))


def timed(function):
    def loop(calls):
        start = time.time()
        for _ in counting(calls):
            function()
        return (time.time() - start) / calls
    return loop


def main():
    budget = float(sys.argv[1]) if len(sys.argv) > 1 else 0.3
    scratch = tempfile.mkdtemp(prefix='tavrel-bench-')
    world = os.path.join(scratch, 'world.json')
    with open(world, 'w') as out:
        json.dump({'types': [{'name': 'bench', 'devices': [{'serial': 'B-0', 'password': '', 'key': 'generate'}]}]},
                  out)
    os.environ['TAVREL_STANDIN_WORLD'] = world
    try:
        run(budget)
    finally:
        shutil.rmtree(scratch)


def run(budget):
    _Tavrel.KTLoad()
    t = _Tavrel.KTGetInterface()
    _Tavrel.KT_INTERFACE_Initialize(t)
    owner = {}
    _Tavrel.KT_INTERFACE_ReadPrivateKey(t, dict(MEDIUM), owner)
    der = []
    _Tavrel.KT_INTERFACE_GetCertificate(t, owner['pszIssuer'], owner['pszSerial'], None, der)
    certificate = der[0]
    loops = ctypes.CDLL(os.environ['TAVREL_BENCH_ENVELOPE_LOOP'])
    c_envelope, c_session = loops.tavrel_bench_envelope_c_loop, loops.tavrel_bench_session_c_loop
    c_envelope.restype = c_session.restype = ctypes.c_double
    c_envelope.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_ulong,
                           ctypes.c_int]
    c_session.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_ulong,
                          ctypes.c_int]

    client, hello, server = [], [], []
    _Tavrel.KT_INTERFACE_ClientDynamicKeySessionCreate(t, 0, None, None, certificate, len(certificate), client, hello)
    _Tavrel.KT_INTERFACE_ServerDynamicKeySessionCreate(t, 0, hello[0], len(hello[0]), server)
    client, server = client[0], server[0]

    def envelope_round_trip(data):
        envelope, opened = [], []
        _Tavrel.KT_INTERFACE_EnvelopDataToRecipients(t, [certificate], 0, data, len(data), None, envelope)
        _Tavrel.KT_INTERFACE_DevelopData(t, None, envelope[0], len(envelope[0]), opened, None)

    def session_round_trip(data):
        sealed, opened = [], []
        _Tavrel.KT_INTERFACE_SessionEncrypt(t, client, data, len(data), sealed)
        _Tavrel.KT_INTERFACE_SessionDecrypt(t, server, sealed[0], len(sealed[0]), opened)

    # The C loop takes the same sessions, by the addresses their pointer objects hold.
    client_address, server_address = int(client), int(server)

    print('Throughput through the module against a direct C loop, medians of %d interleaved rounds, MiB/s' % ROUNDS)
    print('(C + copies: the direct loop also making the copies the item kinds require: each input')
    print(' copied with its NUL into a buffer of its own, each output into a new byte string)')
    print('%-24s %6s %9s %9s %9s %8s' % ('', 'size', 'module', 'direct C', 'C+copies', 'spread'))
    ratios = []
    for label, size in SIZES:
        data = os.urandom(size)
        for name, module_call, c_loop in [
                ('envelope and open', lambda: envelope_round_trip(data),
                 lambda n, copies: c_envelope(certificate, len(certificate), data, len(data), n, copies)),
                ('session encrypt/decrypt', lambda: session_round_trip(data),
                 lambda n, copies: c_session(client_address, server_address, data, len(data), n, copies))]:
            calls = calls_for(budget, module_call)
            module_loop = timed(module_call)
            columns = interleaved([lambda: module_loop(calls), lambda: c_loop(calls, 0), lambda: c_loop(calls, 1)],
                                  ROUNDS)
            if min(columns[1] + columns[2]) < 0:
                raise SystemExit('the direct C loop failed')
            module, direct, copying = [median(column) for column in columns]
            mib = size / 1048576.0
            print('%-24s %6s %9.1f %9.1f %9.1f %7.1f%%' % (name, label, mib / module, mib / direct, mib / copying,
                                                           100 * max(spread(column) for column in columns)))
            goal = 'goal: at least 0.95' if size > 1024 else ''
            ratios.append(('%s %s: module / direct C' % (name, label),
                           per_round(lambda m, d: d / m, columns[0], columns[1]), goal))
            ratios.append(('%s %s: module / C+copies' % (name, label),
                           per_round(lambda m, c: c / m, columns[0], columns[2]), ''))
    print('spread: the widest of the three; ratios: throughput of the module over the C loop\'s')
    for label, values, goal in ratios:
        print_ratio(label, values, goal)

    _Tavrel.KT_INTERFACE_SessionDestroy(t, client)
    _Tavrel.KT_INTERFACE_SessionDestroy(t, server)
    _Tavrel.KT_INTERFACE_ResetPrivateKey(t)
    _Tavrel.KT_INTERFACE_Finalize(t)
    _Tavrel.KTUnload()


if __name__ == '__main__':
    main()
