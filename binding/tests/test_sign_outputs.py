# -*- coding: utf-8 -*-
"""Releases of the signing, verification and hashing wrappers: every buffer and record the
library handed out is released once, in parameter order, after success and after a status
that the library reports once it handed its outputs out."""
from __future__ import print_function

import unittest

from output_testing import ReleaseTrace, expected_releases
from sign_testing import W, SignTestCase, baseline_arguments
from test_sign_items import INJECTED, SIGN_WRAPPERS, fresh


class ReleaseOrderTest(SignTestCase):
    def test_every_wrapper_releases_in_parameter_order(self):
        trace = ReleaseTrace(self.lib.lib, self.path('release-trace'))
        baseline = baseline_arguments(self)
        late_ones = []
        for late in [False, True]:
            for name, _ in SIGN_WRAPPERS:
                items = fresh(baseline[name])
                if late:
                    self.record.set_late_status('KT' + name, INJECTED)
                outcome, names, numbers = trace.during(W(name), self.t, *items)
                if name == 'HashDataEnd':
                    W('HashDataBeginWithParams')(self.t, None, 0)
                if late and outcome[0] == 'ok':
                    continue  # hands out nothing through the stand-in's output batch
                self.assertEqual(outcome[0], RuntimeError if late else 'ok', (name, outcome))
                self.assertEqual(names, expected_releases(name, items), name)
                self.assertEqual(len(numbers), names.count('KTFreeMemory'), name)
                self.assertEqual(numbers, sorted(numbers), name)
                if late:
                    late_ones.append(name)
                    self.assertEqual(self.lib.counters()['buffers'], 0, name)
        W('HashDataEnd')(self.t, None, None)
        # The late road reached the wrappers that hand out buffers.
        self.assertTrue(set(['SignData', 'GetSignerInfo', 'VerifyDataInternal', 'GetSigner']) <= set(late_ones),
                        late_ones)


if __name__ == '__main__':
    unittest.main()
