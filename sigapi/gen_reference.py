#!/usr/bin/env python3
"""Generates the module's reference and its type stub from the sources of its wrappers.

usage: gen_reference.py KT_FUNCTIONS_DEF WRAPPED_TXT WRAPPER_KINDS_TXT WRAPPER_GROUPS_TXT
                        TEMPLATE OUTPUT_MD OUTPUT_PYI
       gen_reference.py ... TEMPLATE --check COMMITTED_MD
                        (exit 1 with a diff when COMMITTED_MD is not what would be generated)

Inputs: the prototypes, the wrapped functions and the kind table (read as gen_wrappers.py
reads them), the groups with one line per wrapper, the records (records.txt, read as
gen_sigapi.py reads it), and the template: hand-written Markdown whose lines
"<!-- generated: NAME -->" are replaced by the generated sections (kinds, results, wrappers,
settings, constants, records).

Every wrapper of the kind table must be in exactly one group; every kind must be described
below; every `name` in a wrapper's line that looks like a library parameter must be one of
that wrapper's parameters.
"""
import difflib
import os
import re
import sys

import gen_sigapi
from gen_wrappers import PREFIX, load

# Errors, each described once in the template's section "Errors" (anchors there).
ARGUMENT = 'argument'      # TypeError/OverflowError, the argument-type message
BAD = 'bad'                # TypeError, error dictionary with code 2
RESOURCE = 'resource'      # TypeError, error dictionary with code 6
STATUS = 'status'          # RuntimeError, the library's status
ERRORS = {
    ARGUMENT: '[argument](#argument-type-errors)',
    BAD: '[code 2](#conversion-errors)',
    RESOURCE: '[code 6](#conversion-errors)',
    STATUS: '[RuntimeError](#the-error-dictionary)',
}

# kind -> (stub type, what the script passes, what comes back and where, errors)
# "the list" and "the dictionary" are the item's own, after success.
KINDS = {
    'number': ('int', 'integer, 0 to 2^64 - 1', None, {ARGUMENT}),
    'length': ('int', 'integer: the length of the byte string before it, at most that length + 1 '
               '(a larger one: code 2)', None, {ARGUMENT, BAD}),
    'flag': ('int', 'integer, -2^31 to 2^31 - 1 (True, False)', None, {ARGUMENT}),
    'text': ('_Text', 'byte string (passed as it is), Unicode string (encoded "cp1251"), None (no text); '
             'any other object passes no text. A list lends the library a text buffer instead',
             'a list given: one Unicode string, the buffer\'s text', {BAD, RESOURCE}),
    'written-text': ('_Text', 'byte string or Unicode string (encoded "cp1251"), copied into a buffer of the '
                     'call\'s own of 1153 bytes, so the library never writes into the script\'s string (a longer '
                     'text: code 2); None (no text); any other object passes no text. A list lends the library a '
                     'text buffer instead', 'a list given: one Unicode string, the buffer\'s text', {BAD, RESOURCE}),
    'lent-text': ('List[Text]', 'list, required: the library writes into a text buffer',
                  'the list: one Unicode string', {BAD, RESOURCE}),
    'bytes': ('Optional[bytes]', 'byte string, or None for no bytes (a Unicode string is refused)',
              None, {BAD, RESOURCE}),
    'text-out': ('_Out[bytes]', 'list to receive the text; anything else: not requested',
                 'the list: one byte string (not decoded), or None. Beside a [bytes-out](#kind-bytes-out) '
                 '(signatures, signed data, envelopes, hashes, certificates) it is the base64 form of those '
                 'bytes, on one line', {BAD, RESOURCE}),
    'decoded-text-out': ('_Out[Text]', 'list to receive the text; anything else: not requested',
                         'the list: one Unicode string, or None', {BAD, RESOURCE}),
    'bytes-out': ('_Out[bytes]', 'list to receive the bytes; anything else: not requested',
                  'the list: one byte string, or None', {BAD, RESOURCE}),
    'number-out': ('Optional[List[int]]', 'list to receive the number; anything else: not requested',
                   'the list: one integer', {BAD, RESOURCE}),
    'flag-out': ('Optional[List[bool]]', 'list to receive the flag; anything else: not requested',
                 'the list: True or False', {BAD, RESOURCE}),
    'context-out': ('_Filled[Handle]', 'list, required', 'the list: the new library context (a handle object), '
                    'or None; free it with `KT_INTERFACE_CtxFree`', {BAD, RESOURCE}),
    'private-key-out': ('_Filled[Handle]', 'list, required', 'the list: the new private-key context (a handle '
                        'object), or None; free it with `KT_INTERFACE_CtxFreePrivateKey`', {BAD, RESOURCE}),
    'session-out': ('_Filled[Handle]', 'list, required', 'the list: the new session (a handle object), or None; '
                    'free it with `KT_INTERFACE_SessionDestroy`', {BAD, RESOURCE}),
    'handle': ('Optional[Handle]', 'handle object from a list that a handle output filled, or None; any pointer object '
               'of the module is taken unchecked, so pass the handle of the right kind, still alive',
               None, {ARGUMENT}),
    'time': ('Optional[SYSTEMTIME]', '[`SYSTEMTIME` record object](#the-systemtime-object) made by `new_SYSTEMTIME()`, '
             'or None', None, {ARGUMENT}),
    'value': ('int', 'integer from -2^63 to 2^64 - 1; its low 32 bits are passed. 2^64 and above, and '
              'below -2^63, raise code 2, as does under Python 2.7 a negative `long` (`-1L`, or `-2**63`, '
              'which is a `long` there)', None, {BAD}),
    'key-medium': ('{dict}', 'dictionary of exactly "dwTypeIndex", "dwDevIndex" (integers) and "szPassword" '
                   '(byte or Unicode string of at most 64 bytes, never cut: longer or holding a NUL, code 2; a Unicode string '
                   'that Windows-1251 cannot encode: code 6), its '
                   '[keys](#dictionary-keys) `str` or, under Python 3, `bytes`; anything else stands for the '
                   'zeroed medium (type 0, device 0, no password), a dictionary of another number of entries '
                   'included: under Python 3 one that names a key both ways holds four',
                   'a dictionary given: refilled with the medium as the library left it', {BAD, RESOURCE}),
    'key-medium-quiet': ('{dict}', 'as [key-medium](#kind-key-medium)',
                         'a dictionary given: refilled with the medium as the library left it; a refill that '
                         'fails (a password that does not decode) is not reported and leaves the dictionary as '
                         'passed (the call still succeeds and hands back its other outputs)',
                         {BAD, RESOURCE}),
    'user-info': ('Optional[{dict}]', 'dictionary with every key of the record (texts of at most their field\'s size less one '
                  'byte, never cut: a longer one, code 2; a Unicode text that Windows-1251 cannot encode: code 6); anything else passes none', 'a dictionary given: refilled from the record; "dwVersion" comes back '
                  'as the low 32 bits of the field read as signed (2^32 + 2^31 + 5 gives -2147483643)',
                  {BAD, RESOURCE}),
    'bytes-list': ('List[bytes]', 'non-empty list of byte strings', None, {BAD, RESOURCE}),
    'text-list': ('_Texts', 'non-empty list of byte or Unicode strings; an element that is empty or holds a '
                  'NUL raises code 2, since the library would read other texts than the list\'s (it reads the '
                  'texts up to an empty one)', None, {BAD, RESOURCE}),
    'certificates-out': ('_Out[bytes]', 'list to receive the certificates; anything else: not requested',
                         'the list: one byte string per certificate, or a single None when there is none',
                         {BAD, RESOURCE}),
    'random-bytes': ('List[bytes]', 'list, required', 'the list: one byte string of the count\'s length',
                     {BAD, RESOURCE}),
    'random-count': ('int', 'integer, 0 or more (anything else: code 2)', None, {BAD, RESOURCE}),
    'settings-get': ('Optional[Dict[str, Any]]', 'dictionary, or anything else to read nothing back',
                     'a dictionary given: emptied and filled with every key of the group', {RESOURCE}),
    'settings-set': ('Dict[str, Any]', 'dictionary, required, with every key of the group (other keys '
                     'are ignored)', None, {BAD, RESOURCE}),
    'settings-enumerate': ('Dict[str, Any]', 'dictionary, required',
                           'the dictionary: emptied and filled with the entry\'s keys', {BAD, RESOURCE}),
    'settings-lookup': ('Dict[str, Any]', 'dictionary, required, holding "szIssuerCN"',
                        'the dictionary: emptied and filled with the entry\'s keys', {BAD, RESOURCE}),
}
# Kinds that stand for a record handed back as a dictionary.
RECORD_OUTPUT = ('Optional[{dict}]', 'dictionary to receive the record; anything else: not '
                 'requested', 'the dictionary: emptied and filled with the record\'s fields',
                 {RESOURCE})

# result kind -> (stub type, what the wrapper returns, errors)
RESULTS = {
    'status': ('None', 'None; a status other than 0 raises RuntimeError', {STATUS}),
    'enumeration': ('bool', 'True, or False past the last item (status 7); another status raises '
                    'RuntimeError', {STATUS}),
    'bool': ('bool', 'True or False, the library\'s answer; never raises once the items convert', set()),
    'none': ('None', 'None; never raises once the items convert', set()),
}

# Record fields by gen_sigapi's field kind: (in a dictionary, through the record's getter, stub
# type of the getter, of the dictionary's value as it comes back, and as it goes in); a field
# with no dictionary form has None for the last two.
FIELD_VALUES = {
    'KT_FIELD_WORD': ('integer', 'integer', 'int', 'int', 'int'),
    'KT_FIELD_INT': ('True or False', 'integer', 'int', 'bool', 'int'),
    'KT_FIELD_ULONG': ('integer', 'integer', 'int', 'int', 'int'),
    'KT_FIELD_ULONGLONG': ('integer', 'integer', 'int', 'int', 'int'),
    'KT_FIELD_TEXT_PTR': ('Unicode string or None', 'byte string or None', 'Optional[bytes]', 'Optional[Text]',
                          'Union[bytes, Text, None]'),
    'KT_FIELD_TEXT_ARRAY': ('Unicode string', 'byte string', 'bytes', 'Text', 'Union[bytes, Text]'),
    'KT_FIELD_TIME': ('dictionary of the 8 `SYSTEMTIME` fields', '`SYSTEMTIME` view', 'SYSTEMTIME',
                      'SYSTEMTIME_dict', 'SYSTEMTIME_dict'),
    'KT_FIELD_CERT_LIST': ('(not converted)', 'pointer object or None', 'Any', None, None),
}

# The stub's own names, which the module does not hold: scripts use them in annotations only.
# Each class of them is marked CHECKER_ONLY (binding/stubtest_allowlist.txt names them all).
CHECKER_ONLY = '@type_check_only'
STUB_HEAD = '''from typing import Any, Dict, List, Optional, Text, TypeVar, TypedDict, Union, type_check_only

_T = TypeVar('_T')
# A text item: a byte string as it is, a Unicode string encoded, None for no text, or a list
# that lends the library a buffer.
_Text = Union[bytes, Text, None, List[Text]]
_Texts = Union[List[bytes], List[Text], List[Union[bytes, Text]]]
# An output list, refilled with one value; the script declares whether it expects None there.
# _Out may also be None: not requested.
_Filled = Union[List[_T], List[Optional[_T]]]
_Out = Optional[_Filled[_T]]

%s
class Handle:
    """A library context, private-key context or session, from a handle output's list."""
''' % CHECKER_ONLY


def dict_name(record):
    """The stub's TypedDict of a record's dictionary form."""
    return record.name + '_dict'


# The module's constants by group: (a regular expression that the whole name matches, or TEXTS
# for any text constant; what the group is for; the library parameters whose items take or give
# them back). A constant belongs to the first group it matches; a `<name>_LENGTH` after a text
# constant `<name>` or `<name>_PARAMETER` belongs to that constant's group. The values come
# from sigapi/constants.txt.
TEXTS = None
CONSTANT_GROUPS = [
    (r'NULL|FALSE|TRUE', 'A null pointer and the library\'s BOOL values; a flag item takes True and False '
     'as well.', ()),
    (r'KT_HEADER_\w+', 'The transport and crypto headers: the CA type, a text of at most '
     '`KT_HEADER_MAX_CA_TYPE_SIZE` bytes, and the type of the part under a crypto header.',
     ('pszCAType', 'dwHeaderType', 'pdwHeaderType')),
    (r'KT_\w+_CONTEXT_PARAMETER', 'Parameter names of a library context, each followed by the length of '
     'its value.', ('pszName',)),
    (TEXTS, 'Names of the library\'s runtime parameters, each followed by the length of its value.',
     ('pszParameterName',)),
    (r'KT_KEY_MEDIA_MAX_\w+', 'Limits of the key-media enumerations: types, and devices of one type.', ()),
    (r'KT_\w+_MAX_LENGTH', 'Sizes of the library\'s texts and text buffers (the [record classes]'
     '(#record-classes) give each text field\'s own): `KT_PASS_MAX_LENGTH` is that of a key medium\'s '
     '"szPassword", `KT_SIGNER_INFO_MAX_LENGTH` that of the text buffer that a list lends.', ()),
    (r'KT_KEY_MEDIA_SOURCE_TYPE_\w+', 'Key-media source types.', ()),
    (r'KT_SUBJECT_TYPE_\w+', 'Subject types of certificates: "dwSubjType" of a certificate\'s dictionary.', ()),
    (r'KT_SUBJECT_CA_SERVER_SUB_TYPE_\w+', 'The CA server a certificate is for: "dwSubjSubType" of a '
     'certificate\'s dictionary.', ()),
    (r'KT_DEV_CTX_\w+', 'Data identifiers and codes of device contexts, which the module does not wrap.', ()),
    (r'KT_\w+_VERSION(_\d+)?', 'Versions of the records that carry "dwVersion".', ()),
    (r'KT_CERT_KEY_TYPE_\w+', 'Public-key types: of the certificate asked for, and "dwPublicKeyType" of a '
     'certificate\'s dictionary.', ('dwCertKeyType',)),
    (r'KT_KEY_USAGE_\w+', 'Key usages: of the certificate asked for, and "dwKeyUsage" of a certificate\'s '
     'dictionary.', ('dwKeyUsage',)),
    (r'KT_KEYS_TYPE_\w+', 'Kinds of key to generate.', ('dwUAKeysType', 'dwInternationalKeysType')),
    (r'KT_KEYS_LENGTH_\w+', 'Key sizes to generate, or where the parameters come from (a file, a '
     'certificate): `DS_UA` and `KEP_UA` for the signing and key-agreement keys of the first kind, `DS_RSA` '
     'and `DS_ECDSA` for the international ones.', ('dwUADSKeysSpec', 'dwUAKEPKeysSpec', 'dwInternationalKeysSpec')),
    (r'KT_\w+_LANG', 'Languages of the library\'s error texts.', ()),
    (r'KT_\w+_ENCODING', 'Text encodings, as code-page numbers.', ()),
    (r'KT_RECIPIENT_APPEND_TYPE_\w+', 'How an envelope names each recipient: by the issuer and serial of '
     'the certificate, or by the key identifier.', ('dwRecipientAppendType',)),
    (r'KT_RECIPIENT_INFO_TYPE_\w+', 'How an envelope names a recipient, as read back.', ('pdwRecipientInfoType',)),
    (r'KT_SETTINGS_ID_\w+', 'Settings groups as bits; `KT_SETTINGS_ID_ALL` is all ten.', ()),
    (r'KT_OCSP_SERVER_STATE_\w+', 'States of an OCSP server.', ()),
    (r'KT_SIGN_TYPE_\w+', 'Signature types.', ('pdwSignType',)),
    (r'KT_PROXY_TYPE_\w+', 'Proxy types.', ()),
    (r'KT_CTX_HASH_ALGO_\w+', 'Hash algorithms of the library\'s context hash functions, which the module '
     'does not wrap.', ()),
    (r'KT_CTX_SIGN_\w+', 'Signature algorithms of signing through a private-key context and of COSE signing.',
     ('dwSignAlgo',)),
    (r'KT_REG_KEY_ROOT_PATH_\w+', 'Roots of the settings\' registry path.', ()),
    (r'KT_CONTENT_ENC_ALGO_\w+', 'Content encryption algorithms.', ()),
    (r'KT_CCS_TYPE_\w+', 'Certificate status changes: revoke, hold.', ()),
    (r'KT_REVOCATION_REASON_\w+', 'Revocation reasons.', ()),
    (r'KT_ASIC_\w+', 'ASiC containers: type, signature type and level.', ()),
    (r'KT_ZIP_\w+', 'Compression levels of ZIP containers.', ()),
]


def fail(msg):
    sys.exit('gen_reference: ' + msg)


PARAMETER_WORD = re.compile(r'`([a-z]+[A-Z]\w*)`')


def anchor(text):
    """GitHub's heading anchor."""
    return re.sub(r'[^\w\- ]', '', text.lower()).replace(' ', '-')


def kind_link(kind):
    return '[%s](#kind-%s)' % (kind, kind)


def read_groups(path, wrappers):
    groups, seen = [], {}
    for lineno, line in enumerate(open(path, encoding='utf-8'), 1):
        text = line.strip()
        if not text or text.startswith('#'):
            continue
        where = '%s:%d' % (os.path.basename(path), lineno)
        cells = [c.strip() for c in text.split('|')]
        if cells[0].startswith('group '):
            if len(cells) != 2:
                fail(where + ': expected "group <title> | <text>"')
            groups.append((cells[0][len('group '):], cells[1], []))
            continue
        if len(cells) != 2 or not groups:
            fail(where + ': expected "<Name> | <text>" after a group')
        name, summary = cells
        if name not in wrappers:
            fail('%s: %s is no wrapper of the kind table' % (where, name))
        if name in seen:
            fail('%s: %s is in two groups' % (where, name))
        parameters = {n for item in wrappers[name].items for _, n, _ in item[3]}
        for word in PARAMETER_WORD.findall(summary):
            if word not in parameters:
                fail('%s: %s has no parameter %s' % (where, name, word))
        seen[name] = where
        groups[-1][2].append((name, summary))
    missing = sorted(set(wrappers) - set(seen))
    if missing:
        fail('wrappers in no group of %s: %s' % (os.path.basename(path), ', '.join(missing)))
    return groups


class Records:
    """The records of records.txt, found by any of their type names."""

    def __init__(self):
        self.all = gen_sigapi.read_records()
        self.by_type = {}
        for r in self.all:
            for name in [r.name, r.tag] + r.also + r.pointers + r.pointers2:
                if name:
                    self.by_type[name] = r

    def of(self, type_text):
        return self.by_type.get(type_text.replace('*', '').strip())


def kind_record(kind, table, records):
    """The record a kind of one parameter points to, or None."""
    pattern = table.kinds[kind]
    return records.of(pattern[0][0]) if pattern and len(pattern) == 1 else None


def kind_facts(kind, table, records):
    """(stub type, accepts, comes back, errors, record handed back or None) of a kind."""
    record = kind_record(kind, table, records)
    facts = KINDS.get(kind)
    if facts is None:
        if record is None:
            fail('the kind %s is not described in gen_reference.py' % kind)
        facts = RECORD_OUTPUT
    if '{dict}' in facts[0]:
        if record is None:
            fail('the kind %s is typed as a record\'s dictionary but is no record' % kind)
        facts = (facts[0].format(dict=dict_name(record)),) + facts[1:]
    return facts + (record if facts[2] else None,)


def records_passed_in(table, records):
    """The records whose dictionaries scripts pass in (a key medium, a user info): their stub
    form has every key, typed as the wrapper takes it."""
    return {kind_record(kind, table, records).name for kind in table.kinds
            if kind in KINDS and '{dict}' in KINDS[kind][0]}


def item_name(kind, taken):
    """A settings dictionary is `settings`; another item is named after its first library
    parameter that points to pointers (the buffer of a buffer with its length or count), else
    its first."""
    if kind.startswith('settings-'):
        return 'settings'
    return next((n for t, n, _ in taken if '**' in t), taken[0][1])


class Wrapper:
    def __init__(self, entry, table, records):
        self.name, self.subsystem, self.result, _, items = entry
        self.items = []
        for kind, group, taken, argnum in items:
            self.items.append((item_name(kind, taken), kind, group, taken, argnum,
                               kind_facts(kind, table, records)))

    @property
    def full(self):
        return PREFIX + self.name

    def call(self):
        return '%s(table%s)' % (self.full, ''.join(', ' + i[0] for i in self.items))

    def errors(self):
        found = set(RESULTS[self.result][2]) | {ARGUMENT}  # the table item
        for item in self.items:
            found |= item[5][3]
        return [ERRORS[e] for e in (ARGUMENT, BAD, RESOURCE, STATUS) if e in found]


def kinds_section(table, records):
    out = ['| kind | stands for (library parameters) | what the script passes | what comes back, where |',
           '|---|---|---|---|',
           '| <a id="kind-table"></a>`table` | the `KT_INTERFACE *` (not passed on) | the object that '
           '`KTGetInterface()` returned, while the library is loaded | - |']
    for kind in sorted(table.kinds):
        _, accepts, back, _, record = kind_facts(kind, table, records)
        pattern = table.kinds[kind]
        params = ('every parameter of the settings function' if pattern is None
                  else ', '.join('`%s`' % t for t, _ in pattern))
        if record is not None:
            back = '%s; keys: [`%s`](#%s)' % (back, record.name, anchor(record.name))
        out.append('| <a id="kind-%s"></a>`%s` | %s | %s | %s |' % (kind, kind, params, accepts, back or '-'))
    return '\n'.join(out)


def results_section():
    out = ['| result kind | the wrapper returns |', '|---|---|']
    for kind, (_, text, _) in RESULTS.items():
        out.append('| <a id="result-%s"></a>`%s` | %s |' % (kind, kind, text))
    return '\n'.join(out)


def wrapper_entry(w, summary):
    out = ['#### %s' % w.full, '', summary, '', '```', w.call(), '```', '',
           '| item | argument | kind | passes |', '|---|---|---|---|',
           '| `table` | 1 | %s | the object that `KTGetInterface()` returned |' % kind_link('table')]
    backs = []
    for name, kind, group, taken, argnum, facts in w.items:
        label = kind_link(kind) + (' (%s)' % group if group else '')
        params = ', '.join('`%s`' % n for _, n, _ in taken)
        if len(taken) > 1 and not kind.startswith('settings-'):
            label += ' for %s' % params
        numbers = str(argnum) if len(taken) == 1 else '%d-%d' % (argnum, argnum + len(taken) - 1)
        out.append('| `%s` | %s | %s | %s |' % (name, numbers, label, facts[1]))
        if facts[2]:
            backs.append('`%s`: %s' % (name, facts[2]))
    out += ['', '- Returns ([%s](#result-%s)): %s.' % (w.result, w.result, RESULTS[w.result][1])]
    if backs:
        out.append('- Back: ' + '; '.join(backs) + '.')
    out.append('- Raises: ' + ', '.join(w.errors()) + '.')
    return '\n'.join(out)


def wrappers_section(groups, wrappers):
    out = []
    for title, text, members in groups:
        out += ['### %s' % title, '', text, '']
        for name, summary in members:
            out += [wrapper_entry(wrappers[name], summary), '']
    return '\n'.join(out).rstrip()


def settings_section(wrappers):
    """The keys of each settings group, from its setter's parameters (a text's `p` dropped)."""
    groups = {}
    for w in wrappers.values():
        for _, kind, group, taken, _, _ in w.items:
            if group:
                entry = groups.setdefault(group, [[], None])
                entry[0].append(w.full)
                if kind == 'settings-set':
                    entry[1] = [(n[1:] if t == 'char *' else n, {'char *': 'text', 'BOOL': 'True or False',
                                                                 'DWORD': 'integer'}[t]) for t, n, _ in taken]
    out = ['| group | wrappers | keys, in the library\'s order |', '|---|---|---|']
    for group, (names, keys) in groups.items():
        if keys is None:
            fail('settings group %s has no setter' % group)
        out.append('| `%s` | %s | %s |' % (group, ', '.join('`%s`' % n for n in names),
                                          ', '.join('"%s" (%s)' % k for k in keys)))
    return '\n'.join(out)


def constant_group(name, value, texts):
    """The index in CONSTANT_GROUPS of a constant's group."""
    if name.endswith('_LENGTH'):
        stem = name[:-len('_LENGTH')]
        owner = next((n for n in (stem, stem + '_PARAMETER') if n in texts), None)
        if owner is not None:
            return constant_group(owner, texts[owner], texts)
    for index, (pattern, _, _) in enumerate(CONSTANT_GROUPS):
        if (value.startswith('"') if pattern is TEXTS else re.fullmatch(pattern, name)):
            return index
    fail('the constant %s is in no group of CONSTANT_GROUPS' % name)


def constants_section(constants, wrappers):
    texts = dict((n, v) for n, v in constants if v.startswith('"'))
    members = [[] for _ in CONSTANT_GROUPS]
    for name, value in constants:
        members[constant_group(name, value, texts)].append('`%s` %s' % (name, value))
    out = ['| constants, with their values | what they are for |', '|---|---|']
    for (pattern, text, parameters), names in zip(CONSTANT_GROUPS, members):
        if not names:
            fail('the constants group %s has no constant' % (pattern or 'of texts'))
        items = []
        for parameter in parameters:
            takers = ['`%s`' % w.full for w in wrappers.values()
                      if any(n == parameter for item in w.items for _, n, _ in item[3])]
            if not takers:
                fail('the constants group %s names %s, a parameter of no wrapper' % (pattern or 'of texts', parameter))
            items.append('`%s` of %s' % (parameter, ', '.join(takers)))
        if items:
            text += ' Items: %s.' % '; '.join(items)
        out.append('| %s | %s |' % (', '.join(names), text))
    return '\n'.join(out)


def records_section(records, users):
    out = []
    for r in records.all:
        out += ['### %s' % r.name, '']
        if r.name in users:
            out += ['Travels as a dictionary in: %s.' % ', '.join('`%s`' % n for n in users[r.name]), '']
        out += ['`new_%s()` makes one (%d zero bytes) that the object owns; `delete_%s(r)` frees it; '
                '`%s_swigregister(cls)` makes `cls` the class of the objects the module hands out.'
                % (r.name, r.size, r.name, r.name), '',
                '| field | C type | getter, setter | in a dictionary | through the getter |', '|---|---|---|---|---|']
        for name, type_text, _, _ in r.fields:
            in_dict, by_getter = FIELD_VALUES[gen_sigapi.field_kind(type_text)[0]][:2]
            out.append('| `%s` | `%s` | `%s_%s_get(r)`, `%s_%s_set(r, v)` | %s | %s |'
                       % (name, type_text, r.name, name, r.name, name, in_dict, by_getter))
        out.append('')
    return '\n'.join(out).rstrip()


def stub_dicts(records, passed_in):
    """Each record's dictionary form as a TypedDict: every key required, typed as it goes in, for
    a record scripts pass in; else any keys, typed as they come back (an output dictionary
    starts empty)."""
    out = []
    for r in records.all:
        incoming = r.name in passed_in
        out += [CHECKER_ONLY, 'class %s(TypedDict%s):' % (dict_name(r), '' if incoming else ', total=False')]
        for name, type_text, _, _ in r.fields:
            value = FIELD_VALUES[gen_sigapi.field_kind(type_text)[0]][4 if incoming else 3]
            if value:
                out.append('    %s: %s' % (name, value))
    return out


def stub(groups, wrappers, records, passed_in):
    out = ['# Generated by sigapi/gen_reference.py from binding/wrapper_kinds.txt and sigapi/: do not edit.',
           '# The module _Tavrel, its functions positional only; see docs/module-reference.md.',
           STUB_HEAD]
    out += [line for name in ['KT_INTERFACE'] + [r.name for r in records.all]
            for line in (CHECKER_ONLY, 'class %s: ...' % name)]
    out += [''] + stub_dicts(records, passed_in)
    out += ['', 'def SWIG_PyInstanceMethod_New(function: Any, /) -> Any: ...']
    for r in records.all:
        for name, type_text, _, _ in r.fields:
            value = FIELD_VALUES[gen_sigapi.field_kind(type_text)[0]][2]
            out.append('def %s_%s_set(r: Optional[%s], value: %s, /) -> None: ...' % (r.name, name, r.name, value))
            out.append('def %s_%s_get(r: %s, /) -> %s: ...' % (r.name, name, r.name, value))
        out += ['def new_%s() -> %s: ...' % (r.name, r.name),
                'def delete_%s(r: Optional[%s], /) -> None: ...' % (r.name, r.name),
                'def %s_swigregister(cls: type, /) -> None: ...' % r.name]
    for _, _, members in groups:
        for name, _ in members:
            w = wrappers[name]
            params = ['table: KT_INTERFACE'] + ['%s: %s' % (i[0], i[5][0]) for i in w.items]
            out.append('def %s(%s, /) -> %s: ...' % (w.full, ', '.join(params), RESULTS[w.result][0]))
    out += ['def new_KT_INTERFACE() -> KT_INTERFACE: ...',
            'def delete_KT_INTERFACE(table: Optional[KT_INTERFACE], /) -> None: ...',
            'def KT_INTERFACE_swigregister(cls: type, /) -> None: ...',
            'def KTLoad() -> None: ...',
            'def KTGetInterface() -> Optional[KT_INTERFACE]: ...',
            'def KTUnload() -> None: ...', '']
    for name, value in gen_sigapi.read_constants():
        out.append('%s: %s' % (name, 'bytes' if value.startswith('"') else 'int'))
    return '\n'.join(out) + '\n'


def generate(argv):
    table, entries = load(*argv[:3])
    records = Records()
    wrappers = dict((e[0], Wrapper(e, table, records)) for e in entries)
    groups = read_groups(argv[3], wrappers)
    users = {}
    for w in wrappers.values():
        for item in w.items:
            if item[5][4] is not None:
                users.setdefault(item[5][4].name, []).append(w.full)
    for kind in table.kinds:
        kind_facts(kind, table, records)  # every kind described, asked for or not
    sections = {
        'kinds': lambda: kinds_section(table, records),
        'results': results_section,
        'wrappers': lambda: wrappers_section(groups, wrappers),
        'settings': lambda: settings_section(wrappers),
        'constants': lambda: constants_section(gen_sigapi.read_constants(), wrappers),
        'records': lambda: records_section(records, users),
    }
    out = []
    for line in open(argv[4], encoding='utf-8').read().split('\n'):
        m = re.match(r'^<!-- generated: (\w+) -->$', line)
        if m:
            if m.group(1) not in sections:
                fail('the template asks for an unknown section %s' % m.group(1))
            line = sections[m.group(1)]()
        out.append(line.replace('@WRAPPER_COUNT@', str(len(wrappers))))
    return '\n'.join(out), stub(groups, wrappers, records, records_passed_in(table, records))


def main():
    if len(sys.argv) == 8 and sys.argv[6] == '--check':
        markdown = generate(sys.argv[1:6])[0]
        committed = open(sys.argv[7], encoding='utf-8').read()
        if committed != markdown:
            sys.stdout.writelines(difflib.unified_diff(committed.splitlines(True), markdown.splitlines(True),
                                                       sys.argv[7], 'generated'))
            sys.exit('gen_reference: %s differs from the generated reference; rebuild the target '
                     'module_reference_update and commit it' % sys.argv[7])
        return
    if len(sys.argv) != 8:
        fail(__doc__.split('\n\n')[1])
    markdown, pyi = generate(sys.argv[1:6])
    gen_sigapi.write(sys.argv[6], markdown)
    gen_sigapi.write(sys.argv[7], pyi)


if __name__ == '__main__':
    main()
