# -*- coding: utf-8 -*-
"""Item kinds that the set-up wrappers do not use, on the wrappers of a test module
(items_probe.i)."""
from __future__ import print_function

import ctypes
import sys
import unittest

sys.setdlopenflags(sys.getdlopenflags() | ctypes.RTLD_GLOBAL)  # the probe resolves KTGetInterface from _Tavrel

import _Tavrel  # noqa: E402
import _tavrel_items_probe as probe  # noqa: E402
from output_testing import FILLED_IN_PLACE  # noqa: E402
from tavrel_compat import long_type  # noqa: E402
from wrapper_testing import BAD_PARAMETER, RESOURCE_FAILED, WrapperTestCase  # noqa: E402


def arg_message(name, argnum, type_name):
    return "in method 'KT_INTERFACE_%s', argument %d of type '%s'" % (name, argnum, type_name)


class ProbeTestCase(WrapperTestCase):
    def setUp(self):
        super(ProbeTestCase, self).setUp()
        probe.probe_status(0)
        probe.probe_spoil(0)

    def received_by(self, name, *items):
        getattr(probe, 'KT_INTERFACE_' + name)(self.t, *items)
        return probe.probe_received()


class ListItemsTest(ProbeTestCase):
    def test_byte_strings(self):
        self.assertEqual(self.received_by('ProbeBytesList', [b'a', b'', b'b\0c'], 1), ([b'a\0', b'\0', b'b\0c\0'], 1))
        for item in [[], None, b'a', [b'a', u'b'], [b'a', 5], (b'a',)]:
            self.assertKTError(TypeError, BAD_PARAMETER, probe.KT_INTERFACE_ProbeBytesList, self.t, item, 1)
        # The flag after the list is argument 5: the list stands for three parameters.
        self.assertArgError(OverflowError, arg_message('ProbeBytesList', 5, 'BOOL'), probe.KT_INTERFACE_ProbeBytesList,
                            self.t, [b'a'], 2 ** 31)

    def test_texts(self):
        self.assertEqual(self.received_by('ProbeTextList', [b'a', u'b']), b'a\0b\0\0')
        self.assertEqual(self.received_by('ProbeTextList', [u'жук', b'c']), u'жук'.encode('cp1251') + b'\0c\0\0')
        for item in [[], None, b'a', [b'a', 5]]:
            self.assertKTError(TypeError, BAD_PARAMETER, probe.KT_INTERFACE_ProbeTextList, self.t, item)
        self.assertKTError(TypeError, RESOURCE_FAILED, probe.KT_INTERFACE_ProbeTextList, self.t, [b'a', u'\u4e00'])


class OutputItemsTest(ProbeTestCase):
    def test_number_and_flag(self):
        for value, number, flag in [(0, 0, False), (7, 7, True), (2 ** 64 - 1, 2 ** 64 - 1, True)]:
            numbers, flags = ['junk'], ['junk', 'more']
            self.assertEqual(self.received_by('ProbeOutputs', value, numbers, flags), (True, True))
            self.assertEqual((numbers, flags), ([number], [flag]))
            self.assertIs(type(numbers[0]), int if number < 2 ** 63 else long_type)
        self.assertEqual(self.received_by('ProbeOutputs', 1, None, {}), (False, False))
        probe.probe_status(5)
        numbers = ['junk']
        self.assertKTError(RuntimeError, 5, probe.KT_INTERFACE_ProbeOutputs, self.t, 1, numbers, None)
        self.assertEqual(numbers, ['junk'])


class HandleItemsTest(ProbeTestCase):
    def test_handle_output_requires_a_list(self):
        for item in [None, {}, b'handle']:
            self.assertKTError(TypeError, BAD_PARAMETER, probe.KT_INTERFACE_CtxCreate, self.t, item)
            self.assertNotCalled('KTCtxCreate', probe.KT_INTERFACE_CtxCreate, self.t, item)

    def test_handles_travel_unowned(self):
        handles = ['junk']
        self.assertIsNone(probe.KT_INTERFACE_CtxCreate(self.t, handles))
        self.assertEqual(len(handles), 1)
        self.assertEqual(self.lib.counters()['contexts'], 1)
        address = int(handles[0])
        self.assertEqual(self.received_by('ProbeHandle', handles[0]), address)
        self.assertIsNone(probe.KT_INTERFACE_CtxFree(self.t, handles[0]))
        del handles[:]  # dropping the object frees nothing more
        self.assertEqual(self.lib.counters()['contexts'], 0)

    def test_any_pointer_object_or_none(self):
        made = _Tavrel.new_KT_INTERFACE()
        try:
            self.assertEqual(self.received_by('ProbeHandle', made), int(made))
            self.assertEqual(self.received_by('ProbeHandle', self.t), int(self.t))
        finally:
            _Tavrel.delete_KT_INTERFACE(made)
        self.assertEqual(self.received_by('ProbeHandle', None), 0)
        for item in [5, b'handle', [], 1.5]:
            self.assertArgError(TypeError, arg_message('ProbeHandle', 2, 'PVOID'), probe.KT_INTERFACE_ProbeHandle,
                                self.t, item)

    @unittest.skipUnless(hasattr(_Tavrel, 'new_SYSTEMTIME'), 'no SYSTEMTIME class')
    def test_time(self):
        time = _Tavrel.new_SYSTEMTIME()
        try:
            _Tavrel.SYSTEMTIME_wYear_set(time, 2024)
            _Tavrel.SYSTEMTIME_wMilliseconds_set(time, 999)
            self.assertEqual(self.received_by('ProbeTime', time), (2024, 999))
            self.assertIsNone(self.received_by('ProbeTime', None))
            for item in [5, self.t, {}]:
                self.assertArgError(TypeError, arg_message('ProbeTime', 2, 'PSYSTEMTIME'),
                                    probe.KT_INTERFACE_ProbeTime, self.t, item)
        finally:
            _Tavrel.delete_SYSTEMTIME(time)


class DictionaryItemsTest(ProbeTestCase):
    USER_KEYS = ['dwVersion', 'szCommonName', 'szLocality', 'szState', 'szOrganiztion', 'szOrgUnit', 'szTitle',
                 'szStreet', 'szPhone', 'szSurname', 'szGivenname', 'szEMail', 'szDNS', 'szEDRPOUCode', 'szDRFOCode',
                 'szNBUCode', 'szSPFMCode', 'szOCode', 'szOUCode', 'szUserCode', 'szUPN', 'szUNZR', 'szCountry']

    def user(self):
        return dict([(key, u'') for key in self.USER_KEYS[1:]] + [('dwVersion', 3), ('szCommonName', u'Ім')])

    def test_user_information(self):
        info = self.user()
        self.assertEqual(self.received_by('ProbeUserInfo', info), (3, u'Ім'.encode('cp1251')))
        self.assertEqual(info, dict(self.user(), dwVersion=4, szCommonName=u'Ім!'))
        # The version comes back as the low 32 bits of the field, read as a signed number.
        for given, back in [(2 ** 31 - 1, -2 ** 31), (2 ** 32 - 1, 0), (2 ** 32 + 5, 6)]:
            info = dict(self.user(), dwVersion=given)
            self.received_by('ProbeUserInfo', info)
            self.assertEqual((info['dwVersion'], type(info['dwVersion'])), (back, int), given)
        for item in [None, [], b'info']:
            self.assertIsNone(self.received_by('ProbeUserInfo', item))
        for item in [{}, dict(self.user(), szCommonName=None), dict(self.user(), dwVersion=-1)]:
            self.assertKTError(TypeError, BAD_PARAMETER, probe.KT_INTERFACE_ProbeUserInfo, self.t, item)
        probe.probe_status(5)
        info = self.user()
        self.assertKTError(RuntimeError, 5, probe.KT_INTERFACE_ProbeUserInfo, self.t, info)
        self.assertEqual(info, self.user())

    def test_key_medium_refill_that_fails(self):
        media = {'dwTypeIndex': 1, 'dwDevIndex': 2, 'szPassword': u'пароль'}
        self.assertKTError(TypeError, RESOURCE_FAILED, probe.KT_INTERFACE_ProbeKeyMedia, self.t, media)
        self.assertEqual(probe.probe_received(), (1, 2, u'пароль'.encode('cp1251')))
        self.assertEqual(media, {'dwTypeIndex': 1, 'dwDevIndex': 2, 'szPassword': u'пароль'})

    def test_failed_outputs_leave_their_items_as_passed(self):
        # kind -> (wrapper, items, whether the probe must spoil the output, what a written
        # output holds); the output is the last item, or the one before a lost handle.
        cases = {
            'decoded-text-out': ('ProbePrivateKeyOut', lambda: (True, ['old'], ['old']), False, None),
            'certificates-out': ('ProbeCertificates', lambda: (['old'],), True, [b'certificate'] * 2),
            'request-info': ('ProbeRequestInfo', lambda: ({'old': 1},), True, 46),
            'key-medium': ('ProbeKeyMedia', lambda: ({'dwTypeIndex': 1, 'dwDevIndex': 2, 'szPassword': b'p'},),
                           False, None),
            'user-info': ('ProbeUserInfo', lambda: (self.user(),), True, dict(self.user(), dwVersion=4,
                                                                                szCommonName=u'Ім!')),
        }
        for kind, name, keys in [('owner', 'ProbeOwnerInfo', 18), ('signer', 'ProbeSignInfo', 21),
                                 ('sender', 'ProbeSenderInfo', 21), ('certificate-info', 'ProbeCertInfo', 45)]:
            cases[kind] = (name, lambda: ({'old': 1},), True, keys)
        self.assertEqual(set(cases), FILLED_IN_PLACE['probe'])
        for kind, (name, items, spoiled, written) in sorted(cases.items()):
            wrapper = getattr(probe, 'KT_INTERFACE_' + name)
            probe.probe_spoil(int(spoiled))
            given = items()
            self.assertKTError(TypeError, RESOURCE_FAILED, wrapper, self.t, *given)
            self.assertEqual(given, items(), kind)
            if spoiled:  # the same output, whole, is written
                probe.probe_spoil(0)
                wrapper(self.t, *given)
                output = given[-1]
                self.assertEqual(len(output) if type(written) is int else output, written, kind)

    def test_filled_records_start_zeroed_and_are_released(self):
        for name, release, keys in [('ProbeSignInfo', 'KTFreeSignInfo', 21),
                                    ('ProbeSenderInfo', 'KTFreeSenderInfo', 21),
                                    ('ProbeCertInfo', 'KTFreeCertificateInfo', 45)]:
            for status in [0, 5]:
                probe.probe_status(status)
                info = {'junk': 1}
                calls, _ = self.calls_during(release, getattr(probe, 'KT_INTERFACE_' + name), self.t, info)
                self.assertEqual((calls, probe.probe_received()), (1, True), name)
                if status == 0:
                    self.assertEqual((len(info), info['pszIssuer'], info['bFilled']), (keys, u'Текст', True))
                else:
                    self.assertEqual(info, {'junk': 1})
            self.assertEqual(self.calls_during(release, getattr(probe, 'KT_INTERFACE_' + name), None, {})[0], 0)


def byte_string_claiming(size):
    """A byte-string object whose header claims size bytes, of which it holds two; kept for
    the whole run (its count of references never drops to zero). Only its size may be read."""
    real = b''.join([b'a', b'b'])  # not interned
    header = ctypes.create_string_buffer(ctypes.string_at(id(real), sys.getsizeof(real)))
    _KEPT.append(header)
    ctypes.c_ssize_t.from_buffer(header, 0).value = 1 << 40  # ob_refcnt
    ctypes.c_ssize_t.from_buffer(header, 16).value = size  # ob_size
    return ctypes.cast(ctypes.addressof(header), ctypes.py_object).value


_KEPT = []


class TextListLimitsTest(ProbeTestCase):
    def test_a_text_holding_a_nul_is_refused(self):
        for item in [[b'a', b'b\0c'], [u'b\0', b'a'], [b'\0']]:
            self.assertKTError(TypeError, BAD_PARAMETER, probe.KT_INTERFACE_ProbeTextList, self.t, item)

    def test_a_total_size_that_overflows(self):
        huge = byte_string_claiming(sys.maxsize)
        self.assertKTError(TypeError, RESOURCE_FAILED, probe.KT_INTERFACE_ProbeTextList, self.t, [huge, huge])


class LostHandleTest(ProbeTestCase):
    KINDS = [('ProbeContextOut', 'KTCtxFree'), ('ProbePrivateKeyOut', 'KTCtxFreePrivateKey'),
             ('ProbeSessionOut', 'KTSessionDestroy')]

    def test_a_handle_not_handed_back_is_released_with_its_function(self):
        for name, release in self.KINDS:
            wrapper = getattr(probe, 'KT_INTERFACE_' + name)
            texts, handles = ['junk'], ['junk']
            calls, (error, args) = self.calls_during(release, wrapper, self.t, True, texts, handles)
            self.assertEqual((calls, error, args, handles), (1, TypeError, (self.error_dictionary(RESOURCE_FAILED),),
                                                             ['junk']), name)
        self.assertEqual(self.lib.counters()['contexts'], 0)

    def test_a_handle_handed_back_is_the_scripts(self):
        for name, release in self.KINDS:
            texts, handles = ['junk'], ['junk']
            self.assertEqual(self.calls_during(release, getattr(probe, 'KT_INTERFACE_' + name), self.t, False, texts,
                                               handles), (0, ('ok', None)), name)
            self.assertEqual((texts, len(handles)), ([None], 1), name)
            if release == 'KTCtxFree':
                probe.KT_INTERFACE_CtxFree(self.t, handles[0])


if __name__ == '__main__':
    unittest.main()
