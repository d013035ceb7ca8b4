"""Objects whose `this` never leads to a pointer object (an object that is its own `this`, a
`this` property that returns self, a cycle), and pointer objects whose chain of `next`
objects never ends (append closed it into a cycle), given to every function of the module
in each place that takes a pointer: each call ends and refuses them as it refuses an object
of another type, and their repr ends. Chains that do end, and `this` properties that give a
new pointer object at each read, still convert. Driven by the record field tables and the
wrapper kinds.

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

def next_cycle(*addresses):
    """Pointer objects of a type that no function takes, chained through `next` into a cycle."""
    objects = [probe.pointer(address, 'void *') for address in addresses]
    for first, second in zip(objects, objects[1:] + objects[:1]):
        first.append(second)
    return objects[0]

def property_holder(read):
    """A holder without an instance dictionary whose `this` property gives read(holder)."""
    class Read(object):
        __slots__ = ()
        this = property(read)
    return Read()
'''


class ChildCallsTestCase(unittest.TestCase):
    def run_calls(self, steps):
        """The child's result; fails naming the last call the child began when it did not
        return, or when the child did not end cleanly."""
        child = run_child(_HELPERS + textwrap.dedent(steps), LIB_NORMAL,
                          setup='CALL_PREFIX, CALL_LIMIT = %r, %d\n' % (CALL_PREFIX, CALL_LIMIT),
                          extra_env={'PYTHONMALLOC': 'malloc'})
        calls = [line[len(CALL_PREFIX):] for line in child.stdout.decode().splitlines() if line.startswith(CALL_PREFIX)]
        last = calls[-1] if calls else 'setup'
        if child.returncode == -signal.SIGALRM:
            self.fail('%s did not return within %d s' % (last, CALL_LIMIT))
        if (child.returncode, child.stderr) != (0, b''):
            self.fail('the child ended with %d after %s:\n%s' % (child.returncode, last, child.stderr[-3000:].decode()))
        return child.result


class EndlessThisTest(ChildCallsTestCase):
    def test_endless_this_is_refused_everywhere(self):
        result = self.run_calls('''
            attribute, classic, first, second = Holder(), ClassicHolder(), Holder(), Holder()
            attribute.this, classic.this, first.this, second.this = attribute, classic, second, first
            endless = [('this attribute', attribute), ('classic this attribute', classic),
                       ('this property', property_holder(lambda holder: holder)), ('this cycle', first),
                       ('own next', next_cycle(0x1000)), ('next cycle', next_cycle(0x1000, 0x2000, 0x3000))]

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


class NextChainTest(ChildCallsTestCase):
    def test_a_record_that_is_its_own_next(self):
        result = self.run_calls('''
            _Tavrel.KTLoad()
            table, info = _Tavrel.KTGetInterface(), _Tavrel.new_KT_CERT_INFO()
            p = _Tavrel.new_SYSTEMTIME()
            p.append(p)
            text = guarded('repr', repr, p)[1]
            result['repr'] = [text.count('<Swig Object'), text.endswith('>...')]
            result['calls'] = [guarded(label, call, *args) for label, call, args in [
                ('KT_INTERFACE_IsInitialized', _Tavrel.KT_INTERFACE_IsInitialized, (p,)),
                ('KT_CERT_INFO_pszIssuer_get', _Tavrel.KT_CERT_INFO_pszIssuer_get, (p,)),
                ('KT_CERT_INFO_pszIssuer_set', _Tavrel.KT_CERT_INFO_pszIssuer_set, (info, p)),
                ('delete_KT_INTERFACE', _Tavrel.delete_KT_INTERFACE, (p,)),
                ('SYSTEMTIME_wYear_get', _Tavrel.SYSTEMTIME_wYear_get, (p,))]]
            _Tavrel.delete_KT_CERT_INFO(info)
        ''')
        refused = lambda name, argument, type_text: [
            'TypeError', ["in method '%s', argument %d of type '%s'" % (name, argument, type_text)]]
        self.assertEqual(result, {
            'repr': [65, True],
            'calls': [refused('KT_INTERFACE_IsInitialized', 1, 'KT_INTERFACE *'),
                      refused('KT_CERT_INFO_pszIssuer_get', 1, 'KT_CERT_INFO *'),
                      refused('KT_CERT_INFO_pszIssuer_set', 2, 'char *'),
                      refused('delete_KT_INTERFACE', 1, 'KT_INTERFACE *'),
                      ['ok', 0]]})

    def test_64_links_convert(self):
        # The table behind `links` other objects through `next`; repr shows them all.
        result = self.run_calls('''
            _Tavrel.KTLoad()
            for links in (1, 64, 65):
                head = probe.pointer(0x1000, 'void *')
                head.append(_Tavrel.KTGetInterface())
                for _ in range(links - 1):
                    head.append(probe.pointer(0x2000, 'void *'))
                text = guarded('repr, %d links' % links, repr, head)[1]
                result[str(links)] = [guarded('%d links' % links, _Tavrel.KT_INTERFACE_IsInitialized, head),
                                      text.count('<Swig Object'), text.endswith('...')]
        ''')
        refused = ['TypeError', ["in method 'KT_INTERFACE_IsInitialized', argument 1 of type 'KT_INTERFACE *'"]]
        self.assertEqual(result, {'1': [['ok', False], 2, False], '64': [['ok', False], 65, False],
                                  '65': [refused, 65, True]})


    def test_a_long_chain_is_released(self):
        # Released link by link, not one C frame per link; owned records along it are
        # destroyed through their class.
        result = self.run_calls('''
            class TimeInfo(object):
                __swig_destroy__ = _Tavrel.delete_KT_TIME_INFO
            _Tavrel.KT_TIME_INFO_swigregister(TimeInfo)
            head = probe.pointer(0x1000, 'void *')
            for i in range(200000):
                head.append(_Tavrel.new_KT_TIME_INFO() if i % 1000 == 0 else probe.pointer(0x2000, 'void *'))
            kept = head.next()
            del head
            result['kept'] = [repr(kept).count('<Swig Object'), kept.own()]
            del kept
            result['released'] = True
        ''')
        self.assertEqual(result, {'kept': [65, False], 'released': True})


class HeldDictionaryTest(ChildCallsTestCase):
    """An instance dictionary that a key replaces while `this` is looked up or stored in it
    (its comparison sets the holder's __dict__) is held until the lookup or store ends."""
    HELPERS = '''
        class Replacing(object):
            """A key with the hash of 'this' that, once armed, replaces its holder's __dict__."""
            def __init__(self, holder):
                self.holder, self.armed = holder, False
            def __hash__(self):
                return hash('this')
            def __eq__(self, other):
                if self.armed:
                    self.armed = False
                    self.holder.__dict__ = {}
                return False

        class Big(object):
            """A `this` holder of the C allocator's size (Python 2.7 puts small objects apart)."""
            __slots__ = ['this'] + ['s%d' % i for i in range(80)]
            def __init__(self, this):
                self.this = this

        def replacing(holder, this=None):
            """holder, whose next lookup or store of `this` replaces its __dict__."""
            key = Replacing(holder)
            holder.__dict__[key] = 1
            for i in range(20):  # a table of its own allocation
                setattr(holder, 'a%d' % i, i)
            if this is not None:
                holder.this = Big(this)
            key.armed = True
            return holder
    '''

    def test_this_is_read_from_the_dictionary_it_was_in(self):
        result = self.run_calls(textwrap.dedent(self.HELPERS) + textwrap.dedent('''
            _Tavrel.KTLoad()
            text = ctypes.create_string_buffer(b'issuer')
            info, store, time = _Tavrel.new_KT_CERT_INFO(), _Tavrel.new_KT_CERTIFICATES(), _Tavrel.new_KT_SIGN_INFO()
            year = _Tavrel.new_SYSTEMTIME()
            _Tavrel.SYSTEMTIME_wYear_set(year, 2031)
            # (place, call given the holder, the pointer object it holds)
            places = [
                ('table', _Tavrel.KT_INTERFACE_IsInitialized, _Tavrel.KTGetInterface()),
                ('record', _Tavrel.SYSTEMTIME_wYear_get, year),
                ('time value', lambda h: _Tavrel.KT_SIGN_INFO_Time_set(time, h), year),
                ('text value', lambda h: _Tavrel.KT_CERT_INFO_pszIssuer_set(info, h),
                 probe.pointer(ctypes.addressof(text), 'char *')),
                ('certificate list value', lambda h: _Tavrel.KT_CERTIFICATES_ppCertificates_set(store, h),
                 probe.pointer(0x1234, 'KT_CERT_INFO_EX **')),
                ('table to delete', _Tavrel.delete_KT_INTERFACE, _Tavrel.new_KT_INTERFACE())]
            for place, call, pointer in places:
                result[place] = guarded(place, call, replacing(Holder(), pointer))
            result['stored'] = [_Tavrel.SYSTEMTIME_wYear_get(_Tavrel.KT_SIGN_INFO_Time_get(time)),
                                _Tavrel.KT_CERT_INFO_pszIssuer_get(info).decode(),
                                int(_Tavrel.KT_CERTIFICATES_ppCertificates_get(store))]
            for record, made in [('KT_CERT_INFO', info), ('KT_CERTIFICATES', store), ('KT_SIGN_INFO', time),
                                 ('SYSTEMTIME', year)]:
                getattr(_Tavrel, 'delete_' + record)(made)
        '''))
        self.assertEqual(result, {'table': ['ok', False], 'record': ['ok', 2031], 'time value': ['ok', None],
                                  'text value': ['ok', None], 'certificate list value': ['ok', None],
                                  'table to delete': ['ok', None], 'stored': [2031, 'issuer', 0x1234]})

    def test_this_is_stored_in_the_dictionary_it_was_given(self):
        # The instances the runtime makes of registered classes: a record's view, the table.
        result = self.run_calls(textwrap.dedent(self.HELPERS) + textwrap.dedent('''
            class Replaced(object):
                def __new__(cls):
                    return replacing(object.__new__(cls))
            for record in ('SYSTEMTIME', 'KT_INTERFACE'):
                getattr(_Tavrel, record + '_swigregister')(Replaced)
            _Tavrel.KTLoad()
            info = _Tavrel.new_KT_SIGN_INFO()
            result['made'] = [isinstance(guarded('view', _Tavrel.KT_SIGN_INFO_Time_get, info)[1], Replaced),
                              isinstance(guarded('table', _Tavrel.KTGetInterface)[1], Replaced)]
            _Tavrel.delete_KT_SIGN_INFO(info)
        '''))
        self.assertEqual(result, {'made': [True, True]})


if __name__ == '__main__':
    unittest.main()
