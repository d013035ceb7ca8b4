# -*- coding: utf-8 -*-
"""Envelopes, sessions and headers end to end on the stand-in, and the three roads out of a
wrapper: a library status, a conversion refused before the call, an output that cannot be
written after success."""
from __future__ import print_function

import base64
import unittest

import _Tavrel
from envelope_testing import EnvelopeTestCase, W
from wrapper_testing import BAD_PARAMETER, CERT_NOT_FOUND, CRYPTO, NO_KEY, RESOURCE_FAILED

DATA = b'envelope\0data \xff'
VERIFY = 0xF007


class EnvelopeRoundTripTest(EnvelopeTestCase):
    def data_variants(self):
        """(name, items) of every data variant, the envelope out-lists last."""
        certs = [self.cert, self.other_cert]
        names = [self.owner['pszIssuer']], [self.owner['pszSerial']]
        return [('EnvelopDataToRecipients', (certs, 1, DATA, len(DATA))),
                ('EnvelopDataToRecipients', (certs, 0, DATA, len(DATA))),
                ('EnvelopDataToRecipientsWithDynamicKey', (certs, 1, 0, DATA, len(DATA))),
                ('EnvelopDataToRecipientsWithDynamicKey', (certs, 0, 1, DATA, len(DATA))),
                ('EnvelopDataExWithDynamicKey', names + (1, 1, DATA, len(DATA))),
                ('EnvelopDataToRecipientsOffline', (certs, 1, DATA, len(DATA), 1, 1))]

    def test_data_variants_open_as_bytes_and_as_text(self):
        for name, items in self.data_variants():
            text, binary = ['old'], []
            W(name)(self.t, *(items + (text, binary)))
            self.assertEqual(base64.b64decode(text[0]), binary[0], name)
            self.assertEqual(self.develop(binary[0]), DATA, name)
            opened, sender = [], {}
            W('DevelopData')(self.t, text[0], None, 0, opened, sender)
            self.assertEqual(opened, [DATA], name)
            self.assertEqual(sender['pszSubjOrgUnit'], u'Носій T-1', name)

    def test_file_variants(self):
        plain = self.write('plain', DATA)
        certs = [self.cert]
        for name, items in [('EnvelopFileToRecipients', (certs, 1)),
                            ('EnvelopFileToRecipientsWithDynamicKey', (certs, 0, 1)),
                            ('EnvelopFileExWithDynamicKey', ([self.owner['pszIssuer']], [self.owner['pszSerial']],
                                                             1, 0))]:
            W(name)(self.t, *(items + (plain, self.path('sealed'))))
            sender = {}
            W('DevelopFile')(self.t, self.path('sealed'), self.path('opened'), sender)
            self.assertEqual(self.read('opened'), DATA, name)
            self.assertEqual(sender['pszSubjCN'], self.owner['pszSubjCN'], name)
            count = []
            W('GetFileRecipientsCount')(self.t, self.path('sealed'), count)
            self.assertEqual(count, [1])

    def test_second_byte_string_verifies_a_sender_the_envelope_does_not_name(self):
        text, binary = [], []
        W('EnvelopDataToRecipientsWithDynamicKey')(self.t, [self.cert], 0, 0, DATA, len(DATA), text, binary)
        opened, sender = [], {}
        W('DevelopDataEx')(self.t, None, binary[0], len(binary[0]), self.other_cert, len(self.other_cert), opened,
                           sender)
        self.assertEqual(opened, [DATA])
        # Unsigned, no sender named: the record is not filled, yet every text is one.
        self.assertEqual((sender['bFilled'], sender['pszSubjCN'], sender['pszIssuer']), (False, u'', u''))

    def test_filled_records_hold_a_text_in_every_text_field(self):
        """What the certificate leaves out (a phone, an address) is u'', never None."""
        envelope = self.envelop(DATA)
        sender, flag, info, der = {}, [], {}, []
        self.develop(envelope, sender)
        W('GetSenderInfo')(self.t, None, envelope, len(envelope), None, 0, flag, info, der)
        for name, record in [('owner', self.owner), ('sender', sender), ('certificate', info)]:
            self.assertEqual([key for key, value in record.items() if value is None], [], name)
            self.assertEqual((record['pszSubjPhone'], record['pszSubjAddress']), (u'', u''), name)

    def test_non_recipient_refused_and_changed_envelope_refused(self):
        envelope = self.envelop(DATA, [self.other_cert])
        self.assertKTError(RuntimeError, CERT_NOT_FOUND, self.develop, envelope)
        self.read_key(2)
        self.assertEqual(self.develop(envelope), DATA)
        changed = bytearray(envelope)
        changed[-5] ^= 1
        changed = bytes(changed)
        self.assertKTError(RuntimeError, CRYPTO, self.develop, changed)
        W('ResetPrivateKey')(self.t)
        self.assertKTError(RuntimeError, NO_KEY, self.develop, envelope)

    def test_sender_and_recipients_read_back(self):
        envelope = self.envelop(DATA)
        count = ['old', 'items']
        W('GetRecipientsCount')(self.t, None, envelope, len(envelope), count)
        self.assertEqual(count, [2])
        issuers = []
        for index in range(2):
            issuer = []
            W('GetRecipientInfo')(self.t, index, None, envelope, len(envelope), None, issuer, None, None)
            issuers.append(issuer[0])
        self.assertEqual([u'Носій T-1' in issuers[0], u'Носій T-2' in issuers[1]], [True, True])
        flag, info, cert = [], {'old': 1}, []
        W('GetSenderInfo')(self.t, None, envelope, len(envelope), self.other_cert, len(self.other_cert), flag, info,
                           cert)
        self.assertEqual((flag, cert, info['pszSubjOrg']), ([False], [self.cert], u'Стенд ВЕК'))
        self.assertEqual(len(info), 60)


class SessionRoundTripTest(EnvelopeTestCase):
    def test_four_steps_both_ways_save_load_destroy(self):
        client, server = self.handshake()
        for session in client, server:
            self.assertIs(W('SessionIsInitialized')(self.t, session), True)
        self.assertIsNone(W('SessionCheckCertificates')(self.t, client))
        for sender, receiver in [(client, server), (server, client)]:
            sealed = self.crypt('SessionEncrypt', sender, DATA)
            self.assertEqual(self.crypt('SessionDecrypt', receiver, sealed), DATA)
            self.assertKTError(RuntimeError, CRYPTO, self.crypt, 'SessionDecrypt', sender, sealed)
        saved = []
        W('SessionSave')(self.t, server, saved)
        loaded = []
        W('SessionLoad')(self.t, saved[0], len(saved[0]), loaded)
        self.assertEqual(self.record.bytes('KTSessionLoad', 0), saved[0])
        self.assertNotEqual(loaded[0], server)
        self.destroy(server)
        self.assertEqual(self.crypt('SessionDecrypt', loaded[0], self.crypt('SessionEncrypt', client, b'x')), b'x')
        peer = {}
        W('SessionGetPeerCertificateInfo')(self.t, loaded[0], peer)
        self.assertEqual(peer['pszSubjOrgUnit'], u'Носій T-2')
        self.destroy(client, loaded[0])

    def test_dynamic_key_by_name_and_the_lent_texts(self):
        issuer, serial = self.owner['pszIssuer'], self.owner['pszSerial']
        client, hello = [], []
        W('ClientDynamicKeySessionCreate')(self.t, 5, issuer, serial, None, 0, client, hello)
        self.assertEqual(self.record.bytes('KTClientDynamicKeySessionCreate', 1), issuer.encode('cp1251'))
        server = []
        W('ServerDynamicKeySessionCreate')(self.t, 5, hello[0], len(hello[0]), server)
        self.assertEqual(self.crypt('SessionDecrypt', server[0], self.crypt('SessionEncrypt', client[0], DATA)), DATA)
        lists, second = [['old'], []], []
        W('ClientDynamicKeySessionCreate')(self.t, 0, lists[0], lists[1], self.cert, len(self.cert), second, None)
        self.assertEqual(lists, [[u''], [u'']])
        self.destroy(client[0], server[0], second[0])

    def test_out_of_order_and_malformed_messages(self):
        client, server = self.handshake()
        for name, items, code in [
                ('ClientSessionCreateStep2', (client, b'x', 1, None), BAD_PARAMETER),
                ('ServerSessionCreateStep2', (client, b'x', 1), BAD_PARAMETER),
                ('ServerSessionCreateStep1', (0, b'junk', 4, [], None), CRYPTO),
                ('ServerDynamicKeySessionCreate', (0, None, 0, []), CRYPTO),
                ('SessionLoad', (b'junk', 4, []), CRYPTO)]:
            self.assertKTError(RuntimeError, code, W(name), self.t, *items)
        self.destroy(client, server)


class HeaderRoundTripTest(EnvelopeTestCase):
    def test_headers_keep_nul_bytes(self):
        payload = b'\0\0head\0er\0'
        crypto = []
        W('AppendCryptoHeader')(self.t, u'UA1', _Tavrel.KT_HEADER_PART_TYPE_ENCRYPTED, payload, len(payload), crypto)
        transport = []
        W('AppendTransportHeader')(self.t, 'UA1', u'файл', 'a@b', self.cert, len(self.cert), crypto[0],
                                   len(crypto[0]), transport)
        self.assertEqual(self.record.bytes('KTAppendTransportHeader', 1), u'файл'.encode('cp1251'))
        receipt, inner = [], []
        W('ParseTransportHeader')(self.t, transport[0], len(transport[0]), receipt, inner)
        self.assertEqual(inner, crypto)
        self.assertIsInstance(receipt[0], int)
        ca_type, kind, data = [], [], []
        W('ParseCryptoHeader')(self.t, inner[0], len(inner[0]), ca_type, kind, None, data)
        self.assertTrue(self.record.is_null('KTParseCryptoHeader', 4))
        self.assertEqual((ca_type, kind, data), ([u'UA1'], [2], [payload]))

    def test_library_checks_its_own_items(self):
        for ca_type, kind in [('UA12', 1), ('UA1', 0), ('UA1', 5), (None, 1)]:
            self.assertKTError(RuntimeError, BAD_PARAMETER, W('AppendCryptoHeader'), self.t, ca_type, kind, b'x', 1,
                               [])


class RoadTest(EnvelopeTestCase):
    def test_status_failure_touches_no_output_and_releases(self):
        self.lib.set_fault('KTEnvelopDataToRecipients', CRYPTO)
        text, binary = ['old'], ['old']
        self.assertKTError(RuntimeError, CRYPTO, W('EnvelopDataToRecipients'), self.t, [self.cert], 1, DATA,
                           len(DATA), text, binary)
        self.assertEqual((text, binary), (['old'], ['old']))
        # What was handed is recorded even though the status was forced.
        self.assertEqual(self.record.number('KTEnvelopDataToRecipients', 0), 1)
        client, server = self.dynamic_handshake()
        self.lib.set_fault('KTSessionEncrypt', CRYPTO)
        out = ['old']
        self.assertKTError(RuntimeError, CRYPTO, W('SessionEncrypt'), self.t, client, b'x', 1, out)
        self.assertEqual(out, ['old'])
        self.destroy(client, server)

    def test_conversion_failure_calls_nothing(self):
        envelope = self.envelop(DATA)
        for name, items in [('DevelopData', (None, u'unicode', 3, [], {})),
                            ('DevelopData', (u'\u4e00', envelope, len(envelope), [], {})),
                            ('SessionLoad', (b'saved', 5, None)),
                            ('ServerSessionCreateStep1', (0, b'x', 1, (), None)),
                            ('GetSenderInfo', (None, envelope, len(envelope), 5, 0, [], {}, [])),
                            ('AppendTransportHeader', ('UA1', None, None, None, 1.5, b'data', 4, [])),
                            ('ParseCryptoHeader', (b'x', 1, u'\u4e00', [], [], []))]:
            self.assertNotCalled('KT' + name, W(name), self.t, *items)

    def test_lengths_within_the_copy(self):
        data = b'abc'
        opened = []
        # A length up to the copy (the NUL included) reaches the library as given ...
        self.assertKTError(RuntimeError, CRYPTO, W('DevelopData'), self.t, None, data, 4, opened, None)
        self.assertEqual(self.record.number('KTDevelopData', 2), 4)
        self.assertEqual(self.record.bytes('KTDevelopData', 1), b'abc\0')
        # ... and None is an empty buffer with the length as given.
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('DevelopData'), self.t, None, None, 0, opened, None)
        self.assertFalse(self.record.is_null('KTDevelopData', 1))
        self.assertNotCalled('KTDevelopData', W('DevelopData'), self.t, None, data, 5, opened, None)

    def test_output_failure_after_success_keeps_earlier_outputs(self):
        self.record.set_lent_text('KTGetRecipientInfo', 1, b'bad \x98')
        envelope = self.envelop(DATA)
        text, kind, serial = ['old'], ['old'], ['old']
        self.assertKTError(TypeError, RESOURCE_FAILED, W('GetRecipientInfo'), self.t, 0, text, envelope,
                           len(envelope), kind, None, serial, None)
        self.assertEqual((text, kind, serial), (['old'], ['old'], ['old']))
        self.record.set_null_output('KTSessionSave', 1)
        client, server = self.dynamic_handshake()
        saved = ['old']
        W('SessionSave')(self.t, client, saved)
        self.assertEqual(saved, [None])
        self.destroy(client, server)


if __name__ == '__main__':
    unittest.main()
