# -*- coding: utf-8 -*-
"""Outputs of the named-key generations and of device certificates: an output that fails in
the middle leaves the earlier ones written, and itself and the later ones as the script
passed them,
and every buffer the library handed out is released; releases run in parameter order;
the request file names come back through lists."""
from __future__ import print_function

import copy
import os
import unittest

from context_testing import UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD, ContextTestCase, W, user_info
from output_testing import FILLED_IN_PLACE, NEVER_FILLED, UNTAKEABLE_LENGTH, ReleaseTrace, expected_releases
from tavrel_compat import as_bytes
from tavrel_wrapper_kinds import WRAPPERS
from wrapper_testing import CRYPTO, RESOURCE_FAILED, SETTINGS, clear_access_points, medium, settings_dictionary

OLD = 'old'
WRITTEN, EMPTIED, UNTOUCHED = 'written', 'emptied', 'untouched'
UNDECODABLE = b'usage \x98'
SHORT_UNDECODABLE = b'U\x98'  # fits every text setting (a port: 5 bytes) and a CA type
DEVICE_NAME = u'Пристрій'.encode('cp1251')


def old():
    return [OLD]


def state_of(item):
    """What became of a list output passed as old()."""
    if item == old():
        return UNTOUCHED
    return EMPTIED if item == [] else WRITTEN


class ContextOutputTestCase(ContextTestCase):
    _request = None

    def device_request(self):
        if ContextOutputTestCase._request is None:
            ContextOutputTestCase._request = self.request()
        return ContextOutputTestCase._request

    def generate(self, name, label, tail):
        """Items of a named-key generation on the named medium: everything up to the user
        information (the Ex form takes one), then tail."""
        context = self.context()
        self.addCleanup(lambda: W('CtxDestroyNamedPrivateKey')(self.t, self.context(), self.named_medium(), label, b'p'))
        head = (context, self.named_medium(), label, b'p', 1, 1, 1, None, 0, 0, None)
        return head + ((user_info(),) if name.endswith('Ex') else ()) + tail

    def device_items(self, lists):
        """Items of a device certificate for four requests; lists: the items from 12 on."""
        r = self.device_request()
        return (self.context(), old(), r, len(r), r, len(r), r, len(r), r, len(r)) + lists

    def lend_device_texts(self):
        for index, text in [(1, DEVICE_NAME), (10, b'cmp.example'), (11, b'8080')]:
            self.record.set_lent_text('KTCtxMakeDeviceCertificate', index, text)


class MiddleOutputFailureTest(ContextOutputTestCase):
    # wrapper, label, the control that makes one output fail, and what becomes of the
    # list outputs from the first requested byte string on (in item order)
    CASES = [
        # the second request cannot be handed back
        ('CtxGenerateNamedPrivateKey', 'middle-1', ('length', 14),
         [WRITTEN, WRITTEN, UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED]),
        # the third request
        ('CtxGenerateNamedPrivateKeyEx', 'middle-2', ('length', 19),
         [WRITTEN, WRITTEN, WRITTEN, WRITTEN, UNTOUCHED, UNTOUCHED]),
        # the text before the requests does not decode
        ('CtxGenerateNamedPrivateKeyEx', 'middle-3', ('text', 12),
         [UNTOUCHED] * 6),
    ]

    def test_named_key_generations(self):
        for name, label, (control, index), after in self.CASES:
            usages = [old()] if name.endswith('Ex') else []
            given = self.generate(name, label, tuple(usages) + tuple(old() for _ in range(6)))
            if control == 'length':
                self.record.set_output_length('KT' + name, index, UNTAKEABLE_LENGTH)
            else:
                self.record.set_lent_text('KT' + name, index, UNDECODABLE)
            self.assertKTError(TypeError, RESOURCE_FAILED, W(name), self.t, *given)
            self.assertEqual([state_of(item) for item in given[-6:]], after, (name, label))
            # The outputs before the requests were written: the medium and the description.
            self.assertEqual(sorted(given[1]), ['dwDevIndex', 'dwTypeIndex', 'szPassword'])
            if usages:
                self.assertEqual(len(given[11]['szUserCode']), 16)  # the library's write-back
                self.assertEqual(state_of(usages[0]), UNTOUCHED if control == 'text' else WRITTEN)
            self.assertEqual(self.lib.counters()['buffers'], 0, name)
            # The library's work stands: the key was made.
            found = []
            W('CtxIsNamedPrivateKeyExists')(self.t, self.context(), self.named_medium(), label, None, found)
            self.assertEqual(found, [True], label)

    def test_device_certificates(self):
        trace = ReleaseTrace(self.lib.lib, os.path.join(self.scratch, 'middle-trace'))
        for control, index, texts, certificates in [
                ('length', 14, [WRITTEN] * 3, [WRITTEN, UNTOUCHED, UNTOUCHED, UNTOUCHED]),
                ('length', 18, [WRITTEN] * 3, [WRITTEN, WRITTEN, WRITTEN, UNTOUCHED]),
                ('text', 11, [WRITTEN, WRITTEN, UNTOUCHED], [UNTOUCHED] * 4)]:
            given = self.device_items(tuple(old() for _ in range(6)))
            self.lend_device_texts()
            if control == 'length':
                self.record.set_output_length('KTCtxMakeDeviceCertificate', index, UNTAKEABLE_LENGTH)
            else:
                self.record.set_lent_text('KTCtxMakeDeviceCertificate', index, UNDECODABLE)
            outcome, names, numbers = trace.during(W('CtxMakeDeviceCertificate'), self.t, *given)
            self.assertEqual(outcome, (TypeError, (self.error_dictionary(RESOURCE_FAILED),)))
            # All four certificates released, in parameter order, whichever output failed.
            self.assertEqual((names, len(numbers), sorted(numbers)), (['KTFreeMemory'] * 4, 4, numbers))
            self.assertEqual([state_of(given[i]) for i in (1, 10, 11)], texts, (control, index))
            self.assertEqual([state_of(item) for item in given[12:]], certificates, (control, index))
            if texts[0] == WRITTEN:
                self.assertEqual(given[1], [DEVICE_NAME.decode('cp1251')])
            self.assertEqual(self.lib.counters()['buffers'], 0, (control, index))


class ReleaseOrderTest(ContextOutputTestCase):
    def test_releases_in_parameter_order_on_success_and_after_a_late_status(self):
        trace = ReleaseTrace(self.lib.lib, os.path.join(self.scratch, 'context-trace'))
        for late in [False, True]:
            key = self.private_key()
            envelope = []
            W('CtxEnvelopData')(self.t, key, [self.certificate_of(key)], 1, 1, 0, b'data', 4, envelope)
            suffix = '-late' if late else ''
            cases = [
                ('CtxGenerateNamedPrivateKey', self.generate('CtxGenerateNamedPrivateKey', 'order' + suffix,
                                                             ([], None, [], None, [], None))),
                ('CtxGenerateNamedPrivateKeyEx', self.generate('CtxGenerateNamedPrivateKeyEx', 'order-ex' + suffix,
                                                               (None, [], None, [], None, [], None))),
                ('CtxMakeDeviceCertificate', self.device_items((None, None, [], [], [], []))),
                ('CtxGetOwnCertificate', (key, 0, 0, {}, [])),
                ('CtxDevelopData', (key, None, envelope[0], len(envelope[0]), None, 0, [], {})),
            ]
            for name, items in cases:
                if name == 'CtxMakeDeviceCertificate':
                    self.lend_device_texts()
                if late:
                    self.record.set_late_status('KT' + name, CRYPTO)
                outcome, names, numbers = trace.during(W(name), self.t, *items)
                self.assertEqual(outcome[0], RuntimeError if late else 'ok', (name, outcome))
                self.assertEqual(names, expected_releases(name), name)
                self.assertEqual(len(numbers), names.count('KTFreeMemory'), name)
                self.assertEqual(numbers, sorted(numbers), name)
                self.assertEqual(self.lib.counters()['buffers'], 0, name)


class FileNameListTest(ContextOutputTestCase):
    """The request file names that the library writes come back through lists."""

    def test_named_key_generations(self):
        for name, label in [('CtxGenerateNamedPrivateKey', u'ярлик'), ('CtxGenerateNamedPrivateKeyEx', b'label')]:
            names = [['old', 'older'], [], old()]
            requests = [None, [], None]
            tail = (requests[0], names[0], requests[1], names[1], requests[2], names[2])
            W(name)(self.t, *self.generate(name, label, ((None,) if name.endswith('Ex') else ()) + tail))
            shown = label.decode('cp1251') if isinstance(label, bytes) else label
            self.assertEqual(names, [[u'%s-%s.p10' % (shown, kind)] for kind in ('ds', 'kep', 'int')], name)
            self.assertEqual((requests[0], len(requests[1]), requests[2]), (None, 1, None), name)

    def test_context_files_named_through_lists(self):
        context, key = self.context(), self.private_key()
        certificate = self.certificate_of(key)
        data = os.path.join(as_bytes(self.scratch), u'дані'.encode('cp1251'))
        open(data, 'wb').write(b'context file data')
        empty, signed, cose = [os.path.join(as_bytes(self.scratch), name) for name in (b'empty.p7s', b'signed.p7s', b'data.cose')]
        signer = []
        W('CtxSignData')(self.t, key, 1, b'context file data', 17, 1, 0, signer)
        # wrapper, items given the two name items, library arguments of the names, the names
        for name, items, indices, names in [
                ('CtxCreateEmptySignFile', lambda a, b: (context, 1, a, certificate, len(certificate), b), (2, 5),
                 (data, empty)),
                ('CtxAppendSignerFile', lambda a, b: (context, 1, signer[0], len(signer[0]), None, 0, a, b), (6, 7),
                 (empty, signed)),
                ('CtxCOSESignFile', lambda a, b: (key, 1, a, b), (2, 3), (data, cose))]:
            lists = [['old', 'older'], []]
            for index, text in zip(indices, names):
                self.record.set_lent_text('KT' + name, index, text)
            W(name)(self.t, *items(*lists))
            self.assertEqual(lists, [[text.decode('cp1251')] for text in names], name)
            self.assertTrue(os.path.exists(names[1]), name)
        count = []
        W('GetFileSignsCount')(self.t, signed, count)
        self.assertEqual(count, [1])

    def test_a_failing_status_touches_no_item(self):
        # The library makes the key and writes every output, then fails.
        for name in ['CtxGenerateNamedPrivateKey', 'CtxGenerateNamedPrivateKeyEx']:
            label = name + '-late'
            self.record.set_lent_text('KT' + name, 2, as_bytes(label))
            given = self.generate(name, label, ((old(),) if name.endswith('Ex') else ()) + tuple(old() for _ in range(6)))
            given = given[:2] + (old(),) + given[3:]
            before = copy.deepcopy(given[1:])
            self.record.set_late_status('KT' + name, CRYPTO)
            self.assertKTError(RuntimeError, CRYPTO, W(name), self.t, *given)
            self.assertEqual(given[1:], before, name)
            self.assertEqual(self.lib.counters()['buffers'], 0, name)
        given = self.device_items(tuple(old() for _ in range(6)))
        self.lend_device_texts()
        self.record.set_late_status('KTCtxMakeDeviceCertificate', CRYPTO)
        self.assertKTError(RuntimeError, CRYPTO, W('CtxMakeDeviceCertificate'), self.t, *given)
        self.assertEqual([state_of(given[i]) for i in (1, 10, 11, 12, 13, 14, 15)], [UNTOUCHED] * 7)
        self.assertEqual(self.lib.counters()['buffers'], 0)

class FailedOutputTest(ContextOutputTestCase):
    """An output that cannot be made after success leaves its list or dictionary as the script
    passed it, as it leaves the outputs after it; the library's effect stands."""

    def test_every_kind_is_sorted(self):
        places = list(FILLED_IN_PLACE.values()) + [NEVER_FILLED]
        every = set().union(*places)
        self.assertEqual(sum(len(place) for place in places), len(every))
        self.assertEqual(every, set(kind for _, _, _, items in WRAPPERS for kind, _ in items))

    def cases(self):
        """Kind -> (wrapper, items, what makes the output of that kind fail, its position,
        the error raised: None when the failure is not reported)."""
        crypto, signed = [], []
        W('AppendCryptoHeader')(self.t, SHORT_UNDECODABLE, 2, b'data', 4, crypto)
        self.read_key()
        W('SignData')(self.t, b'data', 4, None, signed)
        lend = lambda *how: lambda: self.record.set_lent_text(*how)
        return {
            'text': ('AppendTransportHeader', (b'UA1', old(), None, None, 0, b'data', 4, old()),
                     lend('KTAppendTransportHeader', 1, UNDECODABLE), 1, RESOURCE_FAILED),
            'lent-text': ('EnumKeyMediaTypes', (1, old()), None, 1, RESOURCE_FAILED),  # the world's type 1
            'written-text': ('ParseCryptoHeader', (crypto[0], len(crypto[0]), old(), old(), old(), old()), None, 2,
                             RESOURCE_FAILED),
            'bytes-out': ('HashData', (b'data', 4, old(), old()),
                          lambda: self.record.set_output_length('KTHashData', 3, UNTAKEABLE_LENGTH), 3, RESOURCE_FAILED),
            'certificate-info-ex': ('GetSignerInfo', (0, None, signed[0], len(signed[0]), {'old': 1}, old()),
                                    lambda: self.record.set_null_output('KTGetSignerInfo', 4), 4, RESOURCE_FAILED),
            'key-medium-quiet': ('CtxIsNamedPrivateKeyExists',
                                 (self.context(), medium(UNDECODABLE_DEVICE, UNDECODABLE_PASSWORD), 'absent', None,
                                  old()), None, 1, None),
        }

    def check(self, name, given, spoil, position, code):
        before = [copy.deepcopy(item) if type(item) in (list, dict) else item for item in given]
        if spoil:
            spoil()
        if code is None:
            W(name)(self.t, *given)
        else:
            self.assertKTError(TypeError, code, W(name), self.t, *given)
        # A failure not reported goes on with the later outputs; a reported one writes none.
        end = position + 1 if code is None else len(given)
        self.assertEqual(list(given[position:end]), before[position:end], name)
        self.assertEqual(self.lib.counters()['buffers'], 0, name)

    def test_an_output_of_each_kind(self):
        cases = self.cases()
        self.assertEqual(set(cases) | set(kind for kind in FILLED_IN_PLACE['standin'] if kind.startswith('settings-')),
                         FILLED_IN_PLACE['standin'])
        for kind, (name, given, spoil, position, code) in sorted(cases.items()):
            self.check(name, given, spoil, position, code)
        # The quiet medium's write-back was not reported: the later output was written.
        self.assertEqual(cases['key-medium-quiet'][1][-1], [False])

    def test_every_settings_reader(self):
        clear_access_points(self.t)
        issuer = SETTINGS['OCSPAccessInfo'][0][1]
        readers = 0
        for name, _, _, items in WRAPPERS:
            kind = items[-1][0] if items else None
            if kind not in ('settings-get', 'settings-enumerate', 'settings-lookup'):
                continue
            group = name[3 if name.startswith('Get') else 4:-len('Settings')]
            texts = [key for key, _, size in SETTINGS[group] if size]
            if not texts:
                continue  # flags and numbers: only a lack of memory fails them
            spoiled = dict(settings_dictionary(group), **{texts[-1]: SHORT_UNDECODABLE})
            W('Set%sSettings' % group)(self.t, spoiled)
            given = {'szIssuerCN': issuer, 'old': 1} if kind == 'settings-lookup' else {'old': 1}
            self.check(name, (0, given) if kind == 'settings-enumerate' else (given,), None, 0, RESOURCE_FAILED)
            readers += 1
            W('Set%sSettings' % group)(self.t, settings_dictionary(group))
        W('DeleteOCSPAccessInfoSettings')(self.t, issuer)
        self.assertEqual(readers, 8)


if __name__ == '__main__':
    unittest.main()
