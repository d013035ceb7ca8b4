# -*- coding: utf-8 -*-
"""Every item of every wrapper given wrong values: each call ends in the exception its item
kind prescribes, or is accepted as its kind documents, and never crashes or leaks (run under
AddressSanitizer in the sanitizer build).

Each call varies one item of a baseline: valid items with which the call succeeds or fails
with a library status only. The set-up wrappers' baselines are wrapper_testing's; each
further subsystem keeps its own in baselines_<subsystem>.py. A wrapper without one gets
items made from its kinds (default_item), which the library refuses with a status at most."""
from __future__ import print_function

import copy
import unittest

import _Tavrel
import baselines_context
import baselines_envelope
import baselines_signing
import kt_record_fields
import wrapper_testing
from tavrel_compat import integer_types
from tavrel_wrapper_kinds import WRAPPERS
from wrapper_testing import (BAD_PARAMETER, NOTHING_OUTSTANDING, RESOURCE_FAILED, TABLE_TYPE_ERROR, WrapperTestCase,
                             wrapper)

ACCEPTED = 'accepted'
BASELINE_SOURCES = [wrapper_testing, baselines_signing, baselines_envelope, baselines_context]

PLAIN_VALUES = [('None', None), ('int', -1), ('long beyond 64 bits', 2 ** 70), ('float', 1.5), ('str', b'junk'),
                ('unicode outside cp1251', u'\u4e00'), ('unicode', u'жук'), ('list', [b'junk']),
                ('dict', {'junk': 1})]
# Objects of every class of the module; each is deleted after the test, one before it.
CLASSES = ['KT_INTERFACE'] + [record for record, _, _ in kt_record_fields.RECORDS]
DELETED = 'deleted SYSTEMTIME'

OUTPUTS = {'text-out', 'decoded-text-out', 'bytes-out', 'number-out', 'flag-out', 'certificates-out',
           'signer', 'sender', 'owner', 'certificate-info', 'certificate-info-ex', 'request-info',
           'key-medium', 'key-medium-quiet', 'settings-get'}
LISTS_REQUIRED = {'lent-text', 'random-bytes', 'context-out', 'private-key-out', 'session-out'}
# New handles that a call hands back, released after it in this order.
HANDLE_RELEASES = [('private-key-out', 'CtxFreePrivateKey'), ('session-out', 'SessionDestroy'),
                   ('context-out', 'CtxFree')]


def default_item(kind):
    """A valid item of kind, for wrappers without a baseline of their own."""
    if kind in ('number', 'length', 'flag', 'value', 'random-count'):
        return 0
    if kind in LISTS_REQUIRED:
        return []
    if kind in ('bytes-list', 'text-list'):
        return [b'x']
    if kind in ('settings-set', 'settings-enumerate', 'settings-lookup'):
        raise AssertionError('settings wrappers have baselines')
    return None


def expected(kind, label, value):
    """What an item of this kind does with value: ACCEPTED, ('code', n) or (exception, type)."""
    is_int = type(value) in integer_types
    pointer_object = label in CLASSES or label == DELETED
    if kind in ('number', 'length'):
        return (OverflowError if is_int else TypeError, 'DWORD')
    if kind == 'flag':
        if is_int:
            return ACCEPTED if -2 ** 31 <= value < 2 ** 31 else (OverflowError, 'BOOL')
        return (TypeError, 'BOOL')
    if kind in ('text', 'written-text'):
        return ('code', RESOURCE_FAILED) if value == u'\u4e00' else ACCEPTED
    if kind == 'bytes':
        return ACCEPTED if value is None or type(value) is bytes else ('code', BAD_PARAMETER)
    if kind == 'value':
        return ACCEPTED if is_int and value < 2 ** 64 else ('code', BAD_PARAMETER)
    if kind in LISTS_REQUIRED or kind == 'settings-enumerate':
        required = list if kind != 'settings-enumerate' else dict
        return ACCEPTED if type(value) is required else ('code', BAD_PARAMETER)
    if kind in ('bytes-list', 'text-list'):
        return ACCEPTED if value == [b'junk'] else ('code', BAD_PARAMETER)
    if kind in ('settings-set', 'settings-lookup', 'random-count'):
        return ('code', BAD_PARAMETER)
    if kind == 'user-info':
        return ('code', BAD_PARAMETER) if type(value) is dict else ACCEPTED
    if kind == 'handle':
        return ACCEPTED if value is None or pointer_object else (TypeError, 'PVOID')
    if kind == 'time':
        return ACCEPTED if value is None or label == 'SYSTEMTIME' else (TypeError, 'PSYSTEMTIME')
    assert kind in OUTPUTS, kind
    return ACCEPTED


def baselines(test):
    """Valid items after the table for every wrapper."""
    arguments = {}
    for source in BASELINE_SOURCES:
        arguments.update(source.baseline_arguments(test))
    for name, _, _, items in WRAPPERS:
        if name not in arguments:
            arguments[name] = tuple(default_item(kind) for kind, _ in items)
    return arguments


class WrongValueBatteryTest(WrapperTestCase):
    def setUp(self):
        super(WrongValueBatteryTest, self).setUp()
        self.objects = [(name, getattr(_Tavrel, 'new_' + name)()) for name in CLASSES]
        deleted = _Tavrel.new_SYSTEMTIME()
        _Tavrel.delete_SYSTEMTIME(deleted)
        self.values = PLAIN_VALUES + self.objects + [(DELETED, deleted)]

    def fresh(self, value):
        """Outputs fill lists and dictionaries: each call gets its own."""
        return copy.deepcopy(value) if type(value) in (list, dict) else value

    def tearDown(self):
        for name, made in self.objects:
            getattr(_Tavrel, 'delete_' + name)(made)
        super(WrongValueBatteryTest, self).tearDown()

    def release_handles(self, kinds, arguments):
        for handle_kind, release in HANDLE_RELEASES:
            for kind, item in zip(kinds, arguments):
                if kind == handle_kind and type(item) is list and item and item[0] is not None:
                    wrapper(release)(self.t, item[0])

    def check(self, name, kinds, arguments, outcome):
        function = wrapper(name)
        try:
            function(self.t, *arguments)
            self.release_handles(kinds, arguments)
            got = ACCEPTED
        except RuntimeError as e:
            # A library status: accepted by the item, refused by the library.
            self.assertEqual(len(e.args), 1)
            self.assertEqual(sorted(e.args[0]), ['ErrorCode', 'ErrorDesc'])
            got = ACCEPTED
        except (TypeError, OverflowError) as e:
            if type(e) is TypeError and isinstance(e.args[0], dict):
                self.assertEqual(e.args, (self.error_dictionary(e.args[0]['ErrorCode']),))
                got = ('code', e.args[0]['ErrorCode'])
            else:
                got = (type(e), e.args)
        self.assertEqual(got, outcome, (name, arguments))
        self.assertEqual(self.lib.counters(), self.outstanding, (name, arguments))

    # What the stand-in holds outstanding between two calls.
    outstanding = NOTHING_OUTSTANDING

    def test_every_item_of_every_wrapper(self):
        self.assertGreater(self.battery(WRAPPERS, baselines(self)), 15000)

    def battery(self, wrappers, baseline):
        """Every item of the wrappers given every value; the number of calls checked."""
        checked = 0
        for name, _, _, items in wrappers:
            if name == 'Finalize':
                continue  # its only item is the table, checked below
            for position, (kind, argnum) in enumerate(items):
                for label, value in self.values:
                    arguments = list(baseline[name])
                    arguments[position] = value = self.fresh(value)
                    if kind == 'bytes':
                        arguments[position + 1] = 0  # keep the length within the copy
                    outcome = expected(kind, label, value)
                    if type(outcome) is tuple and outcome[0] in (TypeError, OverflowError):
                        message = "in method 'KT_INTERFACE_%s', argument %d of type '%s'" % (name, argnum, outcome[1])
                        outcome = (outcome[0], (message,))
                    self.check(name, [k for k, _ in items], arguments, outcome)
                    checked += 1
        return checked

    def test_table_item(self):
        for name, _, _, items in WRAPPERS:
            for label, value in self.values:
                with self.assertRaises(TypeError) as raised:
                    wrapper(name)(value, *([None] * len(items)))
                self.assertEqual(raised.exception.args, (TABLE_TYPE_ERROR % ('KT_INTERFACE_' + name),))


if __name__ == '__main__':
    unittest.main()
