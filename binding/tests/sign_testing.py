# -*- coding: utf-8 -*-
"""Shared material of the signing, verification and hashing wrapper tests: helpers that make
signatures and files on the stand-in, and valid baseline items for each wrapper."""
from __future__ import print_function

import hashlib
import os

import _Tavrel
from wrapper_testing import WrapperTestCase, medium, wrapper

DATA = b'signed payload\x00with a NUL'
VERIFY_FAILED = 0xF007


def sha256(data):
    return hashlib.sha256(data).digest()


W = wrapper


class SigningMaterial(object):
    """Signatures, signed data and files made through the wrappers; needs self.t (the table)
    and self.scratch (a folder)."""

    def path(self, name, content=None):
        """A file of the test's scratch folder, written when content is given."""
        path = os.path.join(self.scratch, name)
        if content is not None:
            with open(path, 'wb') as out:
                out.write(content)
        return path

    def sign(self, data=DATA, name='SignData'):
        """(text form, binary form) of a signature of data."""
        text, binary = [], []
        W(name)(self.t, data, len(data), text, binary)
        return text[0], binary[0]

    def sign_internal(self, data=DATA, append_certificate=1):
        text, binary = [], []
        W('SignDataInternal')(self.t, append_certificate, data, len(data), text, binary)
        return text[0], binary[0]

    def two_signers(self, data=DATA):
        """A signature with the data inside and the signers of devices T-0 and T-1."""
        signature = self.two_forms('CreateEmptySign', data, len(data))
        for device in (0, 1):
            W('ReadPrivateKey')(self.t, medium(device), None)
            signed = self.sign(data)[1]
            one = self.two_forms('GetSigner', 0, None, signed, len(signed))
            signature = self.two_forms('AppendSigner', None, one[1], len(one[1]), None, 0, None, signature[1],
                                       len(signature[1]))
        return signature

    def two_forms(self, name, *items):
        """(text form, binary form) that a wrapper with two final outputs hands back."""
        text, binary = [], []
        W(name)(self.t, *(items + (text, binary)))
        return text[0], binary[0]


class SignTestCase(WrapperTestCase, SigningMaterial):
    """Wrapper tests of the family: the key of device T-1 is the library's own, and the
    stand-in's call record is at hand."""

    def setUp(self):
        super(SignTestCase, self).setUp()
        W('ReadPrivateKey')(self.t, medium(1), None)


class _Material(SigningMaterial):
    def __init__(self, test):
        self.t, self.scratch = test.t, test.scratch


def baseline_arguments(test):
    """Valid items after the table for every wrapper of the family; each call succeeds or
    fails with a library status only. Makes the key of device T-1 the library's own."""
    W('ReadPrivateKey')(test.t, medium(1), None)
    cleanup = test.addCleanup
    test = _Material(test) if not isinstance(test, SigningMaterial) else test
    text, binary = test.sign()
    internal_text, internal = test.sign_internal()
    raw = test.sign(name='RawSignData')[1]
    hashed = sha256(DATA)
    both = test.two_signers()[1]
    W('ReadPrivateKey')(test.t, medium(1), None)
    data_file = test.path('data', DATA)
    signature_file = test.path('data.p7s', binary)
    raw_file = test.path('data.raw', raw)
    cose = []
    W('COSESignData')(test.t, 1, DATA, len(DATA), cose)
    cose_file = test.path('data.cose', cose[0])
    signer = test.two_forms('GetSigner', 0, None, binary, len(binary))[1]
    empty = test.two_forms('CreateEmptySign', DATA, len(DATA))[1]
    time = _Tavrel.new_SYSTEMTIME()
    for field, value in [('wYear', 2027), ('wMonth', 1), ('wDay', 1)]:
        getattr(_Tavrel, 'SYSTEMTIME_%s_set' % field)(time, value)
    cleanup(_Tavrel.delete_SYSTEMTIME, time)
    W('HashDataBeginWithParams')(test.t, None, 0)
    return {
        'SignData': (DATA, len(DATA), [], []),
        'VerifyData': (DATA, len(DATA), text, binary, len(binary), {}),
        'SignDataInternal': (1, DATA, len(DATA), [], []),
        'VerifyDataInternal': (internal_text, internal, len(internal), [], {}),
        'SignHash': (None, hashed, len(hashed), [], []),
        'VerifyHash': (None, hashed, len(hashed), text, binary, len(binary), {}),
        'RawSignData': (DATA, len(DATA), [], []),
        'RawVerifyData': (DATA, len(DATA), None, raw, len(raw), {}),
        'RawSignHash': (None, hashed, len(hashed), [], []),
        'RawVerifyHash': (None, hashed, len(hashed), None, raw, len(raw), {}),
        'RawSignFile': (data_file, test.path('out.raw')),
        'RawVerifyFile': (data_file, raw_file, {}),
        'HashData': (DATA, len(DATA), [], []),
        'HashDataContinue': (DATA, len(DATA)),
        'HashDataEnd': ([], []),
        'HashFile': (data_file, [], []),
        'HashDataWithParams': (b'4', 1, DATA, len(DATA), [], []),
        'HashDataBeginWithParams': (b'4', 1),
        'HashFileWithParams': (b'4', 1, data_file, [], []),
        'GetSignsCount': (None, both, len(both), []),
        'GetSignerInfo': (0, None, both, len(both), {}, []),
        'GetFileSignsCount': (signature_file, []),
        'GetFileSignerInfo': (0, signature_file, {}, []),
        'IsDataInSignedDataAvailable': (None, both, len(both), []),
        'IsDataInSignedFileAvailable': (signature_file, []),
        'GetDataFromSignedData': (None, internal, len(internal), []),
        'GetSigner': (1, None, both, len(both), [], []),
        'GetFileSigner': (0, signature_file, [], []),
        'GetSignType': (0, None, both, len(both), []),
        'GetFileSignType': (0, signature_file, []),
        'CreateEmptySign': (DATA, len(DATA), [], []),
        'AppendSigner': (None, signer, len(signer), None, 0, None, empty, len(empty), [], []),
        'VerifyHashOnTimeEx': (None, hashed, len(hashed), 0, None, binary, len(binary), time, 0, 0, {}),
        'VerifyDataOnTimeEx': (DATA, len(DATA), 0, None, binary, len(binary), time, 0, 0, {}),
        'VerifyDataInternalOnTimeEx': (0, None, internal, len(internal), time, 0, 0, [], {}),
        'COSESignData': (1, DATA, len(DATA), []),
        'COSESignFile': (1, data_file, test.path('out.cose')),
        'COSEVerifyData': (cose[0], len(cose[0]), None, 0, [], {}),
        'COSEVerifyFile': (cose_file, None, 0, test.path('payload'), {}),
        'COSEGetKeyIDFromSignedData': (cose[0], len(cose[0]), []),
        'COSEGetKeyIDFromSignedFile': (cose_file, []),
    }
