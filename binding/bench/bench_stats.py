"""Statistics shared by the benchmarks: contenders measured in interleaved rounds, the median
and the spread of each over the rounds, and ratios printed only when their spread allows.

A ratio is computed round by round (the contenders of one round saw the same machine) and
printed on a line of its own that scripts/run-benchmarks.sh collects:

    RATIO <label> <median ratio, or "untrusted"> spread <percent> <goal>

As a command, for benchmarks written in other languages:

    python2.7 bench_stats.py figures NAME UNIT FILE
    python2.7 bench_stats.py ratio LABEL GOAL NUMERATOR-FILE DENOMINATOR-FILE

each FILE holding one figure per round, the rounds of the two files in the same order.
Runs under Python 2.7 and Python 3 alike."""
from __future__ import print_function

import ctypes
import os
import sys

# Above this spread of a ratio over the rounds, its median says nothing about a goal a few
# percent away.
SPREAD_LIMIT = 0.05

# Counts a timed loop without making a list of its items, in either interpreter.
try:
    counting = xrange
except NameError:
    counting = range


def pin_to_one_cpu(cpu=None):
    """Keeps the process on one CPU (by default the one it runs on, or $VEK_BENCH_CPU):
    on a shared machine one CPU can be several times slower than its neighbours for
    minutes, and a contender moved to another CPU would measure that instead. Returns the
    CPU, or None where it cannot pin."""
    libc = ctypes.CDLL(None, use_errno=True)
    if cpu is None:
        cpu = int(os.environ.get('VEK_BENCH_CPU', libc.sched_getcpu()))
    if cpu < 0:
        return None
    mask = (ctypes.c_ulong * 16)()
    mask[cpu // 64] = 1 << (cpu % 64)
    if libc.sched_setaffinity(0, ctypes.sizeof(mask), ctypes.byref(mask)) != 0:
        return None
    return cpu


def interleaved(measures, rounds):
    """Runs each measure once per round, the measures taking turns within every round, so
    that a busy moment of the machine weighs on all of them alike; returns one list of
    figures per measure. The order turns by one each round, so that no measure always runs
    first or always follows the same one. The process is pinned to one CPU first."""
    pin_to_one_cpu()
    columns = [[] for _ in measures]
    for round_index in range(rounds):
        for step in range(len(measures)):
            which = (round_index + step) % len(measures)
            columns[which].append(measures[which]())
    return columns


def per_round(function, *columns):
    """`function` applied to the figures of each round: a derived figure per round."""
    return [function(*row) for row in zip(*columns)]


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2.0


def spread(values):
    """The interquartile range over the median: how far apart the middle half of the rounds
    lies (the whole range for fewer than four rounds)."""
    ordered = sorted(values)
    quarter = len(ordered) // 4
    centre = median(ordered)
    if not centre:
        return float('inf')
    return (ordered[len(ordered) - 1 - quarter] - ordered[quarter]) / abs(float(centre))


def print_figures(name, values, unit):
    print('  %-34s median %12.3f %-6s spread %5.1f%%' % (name, median(values), unit, 100 * spread(values)))


def print_ratio(label, ratios, goal=''):
    """The median of per-round ratios, or "untrusted" when their spread is too wide."""
    width = spread(ratios)
    value = '%.3f' % median(ratios) if width <= SPREAD_LIMIT else 'untrusted'
    note = '' if width <= SPREAD_LIMIT else '  (spread above %.0f%%)' % (
        100 * SPREAD_LIMIT)
    print('RATIO %-52s %9s  spread %5.1f%%  %s%s' % (label, value, 100 * width, goal, note))
    sys.stdout.flush()


def _read_figures(path):
    with open(path) as source:
        return [float(line) for line in source if line.strip()]


def main(argv):
    if len(argv) == 5 and argv[1] == 'figures':
        print_figures(argv[2], _read_figures(argv[4]), argv[3])
    elif len(argv) == 6 and argv[1] == 'ratio':
        numerator, denominator = _read_figures(argv[4]), _read_figures(argv[5])
        if len(numerator) != len(denominator) or not numerator:
            raise SystemExit('bench_stats: the two files hold different numbers of rounds')
        print_ratio(argv[2], per_round(lambda a, b: a / b, numerator, denominator), argv[3])
    else:
        raise SystemExit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
