"""sigapi/gen_reference.py on small crafted inputs: a wrapper in its group gets its entry and
its stub line, every gap between the groups, the kinds and the prototypes stops the
generator with its reason, and the check mode tells a stale copy from a current one."""
from __future__ import print_function

import os
import shutil
import subprocess
import tempfile
import unittest

SCRIPT = os.environ['TAVREL_TEST_GEN_REFERENCE']

KINDS = '''result status DWORD STATUS
kind length DWORD LENGTH
kind bytes unsigned char * BYTES
kind bytes-out unsigned char ** BYTES_OUT, DWORD * BYTES_OUT_LENGTH
'''
PROTOTYPE = 'unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbOut, DWORD *pdwOutLength'
GROUPS = 'group Probing | What probes do.\nProbe | Probes `pbData` into `ppbOut`.\n'
TEMPLATE = '# Reference of @WRAPPER_COUNT@\n<!-- generated: wrappers -->\n'


class Generator(object):
    def __init__(self, kinds='bytes length bytes-out', groups=GROUPS, template=TEMPLATE, vocabulary=KINDS):
        self.scratch = tempfile.mkdtemp(prefix='tavrel-gen-reference-')
        self.inputs = [self.put('kt_functions.def', 'KT_FN(KTProbe, DWORD, (%s))\n' % PROTOTYPE),
                       self.put('wrapped.txt', 'KTProbe 1\n'),
                       self.put('wrapper_kinds.txt', vocabulary + 'Probe status %s\n' % kinds),
                       self.put('wrapper_groups.txt', groups), self.put('template.md', template)]

    def put(self, name, text):
        path = os.path.join(self.scratch, name)
        with open(path, 'w') as f:
            f.write(text)
        return path

    def run(self, *outputs):
        """(exit code, standard output, standard error)."""
        env = dict(os.environ)
        env.pop('LD_PRELOAD', None)  # another interpreter, not ours to check
        child = subprocess.Popen([os.environ['TAVREL_TEST_PYTHON3'], SCRIPT] + self.inputs + list(outputs),
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = child.communicate()
        return child.returncode, out.decode(), err.decode()

    def generate(self):
        """(exit code, standard error, reference or None, stub or None)."""
        md, pyi = os.path.join(self.scratch, 'out.md'), os.path.join(self.scratch, 'out.pyi')
        code, _, err = self.run(md, pyi)
        return (code, err) + tuple(open(p).read() if os.path.exists(p) else None for p in (md, pyi))

    def close(self):
        shutil.rmtree(self.scratch)


class GenReferenceTest(unittest.TestCase):
    def generator(self, **inputs):
        g = Generator(**inputs)
        self.addCleanup(g.close)
        return g

    def test_wrapper_in_its_group(self):
        code, err, md, pyi = self.generator().generate()
        self.assertEqual((code, err), (0, ''))
        self.assertTrue(md.startswith('# Reference of 1\n### Probing\n\nWhat probes do.\n\n#### KT_INTERFACE_Probe\n'))
        self.assertIn('KT_INTERFACE_Probe(table, pbData, dwDataLength, ppbOut)', md)
        self.assertIn('| `ppbOut` | 4-5 | [bytes-out](#kind-bytes-out) for `ppbOut`, `pdwOutLength` |', md)
        self.assertIn('- Back: `ppbOut`: the list: one byte string, or None.\n', md)
        self.assertIn('def KT_INTERFACE_Probe(table: KT_INTERFACE, pbData: Optional[bytes], dwDataLength: int, '
                      'ppbOut: _Out[bytes], /) -> None: ...', pyi)

    def test_record_dictionaries_typed_as_they_travel(self):
        # A key medium goes in: every key required, texts byte or Unicode strings. An owner
        # comes back into an empty dictionary: any keys, texts Unicode strings or None.
        vocabulary = KINDS + 'kind key-medium PKT_KEY_MEDIA KEY_MEDIUM\nkind owner PKT_CERT_OWNER_INFO OWNER\n'
        g = self.generator(kinds='key-medium owner', vocabulary=vocabulary,
                           groups='group Probing | What probes do.\nProbe | Probes `pKeyMedia`.\n')
        g.inputs[0] = g.put('kt_functions.def', 'KT_FN(KTProbe, DWORD, (PKT_KEY_MEDIA pKeyMedia, '
                                                'PKT_CERT_OWNER_INFO pInfo))\n')
        code, err, _, pyi = g.generate()
        self.assertEqual((code, err), (0, ''))
        self.assertIn('def KT_INTERFACE_Probe(table: KT_INTERFACE, pKeyMedia: KT_KEY_MEDIA_dict, '
                      'pInfo: Optional[KT_CERT_OWNER_INFO_dict], /) -> None: ...', pyi)
        self.assertIn('class KT_KEY_MEDIA_dict(TypedDict):\n    dwTypeIndex: int\n    dwDevIndex: int\n'
                      '    szPassword: Union[bytes, Text]\n', pyi)
        self.assertIn('class KT_CERT_OWNER_INFO_dict(TypedDict, total=False):\n    bFilled: bool\n'
                      '    pszIssuer: Optional[Text]\n', pyi)
        self.assertIn('class SYSTEMTIME_dict(TypedDict, total=False):\n    wYear: int\n', pyi)

    def test_gaps_stop_the_generator(self):
        for inputs, reason in [
                ({'groups': 'group Probing | What probes do.\n'}, 'wrappers in no group of wrapper_groups.txt: Probe'),
                ({'groups': GROUPS + 'Probe | Again.\n'}, 'wrapper_groups.txt:3: Probe is in two groups'),
                ({'groups': GROUPS + 'Other | Not wrapped.\n'},
                 'wrapper_groups.txt:3: Other is no wrapper of the kind table'),
                ({'groups': 'group Probing | What probes do.\nProbe | Probes `pbDatum`.\n'},
                 'wrapper_groups.txt:2: Probe has no parameter pbDatum'),
                ({'groups': 'Probe | Before any group.\n'}, 'wrapper_groups.txt:1: expected "<Name> | <text>" after a group'),
                ({'vocabulary': KINDS + 'kind widget DWORD WIDGET\n'},
                 'the kind widget is not described in gen_reference.py'),
                ({'template': '<!-- generated: nothing -->\n'}, 'the template asks for an unknown section nothing'),
                ({'vocabulary': KINDS + 'kind key-medium DWORD KEY_MEDIUM\n', 'kinds': 'bytes key-medium bytes-out'},
                 'the kind key-medium is typed as a record\'s dictionary but is no record'),
                ({'template': '<!-- generated: constants -->\n'},
                 'the constants group KT_HEADER_\\w+ names pszCAType, a parameter of no wrapper')]:
            code, err, md, pyi = self.generator(**inputs).generate()
            self.assertEqual((code, err.strip(), md, pyi), (1, 'gen_reference: ' + reason, None, None), reason)

    def test_check_tells_a_stale_copy(self):
        g = self.generator()
        self.assertEqual(g.generate()[0], 0)
        current = os.path.join(g.scratch, 'out.md')
        self.assertEqual(g.run('--check', current), (0, '', ''))
        g.put('out.md', open(current).read().replace('What probes do.', 'What probes did.'))
        code, out, err = g.run('--check', current)
        self.assertEqual(code, 1)
        self.assertIn('-What probes did.\n+What probes do.\n', out)
        self.assertIn('differs from the generated reference', err)


if __name__ == '__main__':
    unittest.main()
