# -*- coding: utf-8 -*-
"""The library receives exactly the texts the script gave, or the call is refused before the
library is called: in every text item of every wrapper, every element of a list of texts
and every text of a dictionary that a wrapper reads, a text holding a NUL (which the library
would read only up to the NUL) is refused with code 2, a Unicode text that Windows-1251
cannot encode with code 6, an empty element of a list of texts (which would end the
multi-string there, dropping the texts after it) with code 2, and a dictionary's text longer
than its record field (which would be cut) with code 2. The stand-in's trace shows
that the library function was not entered. Every wrapper and item comes from the kind
table; the calls start from the wrong-value battery's baselines."""
from __future__ import print_function

import os
import unittest

import kt_record_fields
from tavrel_compat import text_type
from tavrel_wrapper_kinds import WRAPPERS
from test_wrong_values import baselines
from wrapper_testing import BAD_PARAMETER, RESOURCE_FAILED, SETTINGS, CallTrace, WrapperTestCase, wrapper

# What the library returns once it is entered, so that the calls that reach it change nothing.
INJECTED = 0xF00D

RECORD_TEXTS = dict((record, [name for name, type_text, _, _ in fields if type_text.startswith('char [')])
                    for record, _, fields in kt_record_fields.RECORDS)
# The size of each dictionary text's field, its NUL included: records' by record, settings' by key.
FIELD_SIZES = dict((record, dict((name, width) for name, type_text, _, width in fields))
                   for record, _, fields in kt_record_fields.RECORDS)
SETTINGS_SIZES = dict((key, size) for group in SETTINGS.values() for key, _, size in group if size)


def keyed(key):
    """put(item, text): a copy of the dictionary item holding text under key."""
    return lambda item, text: dict(item, **{key: text})


def whole(item):
    return [('text', lambda item, text: text, None)]


def element(item):
    """The text between the list's own elements, as the library would lose what follows it."""
    return [('element', lambda item, text: list(item) + [text] + list(item), None)]


def record_texts(record):
    """The text fields of a record that travels as a dictionary."""
    return lambda item: [(key, keyed(key), FIELD_SIZES[record][key]) for key in RECORD_TEXTS[record]]


def settings_texts(item):
    """The texts a baseline settings dictionary holds: its wrapper reads each of them."""
    return [(key, keyed(key), SETTINGS_SIZES[key]) for key, value in sorted(item.items())
            if isinstance(value, (bytes, text_type))]


# Kind -> (the places of its texts in an item: [(label, put(item, text), the size of its field
# or None)], whether a text is taken there; a lent text needs a list).
TEXT_PLACES = {
    'text': (whole, True),
    'written-text': (whole, True),
    'lent-text': (whole, False),
    'text-list': (element, True),
    'key-medium': (record_texts('KT_KEY_MEDIA'), True),
    'key-medium-quiet': (record_texts('KT_KEY_MEDIA'), True),
    'user-info': (record_texts('KT_USER_INFO'), True),
    'settings-set': (settings_texts, True),
    'settings-lookup': (settings_texts, True),
}
# Kinds whose items hold no text that goes to the library.
TEXTLESS = {'number', 'length', 'flag', 'bytes', 'text-out', 'decoded-text-out', 'bytes-out', 'number-out',
            'flag-out', 'context-out', 'private-key-out', 'session-out', 'handle', 'time', 'value', 'signer',
            'sender', 'owner', 'certificate-info', 'certificate-info-ex', 'request-info', 'bytes-list',
            'certificates-out', 'random-bytes', 'random-count', 'settings-get', 'settings-enumerate'}
# Lists of which the library needs at least one element.
NON_EMPTY_LISTS = {'text-list', 'bytes-list'}

DICTIONARY_KINDS = set(kind for kind, (places, _) in TEXT_PLACES.items() if places not in (whole, element))

# What would not reach the library as given: (label, texts(size of the place's field or None):
# [(refused text, a text taken in its place)], the code it is refused with, the kinds that
# refuse it; a text taken elsewhere).
FAULTS = [
    ('NUL', lambda size: [(b'a\0b', b'ab'), (u'ж\0', u'ж')], BAD_PARAMETER, set(TEXT_PLACES)),
    ('not Windows-1251', lambda size: [(u'\u2603', u'ж')], RESOURCE_FAILED, set(TEXT_PLACES)),
    ('empty', lambda size: [(b'', b'x'), (u'', u'x')], BAD_PARAMETER, {'text-list'}),
    ('longer than its field', lambda size: [(b'x' * size, b'x' * (size - 1)), (u'я' * size, u'я' * (size - 1))]
     if size else [], BAD_PARAMETER, DICTIONARY_KINDS),
]


class RefusedTextTest(WrapperTestCase):
    def setUp(self):
        super(RefusedTextTest, self).setUp()
        self.trace = CallTrace(self.lib.lib, os.path.join(self.scratch, 'refused-trace'))

    def library_lines(self, code, name, arguments):
        """The trace of a call refused with code, less the error text it asked for."""
        lines = self.trace.lines(self.assertKTError, TypeError, code, wrapper(name), self.t, *arguments)
        return [line for line in lines if line != 'KTGetErrorDesc']

    def test_every_kind_is_sorted(self):
        kinds = set(kind for _, _, _, items in WRAPPERS for kind, _ in items)
        self.assertEqual(kinds - TEXTLESS, set(TEXT_PLACES))
        self.assertTrue(NON_EMPTY_LISTS <= kinds)

    def test_every_text_of_every_wrapper(self):
        baseline = baselines(self)
        checked = set()
        for name, _, _, items in WRAPPERS:
            library = 'KT' + name
            for position, (kind, _) in enumerate(items):
                if kind not in TEXT_PLACES:
                    continue
                places, takes_text = TEXT_PLACES[kind]
                for label, put, size in places(baseline[name][position]):
                    for fault, texts, code, refusing in FAULTS:
                        for refused, taken in texts(size):
                            where = (name, position, label, fault, refused)
                            arguments = list(baseline[name])
                            self.lib.set_fault(library, INJECTED)
                            for text, refuses in [(taken, False), (refused, kind in refusing)]:
                                arguments[position] = put(baseline[name][position], text)
                                if refuses or not takes_text:
                                    refusal = code if refuses and takes_text else BAD_PARAMETER
                                    self.assertEqual(self.library_lines(refusal, name, arguments), [], where)
                                else:
                                    lines = self.trace.lines(self.assertKTError, RuntimeError, INJECTED,
                                                             wrapper(name), self.t, *arguments)
                                    self.assertIn(library, lines, where)
                    checked.add((kind, label))
        # Every text of every dictionary the wrappers read came by.
        user_texts = set(label for kind, label in checked if kind == 'user-info')
        self.assertEqual(user_texts, set(RECORD_TEXTS['KT_USER_INFO']))
        self.assertTrue({('key-medium', 'szPassword'), ('key-medium-quiet', 'szPassword'),
                         ('settings-set', 'szPassword'), ('settings-lookup', 'szIssuerCN'),
                         ('text-list', 'element')} <= checked)

    def test_every_list_needs_an_element(self):
        baseline = baselines(self)
        lists = 0
        for name, _, _, items in WRAPPERS:
            for position, (kind, _) in enumerate(items):
                if kind in NON_EMPTY_LISTS:
                    arguments = list(baseline[name])
                    arguments[position] = []
                    self.assertEqual(self.library_lines(BAD_PARAMETER, name, arguments), [], (name, position))
                    lists += 1
        self.assertGreater(lists, 8)


if __name__ == '__main__':
    unittest.main()
