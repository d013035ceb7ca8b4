"""sigapi/gen_wrappers.py on small crafted inputs: a wrapper whose kinds fit its prototype is
generated, and every mismatch between them stops the generator with its reason."""
from __future__ import print_function

import os
import shutil
import subprocess
import tempfile
import unittest

SCRIPT = os.environ['TAVREL_TEST_GEN_WRAPPERS']

KINDS = '''result status DWORD STATUS
kind number DWORD NUMBER
kind length DWORD LENGTH
kind bytes unsigned char * BYTES
kind bytes-out unsigned char ** BYTES_OUT, DWORD * BYTES_OUT_LENGTH
'''


def generate(prototype, kinds):
    """(exit code, standard error, generated declarations or None) for one wrapped function
    KTProbe of the given prototype parameters and item kinds."""
    scratch = tempfile.mkdtemp(prefix='tavrel-gen-wrappers-')
    try:
        inputs = {'kt_functions.def': 'KT_FN(KTProbe, DWORD, (%s))\n' % prototype,
                  'wrapped.txt': 'KTProbe 1\n',
                  'wrapper_kinds.txt': KINDS + 'Probe status %s\n' % kinds}
        for name, text in inputs.items():
            with open(os.path.join(scratch, name), 'w') as f:
                f.write(text)
        out = os.path.join(scratch, 'out')
        env = dict(os.environ)
        env.pop('LD_PRELOAD', None)  # another interpreter, not ours to check
        child = subprocess.Popen([os.environ['TAVREL_TEST_PYTHON3'], SCRIPT] +
                                 [os.path.join(scratch, name) for name in
                                  ('kt_functions.def', 'wrapped.txt', 'wrapper_kinds.txt')] + [out],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        _, stderr = child.communicate()
        path = os.path.join(out, 'tavrel_wrappers.i')
        return child.returncode, stderr.decode(), open(path).read() if os.path.exists(path) else None
    finally:
        shutil.rmtree(scratch)


class GenWrappersTest(unittest.TestCase):
    def test_kinds_that_fit(self):
        code, stderr, generated = generate('unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbOut, '
                                           'DWORD *pdwOutLength', 'bytes length bytes-out')
        self.assertEqual((code, stderr), (0, ''))
        self.assertIn('DWORD KT_INTERFACE_Probe(KT_INTERFACE *iface, unsigned char *BYTES, DWORD LENGTH, '
                      'unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH);', generated)
        self.assertIn('return iface->KTProbe(pbData, dwDataLength, ppbOut, pdwOutLength);', generated)

    def test_mismatches_stop_the_generator(self):
        for prototype, kinds, reason in [
                ('DWORD dwIndex', 'bytes',
                 "Probe: item 2 (bytes) needs 'unsigned char *', the library parameter dwIndex is 'DWORD'"),
                ('unsigned char **ppbOut, DWORD dwLength', 'bytes-out',
                 "Probe: item 2 (bytes-out) needs 'DWORD *', the library parameter dwLength is 'DWORD'"),
                ('DWORD dwIndex, DWORD dwCount', 'number', 'Probe: 1 library parameters left without an item'),
                ('DWORD dwIndex', 'number number', 'Probe: item 3 (number) runs past the parameters'),
                ('DWORD dwIndex, DWORD dwLength', 'number length', 'Probe: item 3 (length) must follow a bytes item'),
                ('DWORD dwLength', 'length', 'Probe: item 2 (length) must follow a bytes item')]:
            self.assertEqual(generate(prototype, kinds), (1, 'gen_wrappers: %s\n' % reason, None), kinds)


if __name__ == '__main__':
    unittest.main()
