#!/usr/bin/env python3
"""Generates the module's KT_INTERFACE_<Name> wrapper declarations.

usage: gen_wrappers.py KT_FUNCTIONS_DEF WRAPPED_TXT WRAPPER_KINDS_TXT OUTPUT_DIR

Inputs:
  kt_functions.def   the library's prototypes (KT_FN(name, result, (parameters)))
  wrapped.txt        the wrapped functions: name subsystem
  wrapper_kinds.txt  the kind vocabulary and every wrapper's result and item kinds

Outputs (into OUTPUT_DIR):
  tavrel_wrappers.i        for each wrapper in slot order, the function that calls the
                           table's slot with the library's exact parameters, its result
                           kind, and the declaration SWIG wraps, its parameters named by
                           their kinds
  tavrel_wrapper_kinds.py  the same kinds for the tests: WRAPPERS, a list of
                           (name, subsystem, result kind, [(item kind, argument number)])

Every mismatch between a wrapper's kinds and its prototype stops the build.
"""
import os
import re
import sys

from gen_sigapi import write

PREFIX = 'KT_INTERFACE_'
FUNCTION = re.compile(r'^KT_FN\((\w+), ([^,]+), \((.*)\)\)$')
PARAMETER = re.compile(r'^(.*?)\s*(\w+)$')
SETTINGS = re.compile(r'^(settings-\w+)\((\w+)\)$')


def fail(msg):
    sys.exit('gen_wrappers: ' + msg)


def normal_type(text):
    """'unsigned char * *' and 'unsigned char**' alike become 'unsigned char **'."""
    text = re.sub(r'\s*\*', ' *', text.strip())
    return re.sub(r'\* \*', '**', re.sub(r'\* \*', '**', text)).replace('  ', ' ')


def read_prototypes(path):
    prototypes, order = {}, []
    for line in open(path):
        line = line.strip()
        if line.startswith('KT_FN_ANY('):
            order.append(line[len('KT_FN_ANY('):-1])
            continue
        m = FUNCTION.match(line)
        if not m:
            continue
        name, result, params = m.groups()
        parameters = []
        if params.strip() != 'void':
            for p in params.split(','):
                pm = PARAMETER.match(p.strip())
                if not pm:
                    fail('%s: cannot read parameter %r' % (name, p))
                parameters.append((normal_type(pm.group(1)), pm.group(2)))
        prototypes[name] = (normal_type(result), parameters)
        order.append(name)
    return prototypes, order


def read_wrapped(path):
    wrapped = {}
    for line in open(path):
        words = line.split()
        if words:
            wrapped[words[0]] = int(words[1])
    return wrapped


class Table:
    def __init__(self, path):
        self.results, self.kinds, self.wrappers = {}, {}, {}
        for lineno, line in enumerate(open(path), 1):
            text = line.split('#', 1)[0].strip()
            if not text:
                continue
            where = '%s:%d' % (os.path.basename(path), lineno)
            words = text.split()
            if words[0] == 'result':
                if len(words) != 4:
                    fail(where + ': expected "result <kind> <library type> <NAME>"')
                self.results[words[1]] = (words[2], words[3])
            elif words[0] == 'kind':
                self.kinds[words[1]] = self.read_kind(where, text.split(None, 2)[2])
            else:
                if words[0] in self.wrappers:
                    fail('%s: %s listed twice' % (where, words[0]))
                if len(words) < 2 or words[1] not in self.results:
                    fail('%s: %s needs a result kind' % (where, words[0]))
                self.wrappers[words[0]] = (where, words[1], words[2:])

    @staticmethod
    def read_kind(where, text):
        if text == 'settings':
            return None
        parameters = []
        for part in text.split(','):
            pm = PARAMETER.match(part.strip())
            if not pm:
                fail(where + ': expected "<type> <NAME>" in %r' % part)
            parameters.append((normal_type(pm.group(1)), pm.group(2)))
        return parameters


def bind_items(name, table, item_kinds, parameters):
    """[(kind, settings group or None, [(type, library name, declared name)])] for the items."""
    items, at = [], 0
    for position, kind in enumerate(item_kinds):
        group = None
        m = SETTINGS.match(kind)
        if m:
            kind, group = m.groups()
        if kind not in table.kinds:
            fail('%s: unknown kind %r' % (name, kind))
        pattern = table.kinds[kind]
        if pattern is None:
            if group is None or position != len(item_kinds) - 1:
                fail('%s: %s must be the last item and name its group' % (name, kind))
            taken = [(t, n, None) for t, n in parameters[at:]]
        else:
            if group is not None:
                fail('%s: only settings kinds take a group' % name)
            taken = []
            for expected, declared in pattern:
                if at + len(taken) >= len(parameters):
                    fail('%s: item %d (%s) runs past the parameters' % (name, position + 2, kind))
                actual, library_name = parameters[at + len(taken)]
                if actual != expected:
                    fail('%s: item %d (%s) needs %r, the library parameter %s is %r'
                         % (name, position + 2, kind, expected, library_name, actual))
                taken.append((actual, library_name, declared))
        if kind == 'length' and (not items or items[-1][0] != 'bytes'):
            fail('%s: item %d (length) must follow a bytes item' % (name, position + 2))
        items.append((kind, group, taken, at + 2))
        at += len(taken)
    if at != len(parameters):
        fail('%s: %d library parameters left without an item' % (name, len(parameters) - at))
    return items


def declaration(result, name, parameters):
    return '%s %s%s(%s)' % (result, PREFIX, name, ', '.join(['KT_INTERFACE *iface'] + parameters))


def joined(type_text, name):
    return type_text + name if type_text.endswith('*') else type_text + ' ' + name


def wrapper_code(name, result_name, library_result, items):
    library = ['%s' % joined(t, n) for _, _, taken, _ in items for t, n, _ in taken]
    arguments = [n for _, _, taken, _ in items for _, n, _ in taken]
    call = 'iface->KT%s(%s)' % (name, ', '.join(arguments))
    kind, group, _, _ = items[-1] if items else (None, None, None, None)
    if group is not None:
        # A settings dictionary stands for every parameter after the items before it.
        leading = [p for _, _, taken, _ in items[:-1] for p in taken]
        forwarder = [joined(t, n) for t, n, _ in leading] + ['void *settings', 'int']
        call = 'static_cast<Tavrel::settings_item *>(settings)->call(%s)' % ', '.join(
            ['iface->KT' + name] + [n for _, n, _ in leading])
        swig = [joined(t, d) for t, _, d in leading] + ['void *' + kind.upper().replace('-', '_'), 'int ' + group]
    else:
        forwarder = library
        swig = [joined(t, d) for _, _, taken, _ in items for t, _, d in taken]
    body = ('    %s;' if library_result == 'void' else '    return %s;') % call
    return ('%%{\nstatic inline %s {\n%s\n}\n%%}\n%%apply %s { %s %s%s };\n%s;\n'
            % (declaration(library_result, name, forwarder), body, joined(library_result, result_name),
               library_result, PREFIX, name, declaration(library_result, name, swig)))


def load(functions_def, wrapped_txt, kinds_txt):
    """(table, wrappers): the kind table, and in slot order for each wrapper
    (name without KT, subsystem, result kind, library result type, items from bind_items).
    Stops on every mismatch between the kinds and the prototypes."""
    prototypes, order = read_prototypes(functions_def)
    wrapped = read_wrapped(wrapped_txt)
    table = Table(kinds_txt)

    names = {'KT' + name for name in table.wrappers}
    if names != set(wrapped):
        fail('the kind table and wrapped.txt differ: %s'
             % ', '.join(sorted(names.symmetric_difference(wrapped))))
    wrappers = []
    for function in order:
        if function not in wrapped:
            continue
        name = function[2:]
        if function not in prototypes:
            fail('%s is wrapped but kt_functions.def gives no prototype' % function)
        library_result, parameters = prototypes[function]
        where, result, item_kinds = table.wrappers[name]
        expected_result, _ = table.results[result]
        if library_result != expected_result:
            fail('%s: result %s needs %s, the library returns %s' % (where, result, expected_result, library_result))
        wrappers.append((name, wrapped[function], result, library_result,
                         bind_items(name, table, item_kinds, parameters)))
    return table, wrappers


def main():
    if len(sys.argv) != 5:
        fail('usage: gen_wrappers.py KT_FUNCTIONS_DEF WRAPPED_TXT WRAPPER_KINDS_TXT OUTPUT_DIR')
    table, wrappers = load(*sys.argv[1:4])
    outdir = sys.argv[4]

    swig = ['/* Generated by sigapi/gen_wrappers.py from sigapi/kt_functions.def, sigapi/wrapped.txt',
            ' * and binding/wrapper_kinds.txt: do not edit. */', '']
    python = ['# Generated by sigapi/gen_wrappers.py from binding/wrapper_kinds.txt: do not edit.',
              '# WRAPPERS: in slot order, (name without %s, subsystem, result kind,' % PREFIX,
              '#            [(item kind, argument number of its first library parameter)])',
              'WRAPPERS = [']
    for name, subsystem, result, library_result, items in wrappers:
        swig.append(wrapper_code(name, table.results[result][1], library_result, items))
        python.append('    (%r, %d, %r, %r),' % (name, subsystem, result,
                                                   [(kind, argnum) for kind, _, _, argnum in items]))
    python.append(']')

    os.makedirs(outdir, exist_ok=True)
    write(os.path.join(outdir, 'tavrel_wrappers.i'), '\n'.join(swig))
    write(os.path.join(outdir, 'tavrel_wrapper_kinds.py'), '\n'.join(python) + '\n')


if __name__ == '__main__':
    main()
