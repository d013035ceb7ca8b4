"""Mistakes that the type stub must refuse, one on each line marked "refused: <mypy error code>";
every other line is sound. The test binding_stub_mypy runs mypy --strict over it; it is never
run itself."""
from typing import List, Optional

import _Tavrel

t = _Tavrel.KTGetInterface()
_Tavrel.KT_INTERFACE_Initialize(t)  # refused: arg-type (None while nothing is loaded)
_Tavrel.KT_INTERFACE_Initialize(None)  # refused: arg-type
assert t is not None

medium: _Tavrel.KT_KEY_MEDIA_dict = {'dwTypeIndex': 1, 'dwDevIndex': 0, 'szPassword': '12345678'}
owner: _Tavrel.KT_CERT_OWNER_INFO_dict = {}
signature: List[bytes] = []
names: List[bytes] = []
context: List[_Tavrel.Handle] = []
_Tavrel.KT_INTERFACE_ReadPrivateKey(t, medium, owner)
# Sound: an output list that expects None, an output not requested, a lent text buffer.
maybe: List[Optional[bytes]] = []
_Tavrel.KT_INTERFACE_SignData(t, b'data', 4, None, maybe)
_Tavrel.KT_INTERFACE_EnumKeyMediaTypes(t, 0, [])

# Items of the wrong type.
_Tavrel.KT_INTERFACE_SignData(t, 'order 42', 8, None, signature)  # refused: arg-type (str for bytes)
_Tavrel.KT_INTERFACE_ReadPrivateKey(t, [1, 0, '12345678'], owner)  # refused: arg-type (a list as a key medium)
_Tavrel.KT_INTERFACE_SessionDestroy(t, signature[0])  # refused: arg-type (bytes as a handle)
_Tavrel.KT_INTERFACE_CtxFree(t, context)  # refused: arg-type (the list, not its handle)
_Tavrel.KT_INTERFACE_EnumKeyMediaTypes(t, 0, names)  # refused: arg-type (the text comes back as str)
when = {'wYear': 2026}
_Tavrel.KT_INTERFACE_VerifyDataOnTimeEx(t, b'data', 4, 0, None, b'', 0, when, 0, 0, None)  # refused: arg-type (a time is a record object)

# Dictionaries: keys and values.
_Tavrel.KT_INTERFACE_ReadPrivateKey(t, {'dwTypeIndex': 1, 'dwDeviceIndex': 0, 'szPassword': '1'}, owner)  # refused: typeddict (an unknown key)
_Tavrel.KT_INTERFACE_ReadPrivateKey(t, {'dwTypeIndex': 1, 'szPassword': '12345678'}, owner)  # refused: typeddict (a key missing)
_Tavrel.KT_INTERFACE_ReadPrivateKey(t, {'dwTypeIndex': '1', 'dwDevIndex': 0, 'szPassword': '1'}, owner)  # refused: typeddict (str for int)
serial = owner['pszSerialNumber']  # refused: typeddict (no such field)

# Calls: items missing, keywords.
_Tavrel.KT_INTERFACE_SignData(t, b'data', 4, signature)  # refused: call-arg (an item missing)
_Tavrel.KT_INTERFACE_SignData(t, b'data', 4, None, ppbSign=signature)  # refused: call-arg (no keywords)
_Tavrel.SWIG_PyInstanceMethod_New(function=len)  # refused: call-arg (no keywords)
