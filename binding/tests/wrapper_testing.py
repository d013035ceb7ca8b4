# -*- coding: utf-8 -*-
"""Shared fixture of the wrapper tests: the library loaded into the test process itself,
a world of its own, and the stand-in's test controls and call record reached through ctypes.

Every test ends with the stand-in's counters of outstanding buffers, records, contexts and
private keys back at zero."""
from __future__ import print_function

import base64
import ctypes
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import _Tavrel
from tavrel_compat import as_bytes
from tavrel_testing import CallRecord
from tavrel_wrapper_kinds import WRAPPERS

RTLD_NOLOAD = 4
TABLE_TYPE_ERROR = "in method '%s', argument 1 of type 'KT_INTERFACE *'"
BAD_PARAMETER, RESOURCE_FAILED, NO_MORE_ITEMS, ACCESS_FAILED = 2, 6, 7, 18
NOT_SUPPORTED, NO_KEY, CRYPTO, CERT_NOT_FOUND = 0xF001, 0xF004, 0xF006, 0xF009

# The world of the tests: type 0 holds a medium that the zeroed medium opens.
TYPE_NAME = u'Тестовий носій'
DEVICES = [
    # serial, password, key
    ('T-0', '', True),
    ('T-1', '12345678', True),
    ('T-2', 'p' * 64, True),
    ('T-3', '12345678', False),
]
UNDECODABLE_TYPE_NAME = 'e52ee0ebfe9820'  # holds byte 0x98, which Windows-1251 lacks
KEY_FILE_PASSWORD = 'file-password'


class Counters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_ulong)
                for name in ('buffers', 'records', 'contexts', 'privateKeys', 'violations', 'sessions')]


NOTHING_OUTSTANDING = dict((name, 0) for name, _ in Counters._fields_)


class Standin(object):
    """The test controls of the stand-in that the module loaded."""

    def __init__(self):
        self.lib = ctypes.CDLL('tavrellib.so', mode=RTLD_NOLOAD)
        self.lib.TavrelStandin_GetCounters.restype = Counters
        self.lib.TavrelStandin_CallCount.restype = ctypes.c_ulong
        self.lib.TavrelStandin_CallCount.argtypes = [ctypes.c_char_p]
        self.lib.TavrelStandin_SetFault.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_ulong]
        self.lib.TavrelStandin_SetWorldPath.argtypes = [ctypes.c_char_p]
        self.lib.TavrelStandin_GetRuntimeParameter.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_ulong)]
        self.lib.KTGetErrorDesc.restype = ctypes.c_char_p
        self.lib.KTGetErrorDesc.argtypes = [ctypes.c_ulong]

    def counters(self):
        c = self.lib.TavrelStandin_GetCounters()
        return dict((name, getattr(c, name)) for name, _ in Counters._fields_)

    def calls(self, name):
        return self.lib.TavrelStandin_CallCount(as_bytes(name))

    def set_fault(self, name, status, after=0):
        assert self.lib.TavrelStandin_SetFault(as_bytes(name), status, after) == 0, name

    def clear_faults(self):
        self.lib.TavrelStandin_ClearFaults()

    def runtime_parameter(self, name):
        value = ctypes.c_ulong()
        return value.value if self.lib.TavrelStandin_GetRuntimeParameter(as_bytes(name), ctypes.byref(value)) == 0 else None

    def error_text(self, code):
        return self.lib.KTGetErrorDesc(code)


class CallTrace(object):
    """The stand-in's call trace (standins/tavrellib/README.md) of what one function did: the
    library functions entered, one a line, and with releases (SetReleaseTrace) the buffers
    freed."""

    def __init__(self, lib, path, releases=False):
        self.lib, self.path, self.releases = lib, path, releases
        self.lib.TavrelStandin_SetTracePath.argtypes = [ctypes.c_char_p]

    def lines(self, function, *args):
        """The trace lines of function(*args); what it raises passes on."""
        if os.path.exists(self.path):
            os.remove(self.path)
        self.lib.TavrelStandin_SetTracePath(as_bytes(self.path))
        self.lib.TavrelStandin_SetReleaseTrace(int(self.releases))
        try:
            function(*args)
        finally:
            self.lib.TavrelStandin_SetReleaseTrace(0)
            self.lib.TavrelStandin_SetTracePath(None)
        if not os.path.exists(self.path):
            return []
        with open(self.path) as trace:
            return trace.read().splitlines()


def write_world(path):
    devices = [{'serial': serial, 'password': password, 'key': 'generate' if key else None}
               for serial, password, key in DEVICES]
    world = {'types': [{'name': TYPE_NAME, 'devices': devices},
                       {'name-cp1251-hex': UNDECODABLE_TYPE_NAME, 'devices': [
                           {'serial': 'U-0', 'password': '', 'key': None}]}]}
    with open(path, 'w') as out:
        json.dump(world, out)


def medium(device, password=None):
    """The key-medium dictionary of a device of type 0."""
    return {'dwTypeIndex': 0, 'dwDevIndex': device, 'szPassword': DEVICES[device][1] if password is None else password}


def tool_env():
    """The environment for outside tools: no sanitizer runtime preloaded."""
    env = dict(os.environ)
    env.pop('LD_PRELOAD', None)
    return env


class WrapperTestCase(unittest.TestCase):
    """Tests that call the wrappers in this process, on the library initialised with the
    tests' world."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix='tavrel-wrappers-')
        cls.world = os.path.join(cls.scratch, 'world.json')
        write_world(cls.world)
        _Tavrel.KTLoad()
        cls.t = _Tavrel.KTGetInterface()
        cls.lib = Standin()
        cls.record = CallRecord(cls.lib.lib)
        cls.lib.lib.TavrelStandin_SetWorldPath(as_bytes(cls.world))
        _Tavrel.KT_INTERFACE_Initialize(cls.t)

    @classmethod
    def tearDownClass(cls):
        if _Tavrel.KTGetInterface():
            _Tavrel.KT_INTERFACE_ResetPrivateKey(_Tavrel.KTGetInterface())
            _Tavrel.KT_INTERFACE_Finalize(_Tavrel.KTGetInterface())
        cls.lib.lib.TavrelStandin_SetWorldPath(None)
        _Tavrel.KTUnload()
        shutil.rmtree(cls.scratch)

    def setUp(self):
        self.lib.clear_faults()

    def tearDown(self):
        self.lib.clear_faults()
        self.assertEqual(self.lib.counters(),
                         NOTHING_OUTSTANDING)

    # ---- outcomes ----

    def error_dictionary(self, code):
        return {'ErrorCode': code, 'ErrorDesc': self.lib.error_text(code)}

    def assertKTError(self, exception, code, function, *args):
        """function(*args) raises exception whose value is the error dictionary of code."""
        with self.assertRaises(exception) as raised:
            function(*args)
        self.assertIs(type(raised.exception), exception)
        self.assertEqual(raised.exception.args, (self.error_dictionary(code),))

    def assertArgError(self, exception, message, function, *args):
        """function(*args) raises exception with the argument-type message, no dictionary."""
        with self.assertRaises(exception) as raised:
            function(*args)
        self.assertIs(type(raised.exception), exception)
        self.assertEqual(raised.exception.args, (message,))

    def assertNotCalled(self, library_function, function, *args):
        """function(*args) raises and the library function is never entered."""
        before = self.lib.calls(library_function)
        with self.assertRaises(Exception):
            function(*args)
        self.assertEqual(self.lib.calls(library_function), before, library_function)

    def calls_during(self, library_function, function, *args):
        """How often function(*args) entered the library function; the call's outcome."""
        before = self.lib.calls(library_function)
        try:
            outcome = ('ok', function(*args))
        except Exception as e:
            outcome = (type(e), e.args)
        return self.lib.calls(library_function) - before, outcome

    # ---- material ----

    def read_key(self, device=1):
        owner = {}
        _Tavrel.KT_INTERFACE_ReadPrivateKey(self.t, medium(device), owner)
        return owner

    def certificate(self, device=1):
        """(owner dictionary, DER certificate) of a device's key, read as the library's own."""
        owner = self.read_key(device)
        der = []
        _Tavrel.KT_INTERFACE_GetCertificate(self.t, owner['pszIssuer'], owner['pszSerial'], None, der)
        return owner, der[0]

    def key_file(self, password=KEY_FILE_PASSWORD):
        # A password in bytes (Python 3) names its file by the same bytes.
        path = os.path.join(self.scratch, 'key-%s.p12' % (password if isinstance(password, str) else
                                                           os.fsdecode(password)))
        if not os.path.exists(path):
            subprocess.check_call([os.environ['TAVREL_TEST_WORLD_TOOL'], 'keyfile', path, password], env=tool_env())
        return path

    def container(self, keys):
        """A key container (bytes): keys is [(alias, key bytes, [certificate bytes])]."""
        return json.dumps({'keys': [{'alias': alias, 'key': base64.b64encode(key).decode('ascii'),
                                     'certificates': [base64.b64encode(c).decode('ascii') for c in certs]}
                                    for alias, key, certs in keys]}).encode('ascii')

    def request(self):
        """A PKCS#10 request that the library makes for device T-3 (which gets a key)."""
        class Media(ctypes.Structure):
            _fields_ = [('dwTypeIndex', ctypes.c_ulong), ('dwDevIndex', ctypes.c_ulong),
                        ('szPassword', ctypes.c_char * 65)]
        media = Media(0, 3, as_bytes(DEVICES[3][1]))
        request, size = ctypes.POINTER(ctypes.c_ubyte)(), ctypes.c_ulong()
        null = None
        f = self.lib.lib.KTGeneratePrivateKeyEx
        f.restype = ctypes.c_ulong
        f.argtypes = ([ctypes.c_void_p, ctypes.c_int] + [ctypes.c_ulong] * 3 + [ctypes.c_char_p] +
                      [ctypes.c_ulong] * 2 + [ctypes.c_char_p] + [ctypes.c_void_p] * 15)
        status = f(ctypes.addressof(media), 0, 1, 1, 1, null, 0, 0, null, null, null, null, null, null, null,
                   ctypes.addressof(request), ctypes.addressof(size), null, null, null, null, null, null, null)
        self.assertEqual(status, 0)
        data = ctypes.string_at(request, size.value)
        self.lib.lib.KTFreeMemory(request)
        return data


# The wrappers of the library set-up, in slot order, with the kind of each item after the
# table (tavrel_wrapper_kinds: generated from binding/wrapper_kinds.txt).
SETUP_WRAPPERS = [(name, [kind for kind, _ in items]) for name, subsystem, _, items in WRAPPERS if subsystem == 1]

# A valid value of every setting, by group, in the library's parameter order.
SETTINGS = {
    'FileStore': [('szPath', u'/сховище/сертифікатів', 1041)] +
                 [(key, True, None) for key in ('bCheckCRLs', 'bAutoRefresh', 'bOwnCRLsOnly', 'bFullAndDeltaCRLs',
                                                'bAutoDownloadCRLs', 'bSaveLoadedCerts')] +
                 [('dwExpireTime', 2 ** 40 + 5, None)],
    'Proxy': [('bUseProxy', True, None), ('bAnonymous', False, None), ('szAddress', u'проксі.приклад', 257),
              ('szPort', u'3128', 6), ('szUser', u'користувач', 65), ('szPassword', u'пароль', 65),
              ('bSavePassword', True, None)],
    'OCSP': [('bUseOCSP', True, None), ('bBeforeStore', False, None), ('szAddress', u'ocsp.приклад', 257),
             ('szPort', u'80', 6)],
    'TSP': [('bGetStamps', True, None), ('szAddress', u'tsp.приклад', 257), ('szPort', u'80', 6)],
    'LDAP': [('bUseLDAP', True, None), ('szAddress', u'ldap.приклад', 257), ('szPort', u'389', 6),
             ('bAnonymous', False, None), ('szUser', u'читач', 65), ('szPassword', u'секрет', 65)],
    'CMP': [('bUseCMP', True, None), ('szAddress', u'cmp.приклад', 257), ('szPort', u'8080', 6),
            ('szCommonName', u'Центр сертифікації', 65)],
    'Mode': [('bOfflineMode', True, None)],
    'OCSPAccessInfoMode': [('bEnabled', True, None)],
    'OCSPAccessInfo': [('szIssuerCN', u'Тестовий ЦСК', 65), ('szAddress', u'ocsp.цск', 257), ('szPort', u'8080', 6)],
}


def settings_dictionary(group):
    return dict((key, value) for key, value, _ in SETTINGS[group])


def clear_access_points(table):
    """Deletes every OCSP access point the library holds."""
    while True:
        entry = {}
        try:
            wrapper('EnumOCSPAccessInfoSettings')(table, 0, entry)
        except RuntimeError:
            return
        wrapper('DeleteOCSPAccessInfoSettings')(table, entry['szIssuerCN'])


def baseline_arguments(test):
    """Valid items after the table for every set-up wrapper; the calls succeed or fail with
    a library status only."""
    owner, der = test.certificate()
    request = test.request() if not hasattr(test, '_request') else test._request
    test._request = request
    key = open(test.key_file(), 'rb').read()
    container = test.container([('signer', key, [der])])
    issuer, serial = owner['pszIssuer'], owner['pszSerial']
    _Tavrel.KT_INTERFACE_SetOCSPAccessInfoSettings(test.t, settings_dictionary('OCSPAccessInfo'))
    arguments = {
        'Initialize': (), 'IsInitialized': (), 'Finalize': (), 'IsPrivateKeyReaded': (), 'ResetPrivateKey': (),
        'DoesNeedSetSettings': (),
        'ReadPrivateKey': (medium(1), {}),
        'SetUIMode': (0,),
        'EnumKeyMediaTypes': (0, []),
        'EnumKeyMediaDevices': (0, 0, []),
        'ReadPrivateKeyBinary': (key, len(key), KEY_FILE_PASSWORD, {}),
        'ReadPrivateKeyFile': (test.key_file(), KEY_FILE_PASSWORD, {}),
        'GetCertificate': (issuer, serial, [], []),
        'EnumOwnCertificates': (0, {}),
        'GetCertificateInfoEx': (issuer, serial, {}),
        'GetCRInfo': (request, len(request), {}),
        'SetRuntimeParameter': (_Tavrel.KT_SIGN_TYPE_PARAMETER, 1),
        'EnumOCSPAccessInfoSettings': (0, {}),
        'GetOCSPAccessInfoSettings': ({'szIssuerCN': SETTINGS['OCSPAccessInfo'][0][1]},),
        'DeleteOCSPAccessInfoSettings': (SETTINGS['OCSPAccessInfo'][0][1],),
        'ParseCertificateEx': (der, len(der), {}),
        'EnumJKSPrivateKeys': (container, len(container), 0, []),
        'GetJKSPrivateKey': (container, len(container), 'signer', [], []),
        'GeneratePRNGSequence': ([], 16),
    }
    for group in SETTINGS:
        if group != 'OCSPAccessInfo':
            arguments['Get%sSettings' % group] = ({},)
            arguments['Set%sSettings' % group] = (settings_dictionary(group),)
    arguments['SetOCSPAccessInfoSettings'] = (settings_dictionary('OCSPAccessInfo'),)
    return arguments


def wrapper(name):
    return getattr(_Tavrel, 'KT_INTERFACE_' + name)
