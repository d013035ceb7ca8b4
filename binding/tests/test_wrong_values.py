# -*- coding: utf-8 -*-
"""Every item of every set-up wrapper given wrong values: each call ends in the exception
its item kind prescribes, or is accepted as its kind documents, and never crashes or leaks
(run under AddressSanitizer in the sanitizer build)."""
import copy
import unittest

import _Tavrel
from wrapper_testing import (BAD_PARAMETER, RESOURCE_FAILED, SETUP_WRAPPERS, TABLE_TYPE_ERROR, WrapperTestCase,
                             baseline_arguments, wrapper)

ACCEPTED = 'accepted'


PLAIN_VALUES = [('None', None), ('int', -1), ('long beyond 64 bits', 2 ** 70), ('float', 1.5), ('str', 'junk'),
                ('unicode outside cp1251', u'\u4e00'), ('unicode', u'жук'), ('list', ['junk']),
                ('dict', {'junk': 1})]
# Objects of the module's classes; each is deleted after the test.
CLASSES = ['KT_INTERFACE', 'SYSTEMTIME', 'KT_KEY_MEDIA', 'KT_CERT_INFO_EX', 'KT_USER_INFO']


def expected(kind, value):
    """What an item of this kind does with value: ACCEPTED, ('code', n) or (exception, type)."""
    is_int = type(value) in (int, long)
    if kind in ('number', 'length'):
        if is_int:
            return (OverflowError, 'DWORD')
        return (TypeError, 'DWORD')
    if kind == 'flag':
        if is_int:
            return ACCEPTED if -2 ** 31 <= value < 2 ** 31 else (OverflowError, 'BOOL')
        return (TypeError, 'BOOL')
    if kind == 'text':
        return ('code', RESOURCE_FAILED) if value == u'\u4e00' else ACCEPTED
    if kind == 'byte string':
        return ACCEPTED if value is None or type(value) is str else ('code', BAD_PARAMETER)
    if kind == 'value':
        return ACCEPTED if is_int and value < 2 ** 64 else ('code', BAD_PARAMETER)
    if kind in ('text list required', 'random output'):
        return ACCEPTED if type(value) is list else ('code', BAD_PARAMETER)
    if kind == 'settings enumerate':
        return ACCEPTED if type(value) is dict else ('code', BAD_PARAMETER)
    if kind in ('settings set', 'settings issuer', 'random count'):
        return ('code', BAD_PARAMETER)
    assert kind in ('output list', 'record output', 'key medium', 'settings get'), kind
    return ACCEPTED


class WrongValueBatteryTest(WrapperTestCase):
    def setUp(self):
        super(WrongValueBatteryTest, self).setUp()
        self.objects = [(name, getattr(_Tavrel, 'new_' + name)()) for name in CLASSES
                        if hasattr(_Tavrel, 'new_' + name)]
        self.values = PLAIN_VALUES + self.objects

    def fresh(self, value):
        """Outputs fill lists and dictionaries: each call gets its own."""
        return copy.deepcopy(value) if type(value) in (list, dict) else value

    def tearDown(self):
        for name, made in self.objects:
            getattr(_Tavrel, 'delete_' + name)(made)
        super(WrongValueBatteryTest, self).tearDown()

    def check(self, name, arguments, outcome):
        function = wrapper(name)
        try:
            function(self.t, *arguments)
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
        self.assertEqual(self.lib.counters(),
                         {'buffers': 0, 'records': 0, 'contexts': 0, 'privateKeys': 0, 'violations': 0,
                          'sessions': 0},
                         (name, arguments))

    def test_every_item_of_every_wrapper(self):
        baseline = baseline_arguments(self)
        checked = 0
        for name, kinds in SETUP_WRAPPERS:
            if name == 'Finalize':
                continue  # its only item is the table, checked below
            for position, kind in enumerate(kinds):
                for label, value in self.values:
                    arguments = list(baseline[name])
                    arguments[position] = value = self.fresh(value)
                    if kind == 'byte string':
                        arguments[position + 1] = 0  # keep the length within the copy
                    outcome = expected(kind, value)
                    if type(outcome) is tuple and outcome[0] in (TypeError, OverflowError):
                        message = "in method 'KT_INTERFACE_%s', argument %d of type '%s'" % (
                            name, position + 2, outcome[1])
                        outcome = (outcome[0], (message,))
                    self.check(name, arguments, outcome)
                    checked += 1
        self.assertGreater(checked, 500)

    def test_table_item(self):
        for name, kinds in SETUP_WRAPPERS:
            for label, value in self.values:
                with self.assertRaises(TypeError) as raised:
                    wrapper(name)(value, *([None] * len(kinds)))
                self.assertEqual(raised.exception.args, (TABLE_TYPE_ERROR % ('KT_INTERFACE_' + name),))


if __name__ == '__main__':
    unittest.main()
