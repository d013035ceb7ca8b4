# -*- coding: utf-8 -*-
"""The item kinds of the envelope, session and header wrappers, checked through what the
stand-in library was handed: bytes lists, text lists, handles, records, decoded texts,
lent text buffers and the BOOL and void results."""
from __future__ import print_function

import base64
import struct
import unittest

import _Tavrel
from envelope_testing import EnvelopeTestCase, W
from tavrel_compat import text_type
from tavrel_testing import LIB_NORMAL, run_child
from wrapper_testing import BAD_PARAMETER, CERT_NOT_FOUND, CRYPTO, RESOURCE_FAILED

DATA = b'da\0ta'


class BytesListTest(EnvelopeTestCase):
    # wrapper, items with the list first
    WRAPPERS = [
        ('EnvelopDataToRecipients', lambda self, certs: (certs, 1, DATA, len(DATA), None, [])),
        ('EnvelopDataToRecipientsWithDynamicKey', lambda self, certs: (certs, 1, 0, DATA, len(DATA), None, [])),
        ('EnvelopDataToRecipientsOffline', lambda self, certs: (certs, 1, DATA, len(DATA), 1, 0, None, [])),
        ('EnvelopFileToRecipients', lambda self, certs: (certs, 0, self.write('plain', DATA), self.path('out'))),
        ('EnvelopFileToRecipientsWithDynamicKey',
         lambda self, certs: (certs, 0, 1, self.write('plain', DATA), self.path('out'))),
    ]

    def test_count_copies_and_lengths_with_the_nul(self):
        certs = [self.cert, self.other_cert]
        for name, items in self.WRAPPERS:
            library = 'KT' + name
            W(name)(self.t, *items(self, certs))
            self.assertEqual(self.record.number(library, 0), 2, name)
            self.assertEqual(self.record.bytes(library, 1), self.cert + b'\0' + self.other_cert + b'\0', name)
            lengths = self.record.bytes(library, 2)
            self.assertEqual(lengths, b''.join(_le64(len(c) + 1) for c in certs), name)

    def test_one_empty_string_is_one_nul_of_length_one(self):
        for name, items in self.WRAPPERS:
            library = 'KT' + name
            # The library refuses a garbage certificate with a status; what it was handed stays recorded.
            self.assertKTError(RuntimeError, CRYPTO, W(name), self.t, *items(self, [b'']))
            self.assertEqual((self.record.number(library, 0), self.record.bytes(library, 1),
                              self.record.bytes(library, 2)), (1, b'\0', _le64(1)), name)

    def test_refused_before_the_library_is_called(self):
        for name, items in self.WRAPPERS:
            for recipients in [[], (self.cert,), None, self.cert, [self.cert, u'unicode'], [self.cert, None],
                               [self.cert, 1]]:
                before = self.lib.calls('KT' + name)
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *items(self, recipients))
                self.assertEqual(self.lib.calls('KT' + name), before, (name, recipients))

    def test_garbage_certificate_gives_a_status(self):
        for name, items in self.WRAPPERS:
            self.assertKTError(RuntimeError, CRYPTO, W(name), self.t, *items(self, [self.cert, b'not a certificate']))


class TextListTest(EnvelopeTestCase):
    WRAPPERS = [
        ('EnvelopDataExWithDynamicKey', lambda self, i, s: (i, s, 0, 1, DATA, len(DATA), [], None)),
        ('EnvelopFileExWithDynamicKey', lambda self, i, s: (i, s, 0, 1, self.write('plain', DATA), self.path('out'))),
    ]

    def test_multi_string_bytes_exactly(self):
        for name, items in self.WRAPPERS:
            library = 'KT' + name
            self.assertKTError(RuntimeError, CERT_NOT_FOUND, W(name), self.t, *items(self, [b'ab', u'c'], [u'жук']))
            self.assertEqual(self.record.bytes(library, 0), b'ab\0c\0\0', name)
            self.assertEqual(self.record.bytes(library, 1), u'жук'.encode('cp1251') + b'\0\0', name)

    def test_stored_certificates_by_issuer_and_serial(self):
        issuer = self.owner['pszIssuer']  # Unicode, encoded Windows-1251 on the way in
        for name, items in self.WRAPPERS:
            W(name)(self.t, *items(self, [issuer], [self.owner['pszSerial'].encode('cp1251')]))
            self.assertEqual(self.record.bytes('KT' + name, 0), issuer.encode('cp1251') + b'\0\0')

    def test_refused_elements(self):
        # (issuers, serials, code): the first list decides before the second is looked at
        cases = [([], [b'1'], BAD_PARAMETER), (b'ab', [b'1'], BAD_PARAMETER), ([b'a', 1], [b'1'], BAD_PARAMETER),
                 ([b'a', None], [b'1'], BAD_PARAMETER), ([u'\u4e00'], [b'1'], RESOURCE_FAILED),
                 ([b'a'], [u'\u4e00'], RESOURCE_FAILED), ([b'a'], [], BAD_PARAMETER),
                 # an element with a NUL would split the multi-string into other recipients
                 ([b'a\0b'], [b'1'], BAD_PARAMETER), ([u'a\0'], [b'1'], BAD_PARAMETER),
                 ([b'a'], [b'1\0'], BAD_PARAMETER)]
        for name, items in self.WRAPPERS:
            for issuers, serials, code in cases:
                before = self.lib.calls('KT' + name)
                self.assertKTError(TypeError, code, W(name), self.t, *items(self, issuers, serials))
                self.assertEqual(self.lib.calls('KT' + name), before, (name, issuers, serials))


class TextListSnapshotTest(unittest.TestCase):
    def test_a_list_changed_while_it_is_encoded(self):
        # Encoding a text runs script code (Python 3: the codec's _is_text_encoding), which
        # here replaces the list's texts, freeing them: the library receives the texts the
        # list held when its conversion began. The interpreter's own allocator (malloc_debug) lets
        # a sanitizer see any read of a freed text.
        child = run_child('''
            import codecs, ctypes
            from tavrel_testing import CallRecord
            _Tavrel.KTLoad()
            _Tavrel.KT_INTERFACE_Initialize(_Tavrel.KTGetInterface())
            issuers, serials = [u'A' * 40 + u'1', u'A' * 40 + u'2'], [u'S' * 40 + u'1']
            def change(info):
                issuers[:] = [u'B' * 41]
                return True
            text_encoding = codecs.CodecInfo._is_text_encoding
            codecs.CodecInfo._is_text_encoding = property(change)
            got = outcome(_Tavrel.KT_INTERFACE_EnvelopDataExWithDynamicKey, _Tavrel.KTGetInterface(), issuers, serials,
                          0, 1, b'data', 4, [], None)
            codecs.CodecInfo._is_text_encoding = text_encoding
            record = CallRecord(ctypes.CDLL('tavrellib.so', mode=getattr(os, 'RTLD_NOLOAD', 4)))
            result['received'] = [got[0]] + [record.bytes('KTEnvelopDataExWithDynamicKey', i).decode('ascii')
                                              for i in (0, 1)]
        ''', LIB_NORMAL, extra_env={'PYTHONMALLOC': 'malloc_debug'})
        self.assertEqual((child.returncode, child.stderr), (0, b''), child.stderr)
        self.assertEqual(child.result, {'received': ['RuntimeError', 'A' * 40 + '1\0' + 'A' * 40 + '2\0\0',
                                                     'S' * 40 + '1\0\0']})


class HandleTest(EnvelopeTestCase):
    def test_handle_out_must_be_a_list_and_holds_one_item(self):
        for session_list in [None, (), {}]:
            self.assertNotCalled('KTClientSessionCreateStep1', W('ClientSessionCreateStep1'), self.t, 0,
                                 session_list, None)
            self.assertKTError(TypeError, BAD_PARAMETER, W('ClientSessionCreateStep1'), self.t, 0, session_list, None)
        sessions = ['old', 'items']
        W('ClientSessionCreateStep1')(self.t, 0, sessions, None)
        self.assertEqual(len(sessions), 1)
        self.assertTrue(self.record.is_null('KTClientSessionCreateStep1', 2))  # the message was not asked for
        self.destroy(sessions[0])

    def test_no_handle_from_the_library_gives_none(self):
        self.record.set_null_output('KTClientSessionCreateStep1', 1)
        sessions, hello = [], []
        W('ClientSessionCreateStep1')(self.t, 0, sessions, hello)
        self.assertEqual(sessions, [None])
        self.assertEqual(len(hello), 1)

    def test_handle_not_handed_back_is_destroyed(self):
        # The issuer text's list is written before the session: an undecodable text there
        # leaves the session unreturned, and the wrapper destroys it.
        self.record.set_lent_text('KTClientDynamicKeySessionCreate', 1, b'\x98')
        issuer, sessions = [], []
        destroyed = self.lib.calls('KTSessionDestroy')
        self.assertKTError(TypeError, RESOURCE_FAILED, W('ClientDynamicKeySessionCreate'), self.t, 0, issuer, None,
                           self.cert, len(self.cert), sessions, None)
        self.assertEqual((issuer, sessions), ([], []))
        self.assertEqual(self.lib.calls('KTSessionDestroy'), destroyed + 1)
        self.assertEqual(self.lib.counters()['sessions'], 0)

    def test_any_pointer_object_or_none_is_a_handle(self):
        record = _Tavrel.new_SYSTEMTIME()
        try:
            for handle in [None, record, self.t]:
                self.assertIs(W('SessionIsInitialized')(self.t, handle), False)
                self.assertKTError(RuntimeError, BAD_PARAMETER, W('SessionCheckCertificates'), self.t, handle)
                self.assertIsNone(W('SessionDestroy')(self.t, handle))
                self.assertEqual(self.record.is_null('KTSessionDestroy', 0), handle is None)
        finally:
            _Tavrel.delete_SYSTEMTIME(record)
        for name in ['SessionIsInitialized', 'SessionCheckCertificates', 'SessionDestroy']:
            for handle in [1, b'session', [], {}]:
                self.assertArgError(TypeError, "in method 'KT_INTERFACE_%s', argument 2 of type 'PVOID'" % name,
                                    W(name), self.t, handle)

    def test_destroyed_handle_gives_a_status_not_a_crash(self):
        client, server = self.dynamic_handshake()
        self.destroy(client, server)
        self.assertIs(W('SessionIsInitialized')(self.t, client), False)
        for name, items in [('SessionEncrypt', (client, b'x', 1, [])), ('SessionSave', (client, [])),
                            ('SessionGetPeerCertificateInfo', (client, {})),
                            ('ClientSessionCreateStep2', (client, b'x', 1, [])),
                            ('ServerSessionCreateStep2', (server, b'x', 1))]:
            self.assertKTError(RuntimeError, BAD_PARAMETER, W(name), self.t, *items)
        self.destroy(client)


class ResultKindTest(EnvelopeTestCase):
    def test_is_initialized_is_true_or_false_never_raising(self):
        client, hello = [], []
        W('ClientSessionCreateStep1')(self.t, 0, client, hello)
        self.assertIs(W('SessionIsInitialized')(self.t, client[0]), False)
        self.destroy(client[0])
        client, server = self.dynamic_handshake()
        self.assertIs(W('SessionIsInitialized')(self.t, client), True)
        self.destroy(client, server)

    def test_destroy_returns_none(self):
        client, server = self.dynamic_handshake()
        self.assertIsNone(W('SessionDestroy')(self.t, client))
        self.assertIsNone(W('SessionDestroy')(self.t, server))
        self.assertEqual(self.lib.counters()['sessions'], 0)


class RecordTest(EnvelopeTestCase):
    def test_sender_record_released_with_free_sender_info(self):
        envelope = self.envelop(DATA)
        for sender in [{'old': 1}, None, [], b'text']:
            calls = (self.lib.calls('KTFreeSenderInfo'), self.lib.calls('KTFreeSignInfo'))
            self.assertEqual(self.develop(envelope, sender), DATA)
            self.assertEqual((self.lib.calls('KTFreeSenderInfo'), self.lib.calls('KTFreeSignInfo')),
                             (calls[0] + 1, calls[1]))
        sender = {'old': 1}
        self.develop(envelope, sender)
        self.assertEqual(len(sender), 21)
        self.assertEqual(sender['pszSubjOrgUnit'], u'Носій T-1')
        self.assertIs(sender['bTimeAvail'], True)

    def test_failed_status_keeps_the_dictionary_and_releases_the_record(self):
        envelope = self.envelop(DATA, [self.other_cert])  # T-1 is no recipient
        sender, opened = {'old': 1}, ['old']
        released = self.lib.calls('KTFreeSenderInfo')
        self.assertKTError(RuntimeError, CERT_NOT_FOUND, W('DevelopData'), self.t, None, envelope, len(envelope),
                           opened, sender)
        self.assertEqual((sender, opened), ({'old': 1}, ['old']))
        self.assertEqual(self.lib.calls('KTFreeSenderInfo'), released + 1)
        self.assertNotCalled('KTFreeSenderInfo', W('DevelopData'), 0, None, envelope, len(envelope), opened, sender)

    def test_peer_certificate_record(self):
        client, server = self.dynamic_handshake()
        peer = {'old': 1}
        W('SessionGetPeerCertificateInfo')(self.t, client, peer)
        self.assertEqual(len(peer), 45)
        self.assertEqual(peer['pszSubjOrgUnit'], u'Носій T-1')
        released = self.lib.calls('KTFreeCertificateInfo')
        kept = {'old': 1}
        self.assertKTError(RuntimeError, CERT_NOT_FOUND, W('SessionGetPeerCertificateInfo'), self.t, server, kept)
        self.assertEqual(kept, {'old': 1})
        self.assertEqual(self.lib.calls('KTFreeCertificateInfo'), released + 1)
        self.destroy(client, server)

    def test_sender_certificate_record_always_requested(self):
        envelope = self.envelop(DATA)
        for info in [{}, None]:
            flag, cert = [], []
            W('GetSenderInfo')(self.t, None, envelope, len(envelope), None, 0, flag, info, cert)
            self.assertFalse(self.record.is_null('KTGetSenderInfo', 6))
            self.assertEqual((flag, cert), ([False], [self.cert]))
        info = {}
        W('GetFileSenderInfo')(self.t, self.write('sealed', envelope), None, 0, None, info, None)
        self.assertTrue(self.record.is_null('KTGetFileSenderInfo', 3))
        self.assertTrue(self.record.is_null('KTGetFileSenderInfo', 5))
        self.assertEqual(info['pszSubjOrgUnit'], u'Носій T-1')


class DecodedTextTest(EnvelopeTestCase):
    def test_recipient_texts_are_unicode_from_windows_1251(self):
        envelope = self.envelop(DATA, [self.other_cert])
        kind, issuer, serial, key_id = [], ['old'], [], []
        W('GetRecipientInfo')(self.t, 0, None, envelope, len(envelope), kind, issuer, serial, key_id)
        self.assertEqual(kind, [1])
        self.assertIsInstance(issuer[0], text_type)
        self.assertIn(u'Носій T-2', issuer[0])
        self.assertEqual(serial, [self.other_owner['pszSerial']])
        W('GetFileRecipientInfo')(self.t, 0, self.write('sealed', envelope), None, None, serial, None)
        self.assertTrue(self.record.is_null('KTGetFileRecipientInfo', 2))
        self.assertTrue(self.record.is_null('KTGetFileRecipientInfo', 3))
        self.assertEqual(serial, [self.other_owner['pszSerial']])

    def test_null_text_gives_none(self):
        envelope = self.envelop(DATA)
        self.record.set_null_output('KTGetRecipientInfo', 6)
        kind, issuer, serial, key_id = [], [], ['old'], []
        W('GetRecipientInfo')(self.t, 0, None, envelope, len(envelope), kind, issuer, serial, key_id)
        self.assertEqual(serial, [None])
        self.assertEqual(len(key_id), 1)

    def test_other_text_outputs_stay_bytes(self):
        text = []
        W('EnvelopDataToRecipients')(self.t, [self.cert], 0, DATA, len(DATA), text, None)
        self.assertIs(type(text[0]), bytes)
        self.assertTrue(self.record.is_null('KTEnvelopDataToRecipients', 7))
        self.assertEqual(self.develop(base64.b64decode(text[0])), DATA)


class LentTextTest(EnvelopeTestCase):
    def test_each_list_gets_its_own_buffer(self):
        crypto = []
        W('AppendCryptoHeader')(self.t, 'UA1', 1, DATA, len(DATA), crypto)
        for index, text in enumerate([u'тип', u'файл', u'пошта']):
            self.record.set_lent_text('KTAppendTransportHeader', index, text.encode('cp1251'))
        lists = [['old'], [], []]
        W('AppendTransportHeader')(self.t, lists[0], lists[1], lists[2], None, 0, crypto[0], len(crypto[0]), None)
        self.assertEqual(lists, [[u'тип'], [u'файл'], [u'пошта']])

    def test_undecodable_text_leaves_its_list_as_passed(self):
        self.record.set_lent_text('KTAppendTransportHeader', 1, b'U\x98')
        name, out = ['old'], ['old']
        self.assertKTError(TypeError, RESOURCE_FAILED, W('AppendTransportHeader'), self.t, 'UA1', name, None, None, 0,
                           DATA, len(DATA), out)
        self.assertEqual((name, out), (['old'], ['old']))

    def test_the_crypto_header_ca_type_is_written_only_into_a_buffer_of_the_call(self):
        crypto = []
        W('AppendCryptoHeader')(self.t, 'UA1', 3, DATA, len(DATA), crypto)
        ca_type, kind, size, data = [], [], [], []
        W('ParseCryptoHeader')(self.t, crypto[0], len(crypto[0]), ca_type, kind, size, data)
        self.assertEqual((ca_type, kind, data), ([u'UA1'], [3], [DATA]))
        self.assertEqual(size[0] + len(DATA), len(crypto[0]))
        # A text given is copied, and the library writes its CA type into the copy: the
        # script's string stays as it was, a short one is not overrun. None gives no text.
        n = 3
        for given in [b'', b'U', b'z' * (n * 9), u'Ж' * n, b'x' * 1152]:
            before = given[:]
            self.assertIsNone(W('ParseCryptoHeader')(self.t, crypto[0], len(crypto[0]), given, None, None, None))
            self.assertEqual((given, self.record.bytes('KTParseCryptoHeader', 2)),
                             (before, before.encode('cp1251') if type(before) is type(u'') else before))
        self.assertIsNone(W('ParseCryptoHeader')(self.t, crypto[0], len(crypto[0]), None, None, None, None))
        self.assertTrue(self.record.is_null('KTParseCryptoHeader', 2))
        # The copy holds at most its buffer's 1152 bytes and a NUL.
        self.assertKTError(TypeError, BAD_PARAMETER, W('ParseCryptoHeader'), self.t, crypto[0], len(crypto[0]),
                           b'x' * 1153, None, None, None)


def _le64(number):
    return struct.pack('<Q', number)


if __name__ == '__main__':
    unittest.main()
