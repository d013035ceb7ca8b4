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
settings, records).

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
    'lent-text': ('List[Any]', 'list, required: the library writes into a text buffer',
                  'the list: one Unicode string', {BAD, RESOURCE}),
    'bytes': ('Optional[bytes]', 'byte string, or None for no bytes (a Unicode string is refused)',
              None, {BAD, RESOURCE}),
    'text-out': ('_Out', 'list to receive the text; anything else: not requested',
                 'the list: one byte string (not decoded), or None', {BAD, RESOURCE}),
    'decoded-text-out': ('_Out', 'list to receive the text; anything else: not requested',
                         'the list: one Unicode string, or None', {BAD, RESOURCE}),
    'bytes-out': ('_Out', 'list to receive the bytes; anything else: not requested',
                  'the list: one byte string, or None', {BAD, RESOURCE}),
    'number-out': ('_Out', 'list to receive the number; anything else: not requested',
                   'the list: one integer', {BAD, RESOURCE}),
    'flag-out': ('_Out', 'list to receive the flag; anything else: not requested',
                 'the list: True or False', {BAD, RESOURCE}),
    'context-out': ('List[Any]', 'list, required', 'the list: the new library context (a handle object), '
                    'or None; free it with `KT_INTERFACE_CtxFree`', {BAD, RESOURCE}),
    'private-key-out': ('List[Any]', 'list, required', 'the list: the new private-key context (a handle '
                        'object), or None; free it with `KT_INTERFACE_CtxFreePrivateKey`', {BAD, RESOURCE}),
    'session-out': ('List[Any]', 'list, required', 'the list: the new session (a handle object), or None; '
                    'free it with `KT_INTERFACE_SessionDestroy`', {BAD, RESOURCE}),
    'handle': ('Any', 'handle object from a list that a handle output filled, or None; any pointer object '
               'of the module is taken unchecked, so pass the handle of the right kind, still alive',
               None, {ARGUMENT}),
    'time': ('Optional[SYSTEMTIME]', '[`SYSTEMTIME` record object](#the-systemtime-object) made by `new_SYSTEMTIME()`, '
             'or None', None, {ARGUMENT}),
    'value': ('int', 'integer; its low 32 bits are passed', None, {BAD}),
    'key-medium': ('Any', 'dictionary of exactly "dwTypeIndex", "dwDevIndex" (integers) and "szPassword" '
                   '(byte or Unicode string, at most 64 bytes taken; holding a NUL: code 2); anything else '
                   'stands for the zeroed medium (type 0, device 0, no password)',
                   'a dictionary given: refilled with the medium as the library left it', {BAD, RESOURCE}),
    'key-medium-quiet': ('Any', 'as [key-medium](#kind-key-medium)',
                         'a dictionary given: refilled with the medium as the library left it; a refill that '
                         'fails is not reported (the call still succeeds and hands back its other outputs)',
                         {BAD}),
    'user-info': ('Any', 'dictionary with every key of the record (texts cut to their field); anything '
                  'else passes none', 'a dictionary given: refilled from the record', {BAD, RESOURCE}),
    'bytes-list': ('List[bytes]', 'non-empty list of byte strings', None, {BAD, RESOURCE}),
    'text-list': ('List[_Text]', 'non-empty list of byte or Unicode strings', None, {BAD, RESOURCE}),
    'certificates-out': ('_Out', 'list to receive the certificates; anything else: not requested',
                         'the list: one byte string per certificate, or a single None when there is none',
                         {BAD, RESOURCE}),
    'random-bytes': ('List[Any]', 'list, required', 'the list: one byte string of the count\'s length',
                     {BAD, RESOURCE}),
    'random-count': ('int', 'integer, 0 or more (anything else: code 2)', None, {BAD, RESOURCE}),
    'settings-get': ('Any', 'dictionary, or anything else to read nothing back',
                     'a dictionary given: emptied and filled with every key of the group', {RESOURCE}),
    'settings-set': ('Dict[str, Any]', 'dictionary, required, with every key of the group (other keys '
                     'are ignored)', None, {BAD}),
    'settings-enumerate': ('Dict[str, Any]', 'dictionary, required',
                           'the dictionary: emptied and filled with the entry\'s keys', {BAD, RESOURCE}),
    'settings-lookup': ('Dict[str, Any]', 'dictionary, required, holding "szIssuerCN"',
                        'the dictionary: emptied and filled with the entry\'s keys', {BAD, RESOURCE}),
}
# Kinds that stand for a record handed back as a dictionary.
RECORD_OUTPUT = ('Optional[Dict[str, Any]]', 'dictionary to receive the record; anything else: not '
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

# Record fields by gen_sigapi's field kind: (in a dictionary, through the record's getter, stub type).
FIELD_VALUES = {
    'KT_FIELD_WORD': ('integer', 'integer', 'int'),
    'KT_FIELD_INT': ('True or False', 'integer', 'int'),
    'KT_FIELD_ULONG': ('integer', 'integer', 'int'),
    'KT_FIELD_ULONGLONG': ('integer', 'integer', 'int'),
    'KT_FIELD_TEXT_PTR': ('Unicode string or None', 'byte string or None', 'Optional[bytes]'),
    'KT_FIELD_TEXT_ARRAY': ('Unicode string', 'byte string', 'bytes'),
    'KT_FIELD_TIME': ('dictionary of the 8 `SYSTEMTIME` fields', '`SYSTEMTIME` view', 'SYSTEMTIME'),
    'KT_FIELD_CERT_LIST': ('(not converted)', 'pointer object or None', 'Any'),
}

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


def kind_facts(kind, table, records):
    """(stub type, accepts, comes back, errors, record handed back or None) of a kind."""
    pattern = table.kinds[kind]
    record = records.of(pattern[0][0]) if pattern and len(pattern) == 1 else None
    facts = KINDS.get(kind)
    if facts is None:
        if record is None:
            fail('the kind %s is not described in gen_reference.py' % kind)
        facts = RECORD_OUTPUT
    return facts + (record if facts[2] else None,)


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
            in_dict, by_getter, _ = FIELD_VALUES[gen_sigapi.field_kind(type_text)[0]]
            out.append('| `%s` | `%s` | `%s_%s_get(r)`, `%s_%s_set(r, v)` | %s | %s |'
                       % (name, type_text, r.name, name, r.name, name, in_dict, by_getter))
        out.append('')
    return '\n'.join(out).rstrip()


def stub(groups, wrappers, records):
    out = ['# Generated by sigapi/gen_reference.py from binding/wrapper_kinds.txt and sigapi/: do not edit.',
           '# The module _Tavrel, its functions positional only; see docs/module-reference.md.',
           'from typing import Any, Dict, List, Optional, Text, Union', '',
           '_Text = Union[bytes, Text, None, List[Any]]',
           '_Out = Optional[List[Any]]', '',
           'class KT_INTERFACE: ...']
    out += ['class %s: ...' % r.name for r in records.all]
    out += ['', 'def SWIG_PyInstanceMethod_New(function: Any) -> Any: ...']
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
    sections = {
        'kinds': kinds_section(table, records),
        'results': results_section(),
        'wrappers': wrappers_section(groups, wrappers),
        'settings': settings_section(wrappers),
        'records': records_section(records, users),
        'count': str(len(wrappers)),
    }
    out = []
    for line in open(argv[4], encoding='utf-8').read().split('\n'):
        m = re.match(r'^<!-- generated: (\w+) -->$', line)
        if m:
            if m.group(1) not in sections:
                fail('the template asks for an unknown section %s' % m.group(1))
            line = sections[m.group(1)]
        out.append(line.replace('@WRAPPER_COUNT@', sections['count']))
    return '\n'.join(out), stub(groups, wrappers, records)


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
