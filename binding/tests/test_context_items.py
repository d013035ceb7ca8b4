# -*- coding: utf-8 -*-
"""The context and named-key wrappers by item kind: what the library receives for each
form of an item, what reaches the script after success, and what stays untouched when the
conversion fails before the call or the library refuses. Every test ends with the
stand-in's outstanding counters at zero."""
from __future__ import print_function

import struct
import unittest

from context_testing import (NAMED_DEVICE, UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD, ZERO_MEDIUM, ContextTestCase, W,
                             medium_bytes, user_field, user_info)
from tavrel_compat import PY2, as_bytes, long_type, text_type
from wrapper_testing import ACCESS_FAILED, BAD_PARAMETER, KEY_FILE_PASSWORD, RESOURCE_FAILED, medium

import _Tavrel

KEY_EXISTS = 0xF010
# A key-media dictionary whose password the library leaves undecodable: its write-back fails,
# and it stays as it was passed.
UNDECODABLE_MEDIUM = medium(UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD)


class HandleOutputTest(ContextTestCase):
    """New contexts, private-key contexts and sessions: a list must be passed."""

    def calls(self):
        context = self.context()
        key = self.key_bytes(KEY_FILE_PASSWORD)
        return [('KTCtxCreate', 'CtxCreate', lambda out: (out,)),
                ('KTCtxReadPrivateKey', 'CtxReadPrivateKey', lambda out: (context, medium(1), out, None)),
                ('KTCtxReadPrivateKeyBinary', 'CtxReadPrivateKeyBinary',
                 lambda out: (context, key, len(key), KEY_FILE_PASSWORD, out, None)),
                ('KTCtxOpenPrivateKey', 'CtxOpenPrivateKey', lambda out: (context, medium(1), out)),
                ('KTCtxReadNamedPrivateKey', 'CtxReadNamedPrivateKey',
                 lambda out: (context, medium(1), 'label', 'password', out, None)),
                ('KTCtxServerDynamicKeySessionCreate', 'CtxServerDynamicKeySessionCreate',
                 lambda out: (None, 0, b'hello', 5, out))]

    def test_anything_but_a_list_is_refused_before_the_call(self):
        for function, name, items in self.calls():
            for item in [(), None, {}, b'handle']:
                self.assertNotCalled(function, W(name), self.t, *items(item))
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *items(item))

    def test_one_pointer_object_replaces_what_the_list_held(self):
        for function, name, items in self.calls()[:4]:
            out = ['a', 'b', 'c']
            W(name)(self.t, *items(out))
            self.assertEqual(len(out), 1, name)
            self.assertEqual(type(out[0]).__name__, 'SwigPyObject', name)
            W('CtxFreePrivateKey' if name != 'CtxCreate' else 'CtxFree')(self.t, out[0])

    def test_no_handle_from_the_library_gives_none(self):
        for function, name, items in self.calls()[:4]:
            self.record.set_null_output(function, {'KTCtxCreate': 0, 'KTCtxReadPrivateKeyBinary': 4}.get(function, 2))
            out = ['old']
            W(name)(self.t, *items(out))
            self.assertEqual(out, [None], name)

    def test_status_failure_leaves_the_list(self):
        for function, name, items in self.calls():
            self.lib.set_fault(function, 0xF00D)
            out = ['old']
            self.assertKTError(RuntimeError, 0xF00D, W(name), self.t, *items(out))
            self.assertEqual(out, ['old'], name)
            self.lib.clear_faults()

    def test_a_medium_that_does_not_write_back_still_hands_the_handle_back(self):
        # The medium's password does not decode: its write-back fails after success, which is
        # not reported; the new private-key context reaches the script.
        context = self.context()
        for name, owner in [('CtxReadPrivateKey', ({},)), ('CtxOpenPrivateKey', ())]:
            out, item = ['old'], dict(UNDECODABLE_MEDIUM)
            freed, outcome = self.calls_during('KTCtxFreePrivateKey', W(name), self.t, context, item, out, *owner)
            self.assertEqual((freed, outcome, len(out), item), (0, ('ok', None), 1, UNDECODABLE_MEDIUM), name)
            self.assertNotEqual(out[0], None, name)
            self.assertEqual(self.lib.counters()['privateKeys'], 1, name)
            W('CtxFreePrivateKey')(self.t, out[0])
            if owner:
                self.assertIn('pszSerial', owner[0])

    def test_a_handle_not_handed_back_is_released(self):
        # The password output before the handle cannot be decoded: the new private-key context
        # never reaches the script, and must not outlive the call.
        context = self.context()
        password = b'pw\x98'
        key = self.key_bytes(password)
        self.record.set_lent_text('KTCtxReadPrivateKeyBinary', 3, password)
        out = ['old']
        freed, _ = self.calls_during('KTCtxFreePrivateKey', self.assertKTError, TypeError, RESOURCE_FAILED,
                                     W('CtxReadPrivateKeyBinary'), self.t, context, key, len(key), [], out, None)
        self.assertEqual((freed, out), (1, ['old']))


class HandleTest(ContextTestCase):
    """Existing handles: any pointer object or None, unchecked by the module."""

    def test_none_is_a_null_handle_and_other_objects_are_refused(self):
        self.assertIsNone(W('CtxFree')(self.t, None))
        self.assertTrue(self.record.is_null('KTCtxFree', 0))
        self.assertIsNone(W('CtxFreePrivateKey')(self.t, None))
        for name, items in [('CtxFree', ()), ('CtxFreePrivateKey', ()), ('CtxSignData', (1, b'a', 1, 0, 0, [])),
                            ('CtxSetParameter', ('ResolveOIDs', 1))]:
            for value in [5, b'handle', [], 1.5]:
                self.assertArgError(TypeError, "in method 'KT_INTERFACE_%s', argument 2 of type 'PVOID'" % name,
                                    W(name), self.t, value, *items)

    def test_handles_of_the_wrong_kind_or_freed_give_a_status(self):
        context = self.context()
        key = self.private_key(context)
        record = _Tavrel.new_KT_KEY_MEDIA()
        self.addCleanup(_Tavrel.delete_KT_KEY_MEDIA, record)
        freed = []
        W('CtxCreate')(self.t, freed)
        W('CtxFree')(self.t, freed[0])
        for handle in [context, record, self.t, freed[0]]:
            self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxSignData'), self.t, handle, 1, b'a', 1, 0, 0, [])
        for handle in [key, record, self.t, freed[0]]:
            self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxOpenPrivateKey'), self.t, handle, medium(1), [])
        W('CtxFree')(self.t, freed[0])  # twice: ignored

    def test_private_key_freed_after_its_context(self):
        context = []
        W('CtxCreate')(self.t, context)
        key = []
        W('CtxReadPrivateKey')(self.t, context[0], medium(1), key, None)
        W('CtxFree')(self.t, context[0])
        W('CtxFreePrivateKey')(self.t, key[0])
        self.assertEqual(self.lib.counters()['violations'], 1)
        self.lib.lib.TavrelStandin_Reset()
        self.lib.lib.TavrelStandin_SetWorldPath(as_bytes(self.world))


class ValueTest(ContextTestCase):
    """The int ref of CtxSetParameter: its low 32 bits by address, with the size 4."""

    def test_low_32_bits_of_an_int_or_long(self):
        context = self.context()
        name = _Tavrel.KT_RESOLVE_OIDS_CONTEXT_PARAMETER
        for value, received in [(1, 1), (2 ** 32 + 1, 1), (True, 1), (False, 0), (-1, 2 ** 32 - 1),
                                (2 ** 64 - 1, 2 ** 32 - 1), (long_type(7), 7)]:
            self.assertIsNone(W('CtxSetParameter')(self.t, context, name, value))
            self.assertEqual(self.record.bytes('KTCtxSetParameter', 2), struct.pack('<I', received), value)
            self.assertEqual(self.record.number('KTCtxSetParameter', 3), 4)

    def test_other_values_raise_code_2_before_the_call(self):
        context = self.context()
        # A negative long; Python 3's -1 is the int taken above.
        for value in [1.0, b'1', None, [], 2 ** 64, 2 ** 70] + ([long_type(-1)] if PY2 else []):
            self.assertNotCalled('KTCtxSetParameter', W('CtxSetParameter'), self.t, context, 'ResolveOIDs', value)
            self.assertKTError(TypeError, BAD_PARAMETER, W('CtxSetParameter'), self.t, context, 'ResolveOIDs', value)
        # Nothing is left pending: the next call goes through.
        self.assertIsNone(W('CtxSetParameter')(self.t, context, 'ResolveOIDs', 1))

    def test_the_four_names_and_others(self):
        context = self.context()
        for name in ['CHECK_PRIVATE_KEY', 'RESOLVE_OIDS', 'EXPORATABLE_CONTEXT', 'USE_COUPLE_PRIVATE_KEY']:
            constant = getattr(_Tavrel, 'KT_%s_CONTEXT_PARAMETER' % name)
            self.assertEqual(getattr(_Tavrel, 'KT_%s_CONTEXT_PARAMETER_LENGTH' % name), 4)
            self.assertIsNone(W('CtxSetParameter')(self.t, context, constant, 0))
            self.assertIsNone(W('CtxSetParameter')(self.t, context, constant.decode('cp1251'), 0))
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxSetParameter'), self.t, context, 'Other', 1)


class TextTest(ContextTestCase):
    """Texts: byte strings unchanged, Unicode encoded, other objects none, lists lent buffers."""

    def test_forms_reach_the_library(self):
        context = self.context()
        for value, received in [(b'ResolveOIDs', b'ResolveOIDs'), (u'ResolveOIDs', b'ResolveOIDs'), (None, None),
                                (5, None)]:
            self.calls_during('KTCtxSetParameter', W('CtxSetParameter'), self.t, context, value, 1)
            self.assertEqual(self.record.bytes('KTCtxSetParameter', 1), received, repr(value))

    def test_unencodable_unicode_raises_code_6_before_the_call(self):
        context = self.context()
        self.assertNotCalled('KTCtxChangeNamedPrivateKeyPassword', W('CtxChangeNamedPrivateKeyPassword'), self.t,
                             context, self.named_medium(), u'мітка', u'пароль', u'\u4e00')
        self.assertKTError(TypeError, RESOURCE_FAILED, W('CtxChangeNamedPrivateKeyPassword'), self.t, context,
                           self.named_medium(), u'мітка', u'пароль', u'\u4e00')

    def test_a_list_receives_the_lent_buffers_text(self):
        context = self.context()
        name = ['old', 'older']
        self.record.set_lent_text('KTCtxSetParameter', 1, b'ResolveOIDs')
        self.assertIsNone(W('CtxSetParameter')(self.t, context, name, 1))
        self.assertEqual(name, [u'ResolveOIDs'])
        # An untouched buffer is an empty text, which the library refuses; the list stays.
        name = ['old']
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxSetParameter'), self.t, context, name, 1)
        self.assertEqual(self.record.bytes('KTCtxSetParameter', 1), b'')
        self.assertEqual(name, ['old'])

    def test_label_lists_of_named_keys_in_item_order(self):
        context = self.context()
        label, password = [], []
        self.record.set_lent_text('KTCtxIsNamedPrivateKeyExists', 2, b'\xec\xb3\xf2\xea\xe0')  # "мітка"
        self.record.set_lent_text('KTCtxIsNamedPrivateKeyExists', 3, b'secret')
        found = []
        W('CtxIsNamedPrivateKeyExists')(self.t, context, self.named_medium(), label, password, found)
        self.assertEqual((label, password, found), ([u'мітка'], [u'secret'], [False]))

    def test_a_long_label_reaches_the_library_unchanged(self):
        context = self.context()
        label = b'L' * 65
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxGenerateNamedPrivateKey'), self.t, context,
                           self.named_medium(), label, 'p', 1, 1, 1, None, 0, 0, None, None, None, None, None, None,
                           None)
        self.assertEqual(self.record.bytes('KTCtxGenerateNamedPrivateKey', 2), label)


class KeyMediumTest(ContextTestCase):
    """Key-media dictionaries: exactly three keys that convert, else the zeroed medium."""

    def test_what_the_library_receives(self):
        context = self.context()
        for item, received in [
                (medium(1), medium_bytes(0, 1, b'12345678')),
                (dict(medium(1), extra=1), ZERO_MEDIUM),
                ({'szPassword': '12345678', 'dwTypeIndex': 0}, ZERO_MEDIUM),
                # Password and device read before the type fails: none of it may remain.
                ({'szPassword': '12345678', 'dwDevIndex': 1, 'dwTypeIndex': b'x'}, ZERO_MEDIUM),
                (None, ZERO_MEDIUM), ([], ZERO_MEDIUM)]:
            found = []
            W('CtxIsNamedPrivateKeyExists')(self.t, context, item, 'absent', None, found)
            self.assertEqual(self.record.bytes('KTCtxIsNamedPrivateKeyExists', 1), received, item)
            self.assertEqual(found, [False])

    def test_refilled_after_success_only(self):
        context = self.context()
        item = dict(medium(1), extra=1)  # the zeroed medium opens device T-0
        W('CtxOpenPrivateKey')(self.t, context, item, self.freed_key())
        self.assertEqual(item, {'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': u''})
        item = medium(1, 'wrong')
        before = dict(item)
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxOpenPrivateKey'), self.t, context, item, [])
        self.assertEqual(item, before)
        item = medium(1)
        found = []
        W('CtxIsNamedPrivateKeyExists')(self.t, context, item, 'absent', None, found)
        self.assertEqual(item, {'dwTypeIndex': 0, 'dwDevIndex': 1, 'szPassword': u'12345678'})
        self.assertEqual(type(item['szPassword']), text_type)

    def test_a_refill_that_fails_is_not_reported(self):
        context = self.context()
        item = dict(UNDECODABLE_MEDIUM)
        found = []
        W('CtxIsNamedPrivateKeyExists')(self.t, context, item, 'absent', None, found)
        self.assertEqual((item, found), (UNDECODABLE_MEDIUM, [False]))  # later outputs are written
        # A named key made on such a medium is made once: the call succeeded.
        for name, extra in [('CtxGenerateNamedPrivateKey', ()), ('CtxGenerateNamedPrivateKeyEx', (None, None))]:
            label = name + '-undecodable'
            arguments = (label, 'p', 1, 1, 1, None, 0, 0, None) + extra + ([], None, None, None, None, None)
            item = dict(UNDECODABLE_MEDIUM)
            self.assertIsNone(W(name)(self.t, context, item, *arguments), name)
            self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, self.context(),
                            medium(UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD), label, 'p')
            self.assertEqual((item, len(arguments[9 + len(extra)])), (UNDECODABLE_MEDIUM, 1), name)
            self.assertKTError(RuntimeError, KEY_EXISTS, W(name), self.t, context,
                               medium(UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD), *arguments)

    def freed_key(self):
        """A list whose private-key context is freed after the test."""
        out = []
        self.addCleanup(lambda: out and W('CtxFreePrivateKey')(self.t, out[0]))
        return out


class OwnerTest(ContextTestCase):
    def test_owner_dictionary_filled_and_record_released(self):
        context = self.context()
        for owner in [{'old': 1}, None, [], b'x']:
            out = []
            W('CtxReadPrivateKey')(self.t, context, medium(1), out, owner)
            W('CtxFreePrivateKey')(self.t, out[0])
            if type(owner) is dict:
                self.assertEqual(len(owner), 18)
                self.assertIs(owner['bFilled'], True)
                self.assertEqual(type(owner['pszSubjCN']), text_type)
        owner = {'old': 1}
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxReadPrivateKey'), self.t, context, medium(1, 'x'), [],
                           owner)
        self.assertEqual(owner, {'old': 1})


class BytesTest(ContextTestCase):
    """Byte strings: a copy with its NUL, the length as the caller gives it."""

    def test_copy_and_length(self):
        key = self.private_key()
        for data, length, received in [(b'abc', 3, b'abc'), (b'abc', 4, b'abc\0'), (b'abc', 1, b'a'), (None, 0, b'')]:
            W('CtxSignData')(self.t, key, 1, data, length, 1, 0, [])
            self.assertEqual(self.record.bytes('KTCtxSignData', 2), received)
            self.assertEqual(self.record.number('KTCtxSignData', 3), length)

    def test_refused_kinds_and_lengths(self):
        key = self.private_key()
        for data, length in [(u'abc', 3), (5, 0), ([b'abc'], 3), (b'abc', 5)]:
            self.assertNotCalled('KTCtxSignData', W('CtxSignData'), self.t, key, 1, data, length, 1, 0, [])
            self.assertKTError(TypeError, BAD_PARAMETER, W('CtxSignData'), self.t, key, 1, data, length, 1, 0, [])

    def test_numbers_and_flags_as_given(self):
        key = self.private_key()
        W('CtxSignData')(self.t, key, 3, b'abc', 3, -5, 2 ** 31 - 1, [])
        self.assertEqual([self.record.number('KTCtxSignData', i) for i in (1, 4, 5)], [3, 2 ** 32 - 5, 2 ** 31 - 1])
        self.assertArgError(OverflowError, "in method 'KT_INTERFACE_CtxSignData', argument 3 of type 'DWORD'",
                            W('CtxSignData'), self.t, key, -1, b'abc', 3, 1, 0, [])
        self.assertArgError(OverflowError, "in method 'KT_INTERFACE_CtxSignData', argument 7 of type 'BOOL'",
                            W('CtxSignData'), self.t, key, 1, b'abc', 3, 1, 2 ** 31, [])


class BytesOutputTest(ContextTestCase):
    def test_not_asked_for(self):
        key = self.private_key()
        # The library gets no signature address, the length's address still.
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('CtxSignData'), self.t, key, 1, b'abc', 3, 1, 0, None)
        self.assertEqual((self.record.is_null('KTCtxSignData', 6), self.record.is_null('KTCtxSignData', 7)),
                         (True, False))

    def test_one_byte_string_or_none(self):
        key = self.private_key()
        out = ['a', 'b']
        W('CtxSignData')(self.t, key, 1, b'abc', 3, 1, 0, out)
        self.assertEqual((len(out), type(out[0])), (1, bytes))
        self.record.set_null_output('KTCtxSignData', 6)
        W('CtxSignData')(self.t, key, 1, b'abc', 3, 1, 0, out)
        self.assertEqual(out, [None])
        self.lib.set_fault('KTCtxSignData', ACCESS_FAILED)
        out = ['kept']
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxSignData'), self.t, key, 1, b'abc', 3, 1, 0, out)
        self.assertEqual(out, ['kept'])

    def test_generated_requests_asked_for_one_by_one(self):
        context = self.context()
        outputs = [None, [], None]
        W('CtxGenerateNamedPrivateKey')(self.t, context, self.named_medium(), 'only-second', 'p', 1, 1, 1, None, 0,
                                        0, None, outputs[0], None, outputs[1], None, outputs[2], None)
        self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, self.context(), self.named_medium(), 'only-second',
                        'p')
        self.assertEqual([self.record.is_null('KTCtxGenerateNamedPrivateKey', i) for i in (11, 12, 14, 15, 17, 18)],
                         [True, False, False, False, True, False])
        self.assertEqual((outputs[0], len(outputs[1]), outputs[2]), (None, 1, None))

    def test_request_file_names_given_as_texts_are_not_written(self):
        # The library writes each request's file name into the name item after its buffer: a
        # text given there reaches it as a copy, and the script's string stays as it was
        # (a long one unchanged, a short one not overrun).
        context = self.context()
        n = 1
        names = [b'a' * (40 * n), b'b' * n, u'\u0456\u043c\u044f' * n]
        for name, extra, indices in [('CtxGenerateNamedPrivateKey', (), (13, 16, 19)),
                                     ('CtxGenerateNamedPrivateKeyEx', (None, None), (15, 18, 21))]:
            label = name + '-names'
            given = [text[:] for text in names]
            requests = [[], [], []]
            W(name)(self.t, context, self.named_medium(), label, 'p', 1, 1, 1, None, 0, 0, None, *(extra + (
                requests[0], given[0], requests[1], given[1], requests[2], given[2])))
            self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, self.context(), self.named_medium(), label, 'p')
            self.assertEqual(given, names, name)
            self.assertEqual([self.record.bytes('KT' + name, i) for i in indices],
                             [names[0], names[1], names[2].encode('cp1251')], name)
            self.assertEqual([len(r) for r in requests], [1, 1, 1], name)
            lent = [[], [], []]
            W(name)(self.t, context, self.named_medium(), label + '-lent', 'p', 1, 1, 1, None, 0, 0, None, *(extra + (
                None, lent[0], None, lent[1], None, lent[2])))
            self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, self.context(), self.named_medium(),
                            label + '-lent', 'p')
            self.assertEqual(lent, [[label + u'-lent-ds.p10'], [label + u'-lent-kep.p10'],
                                    [label + u'-lent-int.p10']], name)

    def test_certificate_without_its_description(self):
        key = self.private_key()
        der = []
        released, _ = self.calls_during('KTFreeCertificateInfoEx', W('CtxGetOwnCertificate'), self.t, key, 0, 0,
                                        None, der)
        self.assertEqual((released, len(der)), (1, 1))
        self.assertFalse(self.record.is_null('KTCtxGetOwnCertificate', 3))
        info = {'old': 1}
        W('CtxGetOwnCertificate')(self.t, key, 0, 0, info, None)
        self.assertEqual(info['pszSerial'], self.owner_serial())

    def owner_serial(self):
        owner = {}
        out = []
        W('CtxReadPrivateKey')(self.t, self.context(), medium(1), out, owner)
        W('CtxFreePrivateKey')(self.t, out[0])
        return owner['pszSerial']


class FlagOutputTest(ContextTestCase):
    def test_existence_flag(self):
        context = self.context()
        self.assertIsNone(W('CtxIsNamedPrivateKeyExists')(self.t, context, self.named_medium(), 'absent', None, None))
        self.assertTrue(self.record.is_null('KTCtxIsNamedPrivateKeyExists', 4))
        found = [1, 2]
        self.assertIsNone(W('CtxIsNamedPrivateKeyExists')(self.t, context, self.named_medium(), 'absent', None, found))
        self.assertEqual(found, [False])
        self.assertIs(found[0], False)


class UserInfoTest(ContextTestCase):
    """KT_USER_INFO in from a dictionary of all 23 keys, refilled after success."""

    def generate(self, label, info):
        context = self.context()
        W('CtxGenerateNamedPrivateKeyEx')(self.t, context, self.named_medium(), label, 'p', 1, 1, 1, None, 0, 0, None,
                                          info, None, None, None, None, None, None, None)
        self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, self.context(), self.named_medium(), label, 'p')

    def test_none_passes_no_record(self):
        self.generate('no-user', None)
        self.assertTrue(self.record.is_null('KTCtxGenerateNamedPrivateKeyEx', 11))

    def test_a_missing_key_raises_code_2_before_the_call(self):
        info = user_info()
        del info['szUNZR']
        before = dict(info)
        context = self.context()
        arguments = (context, self.named_medium(), 'x', 'p', 1, 1, 1, None, 0, 0, None, info, None, None, None, None,
                     None, None, None)
        self.assertNotCalled('KTCtxGenerateNamedPrivateKeyEx', W('CtxGenerateNamedPrivateKeyEx'), self.t, *arguments)
        self.assertKTError(TypeError, BAD_PARAMETER, W('CtxGenerateNamedPrivateKeyEx'), self.t, *arguments)
        self.assertEqual(info, before)

    def test_zeroed_record_and_write_back(self):
        info = user_info(szCommonName=u'Петро', szCountry=u'UA', szOrganiztion='Org')
        self.generate('with-user', info)
        record = self.record.bytes('KTCtxGenerateNamedPrivateKeyEx', 11)
        self.assertEqual(user_field(record, 'szCountry'), b'UA')
        self.assertEqual(user_field(record, 'szCommonName'), u'Петро'.encode('cp1251'))
        # Every byte that no text reached is zero.
        texts = sum(len(user_field(record, name)) for name in info if name != 'dwVersion')
        self.assertEqual(len(record) - record.count(b'\0'), texts + 1)  # dwVersion 3 is one byte
        # The library made the key for the description and says so in it.
        self.assertEqual(len(info), 23)
        self.assertEqual((info['szCommonName'], info['szCountry']), (u'Петро', u'UA'))
        self.assertEqual(len(info['szUserCode']), 16)


class ByteListTest(ContextTestCase):
    def test_recipients(self):
        key = self.private_key()
        self.assertKTError(RuntimeError, 0xF006, W('CtxEnvelopData'), self.t, key, [b'ab', b'cde'], 1, 0, 0, b'd', 1, [])
        self.assertEqual(self.record.number('KTCtxEnvelopData', 1), 2)
        self.assertEqual(self.record.bytes('KTCtxEnvelopData', 2), b'ab\0cde\0')
        self.assertEqual(self.record.bytes('KTCtxEnvelopData', 3), struct.pack('<QQ', 3, 4))

    def test_refusals(self):
        key = self.private_key()
        for recipients in [[], (b'ab',), [u'ab'], [b'ab', 5]]:
            self.assertNotCalled('KTCtxEnvelopData', W('CtxEnvelopData'), self.t, key, recipients, 1, 0, 0, b'd', 1,
                                 [])
        self.assertArgError(OverflowError, "in method 'KT_INTERFACE_CtxEnvelopData', argument 6 of type 'DWORD'",
                            W('CtxEnvelopData'), self.t, key, [b'ab'], -1, 0, 0, b'd', 1, [])
        self.assertArgError(TypeError, "in method 'KT_INTERFACE_CtxEnvelopData', argument 10 of type 'DWORD'",
                            W('CtxEnvelopData'), self.t, key, [b'ab'], 1, 0, 0, b'd', b'x', [])


class SenderTest(ContextTestCase):
    def test_sender_record_released_whatever_the_item(self):
        key = self.private_key()
        for sender in [[], None, {'old': 1}]:
            released, outcome = self.calls_during('KTFreeSenderInfo', W('CtxDevelopData'), self.t, key, None, b'x', 1,
                                                  None, 0, [], sender)
            self.assertEqual(released, 1)
            self.assertIs(outcome[0], RuntimeError)
        self.assertEqual(sender, {'old': 1})


if __name__ == '__main__':
    unittest.main()
