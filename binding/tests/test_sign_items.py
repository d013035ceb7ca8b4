# -*- coding: utf-8 -*-
"""The item and result kinds of the signing, verification and hashing wrappers, by kind and
by road: what the library is handed (the stand-in's call record), a status failure, a
conversion failure before the call, and an output-write failure after success."""
from __future__ import print_function

import base64
import copy
import os
import unittest

import _Tavrel
from sign_testing import DATA, VERIFY_FAILED, W, SignTestCase, baseline_arguments, sha256
from tavrel_compat import as_bytes, text_type
from tavrel_wrapper_kinds import WRAPPERS
from wrapper_testing import BAD_PARAMETER, RESOURCE_FAILED

SIGN_WRAPPERS = [(name, items) for name, subsystem, _, items in WRAPPERS if subsystem == 5]
INJECTED = 0xF00D
UNDECODABLE = b'\x98 is not Windows-1251'


def fresh(items):
    """Outputs fill lists and dictionaries: each call gets its own."""
    return tuple(copy.deepcopy(item) if type(item) in (list, dict) else item for item in items)


def message(name, argnum, type_name):
    return "in method 'KT_INTERFACE_%s', argument %d of type '%s'" % (name, argnum, type_name)


class BaselineTest(SignTestCase):
    """The baselines of the wrong-value battery succeed, so that the battery reaches every
    road after the call; and every wrapper reports a failing status."""

    def test_every_baseline_succeeds_and_every_status_is_reported(self):
        self.assertEqual(len(SIGN_WRAPPERS), 41)
        baseline = baseline_arguments(self)
        W('HashDataBeginWithParams')(self.t, None, 0)
        for name, _ in SIGN_WRAPPERS:
            self.assertIsNone(W(name)(self.t, *fresh(baseline[name])), name)
            self.lib.set_fault('KT' + name, INJECTED)
            self.assertKTError(RuntimeError, INJECTED, W(name), self.t, *fresh(baseline[name]))
            self.lib.clear_faults()
            if name == 'HashDataEnd':
                W('HashDataBeginWithParams')(self.t, None, 0)
        W('HashDataEnd')(self.t, None, None)


class BytesItemTest(SignTestCase):
    # wrapper, items with X for the byte string and L for its length, library argument of the copy
    CASES = [('SignData', ('X', 'L', [], []), 0),
             ('HashData', ('X', 'L', None, None), 0),
             ('RawSignData', ('X', 'L', None, []), 0),
             ('CreateEmptySign', ('X', 'L', [], None), 0),
             ('HashDataWithParams', (None, 0, 'X', 'L', None, []), 2),
             ('SignDataInternal', (1, 'X', 'L', [], []), 1),
             ('COSESignData', (1, 'X', 'L', []), 1),
             ('HashDataContinue', ('X', 'L'), 0)]

    def items(self, template, data, length):
        return tuple({'X': data, 'L': length}.get(item, item) if type(item) is str else copy.deepcopy(item)
                     for item in template)

    def test_the_copy_holds_exactly_the_given_length(self):
        W('HashDataBeginWithParams')(self.t, None, 0)
        for name, template, argument in self.CASES:
            for data, length, seen in [(b'abc', 2, b'ab'), (b'abc', 4, b'abc\x00'), (b'a\x00b', 3, b'a\x00b'),
                                       (None, 0, b''), (None, 1, b'\x00')]:
                W(name)(self.t, *self.items(template, data, length))
                self.assertEqual(self.record.bytes('KT' + name, argument), seen, (name, data, length))
                self.assertEqual(self.record.number('KT' + name, argument + 1), length)
        W('HashDataEnd')(self.t, None, None)

    def test_refused_before_the_call(self):
        for name, template, argument in self.CASES:
            for data, length, code in [(u'abc', 3, BAD_PARAMETER), (5, 1, BAD_PARAMETER), ([b'abc'], 3, BAD_PARAMETER),
                                       (b'abc', 5, BAD_PARAMETER), (None, 2, BAD_PARAMETER)]:
                self.assertKTError(TypeError, code, W(name), self.t, *self.items(template, data, length))
                self.assertNotCalled('KT' + name, W(name), self.t, *self.items(template, data, length))

    def test_length_refused_as_a_dword(self):
        for name, template, argument in self.CASES:
            argnum = argument + 3  # the table is 1, the copy argument + 2
            for length, exception in [(-1, OverflowError), (2 ** 64, OverflowError), (1.0, TypeError),
                                      (b'1', TypeError), (None, TypeError)]:
                self.assertArgError(exception, message(name, argnum, 'DWORD'), W(name), self.t,
                                    *self.items(template, b'abc', length))


class NumberAndFlagItemTest(SignTestCase):
    def test_index_passed_unchanged(self):
        text, binary = self.sign()
        for index in [0, 1, 2 ** 64 - 1, True]:
            try:
                W('GetSignType')(self.t, index, None, binary, len(binary), [])
            except RuntimeError as e:
                self.assertEqual(e.args[0]['ErrorCode'], BAD_PARAMETER)
            self.assertEqual(self.record.number('KTGetSignType', 0), int(index))
        for index, exception in [(-1, OverflowError), (2 ** 64, OverflowError), (0.0, TypeError)]:
            self.assertArgError(exception, message('GetSigner', 2, 'DWORD'), W('GetSigner'), self.t, index, text, None,
                                0, [], [])

    def test_flags_are_signed_32_bits_passed_unchanged(self):
        for flag, seen in [(True, 1), (2, 2), (-5, 2 ** 64 - 5), (2 ** 31 - 1, 2 ** 31 - 1)]:
            W('SignDataInternal')(self.t, flag, DATA, len(DATA), None, None)
            self.assertEqual(self.record.number('KTSignDataInternal', 0), seen)
        for flag, exception in [(2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), (b'1', TypeError)]:
            self.assertArgError(exception, message('SignDataInternal', 2, 'BOOL'), W('SignDataInternal'), self.t,
                                flag, DATA, len(DATA), [], [])
        internal = self.sign_internal()[1]
        W('VerifyDataInternalOnTimeEx')(self.t, 0, None, internal, len(internal), None, -7, True, None, None)
        self.assertEqual([self.record.number('KTVerifyDataInternalOnTimeEx', i) for i in (5, 6)], [2 ** 64 - 7, 1])


class TextItemTest(SignTestCase):
    def test_forms_of_a_text_as_the_library_sees_them(self):
        text = self.sign()[0]
        for item, seen in [(text, text), (text.decode('ascii'), text), (None, None), (5, None), ({}, None),
                           (u'підпис', u'підпис'.encode('cp1251'))]:
            try:
                W('VerifyData')(self.t, DATA, len(DATA), item, None, 0, None)
            except RuntimeError:
                pass
            self.assertEqual(self.record.bytes('KTVerifyData', 2), seen, item)
            self.assertEqual(self.record.is_null('KTVerifyData', 2), seen is None)

    def test_unencodable_text_refused_before_the_call(self):
        hashed = sha256(DATA)
        for name, items in [('VerifyData', (DATA, len(DATA), u'\u4e00', None, 0, {})),
                            ('HashFile', (u'\u4e00', [], [])),
                            ('VerifyHash', (None, hashed, 32, u'\u4e00', None, 0, {})),
                            ('COSESignFile', (1, 'a', u'\u4e00'))]:
            self.assertKTError(TypeError, RESOURCE_FAILED, W(name), self.t, *items)
            self.assertNotCalled('KT' + name, W(name), self.t, *items)

    def test_a_list_lends_an_empty_buffer_and_receives_its_text(self):
        data_file = as_bytes(self.path('lent', DATA))
        name, hashed = ['junk', 'more'], []
        self.record.set_lent_text('KTHashFile', 0, data_file)
        W('HashFile')(self.t, name, None, hashed)
        self.assertEqual(self.record.bytes('KTHashFile', 0), b'')
        self.assertEqual(name, [data_file.decode('cp1251')])
        self.assertIs(type(name[0]), text_type)
        self.assertEqual(hashed, [self.two_forms('HashData', DATA, len(DATA))[1]])
        # Each text item has its own buffer, written back in item order; the binary form of
        # the signature is the one read when both are given.
        hash_text, sign_text = [], []
        binary = self.sign()[1]
        self.record.set_lent_text('KTVerifyHash', 0, base64.b64encode(sha256(DATA)))
        self.record.set_lent_text('KTVerifyHash', 3, u'підпис'.encode('cp1251'))
        W('VerifyHash')(self.t, hash_text, None, 0, sign_text, binary, len(binary), None)
        self.assertEqual((hash_text, sign_text), ([base64.b64encode(sha256(DATA)).decode('ascii')], [u'підпис']))

    def test_a_text_filling_the_whole_buffer(self):
        hashed, text = [], ['junk']
        full = b'x' * (_Tavrel.KT_SIGNER_INFO_MAX_LENGTH - 1)
        self.record.set_lent_text('KTSignHash', 0, full)
        W('SignHash')(self.t, text, sha256(DATA), 32, None, hashed)
        self.assertEqual(text, [full.decode('ascii')])
        self.assertEqual(len(hashed), 1)

    def test_a_status_failure_leaves_the_list(self):
        name = ['junk']
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('HashFile'), self.t, name, [], [])
        self.assertEqual(name, ['junk'])

    def test_undecodable_lent_text_fails_after_success(self):
        # The lent text is written first and raises code 6; it and later outputs stay unwritten.
        odd_file = os.path.join(as_bytes(self.scratch), UNDECODABLE)
        with open(odd_file, 'wb') as out:
            out.write(DATA)
        name, text = ['junk'], ['junk']
        self.record.set_lent_text('KTHashFile', 0, odd_file)
        self.assertKTError(TypeError, RESOURCE_FAILED, W('HashFile'), self.t, name, text, [])
        self.assertEqual((name, text), (['junk'], ['junk']))


class OutputListTest(SignTestCase):
    def test_outputs_not_asked_for_get_null_addresses_and_the_length_address(self):
        untouched = ('tuple',)
        for text, binary, text_null, binary_null in [([], [], False, False), (None, [], True, False),
                                                      (untouched, {}, True, True), (b'str', None, True, True)]:
            W('SignData')(self.t, DATA, len(DATA), text, binary)
            self.assertEqual([self.record.is_null('KTSignData', i) for i in (2, 3, 4)],
                             [text_null, binary_null, False])
        self.assertEqual(untouched, ('tuple',))

    def test_a_list_holds_exactly_one_item_after_success_only(self):
        text, binary = ['a', 'b', 'c'], ['a', 'b', 'c']
        self.lib.set_fault('KTSignData', VERIFY_FAILED)
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('SignData'), self.t, DATA, len(DATA), text, binary)
        self.assertEqual((text, binary), (['a', 'b', 'c'], ['a', 'b', 'c']))
        self.lib.clear_faults()
        W('SignData')(self.t, DATA, len(DATA), text, binary)
        self.assertEqual((len(text), len(binary)), (1, 1))
        self.assertEqual(text[0], base64.b64encode(binary[0]))
        self.assertIs(type(text[0]), bytes)

    def test_the_same_list_for_both_forms_ends_with_the_binary_form(self):
        signature = self.sign()[1]
        both = []
        W('GetSigner')(self.t, 0, None, signature, len(signature), both, both)
        self.assertEqual(len(both), 1)
        self.assertEqual(both, [self.two_forms('GetSigner', 0, None, signature, len(signature))[1]])

    def test_null_pointers_after_success_give_none(self):
        # A length returned with no buffer is never read (the library's data stay unread).
        for name, items, index in [('SignData', (DATA, len(DATA)), 3), ('SignData', (DATA, len(DATA)), 2),
                                   ('HashData', (DATA, len(DATA)), 3)]:
            self.record.set_null_output('KT' + name, index)
            text, binary = [], []
            W(name)(self.t, *(items + (text, binary)))
            self.assertEqual((text if index == 2 else binary), [None], (name, index))
        internal = self.sign_internal()[1]
        self.record.set_null_output('KTVerifyDataInternal', 3)
        data = ['junk']
        W('VerifyDataInternal')(self.t, None, internal, len(internal), data, None)
        self.assertEqual(data, [None])
        signed = []
        W('COSESignData')(self.t, 1, DATA, len(DATA), signed)
        self.record.set_null_output('KTCOSEGetKeyIDFromSignedData', 2)
        key_id = ['junk']
        W('COSEGetKeyIDFromSignedData')(self.t, signed[0], len(signed[0]), key_id)
        self.assertEqual(key_id, [None])

    def test_bytes_keep_nuls_and_texts_are_not_decoded(self):
        internal = self.sign_internal(b'\x00\xff\x00')[1]
        data = []
        W('GetDataFromSignedData')(self.t, None, internal, len(internal), data)
        self.assertEqual(data, [b'\x00\xff\x00'])

    def test_number_and_flag_outputs(self):
        both = self.two_signers()[1]
        detached = self.sign()[1]
        count, kind, present, absent = ['junk'], [], [], []
        W('GetSignsCount')(self.t, None, both, len(both), count)
        W('GetSignType')(self.t, 1, None, both, len(both), kind)
        W('IsDataInSignedDataAvailable')(self.t, None, both, len(both), present)
        W('IsDataInSignedDataAvailable')(self.t, None, detached, len(detached), absent)
        self.assertEqual((count, kind, present, absent), ([2], [1], [True], [False]))
        self.assertIs(present[0], True)
        self.assertIs(type(count[0]), int)
        W('GetSignsCount')(self.t, None, both, len(both), None)
        self.assertTrue(self.record.is_null('KTGetSignsCount', 3))


class SignerRecordTest(SignTestCase):
    """The KT_SIGN_INFO of the verification functions: always passed, zeroed whole, released
    exactly once once the library was called, whatever the status, never before."""

    def frees_during(self, function, *items):
        return self.calls_during('KTFreeSignInfo', function, self.t, *items)

    def test_released_once_on_every_road_after_the_call(self):
        text, binary = self.sign()
        good = (DATA, len(DATA), text, None, 0)
        signer = {'junk': 1}
        self.assertEqual(self.frees_during(W('VerifyData'), *(good + (signer,))), (1, ('ok', None)))
        self.assertEqual(len(signer), 21)
        self.assertEqual(self.frees_during(W('VerifyData'), *(good + (None,)))[0], 1)
        handed = self.record.bytes('KTVerifyData', 5)  # the record as the library got it: zeroed whole
        self.assertEqual((len(handed) > 100, handed), (True, b'\x00' * len(handed)))
        kept = {'junk': 1}
        calls, outcome = self.frees_during(W('VerifyData'), b'other', 5, text, None, 0, kept)
        self.assertEqual((calls, outcome[0], kept), (1, RuntimeError, {'junk': 1}))
        self.lib.set_fault('KTVerifyData', INJECTED)
        self.assertEqual(self.frees_during(W('VerifyData'), *(good + (kept,)))[0], 1)

    def test_not_released_when_a_conversion_fails_first(self):
        text = self.sign()[0]
        for items in [(DATA, -1, text, None, 0, {}), (u'data', 4, text, None, 0, {}),
                      (DATA, len(DATA), u'\u4e00', None, 0, {})]:
            self.assertEqual(self.frees_during(W('VerifyData'), *items)[0], 0)
            self.assertNotCalled('KTVerifyData', W('VerifyData'), self.t, *items)

    def test_released_when_an_output_before_it_fails(self):
        binary = self.sign()[1]
        signer = {'junk': 1}
        self.record.set_lent_text('KTVerifyData', 2, UNDECODABLE)
        calls, outcome = self.frees_during(W('VerifyData'), DATA, len(DATA), [], binary, len(binary), signer)
        self.assertEqual((calls, outcome), (1, (TypeError, (self.error_dictionary(RESOURCE_FAILED),))))
        self.assertEqual(signer, {'junk': 1})


class CertificateInfoExTest(SignTestCase):
    def test_requested_always_and_released_when_returned(self):
        binary = self.sign()[1]
        for info, certificate in [({'junk': 1}, []), (None, []), ({}, None), ([], b'str')]:
            calls, outcome = self.calls_during('KTFreeCertificateInfoEx', W('GetSignerInfo'), self.t, 0, None,
                                               binary, len(binary), info, certificate)
            self.assertEqual((calls, outcome), (1, ('ok', None)))
            self.assertFalse(self.record.is_null('KTGetSignerInfo', 4))
            self.assertEqual(self.record.is_null('KTGetSignerInfo', 5), type(certificate) is not list)
            self.assertFalse(self.record.is_null('KTGetSignerInfo', 6))
            if type(info) is dict:
                self.assertEqual(len(info), 60)

    def test_null_record_after_success_raises_code_6_without_reading_it(self):
        binary = self.sign()[1]
        info, certificate = {'junk': 1}, []
        self.record.set_null_output('KTGetSignerInfo', 4)
        self.assertKTError(TypeError, RESOURCE_FAILED, W('GetSignerInfo'), self.t, 0, None, binary, len(binary),
                           info, certificate)
        self.assertEqual(certificate, [])  # the outputs after it are not written
        self.record.set_null_output('KTGetSignerInfo', 4)
        self.assertIsNone(W('GetSignerInfo')(self.t, 0, None, binary, len(binary), None, certificate))
        self.assertEqual(len(certificate), 1)
        path = self.path('one.p7s', binary)
        self.record.set_null_output('KTGetFileSignerInfo', 2)
        self.assertKTError(TypeError, RESOURCE_FAILED, W('GetFileSignerInfo'), self.t, 0, path, {}, None)


class TimeItemTest(SignTestCase):
    def test_the_record_itself_or_null(self):
        binary = self.sign()[1]
        time = _Tavrel.new_SYSTEMTIME()
        try:
            _Tavrel.SYSTEMTIME_wYear_set(time, 2027)
            _Tavrel.SYSTEMTIME_wMonth_set(time, 2)
            _Tavrel.SYSTEMTIME_wDay_set(time, 3)
            items = (DATA, len(DATA), 0, None, binary, len(binary))
            W('VerifyDataOnTimeEx')(self.t, *(items + (time, 0, 0, None)))
            self.assertEqual(self.record.bytes('KTVerifyDataOnTimeEx', 6)[:8], b'\xeb\x07\x02\x00\x00\x00\x03\x00')
            W('VerifyDataOnTimeEx')(self.t, *(items + (None, 0, 0, None)))
            self.assertTrue(self.record.is_null('KTVerifyDataOnTimeEx', 6))
            other = _Tavrel.new_KT_KEY_MEDIA()
            gone = _Tavrel.new_SYSTEMTIME()
            _Tavrel.delete_SYSTEMTIME(gone)
            try:
                for value in [other, gone, {'wYear': 2027}, 2027, b'time']:
                    self.assertArgError(TypeError, message('VerifyDataOnTimeEx', 8, 'PSYSTEMTIME'),
                                        W('VerifyDataOnTimeEx'), self.t, *(items + (value, 0, 0, None)))
                    self.assertNotCalled('KTVerifyDataOnTimeEx', W('VerifyDataOnTimeEx'), self.t,
                                         *(items + (value, 0, 0, None)))
            finally:
                _Tavrel.delete_KT_KEY_MEDIA(other)
        finally:
            _Tavrel.delete_SYSTEMTIME(time)

    def test_this_read_once(self):
        # A holder whose `this` gives a deleted record first and a live pointer object of
        # another module after: the item reads it once, refuses it, and calls nothing.
        import ctypes
        import _tavrel_record_probe as probe

        class Flip(object):
            __slots__ = ('objects',)

            def __init__(self, *objects):
                self.objects = list(objects)

            @property
            def this(self):
                return self.objects.pop(0) if len(self.objects) > 1 else self.objects[0]

        foreign = ctypes.create_string_buffer(16)
        baseline = baseline_arguments(self)
        for name in ('VerifyHashOnTimeEx', 'VerifyDataOnTimeEx', 'VerifyDataInternalOnTimeEx'):
            arguments = list(baseline[name])
            index = [i for i, item in enumerate(arguments) if type(item).__name__ == 'SwigPyObject'][0]
            gone = _Tavrel.new_SYSTEMTIME()
            _Tavrel.delete_SYSTEMTIME(gone)
            arguments[index] = Flip(gone, probe.pointer(ctypes.addressof(foreign), 'SYSTEMTIME *'))
            calls, outcome = self.calls_during('KT' + name, W(name), self.t, *fresh(arguments))
            self.assertEqual((calls, outcome), (0, (TypeError, (message(name, index + 2, 'PSYSTEMTIME'),))))


if __name__ == '__main__':
    unittest.main()
