# -*- coding: utf-8 -*-
"""Shared helpers of the output tests: what each item kind releases, the stand-in's trace of
releases, and the length that makes one buffer output fail."""
from __future__ import print_function

from tavrel_wrapper_kinds import WRAPPERS
from wrapper_testing import CallTrace

# A buffer length no byte string can have: the module refuses that output with code 6.
UNTAKEABLE_LENGTH = 2 ** 63

# The release function of each item kind whose result the library hands out.
RELEASE_OF_KIND = {
    'text-out': 'KTFreeMemory',
    'decoded-text-out': 'KTFreeMemory',
    'bytes-out': 'KTFreeMemory',
    'certificate-info-ex': 'KTFreeCertificateInfoEx',
    'certificate-info': 'KTFreeCertificateInfo',
    'request-info': 'KTFreeCRInfo',
    'signer': 'KTFreeSignInfo',
    'sender': 'KTFreeSenderInfo',
    'owner': 'KTFreeCertOwnerInfo',
    'certificates-out': 'KTFreeCertificatesArray',
}
RELEASES = set(RELEASE_OF_KIND.values())
_KINDS = dict((name, [kind for kind, _ in items]) for name, _, _, items in WRAPPERS)

# Every item kind, by what becomes of a list or dictionary the script passes for it. Items of
# the kinds filled in place receive an output there after success. Each output is made whole
# before it is written, so one that cannot be made leaves its item as the script passed it;
# a test makes an output of each kind fail on the stand-in (test_context_outputs) or on the
# items probe (test_item_kinds_probe), but for those that only a lack of memory can fail.
FILLED_IN_PLACE = {
    'standin': {'text', 'lent-text', 'written-text', 'bytes-out', 'certificate-info-ex', 'key-medium-quiet',
                'settings-get', 'settings-enumerate', 'settings-lookup'},
    'probe': {'decoded-text-out', 'certificates-out', 'owner', 'signer', 'sender', 'certificate-info', 'request-info',
              'key-medium', 'user-info'},
    'memory': {'text-out', 'number-out', 'flag-out', 'context-out', 'private-key-out', 'session-out', 'random-bytes'},
}
NEVER_FILLED = {'number', 'length', 'flag', 'bytes', 'handle', 'time', 'value', 'bytes-list', 'text-list',
                'random-count', 'settings-set'}

# Kinds whose result is asked for only by passing a list; the records are always asked for.
_REQUESTED_BY_LIST = set(['text-out', 'decoded-text-out', 'bytes-out', 'certificates-out'])


def expected_releases(name, items=None):
    """The releases, in parameter order, of a call of wrapper name with items (after the
    table; None: every output asked for) in which the library handed out every output asked
    for."""
    kinds = _KINDS[name]
    return [RELEASE_OF_KIND[kind] for position, kind in enumerate(kinds) if kind in RELEASE_OF_KIND and
            (items is None or kind not in _REQUESTED_BY_LIST or isinstance(items[position], list))]


class ReleaseTrace(CallTrace):
    """The stand-in's trace of one call's releases: release functions by name, and for
    KTFreeMemory the number of the buffer it freed (buffers are numbered as the library
    makes them, and a call makes its outputs in parameter order)."""

    def __init__(self, lib, path):
        super(ReleaseTrace, self).__init__(lib, path, releases=True)

    def during(self, function, *args):
        """(outcome, [release names], [freed buffer numbers]) of function(*args)."""
        outcome = []

        def call():
            try:
                outcome.append(('ok', function(*args)))
            except Exception as e:
                outcome.append((type(e), e.args))
        lines = self.lines(call)
        names = [line for line in lines if line in RELEASES]
        numbers = [int(line.split()[-1]) for line in lines if line.startswith('released buffer ')]
        return outcome[0], names, numbers
