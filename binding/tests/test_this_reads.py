"""Objects whose `this` never leads to a pointer object (an object that is its own `this`, a
`this` property that returns self, a cycle), given to every function of the module in
each place that takes a pointer: each call ends and refuses them as it refuses an object
of another type. Chains that do end, and `this` properties that give a new pointer object
at each read, still convert. Driven by the record field tables and the wrapper kinds.

The calls run in a child interpreter; one that does not return within CALL_LIMIT seconds
ends it (SIGALRM), and the test names the call. The child's objects live in the C
allocator (PYTHONMALLOC=malloc, Python 3), where a sanitizer sees any use after release."""
from __future__ import print_function

import signal
import textwrap
import unittest

from tavrel_testing import LIB_NORMAL, run_child

CALL_LIMIT = 10
CALL_PREFIX = 'call: '

_HELPERS = '''
import ctypes, signal, sys
import _tavrel_record_probe as probe
import kt_record_fields, tavrel_wrapper_kinds

def guarded(label, function, *args):
    """outcome(function, *args), ended by SIGALRM's default action after the limit."""
    sys.stdout.write('%s%s\\n' % (CALL_PREFIX, label))
    sys.stdout.flush()
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    signal.alarm(CALL_LIMIT)
    try:
        return outcome(function, *args)
    finally:
        signal.alarm(0)

class Holder(object):
    """A script object whose `this` is an attribute."""

class ClassicHolder:
    """The same, a classic instance under Python 2.7."""

def chain(pointer, length):
    """A holder whose `this` leads to pointer through length holders."""
    for _ in range(length):
        holder = Holder()
        holder.this, pointer = pointer, holder
    return pointer

def property_holder(read):
    """A holder without an instance dictionary whose `this` property gives read(holder)."""
    class Read(object):
        __slots__ = ()
        this = property(read)
    return Read()
'''


class EndlessThisTest(unittest.TestCase):
    def run_calls(self, steps):
        """The child's result; fails naming the call that did not return."""
        child = run_child(_HELPERS + textwrap.dedent(steps), LIB_NORMAL,
                          setup='CALL_PREFIX, CALL_LIMIT = %r, %d\n' % (CALL_PREFIX, CALL_LIMIT),
                          extra_env={'PYTHONMALLOC': 'malloc'})
        calls = [line[len(CALL_PREFIX):] for line in child.stdout.decode().splitlines() if line.startswith(CALL_PREFIX)]
        if child.returncode == -signal.SIGALRM:
            self.fail('%s did not return within %d s' % (calls[-1] if calls else 'setup', CALL_LIMIT))
        self.assertEqual((child.returncode, child.stderr), (0, b''), child.stderr)
        return child.result

    def test_endless_this_is_refused_everywhere(self):
        result = self.run_calls('''
            attribute, classic, first, second = Holder(), ClassicHolder(), Holder(), Holder()
            attribute.this, classic.this, first.this, second.this = attribute, classic, second, first
            endless = [('this attribute', attribute), ('classic this attribute', classic),
                       ('this property', property_holder(lambda holder: holder)), ('this cycle', first)]

            # (function name, argument number, the call given the object)
            calls = []
            records = []
            for record, _, fields in kt_record_fields.RECORDS:
                target = getattr(_Tavrel, 'new_' + record)()
                records.append((record, target))
                for field, _, _, _ in fields:
                    getter, setter = ['%s_%s_%s' % (record, field, op) for op in ('get', 'set')]
                    calls += [(getter, 1, lambda x, f=getattr(_Tavrel, getter): f(x)),
                              (setter, 1, lambda x, f=getattr(_Tavrel, setter): f(x, None)),
                              (setter, 2, lambda x, f=getattr(_Tavrel, setter), t=target: f(t, x))]
                calls.append(('delete_' + record, 1, getattr(_Tavrel, 'delete_' + record)))
            calls.append(('delete_KT_INTERFACE', 1, _Tavrel.delete_KT_INTERFACE))
            for name, _, _, items in tavrel_wrapper_kinds.WRAPPERS:
                calls.append(('KT_INTERFACE_' + name, 1,
                              lambda x, f=getattr(_Tavrel, 'KT_INTERFACE_' + name), n=len(items): f(x, *[None] * n)))

            mismatches = []
            for name, argument, call in calls:
                wrong_type = outcome(call, object())
                for form, holder in endless:
                    got = guarded('%s, argument %d, %s' % (name, argument, form), call, holder)
                    if got != wrong_type or got[0] != 'TypeError':
                        mismatches.append([name, argument, form, got, wrong_type])
            for record, target in records:
                getattr(_Tavrel, 'delete_' + record)(target)
            result['calls'] = len(calls)
            result['mismatches'] = mismatches
        ''')
        self.assertEqual(result['mismatches'], [])
        self.assertGreater(result['calls'], 500)

    def test_chains_that_end_still_convert(self):
        # The runtime's own conversions (char * values, the certificate list, the table's
        # delete), through a chain of holders and through a property that gives a new
        # pointer object at each read, which only the conversion holds.
        result = self.run_calls('''
            text = ctypes.create_string_buffer(b'issuer')
            text_pointer = lambda _: probe.pointer(ctypes.addressof(text), 'char *')
            certificates = ctypes.create_string_buffer(8)
            list_pointer = lambda _: probe.pointer(ctypes.addressof(certificates), 'KT_CERT_INFO_EX **')
            info, store = _Tavrel.new_KT_CERT_INFO(), _Tavrel.new_KT_CERTIFICATES()
            for form, wrap in [('chain', lambda make: chain(make(None), 3)), ('property', property_holder)]:
                _Tavrel.KT_CERT_INFO_pszIssuer_set(info, None)
                _Tavrel.KT_CERTIFICATES_ppCertificates_set(store, None)
                table = _Tavrel.new_KT_INTERFACE()
                result[form] = [
                    guarded('pszIssuer_set, ' + form, _Tavrel.KT_CERT_INFO_pszIssuer_set, info, wrap(text_pointer)),
                    _Tavrel.KT_CERT_INFO_pszIssuer_get(info).decode(),
                    guarded('ppCertificates_set, ' + form, _Tavrel.KT_CERTIFICATES_ppCertificates_set, store,
                            wrap(list_pointer)),
                    int(_Tavrel.KT_CERTIFICATES_ppCertificates_get(store)) == ctypes.addressof(certificates),
                    guarded('delete_KT_INTERFACE, ' + form, _Tavrel.delete_KT_INTERFACE, wrap(lambda _: table)),
                    table.own()]
            fresh_table = property_holder(lambda _: _Tavrel.new_KT_INTERFACE())
            result['fresh table'] = guarded('delete_KT_INTERFACE, fresh', _Tavrel.delete_KT_INTERFACE, fresh_table)
            _Tavrel.delete_KT_CERT_INFO(info)
            _Tavrel.delete_KT_CERTIFICATES(store)
        ''')
        converted = [['ok', None], 'issuer', ['ok', None], True, ['ok', None], False]
        self.assertEqual(result, {'chain': converted, 'property': converted, 'fresh table': ['ok', None]})


if __name__ == '__main__':
    unittest.main()
