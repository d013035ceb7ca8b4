# -*- coding: utf-8 -*-
"""Baseline arguments of the context and named-key wrappers for the wrong-value battery
(test_wrong_values.py): for each wrapper, valid items after the table, with which the call
succeeds or fails with a library status only. The handles are None, so that no context
outlives a call and every call ends in the library's refusal after all items converted;
test_context_wrong_values.py repeats the battery on live handles."""
from __future__ import print_function

import os

from wrapper_testing import KEY_FILE_PASSWORD, medium

USER_INFO_KEYS = ['szUserCode', 'szDNS', 'szOrganiztion', 'szOCode', 'szNBUCode', 'szOUCode', 'szCountry', 'szPhone',
                  'szCommonName', 'szEMail', 'szSurname', 'szEDRPOUCode', 'szUNZR', 'szState', 'szSPFMCode', 'szTitle',
                  'szGivenname', 'dwVersion', 'szUPN', 'szDRFOCode', 'szLocality', 'szOrgUnit', 'szStreet']


def user_info(**texts):
    """A user-information dictionary of all 23 keys: empty texts but those given."""
    info = dict((key, u'') for key in USER_INFO_KEYS)
    info['dwVersion'] = 3
    info.update(texts)
    return info


def baseline_arguments(test, context=None, key=None, label='battery'):
    """Items after the table of the 25 wrappers; context and key are the library context and
    the private-key context their handle items take."""
    owner, der = test.certificate()
    request = test.request() if not hasattr(test, '_request') else test._request
    test._request = request
    key_bytes = open(test.key_file(), 'rb').read()
    data_path = os.path.join(test.scratch, 'battery-data')
    if not os.path.exists(data_path):
        open(data_path, 'wb').write(b'battery data')
    signed_path = os.path.join(test.scratch, 'battery-signed')
    named = medium(1)
    return {
        'CtxCreate': ([],),
        'CtxFree': (None,),
        'CtxSetParameter': (context, 'ResolveOIDs', 1),
        'CtxReadPrivateKey': (context, medium(1), [], {}),
        'CtxReadPrivateKeyBinary': (context, key_bytes, len(key_bytes), KEY_FILE_PASSWORD, [], {}),
        'CtxFreePrivateKey': (None,),
        'CtxDevelopData': (key, None, b'envelope', 8, None, 0, [], {}),
        'CtxGetOwnCertificate': (key, 0, 0, {}, []),
        'CtxSignHashValue': (key, 1, b'h' * 32, 32, 0, []),
        'CtxSignData': (key, 1, b'data', 4, 1, 0, []),
        'CtxEnvelopData': (key, [der], 1, 1, 0, b'data', 4, []),
        'CtxServerDynamicKeySessionCreate': (key, 600, b'hello', 5, []),
        'CtxIsNamedPrivateKeyExists': (context, named, label, 'password', []),
        'CtxGenerateNamedPrivateKey': (context, named, label, 'password', 1, 1, 1, None, 0, 0, None, [], [], [], [],
                                       [], []),
        'CtxReadNamedPrivateKey': (context, named, label, 'password', [], {}),
        'CtxDestroyNamedPrivateKey': (context, named, label, 'password'),
        'CtxChangeNamedPrivateKeyPassword': (context, named, label, 'password', 'password'),
        'CtxCreateEmptySignFile': (context, 1, data_path, der, len(der), signed_path),
        'CtxAppendSignerFile': (context, 1, b'signer', 6, der, len(der), signed_path, signed_path),
        'CtxOpenPrivateKey': (context, medium(1), []),
        'CtxPrepareNamedPrivateKey': (context, label, KEY_FILE_PASSWORD, key_bytes, len(key_bytes)),
        'CtxGenerateNamedPrivateKeyEx': (context, named, label, 'password', 1, 1, 1, None, 0, 0, None, user_info(),
                                         None, [], [], [], [], [], []),
        'CtxMakeDeviceCertificate': (context, u'Пристрій', request, len(request), None, 0, None, 0, None, 0, None, None,
                                     [], [], [], []),
        'CtxCOSESignData': (key, 1, b'data', 4, []),
        'CtxCOSESignFile': (key, 1, data_path, signed_path),
    }
