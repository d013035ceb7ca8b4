# -*- coding: utf-8 -*-
"""Shared fixture of the context and named-key wrapper tests: the wrapper fixture's world
with two more media (one whose password Windows-1251 cannot decode, one for named keys),
and helpers that make contexts and private-key contexts released before the counters are
checked."""
from __future__ import print_function

import json
import struct

import _Tavrel
import kt_record_fields
from baselines_context import user_info  # noqa: F401 (for the tests)
from tavrel_testing import read_file
from wrapper_testing import DEVICES, WrapperTestCase, medium, wrapper

# Devices of type 0 after the fixture's own: an undecodable medium password, and a medium
# whose named keys the tests make and destroy.
UNDECODABLE_DEVICE = len(DEVICES)
UNDECODABLE_PASSWORD = b'\xc2\x98'  # U+0098 in UTF-8: byte 0x98 has no Windows-1251 character
NAMED_DEVICE = len(DEVICES) + 1
NAMED_PASSWORD = 'named-medium'

KEY_MEDIA_SIZE = 88
ZERO_MEDIUM = b'\0' * KEY_MEDIA_SIZE
USER_INFO_FIELDS = dict((field, (offset, width)) for record, _, fields in kt_record_fields.RECORDS
                        if record == 'KT_USER_INFO' for field, _, offset, width in fields)


def W(name):
    return wrapper(name)


def medium_bytes(type_index, device, password):
    """A KT_KEY_MEDIA as the library receives it."""
    return struct.pack('<QQ65s7x', type_index, device, password)


def user_field(record, name):
    """A text field of a KT_USER_INFO as the library received it, up to its NUL."""
    offset, width = USER_INFO_FIELDS[name]
    return record[offset:offset + width].split(b'\0')[0]


class ContextTestCase(WrapperTestCase):
    @classmethod
    def setUpClass(cls):
        super(ContextTestCase, cls).setUpClass()
        world = json.loads(read_file(cls.world))
        world['types'][0]['devices'] += [
            {'serial': 'T-U', 'password': UNDECODABLE_PASSWORD.decode('utf-8'), 'key': 'generate'},
            {'serial': 'T-N', 'password': NAMED_PASSWORD, 'key': None}]
        with open(cls.world, 'w') as out:
            json.dump(world, out)
        _Tavrel.KT_INTERFACE_Finalize(cls.t)
        _Tavrel.KT_INTERFACE_Initialize(cls.t)

    def tearDown(self):
        self.doCleanups()  # handles first: the counters are checked next
        super(ContextTestCase, self).tearDown()

    def context(self):
        out = []
        W('CtxCreate')(self.t, out)
        self.addCleanup(W('CtxFree'), self.t, out[0])
        return out[0]

    def private_key(self, context=None, device=1):
        """A private-key context of a device's key, freed before its context."""
        out = []
        W('CtxReadPrivateKey')(self.t, context or self.context(), medium(device), out, None)
        self.addCleanup(W('CtxFreePrivateKey'), self.t, out[0])
        return out[0]

    def certificate_of(self, key):
        der = []
        W('CtxGetOwnCertificate')(self.t, key, 0, 0, None, der)
        return der[0]

    def named_medium(self):
        return medium(NAMED_DEVICE, NAMED_PASSWORD)

    def key_bytes(self, password):
        return read_file(self.key_file(password), 'rb')
