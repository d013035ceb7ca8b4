# -*- coding: utf-8 -*-
"""Failures that the stand-in reports by throwing a C++ exception inside itself and catching
it: an unreadable world, a key that does not parse, a world that cannot be written. In the
sanitizer runs they pass only when the C++ runtime is preloaded with the sanitizer's."""
from __future__ import print_function

import json
import os
import shutil
import unittest

import _Tavrel
from context_testing import ContextTestCase
from tavrel_compat import as_bytes

WORLD, FILE = 0xF003, 0xF005


def W(name):
    return getattr(_Tavrel, 'KT_INTERFACE_' + name)


class ThrownFailuresTest(ContextTestCase):

    def use_world(self, path):
        W('Finalize')(self.t)
        self.lib.lib.TavrelStandin_SetWorldPath(as_bytes(path))

    def tearDown(self):
        self.use_world(self.world)
        W('Initialize')(self.t)
        ContextTestCase.tearDown(self)

    def test_unreadable_worlds(self):
        junk_key = {'types': [{'name': 'T', 'devices': [
            {'serial': 'J-0', 'password': '', 'key': {'private-key': 'junk', 'certificate': 'junk'}}]}]}
        for name, text in [('not json', '{"types": ['),
                           ('junk key', json.dumps(junk_key)),
                           ('wrong shape', json.dumps({'types': {}}))]:
            path = os.path.join(self.scratch, 'bad-world.json')
            with open(path, 'w') as out:
                out.write(text)
            self.use_world(path)
            self.assertKTError(RuntimeError, WORLD, W('Initialize'), self.t)
            self.assertIs(W('IsInitialized')(self.t), False, name)
        self.use_world(self.world)
        self.assertIsNone(W('Initialize')(self.t))

    def test_world_that_cannot_be_written(self):
        folder = os.path.join(self.scratch, 'gone')
        os.mkdir(folder)
        path = os.path.join(folder, 'world.json')
        shutil.copy(self.world, path)
        self.use_world(path)
        W('Initialize')(self.t)
        shutil.rmtree(folder)
        context = self.context()
        self.assertKTError(RuntimeError, FILE, W('CtxGenerateNamedPrivateKey'), self.t, context,
                           self.named_medium(), 'unsaved', 'p', 1, 1, 1, None, 0, 0, None, None, None, None, None,
                           None, None)
        exists = []
        W('CtxIsNamedPrivateKeyExists')(self.t, context, self.named_medium(), 'unsaved', None, exists)
        self.assertEqual(exists, [False])

if __name__ == '__main__':
    unittest.main()
