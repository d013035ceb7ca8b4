# -*- coding: utf-8 -*-
"""Shared fixture of the envelope, session and header tests: two keys of the tests' world
with their certificates."""
from __future__ import print_function

import os

from tavrel_compat import as_bytes
from wrapper_testing import WrapperTestCase, wrapper

W = wrapper


class EnvelopeTestCase(WrapperTestCase):
    """The library's own key is T-1's; T-2 is the other party."""

    def setUp(self):
        super(EnvelopeTestCase, self).setUp()
        self.other_owner, self.other_cert = self.certificate(2)
        self.owner, self.cert = self.certificate(1)

    def tearDown(self):
        W('ResetPrivateKey')(self.t)
        super(EnvelopeTestCase, self).tearDown()

    def path(self, name):
        """The path of a file of the scratch folder: bytes for a name in bytes (Python 3)."""
        return os.path.join(self.scratch if isinstance(name, str) else as_bytes(self.scratch), name)

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
