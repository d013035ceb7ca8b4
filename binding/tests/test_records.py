"""The record classes: every field of every record through its setter and getter, the
records' layouts as seen through their addresses, new, delete and registration, and the
refusal of null, foreign and stale records. Driven by the field tables."""
from __future__ import print_function

import ctypes
import struct
import sys
import unittest

import _Tavrel
import _tavrel_record_probe as probe
import kt_record_fields
from tavrel_compat import as_bytes, long_type
from tavrel_testing import ChildTestCase, LIB_NORMAL

RECORDS = kt_record_fields.RECORDS

# type text: (struct format, smallest, largest)
INTEGERS = {
    'WORD': ('<H', 0, 65535),
    'int': ('<i', -2 ** 31, 2 ** 31 - 1),
    'unsigned long': ('<Q', 0, 2 ** 64 - 1),
    'unsigned long long': ('<Q', 0, 2 ** 64 - 1),
}
TEXT, TIME, CERT_LIST = 'char *', 'SYSTEMTIME', 'KT_CERT_INFO_EX **'
FIELD_KINDS = tuple(INTEGERS) + (TEXT, 'char []', TIME, CERT_LIST)
# Further names of record types: an object of any of them is accepted.
ALIASES = {
    'SYSTEMTIME': ['PSYSTEMTIME', 'SYSTEMTIME *'],
    'KT_SIGN_INFO': ['KT_ENVELOP_INFO *', 'PKT_SIGN_INFO', 'PKT_ENVELOP_INFO'],
    'KT_KEY_MEDIA': ['PKT_KEY_MEDIA'],
    'KT_CERT_OWNER_INFO': ['PKT_CERT_OWNER_INFO'],
    'KT_CERT_INFO': ['PKT_CERT_INFO'],
    'KT_USER_INFO': ['PKT_USER_INFO'],
}


def kind(type_text):
    return 'char []' if type_text.startswith('char [') else type_text


def array_size(type_text):
    return int(type_text[len('char ['):-1])


def fields(*kinds):
    """(record, field, type text, offset, width) of every field of the given kinds."""
    return [(record, name, type_text, offset, width)
            for record, _, record_fields in RECORDS
            for name, type_text, offset, width in record_fields if kind(type_text) in kinds]


def function(record, field, op):
    return getattr(_Tavrel, '%s_%s_%s' % (record, field, op))


def raw(obj, offset, width):
    return ctypes.string_at(int(obj) + offset, width)


def pointer_at(obj, offset):
    return struct.unpack('<Q', raw(obj, offset, 8))[0]


def self_type(record):
    return ('_SYSTEMTIME' if record == 'SYSTEMTIME' else record) + ' *'


def outcome(function, obj):
    """function(obj), or the class of what it raises (Python 3's pointer objects have no hex())."""
    try:
        return function(obj)
    except TypeError as e:
        return type(e)


def arg_error(name, argument, type_text):
    return "in method '%s', argument %d of type '%s'" % (name, argument, type_text)


class RecordTestCase(unittest.TestCase):
    def new(self, record):
        """A new record, deleted when the test ends."""
        obj = getattr(_Tavrel, 'new_' + record)()
        self.addCleanup(getattr(_Tavrel, 'delete_' + record), obj)
        return obj

    def time(self, first=0):
        """A new SYSTEMTIME whose fields read first, first + 1, ..."""
        t = self.new('SYSTEMTIME')
        for i, (name, _, _, _) in enumerate(RECORDS[0][2]):
            function('SYSTEMTIME', name, 'set')(t, first + i)
        return t

    def valid_value(self, type_text):
        return {TEXT: b'x', 'char []': b'x', TIME: self.time(), CERT_LIST: None}.get(kind(type_text), 1)

    def record_functions(self, record, record_fields):
        """(name, call with item 1) of every accessor of the record; setters get a valid value."""
        calls = []
        for name, type_text, _, _ in record_fields:
            value = self.valid_value(type_text)
            calls.append(('%s_%s_get' % (record, name), function(record, name, 'get')))
            calls.append(('%s_%s_set' % (record, name),
                          lambda obj, setter=function(record, name, 'set'), v=value: setter(obj, v)))
        return calls

    def assertFails(self, error, text, call, *args):
        with self.assertRaises(error) as raised:
            call(*args)
        self.assertEqual(str(raised.exception), text)


class LayoutTest(RecordTestCase):
    def test_new_records_are_zero(self):
        zero = {'char []': b'', TEXT: None, CERT_LIST: None}
        for record, size, record_fields in RECORDS:
            obj = self.new(record)
            self.assertEqual((type(obj).__name__, obj.own()), ('SwigPyObject', True), record)
            self.assertEqual(raw(obj, 0, size), b'\0' * size, record)
            for name, type_text, offset, _ in record_fields:
                value = function(record, name, 'get')(obj)
                if type_text == TIME:
                    self.assertEqual((int(value), value.own()), (int(obj) + offset, False), name)
                else:
                    self.assertEqual((type(value), value), (type(zero.get(kind(type_text), 0)),
                                                            zero.get(kind(type_text), 0)), name)

    def fill(self, record, obj, record_fields):
        """Sets every field in the given order to a value of its own; the record's expected
        bytes, texts that char * fields point to at (offset, text)."""
        image, texts = {}, []
        for i, (name, type_text, offset, width) in enumerate(record_fields):
            if type_text in INTEGERS:
                fmt, _, largest = INTEGERS[type_text]
                value = (0x0102030405060708 * (i + 1)) % largest
                if type_text == 'int':
                    value = -value // 3
                data = struct.pack(fmt, value)
            elif type_text == TEXT:
                value = as_bytes('text of ' + name)
                texts.append((offset, value))
            elif kind(type_text) == 'char []':
                value = as_bytes(chr(ord('A') + i % 26) * (width - 1))
                data = value + b'\0'
            elif type_text == TIME:
                value = self.time(i * 8)
                data = struct.pack('<8H', *range(i * 8, i * 8 + 8))
            else:
                address = 0x1122334455667700 + i
                value = probe.pointer(address, 'KT_CERT_INFO_EX **')
                data = struct.pack('<Q', address)
            function(record, name, 'set')(obj, value)
            if type_text != TEXT:
                image[offset] = data
        return image, texts

    def test_fields_lie_at_their_offsets(self):
        # Forward and backward, so that a setter writing past either end of its field shows.
        for record, size, record_fields in RECORDS:
            for order in (record_fields, record_fields[::-1]):
                obj = self.new(record)
                image, texts = self.fill(record, obj, order)
                expected = bytearray(size)
                for offset, data in image.items():
                    expected[offset:offset + len(data)] = data
                for offset, text in texts:
                    self.assertEqual(ctypes.string_at(pointer_at(obj, offset)), text, (record, offset))
                    expected[offset:offset + 8] = raw(obj, offset, 8)
                self.assertEqual(raw(obj, 0, size), bytes(expected), record)


class IntegerFieldTest(RecordTestCase):
    def test_accepted_values(self):
        for record, name, type_text, offset, width in fields(*INTEGERS):
            fmt, smallest, largest = INTEGERS[type_text]
            obj = self.new(record)
            for value in (smallest, largest, True, 2 ** 31 - 1, sys.maxsize, sys.maxsize + 1):
                if not smallest <= value <= largest:
                    continue
                function(record, name, 'set')(obj, value)
                read = function(record, name, 'get')(obj)
                self.assertEqual((type(read), read), (int if value <= sys.maxsize else long_type, value),
                                 (record, name, value))
                self.assertEqual(raw(obj, offset, width), struct.pack(fmt, value), (record, name))

    def test_refused_values_change_nothing(self):
        for record, name, type_text, offset, width in fields(*INTEGERS):
            _, smallest, largest = INTEGERS[type_text]
            obj = self.new(record)
            setter = function(record, name, 'set')
            setter(obj, 7)
            text = arg_error('%s_%s_set' % (record, name), 2, type_text)
            for value in (smallest - 1, largest + 1):
                self.assertFails(OverflowError, text, setter, obj, value)
            for value in (2.5, b'1', u'1', None):
                self.assertFails(TypeError, text, setter, obj, value)
            self.assertEqual(function(record, name, 'get')(obj), 7, (record, name))


class TextFieldTest(RecordTestCase):
    def test_text_pointers(self):
        for record, name, _, offset, _ in fields(TEXT):
            obj = self.new(record)
            setter, getter = function(record, name, 'set'), function(record, name, 'get')
            for value, read in ((b'\xcf\xf0\xe8', b'\xcf\xf0\xe8'), (b'ab\0cd', b'ab'), (b'', b''), (None, None)):
                setter(obj, value)
                self.assertEqual(getter(obj), read, (record, name, value))
            self.assertEqual(pointer_at(obj, offset), 0)

            setter(obj, b'kept')
            text = arg_error('%s_%s_set' % (record, name), 2, TEXT)
            for value in (u'kept', 5):
                self.assertFails(TypeError, text, setter, obj, value)
            self.assertEqual(getter(obj), b'kept')

            # The field's own text as the new value (copied before the old one is released),
            # and a foreign text, which the record copies.
            setter(obj, probe.pointer(pointer_at(obj, offset), 'char *'))
            self.assertEqual(getter(obj), b'kept')
            foreign = ctypes.create_string_buffer(b'foreign')
            setter(obj, probe.pointer(ctypes.addressof(foreign), 'char *'))
            foreign.value = b'changed'
            self.assertEqual(getter(obj), b'foreign')

    def test_text_arrays(self):
        for record, name, type_text, offset, width in fields('char []'):
            size = array_size(type_text)
            obj = self.new(record)
            setter, getter = function(record, name, 'set'), function(record, name, 'get')
            longest = b'L' * (size - 1)
            setter(obj, longest)
            self.assertEqual((getter(obj), raw(obj, offset, width)), (longest, longest + b'\0'), name)

            text = arg_error('%s_%s_set' % (record, name), 2, type_text)
            too_long = ctypes.create_string_buffer(size * b'L')
            for value in (longest + b'L', probe.pointer(ctypes.addressof(too_long), 'char *'), u'x', 5):
                self.assertFails(TypeError, text, setter, obj, value)
            self.assertEqual(getter(obj), longest, name)

            for value, read in ((b's', b's'), (b'a\0b'[:size - 1], b'a'), (None, b'')):
                setter(obj, value)
                self.assertEqual((getter(obj), raw(obj, offset, width)),
                                 (read, value.ljust(width, b'\0') if value else b'\0' * width), (name, value))
            short = ctypes.create_string_buffer(b'p')
            setter(obj, probe.pointer(ctypes.addressof(short), 'char *'))
            self.assertEqual(getter(obj), b'p')
            ctypes.memmove(int(obj) + offset, b'F' * width, width)  # no NUL, as a library may leave it
            self.assertEqual(getter(obj), b'F' * width)


class TimeFieldTest(RecordTestCase):
    def test_views_and_copies(self):
        for record, name, _, offset, _ in fields(TIME):
            obj = self.new(record)
            setter, getter = function(record, name, 'set'), function(record, name, 'get')
            view = getter(obj)
            self.assertEqual((int(view), int(getter(obj))), (int(obj) + offset,) * 2)
            _Tavrel.SYSTEMTIME_wDay_set(view, 31)
            self.assertEqual(raw(obj, offset + 6, 2), struct.pack('<H', 31), name)

            t = self.time(100)
            setter(obj, t)
            _Tavrel.SYSTEMTIME_wYear_set(t, 1)
            self.assertEqual(raw(obj, offset, 16), struct.pack('<8H', *range(100, 108)), name)
            setter(obj, view)  # onto itself
            self.assertEqual(raw(obj, offset, 16), struct.pack('<8H', *range(100, 108)), name)

            text = arg_error('%s_%s_set' % (record, name), 2, 'SYSTEMTIME *')
            for value in (None, self.new('KT_KEY_MEDIA'), 5):
                self.assertFails(TypeError, text, setter, obj, value)
            self.assertEqual(raw(obj, offset, 16), struct.pack('<8H', *range(100, 108)), name)

    def test_views_of_two_fields_are_independent(self):
        info = self.new('KT_CRL_INFO')
        _Tavrel.KT_CRL_INFO_stThisUpdate_set(info, self.time(1))
        _Tavrel.KT_CRL_INFO_stNextUpdate_set(info, _Tavrel.KT_CRL_INFO_stThisUpdate_get(info))
        _Tavrel.SYSTEMTIME_wYear_set(_Tavrel.KT_CRL_INFO_stNextUpdate_get(info), 2030)
        self.assertEqual(_Tavrel.SYSTEMTIME_wYear_get(_Tavrel.KT_CRL_INFO_stThisUpdate_get(info)), 1)


class CertificateListFieldTest(RecordTestCase):
    def test_pointer_field(self):
        obj = self.new('KT_CERTIFICATES')
        setter, getter = _Tavrel.KT_CERTIFICATES_ppCertificates_set, _Tavrel.KT_CERTIFICATES_ppCertificates_get
        for alias in ('PPKT_CERT_INFO_EX', 'PKT_CERT_INFO_EX *', CERT_LIST):
            setter(obj, probe.pointer(0x1234, alias))
            self.assertEqual((int(getter(obj)), getter(obj).own(), pointer_at(obj, 8)), (0x1234, False, 0x1234))
        text = arg_error('KT_CERTIFICATES_ppCertificates_set', 2, CERT_LIST)
        for value in (probe.pointer(0x1234, 'KT_CERT_INFO_EX *'), b'x'):
            self.assertFails(TypeError, text, setter, obj, value)
        setter(obj, None)
        self.assertIsNone(getter(obj))


class RecordArgumentTest(RecordTestCase):
    def test_other_objects_are_refused(self):
        for i, (record, _, record_fields) in enumerate(RECORDS):
            other_record = RECORDS[(i + 1) % len(RECORDS)][0]
            other = self.new(other_record)
            foreign = [probe.pointer(int(other), self_type(other_record)), 5, b'x']
            for name, call in self.record_functions(record, record_fields) + [
                    ('delete_' + record, getattr(_Tavrel, 'delete_' + record))]:
                for obj in [other] + foreign:
                    self.assertFails(TypeError, arg_error(name, 1, self_type(record)), call, obj)
            self.assertTrue(other.own())

    def test_null_record(self):
        # Getters refuse None; setters store nothing; delete does nothing.
        for record, _, record_fields in RECORDS:
            for name, call in self.record_functions(record, record_fields):
                if name.endswith('_get'):
                    self.assertFails(TypeError, arg_error(name, 1, self_type(record)), call, None)
                else:
                    self.assertIsNone(call(None), name)
            self.assertIsNone(getattr(_Tavrel, 'delete_' + record)(None))
        self.assertFails(TypeError, arg_error('KT_KEY_MEDIA_szPassword_set', 2, 'char [65]'),
                         _Tavrel.KT_KEY_MEDIA_szPassword_set, None, b'p' * 65)

    def test_objects_of_other_modules(self):
        # Any pointer object of the record's type, under any alias, wherever it points: the
        # memory is the business of the module that made it.
        for record, size, record_fields in RECORDS:
            obj = self.new(record)
            setter = function(record, record_fields[0][0], 'set')
            for alias in ALIASES.get(record, []) + [self_type(record)]:
                setter(probe.pointer(int(obj), alias), 1)
                self.assertEqual(function(record, record_fields[0][0], 'get')(obj), 1, alias)
            foreign = ctypes.create_string_buffer(size)
            other = probe.pointer(ctypes.addressof(foreign), self_type(record))
            setter(other, 1)
            self.assertEqual(function(record, record_fields[0][0], 'get')(other), 1, record)
            self.assertIsNone(getattr(_Tavrel, 'delete_' + record)(other))  # not the registry's: kept
            self.assertEqual(function(record, record_fields[0][0], 'get')(other), 1, record)
        info = self.new('KT_SIGN_INFO')
        device = self.new('KT_KEY_MEDIA_DEVICE_INFO')  # the size of a KT_CERTIFICATES
        inside = probe.pointer(int(info) + 150, 'SYSTEMTIME *')  # wMonth of the time field
        _Tavrel.SYSTEMTIME_wYear_set(inside, 12)
        self.assertEqual(_Tavrel.SYSTEMTIME_wMonth_get(_Tavrel.KT_SIGN_INFO_Time_get(info)), 12)
        self.assertEqual(_Tavrel.KT_CERTIFICATES_dwCount_get(probe.pointer(int(device), 'KT_CERTIFICATES *')), 0)
        self.assertIsNone(_Tavrel.delete_SYSTEMTIME(inside))
        self.assertIsNone(_Tavrel.delete_KT_CERTIFICATES(probe.pointer(int(device), 'KT_CERTIFICATES *')))
        self.assertEqual(_Tavrel.KT_KEY_MEDIA_DEVICE_INFO_dwVersion_get(device), 0)

    def test_views_of_records_of_other_modules(self):
        _, size, record_fields = [r for r in RECORDS if r[0] == 'KT_TIME_INFO'][0]
        foreign = ctypes.create_string_buffer(size)
        view = _Tavrel.KT_TIME_INFO_Time_get(probe.pointer(ctypes.addressof(foreign), 'KT_TIME_INFO *'))
        _Tavrel.SYSTEMTIME_wYear_set(view, 2024)
        offset = [offset for name, _, offset, _ in record_fields if name == 'Time'][0]
        self.assertEqual((int(view) - ctypes.addressof(foreign), _Tavrel.SYSTEMTIME_wYear_get(view)), (offset, 2024))

    def test_other_modules_take_this_modules_records(self):
        info = self.new('KT_SIGN_INFO')
        view = _Tavrel.KT_SIGN_INFO_Time_get(info)
        self.assertEqual((probe.address(info, 'KT_SIGN_INFO *'), probe.address(view, 'SYSTEMTIME *')),
                         (int(info), int(info) + 148))

    def test_a_record_deleted_through_another_modules_object(self):
        info = _Tavrel.new_KT_TIME_INFO()
        view = _Tavrel.KT_TIME_INFO_Time_get(info)
        self.assertIsNone(_Tavrel.delete_KT_TIME_INFO(probe.pointer(int(info), 'KT_TIME_INFO *')))
        # This module's own objects of the record now miss it, and delete frees it no more.
        self.assertRaises(TypeError, _Tavrel.KT_TIME_INFO_dwVersion_get, info)
        self.assertRaises(TypeError, _Tavrel.SYSTEMTIME_wYear_get, view)
        self.assertEqual((_Tavrel.delete_KT_TIME_INFO(info), info.own()), (None, False))


class Flip(object):
    """A record holder whose `this` gives the objects in turn, the last one from then on (an
    attribute: an object without an instance dictionary)."""
    __slots__ = ('objects', 'reads')

    def __init__(self, *objects):
        self.objects, self.reads = list(objects), 0

    @property
    def this(self):
        self.reads += 1
        return self.objects.pop(0) if len(self.objects) > 1 else self.objects[0]


class ThisReadOnceTest(RecordTestCase):
    def test_a_deleted_record_then_a_live_foreign_one(self):
        # The first read gives a record this module deleted; a second read would give a live
        # pointer object of another module, which passes the liveness check. Every item reads
        # `this` once: the deleted record is refused, and the foreign memory is not touched.
        largest = max(size for _, size, _ in RECORDS)
        foreign = ctypes.create_string_buffer(largest)
        for record, _, record_fields in RECORDS:
            for name, call in self.record_functions(record, record_fields):
                dead = getattr(_Tavrel, 'new_' + record)()
                getattr(_Tavrel, 'delete_' + record)(dead)
                holder = Flip(dead, probe.pointer(ctypes.addressof(foreign), self_type(record)))
                self.assertFails(TypeError, arg_error(name, 1, self_type(record)), call, holder)
                self.assertEqual(holder.reads, 1, name)
        for record, name, _, offset, _ in fields(TIME):
            dead = _Tavrel.new_SYSTEMTIME()
            _Tavrel.delete_SYSTEMTIME(dead)
            holder = Flip(dead, probe.pointer(ctypes.addressof(foreign), 'SYSTEMTIME *'))
            target = self.new(record)
            self.assertFails(TypeError, arg_error('%s_%s_set' % (record, name), 2, 'SYSTEMTIME *'),
                             function(record, name, 'set'), target, holder)
            self.assertEqual(holder.reads, 1, name)
        self.assertEqual(foreign.raw, b'\0' * largest)

    def test_this_given_once_is_kept_for_the_call(self):
        # A `this` that gives a new record each time: the record lives until the call ends.
        class Fresh(object):
            __slots__ = ()

            @property
            def this(self):
                return _Tavrel.new_SYSTEMTIME()

        for name in ('wYear', 'wMonth'):
            self.assertEqual(function('SYSTEMTIME', name, 'get')(Fresh()), 0)
            self.assertIsNone(function('SYSTEMTIME', name, 'set')(Fresh(), 7))
        info = self.new('KT_SIGN_INFO')
        _Tavrel.KT_SIGN_INFO_Time_set(info, Fresh())
        self.assertEqual(_Tavrel.SYSTEMTIME_wYear_get(_Tavrel.KT_SIGN_INFO_Time_get(info)), 0)


class DeletedWhileConvertingTest(RecordTestCase):
    text = ctypes.create_string_buffer(b'x')

    def deleting_value(self, type_text, delete):
        """A valid value of the field's kind whose conversion first calls delete(): a `this`
        property, or for an integer the methods an integer conversion could call."""
        pointers = {TIME: lambda: self.time(),
                    TEXT: lambda: probe.pointer(ctypes.addressof(self.text), 'char *'),
                    'char []': lambda: probe.pointer(ctypes.addressof(self.text), 'char *'),
                    CERT_LIST: lambda: probe.pointer(0x1234, CERT_LIST)}
        if kind(type_text) in pointers:
            value = pointers[kind(type_text)]()

            class Holder(object):
                __slots__ = ()
                this = property(lambda _: (delete(), value)[1])
            return Holder()

        class Integer(int):
            def __index__(self):
                delete()
                return int(self)
            __int__ = __long__ = __trunc__ = __index__
        return Integer(1)

    def test_setters_refuse_a_record_deleted_by_their_value(self):
        # Nothing is written into the deleted record; it is refused as a deleted one is,
        # whether this module's object or another module's names it, and whichever object
        # deleted it. Integer conversions run no script code today: their setters store the
        # value.
        for record, name, type_text, _, _ in fields(*FIELD_KINDS):
            for foreign in (False, True):
                target = getattr(_Tavrel, 'new_' + record)()
                named = probe.pointer(int(target), self_type(record)) if foreign else target
                deleted = []

                def delete(target=target, record=record, foreign=foreign):
                    if not deleted:
                        through = probe.pointer(int(target), self_type(record)) if foreign else target
                        deleted.append(getattr(_Tavrel, 'delete_' + record)(through))
                value = self.deleting_value(type_text, delete)
                setter = '%s_%s_set' % (record, name)
                try:
                    got = function(record, name, 'set')(named, value)
                except TypeError as e:
                    got = str(e)
                if deleted:
                    self.assertEqual(got, arg_error(setter, 1, self_type(record)), (setter, foreign))
                else:
                    self.assertEqual((type_text in INTEGERS, got), (True, None), setter)
                    self.assertEqual(function(record, name, 'get')(named), 1, setter)
                    getattr(_Tavrel, 'delete_' + record)(target)


class LifetimeTest(RecordTestCase):
    def test_deleted_records_are_out_of_reach(self):
        for record, _, record_fields in RECORDS:
            obj = getattr(_Tavrel, 'new_' + record)()
            for name, type_text, _, _ in record_fields:
                if type_text == TEXT:
                    function(record, name, 'set')(obj, as_bytes(name))  # released with the record
            views = [function(record, name, 'get')(obj) for name, type_text, _, _ in record_fields
                     if type_text == TIME]
            delete = getattr(_Tavrel, 'delete_' + record)
            self.assertEqual([delete(obj), obj.own(), delete(obj)], [None, False, None], record)
            for name, call in self.record_functions(record, record_fields):
                self.assertFails(TypeError, arg_error(name, 1, self_type(record)), call, obj)
            for view in views:
                self.assertFails(TypeError, arg_error('SYSTEMTIME_wYear_set', 1, '_SYSTEMTIME *'),
                                 _Tavrel.SYSTEMTIME_wYear_set, view, 1)
                self.assertFails(TypeError, arg_error('KT_TIME_INFO_Time_set', 2, 'SYSTEMTIME *'),
                                 _Tavrel.KT_TIME_INFO_Time_set, self.new('KT_TIME_INFO'), view)
                self.assertIsNone(_Tavrel.delete_SYSTEMTIME(view))

    def test_stale_objects_miss_a_new_record_at_their_address(self):
        info = _Tavrel.new_KT_TIME_INFO()
        view = _Tavrel.KT_TIME_INFO_Time_get(info)
        _Tavrel.delete_KT_TIME_INFO(info)
        # The allocator of a plain build hands the address out again at once.
        newer = [self.new('KT_TIME_INFO') for _ in range(4)]
        self.assertRaises(TypeError, _Tavrel.KT_TIME_INFO_dwVersion_set, info, 9)
        self.assertRaises(TypeError, _Tavrel.SYSTEMTIME_wYear_set, view, 9)
        self.assertIsNone(_Tavrel.delete_KT_TIME_INFO(info))
        for obj in newer:
            self.assertEqual((_Tavrel.KT_TIME_INFO_dwVersion_get(obj), raw(obj, 0, 52)), (0, b'\0' * 52))

    def test_delete_leaves_views_alone(self):
        info = self.new('KT_SIGN_INFO')
        view = _Tavrel.KT_SIGN_INFO_Time_get(info)
        self.assertIsNone(_Tavrel.delete_SYSTEMTIME(view))
        _Tavrel.SYSTEMTIME_wMonth_set(view, 12)
        self.assertEqual(raw(info, 150, 2), struct.pack('<H', 12))


class ScriptViewTest(RecordTestCase):
    def test_objects_show_their_record_only(self):
        for record, _, record_fields in RECORDS:
            obj = self.new(record)
            self.assertEqual((repr(obj).count('<Swig Object'), obj.next()), (1, None), repr(obj))
            for name, type_text, _, _ in record_fields:
                if type_text == TIME:
                    view = function(record, name, 'get')(obj)
                    self.assertEqual((repr(view).count('<Swig Object'), view.next()), (1, None), repr(view))
        # Otherwise they behave as the runtime's own pointer objects.
        info = self.new('KT_CERT_INFO')
        plain = probe.pointer(int(info), 'KT_CERT_INFO *')
        self.assertEqual((type(info).__name__, outcome(hex, info), outcome(oct, info), info == plain, info.own()),
                         ('SwigPyObject', outcome(hex, plain), outcome(oct, plain), True, True))


class RegisteredClassTest(ChildTestCase):
    def test_script_classes(self):
        child = self.run_child('''
            import kt_record_fields
            classes = {}
            for record, _, _ in kt_record_fields.RECORDS:
                class Record:
                    __swig_destroy__ = getattr(_Tavrel, 'delete_' + record)
                    def __init__(self, record=record):
                        self.this = getattr(_Tavrel, 'new_' + record)()
                classes[record] = Record
                getattr(_Tavrel, record + '_swigregister')(Record)

            made = [type(_Tavrel.new_KT_CRL_INFO()).__name__]   # released by its class
            info = classes['KT_CRL_INFO']()
            _Tavrel.KT_CRL_INFO_pszIssuer_set(info, b'issuer')
            view = _Tavrel.KT_CRL_INFO_stThisUpdate_get(info)
            result['view'] = [isinstance(view, classes['SYSTEMTIME']), view.this.own()]
            result['delete'] = [outcome(_Tavrel.delete_KT_CRL_INFO, info), info.this.own()]
            del info                                            # freed once
            other = classes['KT_SIGN_INFO']()
            _Tavrel.KT_SIGN_INFO_pszIssuer_set(other, b'issuer')
            kept = _Tavrel.KT_SIGN_INFO_Time_get(other)
            del other                                           # released with its text
            result['view of a released record'] = outcome(_Tavrel.SYSTEMTIME_wYear_get, kept)[0]
            result['made'] = made
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {
            'made': ['SwigPyObject'],
            'view': [True, False],
            'delete': [['ok', None], False],
            'view of a released record': 'TypeError',
        })
        self.assertEqual(child.stdout, b'')  # the runtime reports no leaked record


    def test_what_the_runtime_cannot_use_is_refused(self):
        # Every registration function; the class registered before stays. The runtime makes
        # instances with __new__(cls) and destroys through __swig_destroy__ with a pointer
        # object: only the type's own delete function may be that.
        child = self.run_child('''
            import sys
            import _warnings
            import _tavrel_record_probe as probe
            import kt_record_fields
            class Earlier(object):
                pass
            class BadDestroy(object):
                __swig_destroy__ = 5
            class BadNew(object):
                __new__ = 5
            class NewWithArgument(object):
                def __new__(cls, argument):
                    return object.__new__(cls)
            class NewOfAnother(object):
                def __new__(cls):
                    return Earlier()
            unusable = [42, 'text', None, Earlier(), BadDestroy, BadNew, NewWithArgument, NewOfAnother]
            keep = []
            types = [(record, ('_SYSTEMTIME' if record == 'SYSTEMTIME' else record) + ' *')
                     for record, _, _ in kt_record_fields.RECORDS] + [('KT_INTERFACE', 'KT_INTERFACE *')]
            for record, type_name in types:
                register = getattr(_Tavrel, record + '_swigregister')
                register(Earlier)
                another_delete = _Tavrel.delete_SYSTEMTIME if record == 'KT_INTERFACE' else _Tavrel.delete_KT_INTERFACE
                destroys = [keep.append, _Tavrel.SWIG_PyInstanceMethod_New, sys.displayhook, _warnings.warn, len,
                            _Tavrel.KTUnload, another_delete]
                classes = unusable + [type('Destroying', (object,), {'__swig_destroy__': destroy})
                                      for destroy in destroys]
                result[record] = [outcome(register, value) for value in classes] + [
                    type(probe.instance(0x1000, type_name)).__name__]
            info = _Tavrel.new_KT_SIGN_INFO()
            result['view'] = type(_Tavrel.KT_SIGN_INFO_Time_get(info)).__name__
            _Tavrel.delete_KT_SIGN_INFO(info)
            # Owned records dropped while Earlier is registered: nothing of them was kept.
            for record, _ in types:
                getattr(_Tavrel, 'new_' + record)()
            result['kept'] = keep

            # __swig_destroy__ is read once: what is checked is what the runtime calls.
            class Flipping(type):
                reads = []
                @property
                def __swig_destroy__(cls):
                    Flipping.reads.append(1)
                    return _Tavrel.delete_KT_CRL_INFO if len(Flipping.reads) == 1 else 5
            result['read once'] = outcome(_Tavrel.KT_CRL_INFO_swigregister, Flipping('Flip', (object,), {}))
            record = _Tavrel.new_KT_CRL_INFO()
            del record  # released through what was read
            result['read once'] += [len(Flipping.reads)]
        ''', LIB_NORMAL)
        refused = [['TypeError', [text]] for text in [
            'swigregister takes a class, not int', 'swigregister takes a class, not str',
            'swigregister takes a class, not NoneType', 'swigregister takes a class, not Earlier']]
        not_own = '__swig_destroy__ of the class is not delete_%s'
        no_instance = ['TypeError', ['__new__ of the class makes no instance of it from the class alone']]
        expected = dict((record, refused + [['TypeError', [not_own % record]],
                                            ['TypeError', ['__new__ of the class cannot be called']], no_instance,
                                            no_instance] + [['TypeError', [not_own % record]]] * 7 + ['Earlier'])
                        for record in [record for record, _, _ in RECORDS] + ['KT_INTERFACE'])
        expected.update({'view': 'Earlier', 'kept': [], 'read once': ['ok', None, 1]})
        self.assertEqual(child.result, expected)


class StaleOwnerTest(ChildTestCase):
    def test_an_owner_whose_record_another_module_deleted_frees_nothing(self):
        # A plain build's allocator hands the address out again once its cache of freed
        # blocks of that size is full; the sanitizer's keeps freed blocks aside.
        child = self.run_child('''
            import _tavrel_record_probe as probe
            class TimeInfo:
                __swig_destroy__ = _Tavrel.delete_KT_TIME_INFO
            _Tavrel.KT_TIME_INFO_swigregister(TimeInfo)
            spare = [_Tavrel.new_KT_TIME_INFO() for _ in range(32)]
            info = _Tavrel.new_KT_TIME_INFO()
            for record in spare:
                _Tavrel.delete_KT_TIME_INFO(record)
            _Tavrel.delete_KT_TIME_INFO(probe.pointer(int(info), 'KT_TIME_INFO *'))
            newer = [_Tavrel.new_KT_TIME_INFO() for _ in range(32)]
            for record in newer:
                _Tavrel.KT_TIME_INFO_dwVersion_set(record, 5)
            del info  # owned, but its record is gone: releases nothing
            result['newer'] = [outcome(_Tavrel.KT_TIME_INFO_dwVersion_get, record) for record in newer]
        ''', LIB_NORMAL)
        self.assertEqual(child.result, {'newer': [['ok', 5]] * 32})


if __name__ == '__main__':
    unittest.main()
