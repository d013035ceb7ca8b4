# -*- coding: utf-8 -*-
"""Baseline arguments of the signing, verification and hashing wrappers for the wrong-value battery
(test_wrong_values.py): for each wrapper, valid items after the table, with which the call
succeeds or fails with a library status only. A wrapper left out gets items made from its
kinds (battery_defaults)."""
from __future__ import print_function

from sign_testing import baseline_arguments  # noqa: F401 (the battery's entry)
