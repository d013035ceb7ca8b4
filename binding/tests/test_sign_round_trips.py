# -*- coding: utf-8 -*-
"""Round trips of the signing, verification and hashing wrappers on the stand-in."""
from __future__ import print_function

import base64
import unittest

import _Tavrel
from sign_testing import DATA, VERIFY_FAILED, W, SignTestCase, sha256
from wrapper_testing import NO_KEY, medium

SIGN_INFO_KEYS = 21
CERT_INFO_EX_KEYS = 60


def systemtime(year, month, day):
    time = _Tavrel.new_SYSTEMTIME()
    for field, value in [('wYear', year), ('wMonth', month), ('wDay', day), ('wHour', 12)]:
        getattr(_Tavrel, 'SYSTEMTIME_%s_set' % field)(time, value)
    return time


class SignVerifyTest(SignTestCase):
    def test_sign_then_verify_in_each_form(self):
        text, binary = self.sign()
        self.assertEqual(text, base64.b64encode(binary))
        for items in [(text, None, 0), (None, binary, len(binary)), (text, binary, len(binary))]:
            signer = {'junk': 1}
            self.assertIsNone(W('VerifyData')(self.t, DATA, len(DATA), items[0], items[1], items[2], signer))
            self.assertEqual(len(signer), SIGN_INFO_KEYS)
            self.assertIs(signer['bFilled'], True)
            self.assertIs(signer['bTimeAvail'], True)
            self.assertIn(u'T-1', signer['pszSubjOrgUnit'])
        tampered = DATA[:-1] + b'X'
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('VerifyData'), self.t, tampered, len(tampered), text, None,
                           0, {})

    def test_hash_signatures_match_data_signatures(self):
        hashed = sha256(DATA)
        by_hash = self.two_forms('SignHash', None, hashed, len(hashed))
        self.assertIsNone(W('VerifyData')(self.t, DATA, len(DATA), None, by_hash[1], len(by_hash[1]), None))
        text, binary = self.sign()
        self.assertIsNone(W('VerifyHash')(self.t, base64.b64encode(hashed), None, 0, text, None, 0, None))
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('VerifyHash'), self.t, None, sha256(b'other'), 32, None,
                           binary, len(binary), None)

    def test_internal_signature_carries_its_data(self):
        for append_certificate in (1, 0):
            text, binary = self.sign_internal(append_certificate=append_certificate)
            data, signer = [], {}
            self.assertIsNone(W('VerifyDataInternal')(self.t, text, None, 0, data, signer))
            self.assertEqual(data, [DATA])
            self.assertEqual(len(signer), SIGN_INFO_KEYS)
            got = []
            W('GetDataFromSignedData')(self.t, None, binary, len(binary), got)
            self.assertEqual(got, [DATA])

    def test_raw_form_only_for_raw_verification(self):
        raw = self.sign(name='RawSignData')
        plain = self.sign()
        self.assertIsNone(W('RawVerifyData')(self.t, DATA, len(DATA), raw[0], None, 0, {}))
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('VerifyData'), self.t, DATA, len(DATA), None, raw[1],
                           len(raw[1]), {})
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('RawVerifyData'), self.t, DATA, len(DATA), None, plain[1],
                           len(plain[1]), {})
        hashed = sha256(DATA)
        by_hash = self.two_forms('RawSignHash', None, hashed, len(hashed))
        self.assertIsNone(W('RawVerifyHash')(self.t, None, hashed, len(hashed), by_hash[0], None, 0, None))
        data, signature = self.path('raw-data', DATA), self.path('raw-data.sig')
        self.assertIsNone(W('RawSignFile')(self.t, data, signature))
        signer = {}
        self.assertIsNone(W('RawVerifyFile')(self.t, data, signature, signer))
        self.assertEqual(len(signer), SIGN_INFO_KEYS)
        self.path('raw-data', b'changed')
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('RawVerifyFile'), self.t, data, signature, signer)

    def test_signing_needs_the_own_key(self):
        W('ResetPrivateKey')(self.t)
        self.assertKTError(RuntimeError, NO_KEY, W('SignData'), self.t, DATA, len(DATA), [], [])
        self.assertKTError(RuntimeError, NO_KEY, W('COSESignData'), self.t, 1, DATA, len(DATA), [])


class HashTest(SignTestCase):
    def test_parts_equal_one_step_equal_file(self):
        for params in [None, b'4']:
            length = len(params) if params else 0
            one = self.two_forms('HashDataWithParams', params, length, DATA, len(DATA))
            W('HashDataBeginWithParams')(self.t, params, length)
            for part in (DATA[:5], b'', DATA[5:]):
                W('HashDataContinue')(self.t, part, len(part))
            self.assertEqual(self.two_forms('HashDataEnd'), one)
            self.assertEqual(self.two_forms('HashFileWithParams', params, length, self.path('hashed', DATA)), one)
            self.assertEqual(one[0], base64.b64encode(one[1]))
        self.assertEqual(self.two_forms('HashData', DATA, len(DATA)), self.two_forms('HashFile', self.path('hashed')))
        self.assertEqual(self.two_forms('HashDataWithParams', b'4', 1, DATA, len(DATA))[1], sha256(DATA))

    def test_begin_then_end_at_once(self):
        W('HashDataBeginWithParams')(self.t, None, 0)
        self.assertEqual(self.two_forms('HashDataEnd'), self.two_forms('HashData', b'', 0))
        self.assertKTError(RuntimeError, 2, W('HashDataEnd'), self.t, [], [])
        self.assertKTError(RuntimeError, 2, W('HashDataContinue'), self.t, b'x', 1)


class SignerBySignerTest(SignTestCase):
    def test_empty_signature_plus_signers_counted_and_inspected(self):
        empty = self.two_forms('CreateEmptySign', DATA, len(DATA))
        count = ['junk', 'more']
        W('GetSignsCount')(self.t, empty[0], None, 0, count)
        self.assertEqual(count, [0])
        text, binary = self.two_signers()
        W('GetSignsCount')(self.t, text, None, 0, count)
        self.assertEqual(count, [2])
        available = []
        W('IsDataInSignedDataAvailable')(self.t, None, binary, len(binary), available)
        self.assertEqual(available, [True])
        serials = set()
        for index in (0, 1):
            info, certificate, kind = {}, [], []
            W('GetSignerInfo')(self.t, index, None, binary, len(binary), info, certificate)
            self.assertEqual(len(info), CERT_INFO_EX_KEYS)
            serials.add(info['pszSerial'])
            parsed = {}
            W('ParseCertificateEx')(self.t, certificate[0], len(certificate[0]), parsed)
            self.assertEqual(parsed['pszSerial'], info['pszSerial'])
            W('GetSignType')(self.t, index, None, binary, len(binary), kind)
            self.assertEqual(kind, [_Tavrel.KT_SIGN_TYPE_CADES_BES])
        self.assertEqual(len(serials), 2)
        self.assertKTError(RuntimeError, 2, W('GetSigner'), self.t, 2, None, binary, len(binary), [], [])
        data = []
        W('VerifyDataInternal')(self.t, text, None, 0, data, None)
        self.assertEqual(data, [DATA])

    def test_file_variants(self):
        text, binary = self.two_signers()
        for content in (binary, text):
            path = self.path('both.p7s', content)
            count, available, kind, info, signer = [], [], [], {}, []
            W('GetFileSignsCount')(self.t, path, count)
            W('IsDataInSignedFileAvailable')(self.t, path, available)
            W('GetFileSignType')(self.t, 1, path, kind)
            W('GetFileSignerInfo')(self.t, 1, path, info, None)
            W('GetFileSigner')(self.t, 1, path, None, signer)
            self.assertEqual((count, available, kind), ([2], [True], [1]))
            self.assertEqual(len(info), CERT_INFO_EX_KEYS)
            self.assertEqual(signer[0], self.two_forms('GetSigner', 1, None, binary, len(binary))[1])
        detached = self.path('detached.p7s', self.sign()[1])
        available = []
        W('IsDataInSignedFileAvailable')(self.t, detached, available)
        self.assertEqual(available, [False])


class OnTimeTest(SignTestCase):
    def test_inside_and_outside_the_validity_window(self):
        # T-1's certificate is valid for two years from when the world was read.
        text, binary = self.sign()
        internal = self.sign_internal()[1]
        hashed = sha256(DATA)
        now = _Tavrel.new_SYSTEMTIME()
        info = {}
        W('VerifyData')(self.t, DATA, len(DATA), text, None, 0, info)
        for field in ('wYear', 'wMonth', 'wDay', 'wHour', 'wMinute', 'wSecond'):
            getattr(_Tavrel, 'SYSTEMTIME_%s_set' % field)(now, info['Time'][field])
        year = info['Time']['wYear']
        times = [(now, None), (None, None), (systemtime(year + 1, 6, 1), None),
                 (systemtime(year - 1, 1, 1), VERIFY_FAILED), (systemtime(year + 3, 1, 1), VERIFY_FAILED),
                 (systemtime(year, 13, 1), 2)]
        try:
            for time, status in times:
                calls = [(W('VerifyDataOnTimeEx'), (DATA, len(DATA), 0, None, binary, len(binary), time, 0, 0, {})),
                         (W('VerifyHashOnTimeEx'),
                          (None, hashed, len(hashed), 0, text, None, 0, time, 1, -1, {})),
                         (W('VerifyDataInternalOnTimeEx'), (0, None, internal, len(internal), time, 0, 0, [], {}))]
                for function, items in calls:
                    if status is None:
                        self.assertIsNone(function(self.t, *items))
                        self.assertEqual(len(items[-1]), SIGN_INFO_KEYS)
                    else:
                        self.assertKTError(RuntimeError, status, function, self.t, *items)
                        self.assertEqual(items[-1], {})
        finally:
            for time, _ in times:
                if time is not None:
                    _Tavrel.delete_SYSTEMTIME(time)


class CoseTest(SignTestCase):
    def key_id(self):
        """The own key's public-key identifier, as its certificate reports it."""
        binary = self.sign()[1]
        info = {}
        W('GetSignerInfo')(self.t, 0, None, binary, len(binary), info, None)
        return info['pszPublicKeyID'].encode('cp1251')

    def test_data(self):
        signed = []
        W('COSESignData')(self.t, 1, DATA, len(DATA), signed)
        payload, signer = [], {}
        W('COSEVerifyData')(self.t, signed[0], len(signed[0]), None, 0, payload, signer)
        self.assertEqual(payload, [DATA])
        self.assertEqual(len(signer), SIGN_INFO_KEYS)
        key_id = []
        W('COSEGetKeyIDFromSignedData')(self.t, signed[0], len(signed[0]), key_id)
        self.assertEqual(key_id, [self.key_id()])
        self.assertIs(type(key_id[0]), bytes)
        tampered = signed[0].replace(DATA, DATA.upper())
        self.assertKTError(RuntimeError, VERIFY_FAILED, W('COSEVerifyData'), self.t, tampered, len(tampered), None, 0,
                           payload, signer)
        self.assertEqual(payload, [DATA])

    def test_files(self):
        data, signed, back = self.path('cose-data', DATA), self.path('cose-data.cose'), self.path('cose-back')
        W('COSESignFile')(self.t, 3, data, signed)
        signer = {}
        W('COSEVerifyFile')(self.t, signed, None, 0, back, signer)
        self.assertEqual(open(back, 'rb').read(), DATA)
        self.assertEqual(len(signer), SIGN_INFO_KEYS)
        key_id = []
        W('COSEGetKeyIDFromSignedFile')(self.t, signed, key_id)
        self.assertEqual(key_id, [self.key_id()])
        self.assertKTError(RuntimeError, 0xF006, W('COSEVerifyFile'), self.t, data, None, 0, None, None)


if __name__ == '__main__':
    unittest.main()
