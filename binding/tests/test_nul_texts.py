# -*- coding: utf-8 -*-
"""A text holding a NUL never reaches the library cut short: in every text item of every
wrapper, and in every text of a dictionary that a wrapper reads, it is refused with code 2,
as an element of a list of texts is, and the stand-in's trace shows that the library
function was not entered. Every wrapper and item comes from the kind table; the calls start
from the wrong-value battery's baselines."""
from __future__ import print_function

import os
import unittest

import kt_record_fields
from tavrel_compat import text_type
from tavrel_wrapper_kinds import WRAPPERS
from test_wrong_values import baselines
from wrapper_testing import BAD_PARAMETER, CallTrace, WrapperTestCase, wrapper

# Each with its NUL taken out, the same text reaches the library.
NUL_TEXTS = [(b'ab\0cd', b'abcd'), (u'жу\0к', u'жук')]
# What the library returns once it is entered, so that the calls that reach it change nothing.
INJECTED = 0xF00D

RECORD_TEXTS = dict((record, [name for name, type_text, _, _ in fields if type_text.startswith('char [')])
                    for record, _, fields in kt_record_fields.RECORDS)


def keyed(key):
    """put(item, text): a copy of the dictionary item holding text under key."""
    return lambda item, text: dict(item, **{key: text})


def whole(item):
    return [('text', lambda item, text: text)]


def element(item):
    return [('element', lambda item, text: [text])]


def record_texts(record):
    """The text fields of a record that travels as a dictionary."""
    return lambda item: [(key, keyed(key)) for key in RECORD_TEXTS[record]]


def settings_texts(item):
    """The texts a baseline settings dictionary holds: its wrapper reads each of them."""
    return [(key, keyed(key)) for key, value in sorted(item.items()) if isinstance(value, (bytes, text_type))]


# Kind -> (the places of its texts in an item: [(label, put(item, text))], whether a text
# without a NUL is taken there).
TEXT_PLACES = {
    'text': (whole, True),
    'written-text': (whole, True),
    'lent-text': (whole, False),  # a list is required
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


class NulTextTest(WrapperTestCase):
    def test_every_kind_is_sorted(self):
        kinds = set(kind for _, _, _, items in WRAPPERS for kind, _ in items)
        self.assertEqual(kinds - TEXTLESS, set(TEXT_PLACES))

    def test_every_text_of_every_wrapper(self):
        trace = CallTrace(self.lib.lib, os.path.join(self.scratch, 'nul-trace'))
        baseline = baselines(self)
        checked = set()
        for name, _, _, items in WRAPPERS:
            library = 'KT' + name
            for position, (kind, _) in enumerate(items):
                if kind not in TEXT_PLACES:
                    continue
                places, takes_text = TEXT_PLACES[kind]
                self.lib.set_fault(library, INJECTED)
                taken = (RuntimeError, INJECTED) if takes_text else (TypeError, BAD_PARAMETER)
                for label, put in places(baseline[name][position]):
                    for with_nul, without_nul in NUL_TEXTS:
                        where = (name, position, label, with_nul)
                        arguments = list(baseline[name])
                        arguments[position] = put(baseline[name][position], without_nul)
                        lines = trace.lines(self.assertKTError, taken[0], taken[1], wrapper(name), self.t, *arguments)
                        self.assertEqual(library in lines, takes_text, where)
                        arguments[position] = put(baseline[name][position], with_nul)
                        lines = trace.lines(self.assertKTError, TypeError, BAD_PARAMETER, wrapper(name), self.t,
                                            *arguments)
                        self.assertEqual([line for line in lines if line != 'KTGetErrorDesc'], [], where)
                    checked.add((kind, label))
        # Every text of every dictionary the wrappers read came by.
        user_texts = set(label for kind, label in checked if kind == 'user-info')
        self.assertEqual(user_texts, set(RECORD_TEXTS['KT_USER_INFO']))
        self.assertTrue({('key-medium', 'szPassword'), ('key-medium-quiet', 'szPassword'),
                         ('settings-set', 'szPassword'), ('settings-lookup', 'szIssuerCN')} <= checked)


if __name__ == '__main__':
    unittest.main()
