"""The type stub under mypy, as a script's author meets it: installed with the tree (cmake
--install into a scratch prefix) and found there without MYPYPATH, through a virtual
environment whose .pth file names the Python 3 site folder and through PYTHONPATH as README.md
says, and in the build tree with the Python 3 module's folder in PYTHONPATH, as the README's
quick-start sets it; every worked example of the module reference and the README's quick-start pass
mypy --strict as written; every line of stub_wrong_calls.py marked "refused" is refused, with
its error code, and no other line is; mypy's stubtest finds the installed module as the stub
describes it, installed and in the build tree, allowing only the names binding/stubtest_allowlist.txt gives, which are those the
stub marks as the checker's only. Python 3 only; mypy is required."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

MYPY = os.environ['VEK_TEST_MYPY']
REFERENCE = os.environ['VEK_TEST_REFERENCE']
README = os.environ['VEK_TEST_README']
WRONG_CALLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'stub_wrong_calls.py')
ALLOWLIST = os.environ['VEK_TEST_STUBTEST_ALLOWLIST']
BUILD_SITE = os.environ['VEK_TEST_BUILD_SITE']  # the build tree's Python 3 module folder
CHECKER_ONLY = re.compile(r'^@type_check_only\nclass (\w+)\b', re.M)
REFUSED = re.compile(r'#\s*refused: ([\w-]+)')
ERROR = re.compile(r'^(.*?):(\d+): error: .*\[([\w-]+)\]$', re.M)


def load_extract():
    spec = importlib.util.spec_from_file_location('extract_example', os.environ['VEK_TEST_EXTRACT'])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.extract


class StubUnderMypyTest(unittest.TestCase):
    longMessage = True

    @classmethod
    def setUpClass(cls):
        if not os.access(MYPY, os.X_OK):
            raise RuntimeError('mypy was not found at configure (%s): apt-get install mypy, as '
                               'scripts/install-deps.sh does, and configure again' % MYPY)
        cls.scratch = tempfile.mkdtemp(prefix='tavrel-stub-mypy-')
        cls.work = os.path.join(cls.scratch, 'work')  # holds no stub of its own
        os.mkdir(cls.work)
        prefix = os.path.join(cls.scratch, 'prefix')
        subprocess.check_call([os.environ['VEK_TEST_CMAKE'], '--install', os.environ['VEK_TEST_BUILD'],
                               '--prefix', prefix], stdout=subprocess.DEVNULL)
        cls.site = os.path.join(prefix, os.environ['VEK_TEST_SITE'])
        venv = os.path.join(cls.scratch, 'venv')
        subprocess.check_call([os.environ['VEK_TEST_PYTHON3'], '-m', 'venv', '--without-pip', venv])
        cls.venv_python = os.path.join(venv, 'bin', 'python')
        venv_site = subprocess.check_output(
            [cls.venv_python, '-c', 'import sysconfig; print(sysconfig.get_path("purelib"))']).decode().strip()
        with open(os.path.join(venv_site, 'vek.pth'), 'w') as f:
            f.write(cls.site + '\n')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def mypy(self, files, python_executable=True, env=()):
        """(exit code, output) of mypy --strict on the files, with the venv's interpreter."""
        environment = dict((k, v) for k, v in os.environ.items() if k not in ('MYPYPATH', 'PYTHONPATH'))
        environment.update(env)
        command = [MYPY, '--strict', '--show-error-codes', '--cache-dir', os.path.join(self.scratch, 'cache')]
        if python_executable:
            command += ['--python-executable', self.venv_python]
        child = subprocess.run(command + list(files), cwd=self.work, env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return child.returncode, child.stdout.decode()

    def put(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, 'w', encoding='utf-8') as f:
            f.write(text)
        return path

    def test_found_where_installed(self):
        self.assertTrue(os.path.isfile(os.path.join(self.site, '_Tavrel-stubs', '__init__.pyi')))
        script = self.put('found.py', 'import _Tavrel\nreveal_type(_Tavrel.KTGetInterface())\n')
        for how, python_executable, env in [('the .pth of a virtual environment', True, {}),
                                            ('PYTHONPATH', False, {'PYTHONPATH': self.site}),
                                            ('the build tree', False, {'PYTHONPATH': BUILD_SITE})]:
            code, out = self.mypy([script], python_executable, env)
            self.assertIn('Revealed type is "Union[_Tavrel.KT_INTERFACE, None]"', out, how)
            self.assertEqual(code, 0, how + ':\n' + out)

    def test_documented_examples_pass_strict(self):
        extract = load_extract()
        names = re.findall(r'^<!-- example: ([\w-]+\.py) -->$', open(REFERENCE, encoding='utf-8').read(), re.M)
        self.assertGreaterEqual(len(names), 7)
        scripts = [self.put(n.replace('-', '_'), extract(REFERENCE, n)) for n in names]
        scripts.append(self.put('quickstart.py', extract(README, 'quickstart.py')))
        code, out = self.mypy(scripts)
        self.assertEqual((code, out.splitlines()[-1]), (0, 'Success: no issues found in %d source files'
                                                         % len(scripts)), out)

    def test_stubtest_finds_the_module_the_stub_describes(self):
        for site in self.site, BUILD_SITE:
            environment = dict((k, v) for k, v in os.environ.items() if k != 'MYPYPATH')
            environment['PYTHONPATH'] = site
            if os.environ.get('VEK_TEST_PRELOAD'):  # an instrumented module
                environment['LD_PRELOAD'] = os.environ['VEK_TEST_PRELOAD']
            child = subprocess.run([os.environ['VEK_TEST_PYTHON3'], '-m', 'mypy.stubtest', '_Tavrel',
                                    '--allowlist', ALLOWLIST], cwd=self.work, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            out = child.stdout.decode()
            self.assertEqual((child.returncode, out.splitlines()[-1:]),
                             (0, ['Success: no issues found in 1 module']), site + ':\n' + out)

    def test_allowlist_is_the_checker_only_names_each_with_its_reason(self):
        with open(os.path.join(self.site, '_Tavrel.pyi'), encoding='utf-8') as f:
            checker_only = CHECKER_ONLY.findall(f.read())
        with open(ALLOWLIST, encoding='utf-8') as f:
            lines = f.read().split('\n')
        entries = [(n, line) for n, line in enumerate(lines) if line.strip() and not line.startswith('#')]
        self.assertEqual(sorted(line for _, line in entries), sorted('_Tavrel.' + name for name in checker_only))
        for n, line in entries:
            self.assertTrue(n > 0 and lines[n - 1].startswith('# '), 'no reason on the line above ' + line)

    def test_wrong_calls_refused_line_by_line(self):
        expected = {}
        for number, line in enumerate(open(WRONG_CALLS, encoding='utf-8'), 1):
            m = REFUSED.search(line)
            if m:
                expected[number] = m.group(1)
        self.assertGreaterEqual(len(expected), 10)
        code, out = self.mypy([WRONG_CALLS])
        self.assertEqual(code, 1, out)
        found = {}
        for path, number, error_code in ERROR.findall(out):
            self.assertEqual(os.path.basename(path), 'stub_wrong_calls.py', out)
            found.setdefault(int(number), []).append(error_code)
        self.assertEqual(sorted(found), sorted(expected), out)
        for number, prefix in expected.items():
            self.assertTrue(all(c.startswith(prefix) for c in found[number]),
                            'line %d: %s, expected %s' % (number, found[number], prefix))


if __name__ == '__main__':
    unittest.main()
