# -*- coding: utf-8 -*-
"""Round trips through contexts, private-key contexts and named keys on the stand-in
library: what one wrapper hands out, another takes back and the library accepts."""
from __future__ import print_function

import hashlib
import json
import os
import shutil
import tempfile
import unittest

from context_testing import NAMED_DEVICE, NAMED_PASSWORD, ContextTestCase, W, user_info
from tavrel_testing import LIB_NORMAL, ChildTestCase
from wrapper_testing import ACCESS_FAILED, KEY_FILE_PASSWORD, NO_KEY, medium

import _Tavrel

DATA = b'context road ' * 80  # about 1 KiB


class PrivateKeyRoadTest(ContextTestCase):
    def test_read_a_key_sign_and_verify_library_wide(self):
        context = self.context()
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxReadPrivateKey'), self.t, context, medium(1, 'wrong'),
                           [], None)
        owner = {}
        key = []
        W('CtxReadPrivateKey')(self.t, context, medium(1), key, owner)
        self.addCleanup(W('CtxFreePrivateKey'), self.t, key[0])
        signature = []
        W('CtxSignData')(self.t, key[0], _Tavrel.KT_CTX_SIGN_ECDSA_WITH_SHA, DATA, len(DATA), 1, 1, signature)
        signer = {}
        W('VerifyData')(self.t, DATA, len(DATA), None, signature[0], len(signature[0]), signer)
        self.assertEqual(signer['pszSerial'], owner['pszSerial'])
        self.assertKTError(RuntimeError, 0xF007, W('VerifyData'), self.t, DATA[1:], len(DATA) - 1, None,
                           signature[0], len(signature[0]), None)

    def test_key_bytes_with_a_password(self):
        context = self.context()
        key_bytes = self.key_bytes(KEY_FILE_PASSWORD)
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxReadPrivateKeyBinary'), self.t, context, key_bytes,
                           len(key_bytes), 'wrong', [], None)
        key = []
        W('CtxReadPrivateKeyBinary')(self.t, context, key_bytes, len(key_bytes), KEY_FILE_PASSWORD, key, None)
        self.addCleanup(W('CtxFreePrivateKey'), self.t, key[0])
        self.assertGreater(len(self.certificate_of(key[0])), 100)

    def test_envelope_and_open_through_private_key_contexts(self):
        sender, recipient = self.private_key(device=1), self.private_key(device=2)
        envelope = []
        W('CtxEnvelopData')(self.t, sender, [self.certificate_of(recipient)],
                            _Tavrel.KT_RECIPIENT_APPEND_TYPE_BY_ISSUER_SERIAL, 1, 0, DATA, len(DATA), envelope)
        opened, who = [], {}
        W('CtxDevelopData')(self.t, recipient, None, envelope[0], len(envelope[0]), None, 0, opened, who)
        self.assertEqual(opened, [DATA])
        self.assertEqual(who['pszSerial'], self.serial_of(sender))
        self.assertKTError(RuntimeError, 0xF009, W('CtxDevelopData'), self.t, sender, None, envelope[0],
                           len(envelope[0]), None, 0, [], None)

    def test_server_dynamic_key_session(self):
        server_key = self.private_key(device=2)
        certificate = self.certificate_of(server_key)
        client, hello = [], []
        W('ClientDynamicKeySessionCreate')(self.t, 600, None, None, certificate, len(certificate), client, hello)
        self.addCleanup(W('SessionDestroy'), self.t, client[0])
        server = []
        W('CtxServerDynamicKeySessionCreate')(self.t, server_key, 600, hello[0], len(hello[0]), server)
        self.addCleanup(W('SessionDestroy'), self.t, server[0])
        sealed, opened = [], []
        W('SessionEncrypt')(self.t, client[0], DATA, len(DATA), sealed)
        W('SessionDecrypt')(self.t, server[0], sealed[0], len(sealed[0]), opened)
        self.assertEqual(opened, [DATA])

    def test_hash_signature_verified_library_wide(self):
        key = self.private_key()
        digest = hashlib.sha256(DATA).digest()
        signature, signer = [], {}
        W('CtxSignHashValue')(self.t, key, _Tavrel.KT_CTX_SIGN_DSTU4145_WITH_GOST34311, digest, len(digest), 1,
                              signature)
        W('VerifyHash')(self.t, None, digest, len(digest), None, signature[0], len(signature[0]), signer)
        self.assertEqual(signer['pszSerial'], self.serial_of(key))

    def test_file_signature_built_signer_by_signer(self):
        context = self.context()
        key = self.private_key(context)
        certificate = self.certificate_of(key)
        data_path, empty_path, signed_path = [os.path.join(self.scratch, name)
                                              for name in ('road-data', 'road-empty.p7s', 'road-signed.p7s')]
        open(data_path, 'wb').write(DATA)
        W('CtxCreateEmptySignFile')(self.t, context, 1, data_path, certificate, len(certificate), empty_path)
        count = []
        W('GetFileSignsCount')(self.t, empty_path, count)
        self.assertEqual(count, [0])
        signer = []
        W('CtxSignData')(self.t, key, 1, DATA, len(DATA), 1, 0, signer)
        W('CtxAppendSignerFile')(self.t, context, 1, signer[0], len(signer[0]), certificate, len(certificate),
                                 empty_path, signed_path)
        W('GetFileSignsCount')(self.t, signed_path, count)
        self.assertEqual(count, [1])
        info, der = {}, []
        W('GetFileSignerInfo')(self.t, 0, signed_path, info, der)
        self.assertEqual((info['pszSerial'], der), (self.serial_of(key), [certificate]))

    def test_cose_verified_library_wide(self):
        key = self.private_key()
        message, payload, signer = [], [], {}
        W('CtxCOSESignData')(self.t, key, 3, DATA, len(DATA), message)
        W('COSEVerifyData')(self.t, message[0], len(message[0]), None, 0, payload, signer)
        self.assertEqual((payload, signer['pszSerial']), ([DATA], self.serial_of(key)))
        data_path, cose_path, out_path = [os.path.join(self.scratch, name)
                                          for name in ('cose-data', 'cose-message', 'cose-out')]
        open(data_path, 'wb').write(DATA)
        W('CtxCOSESignFile')(self.t, key, 1, data_path, cose_path)
        W('COSEVerifyFile')(self.t, cose_path, None, 0, out_path, None)
        self.assertEqual(open(out_path, 'rb').read(), DATA)

    def serial_of(self, key):
        info = {}
        W('CtxGetOwnCertificate')(self.t, key, 0, 0, info, None)
        return info['pszSerial']


class NamedKeyRoadTest(ContextTestCase):
    def test_generation_with_a_user_description(self):
        context = self.context()
        info = user_info(szCommonName=u'Оксана Тестова', szOrganiztion=u'Стенд', szCountry=u'UA')
        requests = [[], [], []]
        W('CtxGenerateNamedPrivateKeyEx')(self.t, context, self.named_medium(), u'з описом', 'p', 1, 1, 1, None, 0, 0,
                                          None, info, None, requests[0], [], requests[1], [], requests[2], [])
        self.addCleanup(W('CtxDestroyNamedPrivateKey'), self.t, context, self.named_medium(), u'з описом', 'p')
        key, owner = [], {}
        W('CtxReadNamedPrivateKey')(self.t, context, self.named_medium(), u'з описом', 'p', key, owner)
        W('CtxFreePrivateKey')(self.t, key[0])
        self.assertEqual((owner['pszSubjCN'], owner['pszSubjOrg']), (u'Оксана Тестова', u'Стенд'))
        self.assertEqual(info['szUserCode'], owner['pszSerial'])

        # A device certificate for each request made; none where no request was given.
        certificates = [[], [], [], []]
        W('CtxMakeDeviceCertificate')(self.t, context, u'Пристрій', requests[0][0], len(requests[0][0]),
                                      requests[1][0], len(requests[1][0]), None, 0, requests[2][0],
                                      len(requests[2][0]), None, None, *certificates)
        self.assertEqual(certificates[2], [None])
        for certificate in [certificates[0], certificates[1], certificates[3]]:
            parsed = {}
            W('ParseCertificateEx')(self.t, certificate[0], len(certificate[0]), parsed)
            self.assertEqual((parsed['pszSubjCN'], parsed['pszIssuerCN']), (u'Пристрій', u'Тестовий ЦСК пристроїв'))

    def test_prepare_checks_the_key_bytes(self):
        context = self.context()
        key_bytes = self.key_bytes(KEY_FILE_PASSWORD)
        self.assertIsNone(W('CtxPrepareNamedPrivateKey')(self.t, context, 'prepared', KEY_FILE_PASSWORD, key_bytes,
                                                         len(key_bytes)))
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('CtxPrepareNamedPrivateKey'), self.t, context, 'prepared',
                           'wrong', key_bytes, len(key_bytes))


# The named-key lifecycle, each step in a process of its own on one world file.
_LIFECYCLE_SETUP = '''# -*- coding: utf-8 -*-
import os
os.environ['TAVREL_STANDIN_WORLD'] = %r
'''
_LIFECYCLE_PRELUDE = '''
t = None
_Tavrel.KTLoad()
t = _Tavrel.KTGetInterface()
_Tavrel.KT_INTERFACE_Initialize(t)
context = []
_Tavrel.KT_INTERFACE_CtxCreate(t, context)
medium = {'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': %r}

def exists():
    found = []
    _Tavrel.KT_INTERFACE_CtxIsNamedPrivateKeyExists(t, context[0], dict(medium), u'ключ', None, found)
    return found[0]

def read(password):
    key = []
    got = outcome(_Tavrel.KT_INTERFACE_CtxReadNamedPrivateKey, t, context[0], dict(medium), u'ключ', password, key,
                  None)
    if key:
        _Tavrel.KT_INTERFACE_CtxFreePrivateKey(t, key[0])
    return got[0] if got[0] == 'ok' else got[1][0]['ErrorCode']
'''
_LIFECYCLE_EPILOGUE = '''
_Tavrel.KT_INTERFACE_CtxFree(t, context[0])
_Tavrel.KT_INTERFACE_Finalize(t)
'''


class NamedKeyLifecycleTest(ChildTestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix='tavrel-named-')
        self.world = os.path.join(self.scratch, 'world.json')
        json.dump({'types': [{'name': u'Носій', 'devices': [
            {'serial': 'N-0', 'password': NAMED_PASSWORD, 'key': None}]}]}, open(self.world, 'w'))

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def step(self, code):
        child = self.run_child(_LIFECYCLE_PRELUDE % NAMED_PASSWORD + code + _LIFECYCLE_EPILOGUE, LIB_NORMAL,
                               setup=_LIFECYCLE_SETUP % self.world)
        return child.result

    def test_lifecycle_across_processes(self):
        self.assertEqual(self.step('''
result['before'] = exists()
result['generated'] = outcome(_Tavrel.KT_INTERFACE_CtxGenerateNamedPrivateKey, t, context[0], dict(medium), u'ключ',
                              u'перший', 1, 1, 1, None, 0, 0, None, None, None, None, None, None, None)[0]
result['again'] = outcome(_Tavrel.KT_INTERFACE_CtxGenerateNamedPrivateKey, t, context[0], dict(medium), u'ключ',
                          u'інший', 1, 1, 1, None, 0, 0, None, None, None, None, None, None, None)[1][0]['ErrorCode']
'''), {'before': False, 'generated': 'ok', 'again': 0xF010})
        self.assertEqual(self.step('''
result['present'] = exists()
result['wrong'] = read(u'хибний')
result['change refused'] = outcome(_Tavrel.KT_INTERFACE_CtxChangeNamedPrivateKeyPassword, t, context[0],
                                   dict(medium), u'ключ', u'хибний', u'другий')[1][0]['ErrorCode']
result['changed'] = outcome(_Tavrel.KT_INTERFACE_CtxChangeNamedPrivateKeyPassword, t, context[0], dict(medium),
                            u'ключ', u'перший', u'другий')[0]
'''), {'present': True, 'wrong': ACCESS_FAILED, 'change refused': ACCESS_FAILED, 'changed': 'ok'})
        self.assertEqual(self.step('''
result['old password'] = read(u'перший')
result['new password'] = read(u'другий')
result['destroyed'] = outcome(_Tavrel.KT_INTERFACE_CtxDestroyNamedPrivateKey, t, context[0], dict(medium), u'ключ',
                              u'другий')[0]
'''), {'old password': ACCESS_FAILED, 'new password': 'ok', 'destroyed': 'ok'})
        self.assertEqual(self.step('''
result['after'] = exists()
result['read'] = read(u'другий')
'''), {'after': False, 'read': NO_KEY})


if __name__ == '__main__':
    unittest.main()
