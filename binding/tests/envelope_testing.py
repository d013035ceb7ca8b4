# -*- coding: utf-8 -*-
"""Shared fixture of the envelope, session and header tests: two keys of the tests' world
with their certificates, the stand-in's call record reached through ctypes, and baseline
arguments of the 34 wrappers."""
import ctypes
import os

import _Tavrel
from wrapper_testing import WrapperTestCase, wrapper

W = wrapper
SIGNER_INFO_MAX_LENGTH = 1153

# The envelope, session and header wrappers in slot order, each with its argument count
# after the table (their item kinds come from the generated kinds module).
FAMILY = ['DevelopData', 'SessionDestroy', 'ClientSessionCreateStep1', 'ServerSessionCreateStep1',
          'ClientSessionCreateStep2', 'ServerSessionCreateStep2', 'SessionIsInitialized', 'SessionSave',
          'SessionLoad', 'SessionCheckCertificates', 'SessionEncrypt', 'SessionDecrypt',
          'SessionGetPeerCertificateInfo', 'DevelopFile', 'EnvelopDataToRecipients', 'EnvelopFileToRecipients',
          'EnvelopDataExWithDynamicKey', 'EnvelopDataToRecipientsWithDynamicKey', 'EnvelopFileExWithDynamicKey',
          'EnvelopFileToRecipientsWithDynamicKey', 'DevelopDataEx', 'ClientDynamicKeySessionCreate',
          'ServerDynamicKeySessionCreate', 'GetSenderInfo', 'GetFileSenderInfo', 'GetRecipientsCount',
          'GetFileRecipientsCount', 'GetRecipientInfo', 'GetFileRecipientInfo', 'AppendTransportHeader',
          'ParseTransportHeader', 'AppendCryptoHeader', 'ParseCryptoHeader', 'EnvelopDataToRecipientsOffline']


class CallRecord(object):
    """What the library was handed on the last call of a function, and requests for the
    next call (the stand-in's TavrelStandin_LastCall*/Set* controls)."""

    def __init__(self, lib):
        self.lib = lib
        for name, restype, argtypes in [
                ('TavrelStandin_LastCallArgumentCount', ctypes.c_int, [ctypes.c_char_p]),
                ('TavrelStandin_LastCallIsNull', ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint]),
                ('TavrelStandin_LastCallNumber', ctypes.c_int,
                 [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_ulonglong)]),
                ('TavrelStandin_LastCallBytes', ctypes.c_long,
                 [ctypes.c_char_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_ulong]),
                ('TavrelStandin_SetNullOutput', ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint]),
                ('TavrelStandin_SetLentText', ctypes.c_int,
                 [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_ulong])]:
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes

    def count(self, function):
        return self.lib.TavrelStandin_LastCallArgumentCount(function)

    def is_null(self, function, index):
        return {1: True, 0: False}[self.lib.TavrelStandin_LastCallIsNull(function, index)]

    def number(self, function, index):
        value = ctypes.c_ulonglong()
        assert self.lib.TavrelStandin_LastCallNumber(function, index, ctypes.byref(value)) == 0, (function, index)
        return value.value

    def bytes(self, function, index):
        size = self.lib.TavrelStandin_LastCallBytes(function, index, None, 0)
        assert size >= 0, (function, index)
        out = ctypes.create_string_buffer(max(size, 1))
        self.lib.TavrelStandin_LastCallBytes(function, index, out, size)
        return out.raw[:size]

    def null_output(self, function, index):
        assert self.lib.TavrelStandin_SetNullOutput(function, index) == 0, function

    def lent_text(self, function, index, text):
        assert self.lib.TavrelStandin_SetLentText(function, index, text, len(text)) == 0, function


class EnvelopeTestCase(WrapperTestCase):
    """The library's own key is T-1's; T-2 is the other party."""

    @classmethod
    def setUpClass(cls):
        super(EnvelopeTestCase, cls).setUpClass()
        cls.record = CallRecord(cls.lib.lib)

    def setUp(self):
        super(EnvelopeTestCase, self).setUp()
        self.other_owner, self.other_cert = self.certificate(2)
        self.owner, self.cert = self.certificate(1)

    def tearDown(self):
        W('ResetPrivateKey')(self.t)
        super(EnvelopeTestCase, self).tearDown()

    def path(self, name):
        return os.path.join(self.scratch, name)

    def write(self, name, data):
        with open(self.path(name), 'wb') as out:
            out.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), 'rb') as f:
            return f.read()

    # ---- envelopes ----

    def envelop(self, data, recipients=None, sign=1):
        """An envelope of data by T-1 (signed) for the certificates given (T-1 and T-2 by default)."""
        text, binary = [], []
        W('EnvelopDataToRecipients')(self.t, recipients or [self.cert, self.other_cert], sign, data, len(data),
                                     text, binary)
        return binary[0]

    def develop(self, envelope, sender=None):
        opened = []
        W('DevelopData')(self.t, None, envelope, len(envelope), opened, {} if sender is None else sender)
        return opened[0]

    # ---- sessions ----

    def destroy(self, *sessions):
        for session in sessions:
            W('SessionDestroy')(self.t, session)

    def handshake(self):
        """(client, server) after the four steps: the client's key T-2, the server's T-1."""
        client, hello = [], []
        self.read_key(2)
        W('ClientSessionCreateStep1')(self.t, 60, client, hello)
        self.read_key(1)
        server, reply = [], []
        W('ServerSessionCreateStep1')(self.t, 60, hello[0], len(hello[0]), server, reply)
        finish = []
        W('ClientSessionCreateStep2')(self.t, client[0], reply[0], len(reply[0]), finish)
        W('ServerSessionCreateStep2')(self.t, server[0], finish[0], len(finish[0]))
        return client[0], server[0]

    def dynamic_handshake(self):
        """(client, server): a dynamic client key to T-1's certificate."""
        client, hello = [], []
        W('ClientDynamicKeySessionCreate')(self.t, 0, None, None, self.cert, len(self.cert), client, hello)
        server = []
        W('ServerDynamicKeySessionCreate')(self.t, 0, hello[0], len(hello[0]), server)
        return client[0], server[0]

    def crypt(self, name, session, data):
        out = []
        W(name)(self.t, session, data, len(data), out)
        return out[0]


def baseline_arguments(test):
    """Valid items after the table for every wrapper of the family, made fresh: the calls
    succeed or fail with a library status only. Handles are made here and listed in
    test.made_sessions, which the caller destroys."""
    data = 'payload\0with NUL'
    envelope = test.envelop(data)
    envelope_file = test.write('sealed', envelope)
    plain = test.write('plain', data)
    issuers, serials = [test.owner['pszIssuer']], [test.owner['pszSerial']]
    client, server = test.handshake()
    saved = []
    W('SessionSave')(test.t, server, saved)
    crypto = []
    W('AppendCryptoHeader')(test.t, 'UA1', 2, data, len(data), crypto)
    transport = []
    W('AppendTransportHeader')(test.t, 'UA1', 'file', 'a@b', test.cert, len(test.cert), crypto[0], len(crypto[0]),
                               transport)
    sealed = test.crypt('SessionEncrypt', client, 'secret')
    hello, dynamic_hello = [], []
    helper_client = []
    W('ClientSessionCreateStep1')(test.t, 0, helper_client, hello)
    helper_dynamic = []
    W('ClientDynamicKeySessionCreate')(test.t, 0, None, None, test.cert, len(test.cert), helper_dynamic,
                                       dynamic_hello)
    test.made_sessions = [client, server, helper_client[0], helper_dynamic[0]]
    certs = [test.cert, test.other_cert]
    out = test.path('out')
    return {
        'DevelopData': (None, envelope, len(envelope), [], {}),
        'SessionDestroy': (None,),
        'ClientSessionCreateStep1': (0, [], []),
        'ServerSessionCreateStep1': (0, hello[0], len(hello[0]), [], []),
        'ClientSessionCreateStep2': (helper_client[0], 'x', 1, []),
        'ServerSessionCreateStep2': (server, 'x', 1),
        'SessionIsInitialized': (client,),
        'SessionSave': (client, []),
        'SessionLoad': (saved[0], len(saved[0]), []),
        'SessionCheckCertificates': (client,),
        'SessionEncrypt': (client, data, len(data), []),
        'SessionDecrypt': (server, sealed, len(sealed), []),
        'SessionGetPeerCertificateInfo': (client, {}),
        'DevelopFile': (envelope_file, out, {}),
        'EnvelopDataToRecipients': (certs, 1, data, len(data), [], []),
        'EnvelopFileToRecipients': (certs, 1, plain, out),
        'EnvelopDataExWithDynamicKey': (issuers, serials, 1, 1, data, len(data), [], []),
        'EnvelopDataToRecipientsWithDynamicKey': (certs, 1, 1, data, len(data), [], []),
        'EnvelopFileExWithDynamicKey': (issuers, serials, 1, 1, plain, out),
        'EnvelopFileToRecipientsWithDynamicKey': (certs, 1, 1, plain, out),
        'DevelopDataEx': (None, envelope, len(envelope), test.cert, len(test.cert), [], {}),
        'ClientDynamicKeySessionCreate': (0, None, None, test.cert, len(test.cert), [], []),
        'ServerDynamicKeySessionCreate': (0, dynamic_hello[0], len(dynamic_hello[0]), []),
        'GetSenderInfo': (None, envelope, len(envelope), test.cert, len(test.cert), [], {}, []),
        'GetFileSenderInfo': (envelope_file, test.cert, len(test.cert), [], {}, []),
        'GetRecipientsCount': (None, envelope, len(envelope), []),
        'GetFileRecipientsCount': (envelope_file, []),
        'GetRecipientInfo': (0, None, envelope, len(envelope), [], [], [], []),
        'GetFileRecipientInfo': (0, envelope_file, [], [], [], []),
        'AppendTransportHeader': ('UA1', 'file', 'a@b', test.cert, len(test.cert), crypto[0], len(crypto[0]), []),
        'ParseTransportHeader': (transport[0], len(transport[0]), [], []),
        'AppendCryptoHeader': ('UA1', 2, data, len(data), []),
        'ParseCryptoHeader': (crypto[0], len(crypto[0]), [], [], [], []),
        'EnvelopDataToRecipientsOffline': (certs, 1, data, len(data), 0, 0, [], []),
    }


def destroy_sessions_made(test, results=()):
    """Destroys the sessions baseline_arguments made and any session in the lists given."""
    for session in getattr(test, 'made_sessions', []):
        W('SessionDestroy')(test.t, session)
    test.made_sessions = []
    for item in results:
        if type(item) is list and item and item[0] is not None and not isinstance(item[0], (str, unicode, int, long)):
            W('SessionDestroy')(test.t, item[0])
