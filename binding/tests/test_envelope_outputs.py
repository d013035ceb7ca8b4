# -*- coding: utf-8 -*-
"""Outputs of the envelope, sender, recipient and header wrappers on the roads after the
library call: a failing status (also one the library reports after handing out its
outputs) touches no output and releases everything, in parameter order; where each flag
reaches the library; the file names given as lists."""
from __future__ import print_function

import os
import unittest

from envelope_testing import EnvelopeTestCase, W
from output_testing import ReleaseTrace, expected_releases
from tavrel_compat import as_bytes
from wrapper_testing import CRYPTO, NOTHING_OUTSTANDING, RESOURCE_FAILED

DATA = b'outputs\0data'
LENT_MARK = b'lent by the library'


def old():
    """An output item as a script passes it, holding what must survive a failure."""
    return ['old']


class EnvelopeOutputTestCase(EnvelopeTestCase):
    def setUp(self):
        super(EnvelopeOutputTestCase, self).setUp()
        self.envelope = self.envelop(DATA)
        self.sealed = as_bytes(self.write('sealed', self.envelope))
        crypto = []
        W('AppendCryptoHeader')(self.t, b'UA1', 2, DATA, len(DATA), crypto)
        self.crypto = crypto[0]
        transport = []
        W('AppendTransportHeader')(self.t, b'UA1', b'file', b'a@b', None, 0, self.crypto, len(self.crypto), transport)
        self.transport = transport[0]

    def cases(self):
        """(wrapper, items with fresh outputs, {library argument: text the library finds in
        the buffer lent for a list}) of the sender, recipient and header wrappers; every
        output is asked for, every text item is a list."""
        e, c, p = self.envelope, self.other_cert, self.sealed
        return [
            ('GetSenderInfo', lambda: (old(), e, len(e), c, len(c), old(), {'old': 1}, old()), {0: LENT_MARK}),
            ('GetFileSenderInfo', lambda: (old(), c, len(c), old(), {'old': 1}, old()), {0: p}),
            ('GetRecipientsCount', lambda: (old(), e, len(e), old()), {0: LENT_MARK}),
            ('GetFileRecipientsCount', lambda: (old(), old()), {0: p}),
            ('GetRecipientInfo', lambda: (1, old(), e, len(e), old(), old(), old(), old()), {1: LENT_MARK}),
            ('GetFileRecipientInfo', lambda: (1, old(), old(), old(), old(), old()), {1: p}),
            ('AppendTransportHeader', lambda: (old(), old(), old(), c, len(c), DATA, len(DATA), old()),
             {0: b'UA1', 1: b'file', 2: b'a@b'}),
            ('ParseTransportHeader', lambda: (self.transport, len(self.transport), old(), old()), {}),
            ('AppendCryptoHeader', lambda: (old(), 3, DATA, len(DATA), old()), {0: b'UA1'}),
            ('ParseCryptoHeader', lambda: (self.crypto, len(self.crypto), old(), old(), old(), old()), {}),
        ]

    def lend(self, name, texts):
        for index, text in texts.items():
            self.record.set_lent_text('KT' + name, index, text)


class FailingStatusTest(EnvelopeOutputTestCase):
    def test_the_cases_succeed_and_write_every_output(self):
        for name, items, texts in self.cases():
            self.lend(name, texts)
            given = items()
            self.assertIsNone(W(name)(self.t, *given), name)
            for item in given:
                if type(item) in (list, dict):
                    self.assertNotIn('old', item, name)
                    self.assertEqual(len(item) == 1, type(item) is list, (name, item))

    def test_outputs_untouched_and_everything_released(self):
        # An injected status stops the library at entry; a late one comes after the library
        # filled every output, record and lent buffer.
        for road in ['injected', 'late']:
            for name, items, texts in self.cases():
                self.lend(name, texts)
                if road == 'injected':
                    self.lib.set_fault('KT' + name, CRYPTO)
                else:
                    self.record.set_late_status('KT' + name, CRYPTO)
                given = items()
                self.assertKTError(RuntimeError, CRYPTO, W(name), self.t, *given)
                self.assertEqual(given, items(), (road, name))
                self.assertEqual(self.lib.counters(), NOTHING_OUTSTANDING, (road, name))
                self.lib.clear_faults()


    def test_a_session_made_before_a_late_status_is_destroyed(self):
        c = self.cert
        for name, items in [('ClientSessionCreateStep1', lambda: (0, old(), old())),
                            ('ClientDynamicKeySessionCreate', lambda: (0, old(), old(), c, len(c), old(), old()))]:
            self.record.set_late_status('KT' + name, CRYPTO)
            destroyed = self.lib.calls('KTSessionDestroy')
            given = items()
            self.assertKTError(RuntimeError, CRYPTO, W(name), self.t, *given)
            self.assertEqual(given, items(), name)
            self.assertEqual(self.lib.calls('KTSessionDestroy'), destroyed + 1, name)
            self.assertEqual(self.lib.counters(), NOTHING_OUTSTANDING, name)

class ReleaseOrderTest(EnvelopeOutputTestCase):
    def test_releases_in_parameter_order_on_success_and_after_a_late_status(self):
        trace = ReleaseTrace(self.lib.lib, self.path('trace'))
        e = self.envelope
        cases = self.cases() + [
            ('EnvelopDataToRecipients', lambda: ([self.cert], 1, DATA, len(DATA), [], []), {}),
            ('EnvelopDataToRecipientsOffline', lambda: ([self.cert], 1, DATA, len(DATA), 0, 1, [], []), {}),
            ('DevelopData', lambda: (None, e, len(e), [], {}), {}),
            ('DevelopDataEx', lambda: (None, e, len(e), None, 0, [], {}), {}),
        ]
        for late in [False, True]:
            for name, items, texts in cases:
                self.lend(name, texts)
                if late:
                    self.record.set_late_status('KT' + name, CRYPTO)
                outcome, names, numbers = trace.during(W(name), self.t, *items())
                self.assertEqual(outcome[0], RuntimeError if late else 'ok', (name, outcome))
                self.assertEqual(names, expected_releases(name), name)
                self.assertEqual(numbers, sorted(numbers), name)
                self.assertEqual(len(numbers), names.count('KTFreeMemory'), name)


class FlagPlacementTest(EnvelopeOutputTestCase):
    """Each BOOL item reaches the library argument of its own position, unchanged."""

    FLAGS = [7, -9, 2 ** 31 - 1, -2 ** 31]

    def flag_cases(self):
        certs = [self.cert, self.other_cert]
        issuers, serials = [self.owner['pszIssuer']], [self.owner['pszSerial']]
        plain, out = self.write('plain', DATA), self.path('out')
        # wrapper, items given the flags, the library arguments of the flags, of the data and its length
        return [
            ('EnvelopDataToRecipients', lambda f: (certs, f[0], DATA, len(DATA), [], []), [3], (4, 5)),
            ('EnvelopDataToRecipientsWithDynamicKey', lambda f: (certs, f[0], f[1], DATA, len(DATA), [], []),
             [3, 4], (5, 6)),
            ('EnvelopDataToRecipientsOffline', lambda f: (certs, f[0], DATA, len(DATA), f[1], f[2], [], []),
             [3, 6, 7], (4, 5)),
            ('EnvelopDataExWithDynamicKey', lambda f: (issuers, serials, f[0], f[1], DATA, len(DATA), [], []),
             [2, 3], (4, 5)),
            ('EnvelopFileToRecipients', lambda f: (certs, f[0], plain, out), [3], None),
            ('EnvelopFileToRecipientsWithDynamicKey', lambda f: (certs, f[0], f[1], plain, out), [3, 4], None),
            ('EnvelopFileExWithDynamicKey', lambda f: (issuers, serials, f[0], f[1], plain, out), [2, 3], None),
        ]

    def test_each_flag_lands_in_its_own_argument(self):
        for name, items, flag_arguments, data_arguments in self.flag_cases():
            # every order of distinct values, so that no two flags can be swapped unseen
            for shift in range(len(self.FLAGS)):
                flags = self.FLAGS[shift:] + self.FLAGS[:shift]
                W(name)(self.t, *items(flags))
                received = [self.record.number('KT' + name, index) for index in flag_arguments]
                self.assertEqual(received, [flag % 2 ** 64 for flag in flags[:len(flag_arguments)]], (name, flags))
                if data_arguments:
                    self.assertEqual((self.record.bytes('KT' + name, data_arguments[0]),
                                      self.record.number('KT' + name, data_arguments[1])), (DATA, len(DATA)), name)

    def test_flags_out_of_range_name_their_argument(self):
        for name, items, flag_arguments, _ in self.flag_cases():
            for position, argument in enumerate(flag_arguments):
                flags = [0] * len(flag_arguments)
                flags[position] = 2 ** 31
                before = self.lib.calls('KT' + name)
                # argument numbers count the table as 1 and the library's arguments from 2
                self.assertArgError(OverflowError, "in method 'KT_INTERFACE_%s', argument %d of type 'BOOL'"
                                    % (name, argument + 2), W(name), self.t, *items(flags))
                self.assertEqual(self.lib.calls('KT' + name), before, name)


class FileNameListTest(EnvelopeOutputTestCase):
    """A list in place of a file name lends the library a buffer; after success the list
    holds the name the library found there, decoded from Windows-1251."""

    def test_envelope_files_named_through_lists(self):
        plain = as_bytes(self.write('plain', DATA))
        sealed = self.path(u'конверт'.encode('cp1251'))
        opened = self.path(u'відкритий'.encode('cp1251'))
        certs = [self.cert]
        names = [self.owner['pszIssuer']], [self.owner['pszSerial']]
        for name, items, indices in [
                ('EnvelopFileToRecipients', lambda a, b: (certs, 1, a, b), (4, 5)),
                ('EnvelopFileToRecipientsWithDynamicKey', lambda a, b: (certs, 0, 1, a, b), (5, 6)),
                ('EnvelopFileExWithDynamicKey', lambda a, b: names + (1, 0, a, b), (4, 5))]:
            source, target = old(), ['old', 'older']
            self.record.set_lent_text('KT' + name, indices[0], plain)
            self.record.set_lent_text('KT' + name, indices[1], sealed)
            W(name)(self.t, *items(source, target))
            self.assertEqual((source, target), ([plain.decode('cp1251')], [sealed.decode('cp1251')]), name)
            developed, sender = [], {}
            self.record.set_lent_text('KTDevelopFile', 0, sealed)
            self.record.set_lent_text('KTDevelopFile', 1, opened)
            W('DevelopFile')(self.t, developed, opened, sender)
            self.assertEqual((developed, open(opened, 'rb').read()), ([sealed.decode('cp1251')], DATA), name)
            os.remove(sealed)

    def test_a_name_the_library_leaves_undecodable_fails_that_output_only(self):
        self.record.set_lent_text('KTEnvelopFileToRecipients', 4, as_bytes(self.write('plain', DATA)))
        self.record.set_lent_text('KTEnvelopFileToRecipients', 5, self.path(b'sealed-\x98'))
        source, target = old(), old()
        self.assertKTError(TypeError, RESOURCE_FAILED, W('EnvelopFileToRecipients'), self.t, [self.cert], 1, source, target)
        # The first name was written, the second list kept; the envelope was made.
        self.assertEqual((source, target), ([as_bytes(self.path('plain')).decode('cp1251')], old()))
        self.assertTrue(os.path.exists(self.path(b'sealed-\x98')))


if __name__ == '__main__':
    unittest.main()
