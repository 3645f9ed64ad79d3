# SPDX-License-Identifier: Apache-2.0
"""Card payments, pre-authorizations and AuthString checks from Python, through libvemrick.so.

    import vemrick
    result = vemrick.pay(auth_string, "https://pay.example.net/cgi/qz", key_file="/etc/vemrick/key")
    if result.approved:
        ...

Every call runs in the calling thread and releases the interpreter lock while the library works,
so threads pay in parallel. The library is loaded on first use (see vemrick._native).

Errors of the caller (a wrong type, a str key, an impossible option) raise TypeError or
ValueError before anything is sent; a missing or unreadable key file raises OSError. What the
library judges (an empty or undecodable AuthString, a malformed expiry date, the network, the
server's answer) comes back as a Result with its return code and, for a transaction, the reason
in Result.error.
"""
import collections
import ctypes
import dataclasses
import datetime
import os
import time
import warnings
from typing import Optional, Tuple, Union

from . import _native
from ._version import __version__

__all__ = ["Result", "pay", "preauthorize", "inspect", "is_valid", "MAX_EXPIRY_DAYS"]

MAX_EXPIRY_DAYS = 90
MAX_PROXY_CREDENTIALS = 1024  # bytes of user ":" password
DEFAULT_TIMEOUT = 30

Text = Union[str, bytes]
Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Proxy = Union[str, Tuple[str, int]]
ProxyAuth = Tuple[Union[str, bytes], Union[str, bytes]]


@dataclasses.dataclass(frozen=True)
class Result:
    """The outcome of one call.

    return_code: 0 approved (inspect: the AuthString was read); below 999 the server's own code
        (a decline); 1000 to 1005 and 2010 the library's, as in vemrick.h.
    approved: return_code == 0 for a payment or pre-authorization; always False for inspect.
    merchant_id .. pan: the pay request's six fields as the tool prints them, filling spaces kept,
        decoded as Latin-1; empty when the AuthString could not be read. The PAN is left out of
        repr() so that logging a Result does not log a card number.
    cards: the cards of an accepted reply, in reply order.
    authorization_date_time, authorization_number: from an accepted reply, else "".
    request_sent: True once any byte of the request went out (then ask the payment server before
        paying again), False if none did; None for inspect.
    error: "phase: cause" for a result from 1000 up, as the tool reports it; else None.
    """
    return_code: int
    approved: bool
    merchant_id: str = ""
    transaction_id: str = ""
    currency_code: str = ""
    transaction_amount: str = ""
    description: str = ""
    pan: str = dataclasses.field(default="", repr=False)
    cards: Tuple[str, ...] = ()
    authorization_date_time: str = ""
    authorization_number: str = ""
    request_sent: Optional[bool] = None
    error: Optional[str] = None


def pay(auth_string: Text, url: Text, *, key: Optional[bytes] = None,
        key_file: Optional[Path] = None, timeout: int = DEFAULT_TIMEOUT,
        proxy: Optional[Proxy] = None, proxy_auth: Optional[ProxyAuth] = None,
        cacert: Optional[Path] = None, cert: Optional[Path] = None,
        cert_key: Optional[Path] = None, pin: Optional[Text] = None,
        unsigned: bool = False) -> Result:
    """Pays the order of auth_string at url (http:// or https://) and returns the Result.

    key: the merchant key as bytes; or key_file: a file read as the tool reads it (at most 511
    bytes, the last byte dropped, a NUL byte refused). Exactly one of the two. An empty key posts
    the AuthString unsigned and does not check the reply's signature, so anyone on the way could
    forge an approval: it raises ValueError unless unsigned=True says that this is meant (a
    truncated key file must not turn the checks off). timeout: seconds of silence
    (1 or more) that end the exchange; the whole exchange is bounded by four times it. proxy: an
    HTTP proxy as "host:port" or (host, port). proxy_auth: (user, password) for a proxy that
    wants Basic credentials (str, taken as UTF-8, or bytes; the user without ":"), sent to the
    proxy only and in clear: use it only with a proxy you trust on a network you trust. cacert: a
    PEM file whose every certificate is trusted for https (an intermediate CA too) instead of the
    system's trust store. cert: a PEM client certificate (and its chain) presented when the server
    asks, with its unencrypted key in cert_key or else in the cert file; a file that cannot be used
    gives return code 1002 with nothing sent. pin: "sha256//BASE64[;sha256//BASE64...]", public
    keys of which the server's verified chain must hold one (1002 with nothing sent otherwise; a
    malformed pin gives 1000).
    """
    return _transact(False, None, auth_string, url, key, key_file, timeout, proxy, proxy_auth,
                     _Tls(cacert, cert, cert_key, pin), unsigned)


def preauthorize(auth_string: Text, url: Text, *, key: Optional[bytes] = None,
                 key_file: Optional[Path] = None, expiry_days: Optional[int] = None,
                 expiry_date: Union[str, datetime.date, None] = None,
                 timeout: int = DEFAULT_TIMEOUT, proxy: Optional[Proxy] = None,
                 proxy_auth: Optional[ProxyAuth] = None, cacert: Optional[Path] = None,
                 cert: Optional[Path] = None, cert_key: Optional[Path] = None,
                 pin: Optional[Text] = None) -> Result:
    """Pre-authorizes the order of auth_string at url, held until an expiry date: expiry_days
    from today's local calendar date (at most 90; 0 is today, negative values lie in the past), or
    expiry_date as "YYYYMMDD" or a datetime.date; neither sends no date. A key is mandatory (an
    empty one gives return code 1000, as does an expiry_date text that is not a calendar date).
    The other arguments are those of pay().
    """
    expiry = _expiry(expiry_days, expiry_date)
    return _transact(True, expiry, auth_string, url, key, key_file, timeout, proxy, proxy_auth,
                     _Tls(cacert, cert, cert_key, pin))


def inspect(auth_string: Text) -> Result:
    """Reads the six fields of auth_string without contacting any server. return_code is 0, 1000
    for an empty AuthString, or 2010 for one that is not base64 or too short."""
    lib = _native.library()
    data = _auth_bytes(auth_string)
    fields, report = _native.PayRequestFields(), _native.CallReport()
    try:
        code = lib.QZGetPayTransactionEx(data, len(data), ctypes.byref(fields), ctypes.byref(report))
        return Result(code, False, **_field_texts(fields), error=_error(report))
    finally:
        _wipe(fields)


def is_valid(auth_string: Text, **expected: Text) -> bool:
    """True when auth_string carries exactly the expected order, given as all six of merchant_id,
    transaction_id, currency_code, transaction_amount, description and pan (the names of Result's
    fields): texts compared after trimming spaces on both sides, transaction_amount as a number.
    False when it differs, is empty or cannot be decoded. A missing or unknown name raises
    TypeError; a value longer than its field or holding a NUL raises ValueError."""
    names = [name for name, _, _ in _native.FIELDS]
    if set(expected) != set(names):
        raise TypeError("is_valid() takes the six fields %s, not %s"
                        % (", ".join(names), ", ".join(sorted(expected)) or "none"))
    lib = _native.library()
    data = _auth_bytes(auth_string)
    fields = _native.PayRequestFields()
    try:
        for name, slot, width in _native.FIELDS:
            value = _text_bytes(name, expected[name], "latin-1")
            if len(value) > width:
                raise ValueError("%s is longer than its field (%d bytes)" % (name, width))
            setattr(fields, slot, value)
        code = lib.QZIsValidPayTransaction(data, len(data), ctypes.byref(fields))
        return code == _native.QZ_VALID
    finally:
        _wipe(fields)


# ---- the common road of both transactions


_Tls = collections.namedtuple("_Tls", "cacert cert cert_key pin")


def _transact(preauth, expiry, auth_string, url, key, key_file, timeout, proxy, proxy_auth, tls,
              unsigned=False):
    lib = _native.library()
    data = _auth_bytes(auth_string)
    url_bytes = _text_bytes("url", url, "utf-8")
    seconds = _timeout(timeout)
    proxy_host, proxy_port = _proxy(proxy)
    paths = [None if value is None else _path_bytes(name, value)
             for name, value in zip(("cacert", "cert", "cert_key"), tls[:3])]
    pin = None if tls.pin is None else _text_bytes("pin", tls.pin, "ascii")
    options = _native.CallOptions(paths[0], certFile=paths[1], certKeyFile=paths[2], pins=pin)
    record, report = _native.TransactionRecord(), _native.CallReport()
    count, cards = ctypes.c_uint(0), ctypes.c_void_p()
    credentials = _credentials_buffer(proxy_auth)
    try:
        key_buffer, key_len = _key_buffer(key, key_file)  # nothing else can fail once it is read
        if key_len == 0 and not preauth and not unsigned:
            raise ValueError("the merchant key is empty: the request would go out unsigned and the "
                             "reply would not be verified (pass unsigned=True if that is meant)")
    except BaseException:
        _wipe(credentials)
        raise
    options.proxyCredentials = ctypes.addressof(credentials)
    try:
        args = [ctypes.byref(record), ctypes.byref(count), ctypes.byref(cards), seconds, key_buffer,
                key_len, proxy_host, proxy_port, ctypes.byref(options), ctypes.byref(report)]
        if preauth:
            code = lib.QZProcessPreAuthorizationEx(data, len(data), expiry, url_bytes, *args)
        else:
            code = lib.QZProcessPayTransactionEx(data, len(data), url_bytes, *args)
    finally:
        _wipe(key_buffer)
        _wipe(credentials)
    try:
        size = _native.CARD_ENTRY_SIZE
        block = ctypes.string_at(cards.value, count.value * size) if cards else b""
        return Result(
            code, code == _native.QZ_OK, **_field_texts(record),
            cards=tuple(_latin1(block[i:i + size]) for i in range(0, len(block), size)),
            authorization_date_time=_latin1(record.AuthorizationDateTime),
            authorization_number=_latin1(record.AuthorizationNumber),
            request_sent=bool(report.requestSent),
            error=_error(report))
    finally:
        if cards:
            lib.free(cards)
        _wipe(record)


# ---- arguments


def _type_name(value):
    return type(value).__name__


def _auth_bytes(auth_string):
    if isinstance(auth_string, str):
        data = auth_string.encode("utf-8", "replace")  # anything beyond ASCII is not base64 anyway
    elif isinstance(auth_string, (bytes, bytearray, memoryview)):
        data = bytes(auth_string)
    else:
        raise TypeError("auth_string must be str or bytes, not %s" % _type_name(auth_string))
    if len(data) > _native.UINT_MAX:
        raise ValueError("auth_string is longer than 4 GiB")
    return data


def _text_bytes(name, value, encoding):
    """A text argument as bytes for a C string: str encoded, a NUL refused (C would stop there)."""
    if isinstance(value, str):
        try:
            data = value.encode(encoding)
        except UnicodeEncodeError as e:
            raise ValueError("%s cannot be written in %s: %s" % (name, encoding, e)) from None
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError("%s must be str or bytes, not %s" % (name, _type_name(value)))
    if b"\0" in data:
        raise ValueError("%s holds a NUL character" % name)
    return data


def _path_bytes(name, path):
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a path, not %s" % (name, _type_name(path)))
    return _text_bytes(name, os.fsencode(path), "utf-8")


def _whole_number(name, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, _type_name(value)))
    return value


def _timeout(timeout):
    if not 1 <= _whole_number("timeout", timeout) <= 2**31 - 1:
        raise ValueError("timeout must be 1 to 2147483647 seconds, not %d" % timeout)
    return timeout


def _proxy(proxy):
    """(host bytes, port) for the library; (None, 0) for no proxy."""
    if proxy is None:
        return None, 0
    if isinstance(proxy, str):
        host, colon, port = proxy.rpartition(":")
        if not colon or not port.isdigit():
            raise ValueError("proxy must be 'host:port', not %r" % proxy)
        port = int(port)
    elif isinstance(proxy, tuple) and len(proxy) == 2:
        host, port = proxy[0], _whole_number("proxy port", proxy[1])
    else:
        raise TypeError("proxy must be 'host:port' or a (host, port) tuple, not %s"
                        % _type_name(proxy))
    host = _text_bytes("proxy host", host, "ascii")
    if not host or not 1 <= port <= 65535:
        raise ValueError("proxy needs a host and a port from 1 to 65535")
    return host, port


def _credentials_buffer(proxy_auth):
    """user:password and a NUL in a ctypes buffer of this package's own, which the caller wipes
    (an empty one for no credentials)."""
    if proxy_auth is None:
        return (ctypes.c_char * 1)()
    if not isinstance(proxy_auth, tuple) or len(proxy_auth) != 2:
        raise TypeError("proxy_auth must be a (user, password) tuple, not %s" % _type_name(proxy_auth))
    parts = []
    for name, value in zip(("proxy user", "proxy password"), proxy_auth):
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif not isinstance(value, (bytes, bytearray)):
            raise TypeError("%s must be str or bytes, not %s" % (name, _type_name(value)))
        if any(b < 0x20 or b == 0x7F for b in value):
            raise ValueError("%s holds a control character" % name)
        parts.append(value)
    if b":" in parts[0]:
        raise ValueError("proxy user must not hold ':'")
    size = len(parts[0]) + 1 + len(parts[1])
    if size > MAX_PROXY_CREDENTIALS:
        raise ValueError("proxy user and password are longer than %d bytes" % MAX_PROXY_CREDENTIALS)
    buffer = (ctypes.c_char * (size + 1))()
    ctypes.memmove(buffer, bytes(parts[0]), len(parts[0]))
    buffer[len(parts[0])] = b":"
    ctypes.memmove(ctypes.addressof(buffer) + len(parts[0]) + 1, bytes(parts[1]), len(parts[1]))
    return buffer


def _expiry(expiry_days, expiry_date):
    """The expiry date as b"YYYYMMDD", the text given, or None for no date."""
    if expiry_days is not None and expiry_date is not None:
        raise TypeError("give expiry_days or expiry_date, not both")
    if expiry_days is not None:
        if _whole_number("expiry_days", expiry_days) > MAX_EXPIRY_DAYS:
            raise ValueError("expiry_days is at most %d, not %d" % (MAX_EXPIRY_DAYS, expiry_days))
        date = ctypes.create_string_buffer(9)
        if _native.library().QZExpiryDate(int(time.time()), max(expiry_days, -2**31), date) != _native.QZ_OK:
            raise ValueError("expiry_days gives a date outside the years 1 to 9999")
        return date.value
    if isinstance(expiry_date, datetime.date):
        return b"%04d%02d%02d" % (expiry_date.year, expiry_date.month, expiry_date.day)
    if expiry_date is None:
        return None
    return _text_bytes("expiry_date", expiry_date, "ascii")


def _key_buffer(key, key_file):
    """The key in a ctypes buffer of this package's own, which the caller wipes; and its length."""
    if (key is None) == (key_file is None):
        raise TypeError("give the merchant key as key= (bytes) or key_file=, exactly one")
    if key_file is not None:
        return _read_key_file(key_file)
    if isinstance(key, str):
        raise TypeError("key must be bytes, not str: give the key's bytes (e.g. key.encode()) so "
                        "that no text encoding is guessed")
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError("key must be bytes, not %s" % _type_name(key))
    size = memoryview(key).nbytes
    if size > _native.UINT_MAX:
        raise ValueError("key is longer than 4 GiB")
    return (ctypes.c_ubyte * size).from_buffer_copy(key), size


def _read_key_file(path):
    """Reads the key file by the library's rules, straight into the buffer (no copy is left
    behind). OSError when it cannot be opened or read, ValueError when it is empty or holds a NUL
    byte; a warning when others may read or write it."""
    lib = _native.library()
    path = _path_bytes("key_file", path)
    buffer, length, shared = (ctypes.c_ubyte * _native.KEY_BUFFER_SIZE)(), ctypes.c_uint(), ctypes.c_int()
    result = lib.QZReadKeyFile(path, -1, buffer, ctypes.byref(length), ctypes.byref(shared),
                               DEFAULT_TIMEOUT)
    errno = ctypes.get_errno()
    if shared.value:
        warnings.warn("%s: %s" % (os.fsdecode(path), lib.QZKeyFileText(_native.KEY_SHARED).decode()))
    if result == _native.KEY_READ:
        return buffer, length.value
    text = "%s: %s" % (lib.QZKeyFileText(result).decode(), os.fsdecode(path))
    if result == _native.KEY_HOLDS_NUL or not errno:
        raise ValueError(text)
    raise OSError(errno, text, os.fsdecode(path))


# ---- results


def _error(report):
    """ "phase: cause" of a failed call, as the tool reports it; None without a failure."""
    return "%s: %s" % (_latin1(report.phase), _latin1(report.cause)) if report.phase else None


def _latin1(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


def _field_texts(record):
    return {name: _latin1(getattr(record, slot)) for name, slot, _ in _native.FIELDS}


def _wipe(buffer):
    ctypes.memset(ctypes.addressof(buffer), 0, ctypes.sizeof(buffer))
