# SPDX-License-Identifier: Apache-2.0
"""The ctypes side of the package: the records of vemrick.h and the entry points of libvemrick.so.

The library is loaded once, on first use, from the path in the environment variable
VEMRICK_LIBRARY when it is set, else by its name as installed (libvemrick.so.1, then what
ctypes.util.find_library("vemrick") finds). The layouts here follow vemrick.h field for field.
"""
import ctypes
import ctypes.util
import os
import threading

# Return codes of vemrick.h (enum QZReturnCode).
QZ_OK = 0
QZ_VALID = 1
QZ_BAD_ARGUMENTS = 1000
QZ_BAD_REQUEST = 2010

# The six fields of a pay request: attribute of Result, slot of the C records, width in bytes.
FIELDS = (
    ("merchant_id", "MerchantID", 10),
    ("transaction_id", "TransactionID", 50),
    ("currency_code", "CurrencyCode", 3),
    ("transaction_amount", "TransactionAmount", 12),
    ("description", "Description", 255),
    ("pan", "PAN", 40),
)
CARD_ENTRY_SIZE = 11
AUTH_DATE_TIME_LEN = 20
AUTH_NUMBER_LEN = 40
PHASE_SIZE = 16
CAUSE_SIZE = 256
UINT_MAX = 0xFFFFFFFF

_field_slots = [(slot, ctypes.c_char * (width + 1)) for _, slot, width in FIELDS]


class PayRequestFields(ctypes.Structure):
    _fields_ = _field_slots


class TransactionRecord(ctypes.Structure):
    _fields_ = _field_slots + [
        ("AuthorizationDateTime", ctypes.c_char * (AUTH_DATE_TIME_LEN + 1)),
        ("AuthorizationNumber", ctypes.c_char * (AUTH_NUMBER_LEN + 1)),
        ("ReturnCode", ctypes.c_int32),
    ]


TraceFunction = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)


class CallOptions(ctypes.Structure):
    _fields_ = [("caFile", ctypes.c_char_p), ("trace", TraceFunction),
                ("traceContext", ctypes.c_void_p), ("proxyCredentials", ctypes.c_void_p),
                ("certFile", ctypes.c_char_p), ("certKeyFile", ctypes.c_char_p),
                ("pins", ctypes.c_char_p)]


class CallReport(ctypes.Structure):
    _fields_ = [("requestSent", ctypes.c_int), ("phase", ctypes.c_char * PHASE_SIZE),
                ("cause", ctypes.c_char * CAUSE_SIZE)]


_P = ctypes.POINTER
_uint, _int, _text, _bytes = ctypes.c_uint, ctypes.c_int, ctypes.c_char_p, _P(ctypes.c_ubyte)
_TRANSACTION_TAIL = [_P(TransactionRecord), _P(_uint), _P(ctypes.c_void_p), _int, _bytes, _uint,
                     _text, _uint, _P(CallOptions), _P(CallReport)]
_SIGNATURES = {  # name: argument types, result type
    "QZGetPayTransactionEx": ([_text, _uint, _P(PayRequestFields), _P(CallReport)], _uint),
    "QZIsValidPayTransaction": ([_text, _uint, _P(PayRequestFields)], _uint),
    "QZProcessPayTransactionEx": ([_text, _uint, _text] + _TRANSACTION_TAIL, _uint),
    "QZProcessPreAuthorizationEx": ([_text, _uint, _text, _text] + _TRANSACTION_TAIL, _uint),
    "QZReadKeyFile": ([_text, _int, _bytes, _P(_uint), _P(_int), _int], _int),
    "QZKeyFileText": ([_int], _text),
    "QZExpiryDate": ([ctypes.c_int64, ctypes.c_long, ctypes.c_char_p], _uint),
}
# Results of QZReadKeyFile (enum QZKeyFileResult).
KEY_READ, KEY_CANNOT_OPEN, KEY_CANNOT_READ, KEY_HOLDS_NUL, KEY_SHARED = range(5)
KEY_BUFFER_SIZE = 512


class Library:
    """The loaded libvemrick.so with its entry points typed, and the C library's free()."""

    def __init__(self, cdll):
        for name, (argtypes, restype) in _SIGNATURES.items():
            function = getattr(cdll, name)
            function.argtypes, function.restype = argtypes, restype
            setattr(self, name, function)
        # The card list is taken with the C library's malloc, so it goes back through its free.
        self.free = ctypes.CDLL(None).free
        self.free.argtypes = [ctypes.c_void_p]
        self.free.restype = None


_loaded = None
_loading = threading.Lock()


def _open():
    explicit = os.environ.get("VEMRICK_LIBRARY")
    if explicit:
        try:
            return ctypes.CDLL(explicit, use_errno=True)
        except OSError as e:
            raise OSError("cannot load VEMRICK_LIBRARY=%s: %s" % (explicit, e)) from e
    tried = []
    for name in ("libvemrick.so.1", ctypes.util.find_library("vemrick")):
        if name and name not in tried:
            tried.append(name)
            try:
                return ctypes.CDLL(name, use_errno=True)
            except OSError:
                pass
    raise OSError("libvemrick.so.1 not found (tried %s): install the library, or set "
                  "VEMRICK_LIBRARY to its path" % ", ".join(tried))


def library():
    """The library, loaded by the first caller; OSError when it cannot be found or loaded."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                _loaded = Library(_open())
    return _loaded
