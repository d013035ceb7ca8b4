# -*- coding: utf-8 -*-
"""The wrapper conventions, item kind by item kind, on the wrappers of the library set-up
and the stand-in library behind them."""
from __future__ import print_function

import base64
import os
import re
import sys
import unittest

import _Tavrel
import _tavrel_record_probe as probe
from tavrel_compat import PY2, long_type, text_type
from tavrel_testing import LIB_NORMAL, ChildTestCase, sigapi_file
from wrapper_testing import (ACCESS_FAILED, BAD_PARAMETER, CERT_NOT_FOUND, CRYPTO, DEVICES, KEY_FILE_PASSWORD,
                             NO_KEY, NO_MORE_ITEMS, RESOURCE_FAILED, SETTINGS, SETUP_WRAPPERS, TABLE_TYPE_ERROR,
                             TYPE_NAME, WrapperTestCase, baseline_arguments, clear_access_points, medium,
                             settings_dictionary, wrapper)

W = wrapper
X = object()  # the item under test in an argument template


def fill(template, value):
    return tuple(value if item is X else item for item in template)


def byte_string_keys(dictionary):
    return dict((key.encode('ascii'), value) for key, value in dictionary.items())


def arg_message(name, argnum, type_name):
    return "in method 'KT_INTERFACE_%s', argument %d of type '%s'" % (name, argnum, type_name)


class CatalogueTest(unittest.TestCase):
    def test_covers_the_set_up_wrappers_in_slot_order(self):
        names = ['KT_INTERFACE_' + name for name, _ in SETUP_WRAPPERS]
        defined = re.findall(r'^KT_FN(?:_ANY)?\(KT(\w+)', open(sigapi_file('kt_functions.def')).read(), re.M)
        wrapped = dict(line.split() for line in open(sigapi_file('wrapped.txt')) if line.strip())
        self.assertEqual(names, ['KT_INTERFACE_' + n for n in defined if wrapped.get('KT' + n) == '1'])
        for name in names:
            self.assertTrue(hasattr(_Tavrel, name), name)


class TableItemTest(WrapperTestCase):
    def check_refused(self, tables):
        for name, kinds in SETUP_WRAPPERS:
            library = 'KT' + name
            for table in tables:
                before = (self.lib.calls(library), self.lib.calls('KTGetErrorDesc'))
                self.assertArgError(TypeError, TABLE_TYPE_ERROR % ('KT_INTERFACE_' + name), W(name),
                                    table, *([None] * len(kinds)))
                self.assertEqual((self.lib.calls(library), self.lib.calls('KTGetErrorDesc')), before, name)

    def test_only_the_loaded_process_table(self):
        made = _Tavrel.new_KT_INTERFACE()
        record = _Tavrel.new_KT_CERT_INFO()  # a pointer object of another type
        try:
            self.check_refused([None, made, record, 0, 'table', {}, [self.t]])
        finally:
            _Tavrel.delete_KT_INTERFACE(made)
            _Tavrel.delete_KT_CERT_INFO(record)

    def test_another_modules_pointer_objects(self):
        # Objects of another module sharing the runtime: the one at the loaded table passes.
        address = probe.address(self.t, 'KT_INTERFACE *')
        self.assertIsNone(W('Initialize')(probe.pointer(address, 'KT_INTERFACE *')))
        self.check_refused([probe.pointer(address + 8, 'KT_INTERFACE *'), probe.pointer(address, 'KT_CERT_INFO *')])

    def test_a_table_kept_after_unload(self):
        kept = self.t
        _Tavrel.KTUnload()
        try:
            self.check_refused([kept])
        finally:
            _Tavrel.KTLoad()
        self.assertIsNone(W('Initialize')(_Tavrel.KTGetInterface()))


class NumberItemTest(WrapperTestCase):
    # wrapper, items with X for the number, its argument number
    NUMBERS = [
        ('EnumKeyMediaTypes', (X, []), 2),
        ('EnumKeyMediaDevices', (X, 0, []), 2),
        ('EnumKeyMediaDevices', (0, X, []), 3),
        ('EnumOwnCertificates', (X, {}), 2),
        ('EnumOCSPAccessInfoSettings', (X, {}), 2),
        ('ReadPrivateKeyBinary', (b'', X, None, None), 3),
        ('EnumJKSPrivateKeys', (b'', 0, X, None), 4),
        ('EnumJKSPrivateKeys', (b'', X, 0, None), 3),
        ('GetJKSPrivateKey', (b'', X, 'a', None, None), 3),
        ('ParseCertificateEx', (b'', X, None), 3),
        ('GetCRInfo', (b'', X, None), 3),
    ]

    def test_refused_values(self):
        for name, template, argnum in self.NUMBERS:
            message = arg_message(name, argnum, 'DWORD')
            for value, exception in [(-1, OverflowError), (long_type(-1), OverflowError), (2 ** 64, OverflowError),
                                     (2 ** 70, OverflowError), (1.0, TypeError), (b'1', TypeError),
                                     (u'1', TypeError), (None, TypeError), ([1], TypeError)]:
                self.assertArgError(exception, message, W(name), self.t, *fill(template, value))
            self.assertNotCalled('KT' + name, W(name), self.t, *fill(template, -1))

    def test_whole_range(self):
        for value in [0, long_type(0), False, 2 ** 63, 2 ** 64 - 1]:
            self.assertIs(W('EnumKeyMediaTypes')(self.t, value, []), value == 0)


class FlagItemTest(WrapperTestCase):
    def test_signed_32_bits(self):
        message = arg_message('SetUIMode', 2, 'BOOL')
        for value in [-2 ** 31, 2 ** 31 - 1, True, long_type(1), 0]:
            self.assertIsNone(W('SetUIMode')(self.t, value))
        for value in [2 ** 31, -2 ** 31 - 1, 2 ** 70]:
            self.assertArgError(OverflowError, message, W('SetUIMode'), self.t, value)
        for value in [1.0, b'1', None, {}]:
            self.assertArgError(TypeError, message, W('SetUIMode'), self.t, value)


class TextItemTest(WrapperTestCase):
    def test_enumerations_require_a_list(self):
        for name, template in [('EnumKeyMediaTypes', (0, X)), ('EnumKeyMediaDevices', (0, 0, X))]:
            for value in [None, b'name', u'name', {}, 5]:
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *fill(template, value))
                self.assertNotCalled('KT' + name, W(name), self.t, *fill(template, value))

    def test_enumerations(self):
        serials = []
        found = ['junk', 'more']
        self.assertIs(W('EnumKeyMediaTypes')(self.t, 0, found), True)
        self.assertEqual(found, [TYPE_NAME])
        ended = ['junk']
        self.assertIs(W('EnumKeyMediaTypes')(self.t, 2, ended), False)
        self.assertEqual(ended, [u''])  # the lent buffer starts empty
        for index in range(len(DEVICES) + 1):
            serial = ['junk']
            self.assertIs(W('EnumKeyMediaDevices')(self.t, 0, index, serial), index < len(DEVICES))
            serials.append(serial[0])
        self.assertEqual(serials, [s for s, _, _ in DEVICES] + [u''])
        self.assertIs(W('EnumKeyMediaDevices')(self.t, 9, 0, serial), False)

    def test_undecodable_text_raises_code_6(self):
        name = ['junk']
        self.assertEqual(self.calls_during('KTEnumKeyMediaTypes', self.assertKTError, TypeError, RESOURCE_FAILED,
                                           W('EnumKeyMediaTypes'), self.t, 1, name), (1, ('ok', None)))
        self.assertEqual(name, ['junk'])

    def test_forms_of_a_text(self):
        owner = self.read_key()
        issuer, serial = owner['pszIssuer'], owner['pszSerial']
        for issuer_item in [issuer, issuer.encode('cp1251')]:
            info = {}
            self.assertIsNone(W('GetCertificateInfoEx')(self.t, issuer_item, serial.lower(), info))
            self.assertEqual(info['pszSerial'], serial)
        # None and objects of other kinds pass no text: the library refuses it.
        for value in [None, 5, 1.5, {}]:
            self.assertKTError(RuntimeError, BAD_PARAMETER, W('GetCertificateInfoEx'), self.t, value, serial, None)
        self.assertKTError(RuntimeError, CERT_NOT_FOUND, W('GetCertificateInfoEx'), self.t, '', serial, None)
        self.assertKTError(TypeError, RESOURCE_FAILED, W('GetCertificateInfoEx'), self.t, u'\u4e00', serial, None)
        self.assertNotCalled('KTGetCertificateInfoEx', W('GetCertificateInfoEx'), self.t, u'\u4e00', serial, None)

    def test_a_list_lends_an_empty_buffer_and_receives_its_text(self):
        W('SetOCSPAccessInfoSettings')(self.t, {'szIssuerCN': '', 'szAddress': 'a', 'szPort': '1'})
        issuer = ['junk', 'more']
        self.assertIsNone(W('DeleteOCSPAccessInfoSettings')(self.t, issuer))
        self.assertEqual(issuer, [u''])
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('DeleteOCSPAccessInfoSettings'), self.t, issuer)
        self.assertEqual(issuer, [u''])


class ByteStringItemTest(WrapperTestCase):
    # wrapper, items with X for the byte string and Y for its length
    WRAPPERS = [('ParseCertificateEx', 'certificate', None), ('GetCRInfo', 'request', None),
                ('ReadPrivateKeyBinary', 'key', KEY_FILE_PASSWORD), ('EnumJKSPrivateKeys', 'container', 0)]

    def arguments(self, name, data, length, extra):
        if name == 'ReadPrivateKeyBinary':
            return (data, length, extra, None)
        if name == 'EnumJKSPrivateKeys':
            return (data, length, extra, None)
        return (data, length, None)

    def test_refused_kinds(self):
        for name, _, extra in self.WRAPPERS:
            for value in [u'data', 5, [b'data'], bytearray(b'data'), memoryview(b'data')]:
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *self.arguments(name, value, 0, extra))
                self.assertNotCalled('KT' + name, W(name), self.t, *self.arguments(name, value, 0, extra))

    def test_length_within_the_copy(self):
        for name, _, extra in self.WRAPPERS:
            for data in [b'', b'data', b'da\0ta']:
                for length in [len(data) + 2, 2 ** 32, 2 ** 64 - 1]:
                    self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t,
                                       *self.arguments(name, data, length, extra))
                    self.assertNotCalled('KT' + name, W(name), self.t, *self.arguments(name, data, length, extra))
                for length in [0, len(data), len(data) + 1]:
                    calls, outcome = self.calls_during('KT' + name, W(name), self.t,
                                                       *self.arguments(name, data, length, extra))
                    self.assertEqual((calls, outcome[0]), (1, RuntimeError), (name, data, length))
            self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *self.arguments(name, None, 2, extra))

    def test_none_is_an_empty_buffer(self):
        # A null buffer would be refused with code 2; an empty one is no certificate.
        self.assertKTError(RuntimeError, CRYPTO, W('ParseCertificateEx'), self.t, None, 0, None)
        self.assertKTError(RuntimeError, CRYPTO, W('ParseCertificateEx'), self.t, None, 1, None)

    def test_whole_certificate_with_its_nul(self):
        owner, der = self.certificate()
        for length in [len(der), len(der) + 1]:
            info = {}
            self.assertIsNone(W('ParseCertificateEx')(self.t, der, length, info))
            self.assertEqual(info['pszSerial'], owner['pszSerial'])
        self.assertKTError(RuntimeError, CRYPTO, W('ParseCertificateEx'), self.t, der, len(der) - 1, None)


class OutputListTest(WrapperTestCase):
    def test_text_and_bytes_outputs(self):
        owner, der = self.certificate()
        text, binary = ['junk', 'more'], ['junk']
        self.assertIsNone(W('GetCertificate')(self.t, owner['pszIssuer'], owner['pszSerial'], text, binary))
        self.assertEqual(binary, [der])
        self.assertEqual(len(text), 1)
        self.assertIs(type(text[0]), bytes)
        self.assertEqual(base64.b64decode(text[0]), der)

    def test_outputs_not_asked_for(self):
        owner = self.read_key()
        for outputs in [(None, None), ((), 'list'), ({}, 5)]:
            calls, outcome = self.calls_during('KTGetCertificate', W('GetCertificate'), self.t, owner['pszIssuer'],
                                               owner['pszSerial'], *outputs)
            self.assertEqual((calls, outcome), (1, ('ok', None)))

    def test_failing_status_leaves_lists_alone(self):
        owner = self.read_key()
        self.lib.set_fault('KTGetCertificate', ACCESS_FAILED)
        text, binary = ['junk'], []
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('GetCertificate'), self.t, owner['pszIssuer'],
                           owner['pszSerial'], text, binary)
        self.assertEqual((text, binary), (['junk'], []))

    def test_text_output_is_not_decoded(self):
        container = self.container([(u'ключ', b'k', [])])
        alias = ['junk']
        self.assertIsNone(W('EnumJKSPrivateKeys')(self.t, container, len(container), 0, alias))
        self.assertEqual(alias, [u'ключ'.encode('utf-8')])
        calls, outcome = self.calls_during('KTEnumJKSPrivateKeys', W('EnumJKSPrivateKeys'), self.t, container,
                                           len(container), 0, None)
        self.assertEqual((calls, outcome), (1, ('ok', None)))
        self.assertKTError(RuntimeError, NO_MORE_ITEMS, W('EnumJKSPrivateKeys'), self.t, container, len(container),
                           1, alias)


class RecordOutputTest(WrapperTestCase):
    OWNER_KEYS = 18

    def test_filled_record(self):
        owner = {'junk': 1}
        self.assertIsNone(W('ReadPrivateKey')(self.t, medium(1), owner))
        self.assertEqual(len(owner), self.OWNER_KEYS)
        self.assertEqual((owner['bFilled'], owner['pszSubjOrgUnit']), (True, u'Носій T-1'))
        for ignored in [None, [], 5, 'owner']:
            calls, outcome = self.calls_during('KTFreeCertOwnerInfo', W('ReadPrivateKeyFile'), self.t,
                                               self.key_file(), KEY_FILE_PASSWORD, ignored)
            self.assertEqual((calls, outcome), (1, ('ok', None)))

    def test_filled_record_released_only_once_the_library_was_called(self):
        self.assertEqual(self.calls_during('KTFreeCertOwnerInfo', W('ReadPrivateKeyBinary'), self.t, u'key', 0,
                                           '', {})[0], 0)
        self.assertEqual(self.calls_during('KTFreeCertOwnerInfo', W('ReadPrivateKeyFile'), None, 'f', 'p', {})[0], 0)
        self.lib.set_fault('KTReadPrivateKey', ACCESS_FAILED)
        media, owner = medium(1), {'junk': 1}
        calls, _ = self.calls_during('KTFreeCertOwnerInfo', self.assertKTError, RuntimeError, ACCESS_FAILED,
                                     W('ReadPrivateKey'), self.t, media, owner)
        self.assertEqual((calls, media, owner), (1, medium(1), {'junk': 1}))

    def test_returned_records(self):
        owner, der = self.certificate()
        request = self.request()
        for name, items, release, keys in [
                ('GetCertificateInfoEx', (owner['pszIssuer'], owner['pszSerial']), 'KTFreeCertificateInfoEx', 60),
                ('ParseCertificateEx', (der, len(der)), 'KTFreeCertificateInfoEx', 60),
                ('EnumOwnCertificates', (0,), 'KTFreeCertificateInfoEx', 60),
                ('GetCRInfo', (request, len(request)), 'KTFreeCRInfo', 46)]:
            info = {'junk': 1}
            self.assertEqual(self.calls_during(release, W(name), self.t, *(items + (info,))), (1, ('ok', None)))
            self.assertEqual(len(info), keys, name)
            self.assertEqual(info['bFilled'], True)
            for ignored in [None, [], 'info']:
                self.assertEqual(self.calls_during(release, W(name), self.t, *(items + (ignored,))),
                                 (1, ('ok', None)))
        self.assertEqual(info['pszSubjOrgUnit'], u'Носій T-3')

    def test_failures_release_nothing_and_leave_the_dictionary(self):
        info = {'junk': 1}
        for name, items, code in [('GetCRInfo', (b'not a request', 13), CRYPTO),
                                  ('ParseCertificateEx', (b'not a certificate', 17), CRYPTO),
                                  ('GetCertificateInfoEx', ('issuer', '00'), CERT_NOT_FOUND),
                                  ('EnumOwnCertificates', (1,), NO_MORE_ITEMS)]:
            self.read_key()
            calls, _ = self.calls_during('KTFreeCertificateInfoEx', self.assertKTError, RuntimeError, code, W(name),
                                         self.t, *(items + (info,)))
            self.assertEqual((calls, info), (0, {'junk': 1}), name)
        W('ResetPrivateKey')(self.t)
        self.assertKTError(RuntimeError, NO_KEY, W('EnumOwnCertificates'), self.t, 0, info)


class KeyMediumTest(WrapperTestCase):
    ZEROED = {'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': u''}

    def test_anything_else_is_the_zeroed_medium(self):
        ZEROED = self.ZEROED
        for item, after in [(None, None), (5, 5), ([1, 2, 3], [1, 2, 3]),
                            (dict(medium(1), extra=1), ZEROED), (dict(medium(1), dwDevIndex=-1), ZEROED),
                            ({'dwTypeIndex': 0, 'dwDevIndex': 1}, ZEROED),
                            (dict(medium(1), szPassword=None), ZEROED), (dict(medium(1), dwTypeIndex=1.0), ZEROED)]:
            owner = {}
            self.assertIsNone(W('ReadPrivateKey')(self.t, item, owner))
            self.assertEqual((item, owner['pszSubjOrgUnit']), (after, u'Носій T-0'))

    def test_byte_string_keys(self):
        # Python 2.7's str keys, Python 3's bytes keys: the keys they spell; the refill has str
        # keys. Under Python 3 a key spelled both ways is a fourth entry: the medium is zeroed.
        spelled = byte_string_keys(medium(1))
        for item, opened in [(spelled, 1), (dict(byte_string_keys(medium(1)), dwTypeIndex=0), 1 if PY2 else 0)]:
            owner = {}
            self.assertIsNone(W('ReadPrivateKey')(self.t, item, owner))
            self.assertEqual(owner['pszSubjOrgUnit'], u'Носій T-%d' % opened)
        self.assertEqual(spelled, medium(1))

    def test_read_and_refilled(self):
        for item, opened in [(medium(1), 1), (dict(medium(1), dwDevIndex=True), 1),
                             (medium(2, 'p' * 64), 2), (dict(medium(1), szPassword=u'12345678'), 1),
                             (dict(medium(1), dwDevIndex=long_type(1)), 1)]:
            owner = {}
            self.assertIsNone(W('ReadPrivateKey')(self.t, item, owner))
            self.assertEqual(item, {'dwTypeIndex': 0, 'dwDevIndex': opened, 'szPassword': DEVICES[opened][1]})
            self.assertIs(type(item['szPassword']), text_type)
            self.assertEqual(owner['pszSubjOrgUnit'], u'Носій T-%d' % opened)
        self.assertIs(W('IsPrivateKeyReaded')(self.t), True)

    def test_password_longer_than_its_field_is_refused(self):
        # Never cut: a password that starts with the device's own would open it.
        for password in ['p' * 65, 'p' * 80, u'p' * 65]:
            item, owner = medium(2, password), {}
            self.assertKTError(TypeError, BAD_PARAMETER, W('ReadPrivateKey'), self.t, item, owner)
            self.assertNotCalled('KTReadPrivateKey', W('ReadPrivateKey'), self.t, item, owner)
            self.assertEqual((item, owner), (medium(2, password), {}))

    def test_refused_access_leaves_both_dictionaries(self):
        for item, code in [(medium(1, 'wrong'), ACCESS_FAILED), (medium(3), NO_KEY), (dict(medium(1), dwDevIndex=9), BAD_PARAMETER)]:
            before = dict(item)
            owner = {'junk': 1}
            self.assertKTError(RuntimeError, code, W('ReadPrivateKey'), self.t, item, owner)
            self.assertEqual((item, owner), (before, {'junk': 1}))


class ValueItemTest(WrapperTestCase):
    def test_taken_modulo_2_32(self):
        name = _Tavrel.KT_SIGN_TYPE_PARAMETER
        for value, stored in [(2 ** 32 + 1, 1), (-1, 2 ** 32 - 1), (True, 1), (2 ** 64 - 1, 2 ** 32 - 1),
                              (long_type(5), 5)]:
            self.assertIsNone(W('SetRuntimeParameter')(self.t, name, value))
            self.assertEqual(self.lib.runtime_parameter(name), stored)
        # A negative long; Python 3's -1 is the int taken above.
        for value in [2 ** 64, 1.5, b'1', None, [1]] + ([long_type(-1)] if PY2 else []):
            self.assertKTError(TypeError, BAD_PARAMETER, W('SetRuntimeParameter'), self.t, name, value)
            self.assertNotCalled('KTSetRuntimeParameter', W('SetRuntimeParameter'), self.t, name, value)
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('SetRuntimeParameter'), self.t, 'NoSuchParameter', 1)


class SettingsItemTest(WrapperTestCase):
    PAIRED = [group for group in SETTINGS if group != 'OCSPAccessInfo']

    def get(self, group):
        values = {'junk': 1}
        self.assertIsNone(W('Get%sSettings' % group)(self.t, values))
        return values

    def test_round_trip(self):
        for group in self.PAIRED:
            values = settings_dictionary(group)
            given = dict(values, extra=u'ignored')
            self.assertIsNone(W('Set%sSettings' % group)(self.t, given))
            self.assertEqual(given, dict(values, extra=u'ignored'))
            self.assertEqual(self.get(group), values, group)
            for key, value in self.get(group).items():
                self.assertIs(type(value), type(values[key]), (group, key))

    def test_byte_string_keys(self):
        for group in self.PAIRED:
            values = settings_dictionary(group)
            W('Set%sSettings' % group)(self.t, byte_string_keys(values))
            self.assertEqual(self.get(group), values, group)
        # A key spelled both ways gives the str key's value (Python 2.7: one key, the later value).
        given = byte_string_keys(settings_dictionary('FileStore'))
        given['dwExpireTime'] = 9
        W('SetFileStoreSettings')(self.t, given)
        self.assertEqual(self.get('FileStore')['dwExpireTime'], 9)

    def test_texts_fill_their_fields_and_are_never_cut(self):
        for group in self.PAIRED:
            values = settings_dictionary(group)
            for key, _, size in SETTINGS[group]:
                if size:
                    values[key] = u'я' * (size - 1)
            W('Set%sSettings' % group)(self.t, values)
            self.assertEqual(self.get(group), values, group)
            # One byte more is refused before the library, in every text field.
            for key, _, size in SETTINGS[group]:
                if size:
                    for longer in (u'я' * size, b'x' * (size + 100)):
                        item = dict(values, **{key: longer})
                        self.assertKTError(TypeError, BAD_PARAMETER, W('Set%sSettings' % group), self.t, item)
                        self.assertNotCalled('KTSet%sSettings' % group, W('Set%sSettings' % group), self.t, item)
            self.assertEqual(self.get(group), values, group)

    def test_old_values_go_once_the_new_ones_are_in(self):
        seen = []

        class Old(object):
            def __del__(self):
                seen.append(sorted(values))
        values = {'junk': Old()}
        self.assertIsNone(W('GetProxySettings')(self.t, values))
        self.assertEqual(seen, [sorted(key for key, _, _ in SETTINGS['Proxy'])])

    def test_a_dictionary_changed_while_it_is_read(self):
        # Script code that could run while the dictionary is read (the __eq__ of a key that
        # shares a name's hash; Python 3: the codec's _is_text_encoding while a text is
        # encoded) turns it into host B's: the library stores host A's settings, as the
        # dictionary held them when the call began.
        import codecs
        host_a = settings_dictionary('Proxy')
        host_b = dict(host_a, szAddress=u'b.host', szPort=u'2', szUser=u'b', szPassword=u'b')
        given, armed = {}, []

        class Changing(object):
            def __hash__(self):
                return hash('szPassword')

            def __eq__(self, other):
                if armed:
                    del armed[:]
                    given.update(host_b)
                return False
        text_encoding = codecs.CodecInfo._is_text_encoding
        for hook in ('key', 'codec'):
            given.clear()
            if hook == 'key':
                given[Changing()] = None  # met before the real key
            else:
                codecs.CodecInfo._is_text_encoding = property(lambda info: armed and given.update(host_b) or True)
            given.update(host_a)
            armed.append(True)
            try:
                W('SetProxySettings')(self.t, given)
            finally:
                codecs.CodecInfo._is_text_encoding = text_encoding
            self.assertEqual(self.get('Proxy'), host_a, hook)

    def test_setter_refusals_change_nothing(self):
        for group in self.PAIRED:
            name = 'Set%sSettings' % group
            W(name)(self.t, settings_dictionary(group))
            before = self.get(group)
            refused = [None, [], b'settings', {}]
            for key, value, size in SETTINGS[group]:
                refused.append(dict((k, v) for k, v in settings_dictionary(group).items() if k != key))
                wrong = [1, 0, b'True', None] if size is None and key[0] == 'b' else \
                        [-1, 1.5, b'5', None] if size is None else [5, None]
                refused += [dict(settings_dictionary(group), **{key: w}) for w in wrong]
            for item in refused:
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, item)
                self.assertNotCalled('KT' + name, W(name), self.t, item)
            for key, _, size in SETTINGS[group]:
                if size:  # a text that does not encode
                    item = dict(settings_dictionary(group), **{key: u'\u4e00'})
                    self.assertKTError(TypeError, RESOURCE_FAILED, W(name), self.t, item)
                    self.assertNotCalled('KT' + name, W(name), self.t, item)
            self.assertEqual(self.get(group), before)

    def test_getter_without_a_dictionary(self):
        for group in self.PAIRED:
            for item in [None, [], b'settings']:
                calls, outcome = self.calls_during('KTGet%sSettings' % group, W('Get%sSettings' % group), self.t, item)
                self.assertEqual((calls, outcome), (1, ('ok', None)))

    def test_exact_numbers(self):
        values = settings_dictionary('FileStore')
        for number in [2 ** 31, 2 ** 32 + 1, 2 ** 64 - 1]:
            values['dwExpireTime'] = number
            W('SetFileStoreSettings')(self.t, values)
            self.assertEqual(self.get('FileStore')['dwExpireTime'], number)

    def test_needs_settings_until_the_file_store_is_set(self):
        # The first test to set the file store may run later; the flag only ever falls.
        W('SetFileStoreSettings')(self.t, settings_dictionary('FileStore'))
        self.assertIs(W('DoesNeedSetSettings')(self.t), False)

    def test_ocsp_access_points(self):
        clear_access_points(self.t)  # start from none
        points = [{'szIssuerCN': u'ЦСК %d' % i, 'szAddress': u'ocsp%d.приклад' % i, 'szPort': u'80%d' % i}
                  for i in range(3)]
        for point in points:
            given = dict(point)
            self.assertIsNone(W('SetOCSPAccessInfoSettings')(self.t, given))
            self.assertEqual(given, point)
        found = []
        for index in range(3):
            entry = {'junk': 1}
            W('EnumOCSPAccessInfoSettings')(self.t, index, entry)
            found.append(entry)
        for point in points:
            self.assertIn(point, found)
            asked = {'szIssuerCN': point['szIssuerCN'].encode('cp1251'), 'junk': 1}
            self.assertIsNone(W('GetOCSPAccessInfoSettings')(self.t, asked))
            self.assertEqual(asked, point)
            self.assertIsNone(W('DeleteOCSPAccessInfoSettings')(self.t, point['szIssuerCN']))
        entry = {'junk': 1}
        self.assertKTError(RuntimeError, NO_MORE_ITEMS, W('EnumOCSPAccessInfoSettings'), self.t, 0, entry)
        self.assertEqual(entry, {'junk': 1})

    def test_ocsp_access_points_require_a_dictionary(self):
        for name, template in [('EnumOCSPAccessInfoSettings', (0, X)), ('GetOCSPAccessInfoSettings', (X,)),
                               ('SetOCSPAccessInfoSettings', (X,))]:
            for item in [None, [], b'settings']:
                self.assertKTError(TypeError, BAD_PARAMETER, W(name), self.t, *fill(template, item))
                self.assertNotCalled('KT' + name, W(name), self.t, *fill(template, item))
        for item in [{}, {'szIssuerCN': 5}, {'szAddress': u'a', 'szPort': u'1'}]:
            self.assertKTError(TypeError, BAD_PARAMETER, W('GetOCSPAccessInfoSettings'), self.t, item)
        self.assertKTError(RuntimeError, BAD_PARAMETER, W('GetOCSPAccessInfoSettings'), self.t,
                           {'szIssuerCN': u'невідомий'})


class CertificateArrayTest(WrapperTestCase):
    def test_key_and_certificates(self):
        _, der = self.certificate()
        key = open(self.key_file(), 'rb').read()
        container = self.container([('first', b'other key', []), ('signer', key, [der, b'second'])])
        aliases, index = [], 0
        while True:
            alias = []
            try:
                W('EnumJKSPrivateKeys')(self.t, container, len(container), index, alias)
            except RuntimeError as e:
                self.assertEqual(e.args[0]['ErrorCode'], NO_MORE_ITEMS)
                break
            aliases += alias
            index += 1
        self.assertEqual(aliases, [b'first', b'signer'])

        got_key, certificates = ['junk'], ['junk', 'more']
        self.assertIsNone(W('GetJKSPrivateKey')(self.t, container, len(container), 'signer', got_key, certificates))
        self.assertEqual((got_key, certificates), ([key], [der, b'second']))
        owner = {}
        W('ReadPrivateKeyBinary')(self.t, got_key[0], len(got_key[0]), KEY_FILE_PASSWORD, owner)
        self.assertEqual(owner['pszSubjOrgUnit'], u'Носій файл ключа')

        no_certificates = []
        W('GetJKSPrivateKey')(self.t, container, len(container), u'first', None, no_certificates)
        self.assertEqual(no_certificates, [None])
        for outputs in [(None, None), ({}, 'x')]:
            self.assertEqual(self.calls_during('KTGetJKSPrivateKey', W('GetJKSPrivateKey'), self.t, container,
                                               len(container), 'signer', *outputs), (1, ('ok', None)))

    def test_failure_leaves_lists(self):
        container = self.container([('signer', b'key', [b'certificate'])])
        for alias, code in [('unknown', BAD_PARAMETER), (None, BAD_PARAMETER)]:
            key, certificates = ['junk'], ['junk']
            self.assertKTError(RuntimeError, code, W('GetJKSPrivateKey'), self.t, container, len(container), alias,
                               key, certificates)
            self.assertEqual((key, certificates), (['junk'], ['junk']))
        self.assertKTError(RuntimeError, CRYPTO, W('GetJKSPrivateKey'), self.t, b'junk', 4, 'signer', [], [])


class RandomBytesTest(WrapperTestCase):
    def test_sizes(self):
        for count in [0, 1, 16, 1000, long_type(0)]:
            output = ['junk', 'more']
            self.assertIsNone(W('GeneratePRNGSequence')(self.t, output, count))
            self.assertEqual((len(output), len(output[0])), (1, count))
        outputs = [W('GeneratePRNGSequence')(self.t, output, 32) or output[0] for output in ([], [])]
        self.assertNotEqual(outputs[0], outputs[1])

    def test_refusals_use_code_2(self):
        for output, count in [(None, 16), ({}, 16), ('', 16), ([], -1), ([], 2 ** 64), ([], 1.5), ([], b'16'),
                              ([], None)]:
            self.assertKTError(TypeError, BAD_PARAMETER, W('GeneratePRNGSequence'), self.t, output, count)
            self.assertNotCalled('KTGeneratePRNGSequence', W('GeneratePRNGSequence'), self.t, output, count)

    @unittest.skipUnless(os.environ.get('TAVREL_TEST_HUGE') == '1', 'needs more than 4 GiB; TAVREL_TEST_HUGE=1')
    def test_output_of_2_gib_is_a_byte_string(self):
        output = []
        W('GeneratePRNGSequence')(self.t, output, 2 ** 31)
        self.assertIs(type(output[0]), bytes)
        self.assertEqual(len(output[0]), 2 ** 31)


class FailedOutputTest(WrapperTestCase):
    def test_result_dropped_when_an_output_fails(self):
        # An output step that fails after success raises code 6; the result made for the
        # status (True, None) must not keep a reference.
        undecodable = dict(settings_dictionary('FileStore'), szPath=b'\x98')
        W('SetFileStoreSettings')(self.t, undecodable)
        try:
            for name, arguments, result in [('EnumKeyMediaTypes', (1, []), True),
                                            ('GetFileStoreSettings', ({},), None)]:
                calls = 100
                before = sys.getrefcount(result)
                for _ in range(calls):
                    self.assertKTError(TypeError, RESOURCE_FAILED, W(name), self.t, *arguments)
                if PY2:
                    sys.exc_clear()  # the last exception holds the frame
                self.assertLess(sys.getrefcount(result) - before, calls // 2, name)
        finally:
            W('SetFileStoreSettings')(self.t, settings_dictionary('FileStore'))


class ResultKindsTest(WrapperTestCase):
    INJECTED = 0xF00D

    def test_failing_status_of_every_status_wrapper(self):
        arguments = baseline_arguments(self)
        for name, _ in SETUP_WRAPPERS:
            if name in ('IsInitialized', 'IsPrivateKeyReaded', 'DoesNeedSetSettings', 'Finalize',
                        'ResetPrivateKey', 'SetUIMode'):
                continue
            self.lib.set_fault('KT' + name, self.INJECTED)
            self.assertKTError(RuntimeError, self.INJECTED, W(name), self.t, *arguments[name])
            self.lib.clear_faults()
            calls, outcome = self.calls_during('KT' + name, W(name), self.t, *arguments[name])
            self.assertEqual(calls, 1, name)
            self.assertIn(outcome[1], [None, True], name)
        W('ResetPrivateKey')(self.t)

    def test_enumeration_statuses(self):
        self.lib.set_fault('KTEnumKeyMediaTypes', ACCESS_FAILED)
        name = ['junk']
        self.assertKTError(RuntimeError, ACCESS_FAILED, W('EnumKeyMediaTypes'), self.t, 0, name)
        self.assertEqual(name, ['junk'])
        self.lib.set_fault('KTEnumKeyMediaTypes', NO_MORE_ITEMS)
        self.assertIs(W('EnumKeyMediaTypes')(self.t, 0, name), False)
        self.assertEqual(name, [u''])

    def test_lifecycle_and_flags(self):
        self.assertIsNone(W('ResetPrivateKey')(self.t))
        self.assertIs(W('IsPrivateKeyReaded')(self.t), False)
        self.read_key()
        self.assertIs(W('IsPrivateKeyReaded')(self.t), True)
        self.assertIsNone(W('Finalize')(self.t))
        self.assertIs(W('IsInitialized')(self.t), False)
        self.assertIs(W('IsPrivateKeyReaded')(self.t), False)
        self.assertIsNone(W('Finalize')(self.t))
        self.assertKTError(RuntimeError, 0xF002, W('EnumKeyMediaTypes'), self.t, 0, [])
        self.assertIsNone(W('SetUIMode')(self.t, 0))
        self.assertIsNone(W('Initialize')(self.t))
        self.assertIsNone(W('Initialize')(self.t))
        self.assertIs(W('IsInitialized')(self.t), True)


class UnloadWhileWritingOutputsTest(ChildTestCase):
    """Emptying an output drops what it held, and a __del__ may unload the library there;
    the wrapper still releases the library's results through the table."""

    def test_record_certificate_and_description(self):
        child = self.run_child('''
            from wrapper_testing import medium, write_world
            write_world(os.environ['TAVREL_STANDIN_WORLD'])

            class Unloader(object):
                def __del__(self):
                    _Tavrel.KTUnload()

            def loaded():
                _Tavrel.KTLoad()
                table = _Tavrel.KTGetInterface()
                _Tavrel.KT_INTERFACE_Initialize(table)
                return table

            owner = {'old': Unloader()}
            result['owner record'] = outcome(_Tavrel.KT_INTERFACE_ReadPrivateKey, loaded(), medium(1), owner)
            result['owner unloaded'] = [_Tavrel.KTGetInterface() is None, 'pszIssuer' in owner]

            table = loaded()
            owner = {}
            _Tavrel.KT_INTERFACE_ReadPrivateKey(table, medium(1), owner)
            issuer, serial = owner['pszIssuer'], owner['pszSerial']
            certificate = [Unloader()]
            result['certificate'] = outcome(_Tavrel.KT_INTERFACE_GetCertificate, table, issuer, serial, None,
                                            certificate)
            result['certificate unloaded'] = [_Tavrel.KTGetInterface() is None, type(certificate[0]).__name__]

            table = loaded()
            _Tavrel.KT_INTERFACE_ReadPrivateKey(table, medium(1), {})
            description = {'old': Unloader()}
            result['description'] = outcome(_Tavrel.KT_INTERFACE_GetCertificateInfoEx, table, issuer, serial,
                                            description)
            result['description unloaded'] = [_Tavrel.KTGetInterface() is None, 'pszSerial' in description]
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'owner record': ['ok', None], 'owner unloaded': [True, True],
            'certificate': ['ok', None], 'certificate unloaded': [True, type(b'').__name__],
            'description': ['ok', None], 'description unloaded': [True, True],
        })


if __name__ == '__main__':
    unittest.main()
