"""What lets one test file run under Python 2.7 and Python 3 alike.

The module maps Python 2.7's byte string (str) to bytes and its Unicode string to str under
Python 3; the tests write b'' for the first, u'' for the second, and these names for the
types and assertions whose spelling differs."""
from __future__ import print_function

import sys
import unittest

PY2 = sys.version_info[0] == 2

text_type = type(u'')
long_type = type(2 ** 64)               # long under Python 2.7, int under Python 3
integer_types = (int, long_type)


def as_bytes(name):
    """A native str name as bytes (ASCII), as ctypes' char* parameters take it."""
    return name if isinstance(name, bytes) else name.encode('ascii')


# Assertions under their Python 3 names; Python 2.7 has them under older ones.
for _name, _old in [('assertRaisesRegex', 'assertRaisesRegexp'), ('assertRegex', 'assertRegexpMatches'),
                    ('assertNotRegex', 'assertNotRegexpMatches'), ('assertCountEqual', 'assertItemsEqual')]:
    if not hasattr(unittest.TestCase, _name):
        setattr(unittest.TestCase, _name, getattr(unittest.TestCase, _old))
