# -*- coding: utf-8 -*-
"""The wrong-value battery of test_wrong_values.py over the context and named-key wrappers
again, their handle items now a live library context and private-key context, so that the
calls reach the library's success roads and the outputs of every kind meet wrong values;
between two calls the stand-in holds exactly those two handles outstanding."""
from __future__ import print_function

import unittest

import baselines_context
import test_wrong_values
from tavrel_wrapper_kinds import WRAPPERS
from wrapper_testing import NOTHING_OUTSTANDING, medium, wrapper

CONTEXT_WRAPPERS = [w for w in WRAPPERS if w[1] == 7]


class LiveHandleBatteryTest(test_wrong_values.WrongValueBatteryTest):
    def setUp(self):
        super(LiveHandleBatteryTest, self).setUp()
        self.context, self.key = [], []
        wrapper('CtxCreate')(self.t, self.context)
        wrapper('CtxReadPrivateKey')(self.t, self.context[0], medium(1), self.key, None)
        self.outstanding = dict(NOTHING_OUTSTANDING, contexts=1, privateKeys=1)

    def tearDown(self):
        wrapper('CtxFreePrivateKey')(self.t, self.key[0])
        wrapper('CtxFree')(self.t, self.context[0])
        super(LiveHandleBatteryTest, self).tearDown()

    def test_every_item_of_every_wrapper(self):
        self.assertEqual(len(CONTEXT_WRAPPERS), 25)
        baseline = baselines_context.baseline_arguments(self, self.context[0], self.key[0], label='live')
        self.assertGreater(self.battery(CONTEXT_WRAPPERS, baseline), 4000)

    def test_table_item(self):
        pass  # the same for live handles: test_wrong_values checks it


if __name__ == '__main__':
    unittest.main()
