# -*- coding: utf-8 -*-
"""Baseline arguments of the envelope, session and header wrappers for the wrong-value battery
(test_wrong_values.py): for each wrapper, valid items after the table, with which the call
succeeds or fails with a library status only. No session outlives this function, as the
battery finds no session outstanding after each call: the handle items are None (a status
from the library), while the messages, saved sessions and envelopes are real."""
from __future__ import print_function

import os

from wrapper_testing import wrapper as W


def baseline_arguments(test):
    data = b'payload\0with NUL'
    other_owner, other_cert = test.certificate(2)
    owner, cert = test.certificate(1)
    certs = [cert, other_cert]
    envelope = []
    W('EnvelopDataToRecipients')(test.t, certs, 1, data, len(data), None, envelope)
    envelope = envelope[0]
    files = dict((name, os.path.join(test.scratch, 'battery-' + name)) for name in ('sealed', 'plain', 'out'))
    for name, content in [('sealed', envelope), ('plain', data)]:
        with open(files[name], 'wb') as out:
            out.write(content)
    issuers, serials = [owner['pszIssuer']], [owner['pszSerial']]

    client, hello, dynamic_client, dynamic_hello = [], [], [], []
    W('ClientSessionCreateStep1')(test.t, 0, client, hello)
    W('ClientDynamicKeySessionCreate')(test.t, 0, None, None, cert, len(cert), dynamic_client, dynamic_hello)
    saved = []
    W('SessionSave')(test.t, dynamic_client[0], saved)
    W('SessionDestroy')(test.t, client[0])
    W('SessionDestroy')(test.t, dynamic_client[0])
    hello, dynamic_hello, saved = hello[0], dynamic_hello[0], saved[0]

    crypto, transport = [], []
    W('AppendCryptoHeader')(test.t, 'UA1', 2, data, len(data), crypto)
    crypto = crypto[0]
    W('AppendTransportHeader')(test.t, 'UA1', 'file', 'a@b', cert, len(cert), crypto, len(crypto), transport)
    transport = transport[0]
    return {
        'DevelopData': (None, envelope, len(envelope), [], {}),
        'SessionDestroy': (None,),
        'ClientSessionCreateStep1': (0, [], []),
        'ServerSessionCreateStep1': (0, hello, len(hello), [], []),
        'ClientSessionCreateStep2': (None, b'x', 1, []),
        'ServerSessionCreateStep2': (None, b'x', 1),
        'SessionIsInitialized': (None,),
        'SessionSave': (None, []),
        'SessionLoad': (saved, len(saved), []),
        'SessionCheckCertificates': (None,),
        'SessionEncrypt': (None, data, len(data), []),
        'SessionDecrypt': (None, data, len(data), []),
        'SessionGetPeerCertificateInfo': (None, {}),
        'DevelopFile': (files['sealed'], files['out'], {}),
        'EnvelopDataToRecipients': (certs, 1, data, len(data), [], []),
        'EnvelopFileToRecipients': (certs, 1, files['plain'], files['out']),
        'EnvelopDataExWithDynamicKey': (issuers, serials, 1, 1, data, len(data), [], []),
        'EnvelopDataToRecipientsWithDynamicKey': (certs, 1, 1, data, len(data), [], []),
        'EnvelopFileExWithDynamicKey': (issuers, serials, 1, 1, files['plain'], files['out']),
        'EnvelopFileToRecipientsWithDynamicKey': (certs, 1, 1, files['plain'], files['out']),
        'DevelopDataEx': (None, envelope, len(envelope), cert, len(cert), [], {}),
        'ClientDynamicKeySessionCreate': (0, None, None, cert, len(cert), [], []),
        'ServerDynamicKeySessionCreate': (0, dynamic_hello, len(dynamic_hello), []),
        'GetSenderInfo': (None, envelope, len(envelope), cert, len(cert), [], {}, []),
        'GetFileSenderInfo': (files['sealed'], cert, len(cert), [], {}, []),
        'GetRecipientsCount': (None, envelope, len(envelope), []),
        'GetFileRecipientsCount': (files['sealed'], []),
        'GetRecipientInfo': (0, None, envelope, len(envelope), [], [], [], []),
        'GetFileRecipientInfo': (0, files['sealed'], [], [], [], []),
        'AppendTransportHeader': ('UA1', 'file', 'a@b', cert, len(cert), crypto, len(crypto), []),
        'ParseTransportHeader': (transport, len(transport), [], []),
        'AppendCryptoHeader': ('UA1', 2, data, len(data), []),
        'ParseCryptoHeader': (crypto, len(crypto), [], [], [], []),
        'EnvelopDataToRecipientsOffline': (certs, 1, data, len(data), 0, 0, [], []),
    }
