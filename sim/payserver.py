#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A test payment server for vemrick: answers "2040" pay and "1093" pre-authorization messages.

Each connection carries one HTTP/1.0 POST whose body is the base64 text of a signed message.
The server checks the message strictly (layout, version, signature-length field, HMAC-SHA-1
signature under the merchant key) and answers with a signed "1041" or "1094" reply, base64 in
the body of an HTTP 200 response, then closes the connection. A request it does not accept gets
an HTTP 400 with a short text body (which never decodes as a reply) and a line on stderr.

Messages (offsets in bytes; L is the length of the buyer's pay request):

  "2040"  0 type | 4 "1.00" | 8 pay request (L) | 8+L "000000000040" | 20+L signature of bytes 0..19+L
  "1093"  0 type | 4 "1.00" | 8 expiry YYYYMMDD or 8 spaces | 16 pay request (L)
          | 16+L "000000000040" | 28+L signature of bytes 0..27+L
  "1041"  0 type | 4 "1.00" | 8 the 370 bytes of the pay request's fields (offsets 8..377)
          | 378 date/time (20) | 398 "000000000040" | 410 return code (4) | 414 card count n (4)
          | 418 n cards of 10 | 418+10n signature of bytes 8..417+10n
  "1094"  as "1041" with the request's 8-byte expiry field inserted at offset 8 (everything after
          it moves 8 bytes on); the signature covers bytes 0..425+10n

Signatures are HMAC-SHA-1 written as 40 upper-case hexadecimal characters.

It listens on a loopback address only (--bind, 127.0.0.1 by default, ::1 works too), and with
--tls-cert it speaks HTTPS on that port instead of HTTP: the TLS handshake runs in each
connection's own thread, so a client that stalls in it holds up no other.
"""
import argparse
import base64
import binascii
import datetime
import hashlib
import hmac
import ipaddress
import json
import os
import re
import signal
import socket
import socketserver
import ssl
import struct
import sys
import textwrap
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_KEY_FILE = os.path.join(HERE, "demo.key")

VERSION = b"1.00"
SIGNATURE_LENGTH = b"000000000040"
FIELDS_END = 378               # the six pay request fields end here
MAX_PAY_REQUEST = 10622        # the largest pay request the client's message buffers hold
MAX_HEAD = 64 * 1024
MAX_BODY = 1024 * 1024
MIN_REPLY = {b"1041": 468, b"1094": 476}

# Test values. The cents of TransactionAmount choose the return code; anything else approves (0).
DECLINES = {
    "05": (5, "do not honour"),
    "14": (14, "invalid card"),
    "51": (51, "insufficient funds"),
    "54": (54, "expired card"),
    "91": (91, "issuer unavailable"),
}
THREE_CARD_PAN = "4000000000000002"
THREE_CARDS = (b"ALPHA", b"BRAVO12345", b"CHARLIE")
MAX_CARD_PAN = "4000000000001024"
MAX_CARDS = tuple(b"CARD%04d" % i for i in range(1, 1025))

MODES = {
    "bad-signature": "valid reply whose last signature character is changed",
    "lower-case-signature": "valid reply with the signature in lower case",
    "wrong-type": 'valid layout and signature, but type "1094" for a 2040 and "1041" for a 1093',
    "wrong-version": 'valid layout and signature, but version "1.01"',
    "no-echo": "first Description character changed, signature valid",
    "other-transaction": "TransactionID replaced by OTHER-TRANSACTION, signature valid",
    "truncated": "reply cut one byte short of the minimum (467 bytes for 1041, 475 for 1094)",
    "cards-0": "card count 0000 with one card entry still present (reply of minimum length), signed",
    "cards-1025": "card count 1025 with 1025 entries present, signed",
    "cards-beyond": "card count 0002 but only one card present, so the signature the count "
                    "places would run 10 bytes past the end; signed over the bytes present",
    "sig-offset": "1041 signed from offset 0, 1094 signed from offset 8 (the other reply's rule)",
    "silent": "read the request, then send nothing until the client goes away",
    "close": "read the request, then close without any reply",
    "html-error": "HTTP 500 with an HTML page as body",
    "bare-lf": "valid reply whose head has bare LF line ends",
    "split-body": "valid reply with the base64 body broken into 76-character CRLF lines",
    "huge-body": "valid head, then --huge-bytes of base64 text (default 8 MiB), until the client closes",
    "trickle": "valid reply sent one byte at a time, --trickle-interval seconds apart (a reply with one "
               "card is about 700 bytes: 35 s at the default 0.05)",
    "endless": "valid head, then base64 text without end until the client closes",
    "reset": "read the request, then reset the connection (SO_LINGER 0, close)",
    "reset-before": "reset the connection (SO_LINGER 0, close) right after accepting, before reading; "
                    "a client may see the reset while it is still completing its connect",
    "close-during-send": "close as soon as the first request byte arrives, leaving the rest unread "
                         "(the kernel answers with a reset)",
    "reflect": 'answer with the type and version of the reply ("1041" or "1094", "1.00") followed by '
               "the client's own signed message, as an attacker on the network could",
    "inject-date": "reply whose date/time field is a line end, ReturnCode=0 and a line end, whose card "
                   "holds line ends too, and whose signature is broken (as from an attacker without the key)",
    "reset-after-reply": "valid reply, then 0.3 s later a reset (SO_LINGER 0, close) instead of a close",
    "tls-stall": "accept the connection, then never answer the TLS handshake (or anything else) until "
                 "the client goes away; with or without --tls-cert",
    "bad-gateway": "HTTP 502 Bad Gateway with an HTML page, as a front whose payment service is down",
    "unavailable": "HTTP 503 Service Unavailable with an HTML page, as a front with no server left",
    "too-large": "HTTP 413 Payload Too Large with an HTML page, as a front that refuses the body unread",
    "error-status-reply": "valid signed reply, but under the status 500 Internal Server Error",
    "hold-open": "valid reply with its Content-Length, then the connection held open until the client "
                 "closes it",
}
# The error pages of the status modes.
STATUS_PAGES = {"bad-gateway": b"502 Bad Gateway", "unavailable": b"503 Service Unavailable",
                "too-large": b"413 Payload Too Large"}
# The versions --tls-only can offer. TLS 1.1 also needs security level 0 on OpenSSL 3.
TLS_VERSIONS = {"1.1": ssl.TLSVersion.TLSv1_1, "1.2": ssl.TLSVersion.TLSv1_2,
                "1.3": ssl.TLSVersion.TLSv1_3}
# Modes that act on the connection whatever the request held.
RAW_MODES = ("silent", "close", "html-error", "huge-body", "endless", "reset") + tuple(STATUS_PAGES)

STOP = threading.Event()
LOG_LOCK = threading.Lock()


class BadRequest(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Messages

def read_key_file(path):
    """The merchant key as the tool reads it: at most 511 bytes, last byte read dropped, up to NUL."""
    with open(path, "rb") as f:
        data = f.read(511)
    if not data:
        raise ValueError("key file %s is empty" % path)
    return data[:-1].split(b"\0", 1)[0]


def sign(key, data):
    """HMAC-SHA-1 of data under key as 40 upper-case hexadecimal characters (bytes)."""
    return hmac.new(key, data, hashlib.sha1).hexdigest().upper().encode("ascii")


def valid_date(text):
    if not re.fullmatch(rb"[0-9]{8}", text):
        return False
    try:
        datetime.date(int(text[0:4]), int(text[4:6]), int(text[6:8]))
    except ValueError:
        return False
    return True


def field_texts(pay_request):
    """The six fields of a pay request as untrimmed latin-1 texts."""
    out = {}
    for name, start, width in (("MerchantID", 8, 10), ("TransactionID", 18, 50), ("CurrencyCode", 68, 3),
                               ("TransactionAmount", 71, 12), ("Description", 83, 255), ("PAN", 338, 40)):
        out[name] = pay_request[start:start + width].decode("latin-1")
    return out


def check_message(msg, key, accept_unsigned=False):
    """Check a decoded request message. Returns a dict: type, pay_request, expiry, signature,
    signature_valid, error (None when the message is accepted)."""
    info = {"type": None, "pay_request": None, "expiry": None, "signature": None,
            "signature_valid": None, "error": None}
    kind = msg[:4]
    if kind in (b"2040", b"1093"):
        info["type"] = kind.decode()
        front = 8 if kind == b"2040" else 16        # bytes before the pay request
        L = len(msg) - front - 52
        if msg[4:8] != VERSION:
            info["error"] = "version %r is not 1.00" % msg[4:8].decode("latin-1")
        elif L < FIELDS_END:
            info["error"] = "%s message of %d bytes is too short to hold a pay request" % (info["type"], len(msg))
        elif L > MAX_PAY_REQUEST:
            info["error"] = "pay request of %d bytes exceeds %d" % (L, MAX_PAY_REQUEST)
        if kind == b"1093":
            info["expiry"] = msg[8:16].decode("latin-1")
            if info["error"] is None and msg[8:16] != b" " * 8 and not valid_date(msg[8:16]):
                info["error"] = "expiry field %r is neither a YYYYMMDD date nor 8 spaces" % info["expiry"]
        if info["error"] is not None:
            return info
        info["pay_request"] = msg[front:front + L]
        signed = msg[:front + L + 12]
        signature = msg[front + L + 12:]
        info["signature"] = signature.decode("latin-1")
        if msg[front + L:front + L + 12] != SIGNATURE_LENGTH:
            info["error"] = "signature-length field %r is not 000000000040" % msg[front + L:front + L + 12].decode("latin-1")
        elif not re.fullmatch(rb"[0-9A-F]{40}", signature):
            info["error"] = "signature %r is not 40 upper-case hexadecimal characters" % info["signature"]
        else:
            info["signature_valid"] = hmac.compare_digest(signature, sign(key, signed))
            if not info["signature_valid"]:
                info["error"] = "signature does not match the merchant key"
        return info
    info["type"] = "unsigned"
    info["pay_request"] = msg
    if not accept_unsigned:
        info["error"] = "not a 2040 or 1093 message (an unsigned pay request needs --accept-unsigned)"
    elif len(msg) < FIELDS_END:
        info["error"] = "unsigned pay request of %d bytes is shorter than %d" % (len(msg), FIELDS_END)
    return info


def return_code_for(pay_request):
    amount = pay_request[71:83].decode("latin-1").strip()
    cents = amount.split(".", 1)[1][:2] if "." in amount else "00"
    return DECLINES.get(cents, (0, "approved"))[0]


def cards_for(pay_request):
    pan = pay_request[338:378].decode("latin-1").strip()
    if pan == THREE_CARD_PAN:
        return list(THREE_CARDS)
    if pan == MAX_CARD_PAN:
        return list(MAX_CARDS)
    return [pan[-4:].encode("latin-1") if pan else b"NOCARD"]


def build_reply(layout, key, echo, *, expiry=b" " * 8, date_time=None, return_code=0, cards=(b"0000",),
                count=None, type_text=None, version=VERSION, sign_from=None):
    """A "1041" or "1094" reply. echo is the 370 bytes of the pay request fields (offsets 8..377).
    count, type_text, version and sign_from override the correct values for misbehaviour."""
    if date_time is None:
        date_time = time.strftime("%Y%m%d%H%M%S").encode("ascii")
    head = (type_text or layout) + version + (expiry if layout == b"1094" else b"")
    if sign_from is None:
        sign_from = 8 if layout == b"1041" else 0
    body = (head + echo + date_time.ljust(20)[:20] + SIGNATURE_LENGTH
            + b"%04d" % return_code + b"%04d" % (len(cards) if count is None else count)
            + b"".join(c.ljust(10)[:10] for c in cards))
    return body + sign(key, body[sign_from:])


def reply_for(info, msg, key, mode=None):
    """The reply (decoded bytes) for an accepted request, shaped by the misbehaviour mode."""
    pr = info["pay_request"]
    layout = b"1094" if info["type"] == "1093" else b"1041"
    if info["type"] == "unsigned":
        key = b""                                   # unsigned request: unsigned reply
    echo = bytearray(pr[8:FIELDS_END])
    kw = {"return_code": return_code_for(pr), "cards": cards_for(pr)}
    if layout == b"1094":
        kw["expiry"] = msg[8:16]
    if mode == "wrong-type":
        kw["type_text"] = b"1041" if layout == b"1094" else b"1094"
    elif mode == "wrong-version":
        kw["version"] = b"1.01"
    elif mode == "no-echo":
        echo[75] = ord("Y") if echo[75] == ord("X") else ord("X")
    elif mode == "other-transaction":
        other = b"OTHER-TRANSACTION".ljust(50)
        echo[10:60] = other if echo[10:60] != other else b"OTHER-TRANSACTION-2".ljust(50)
    elif mode == "cards-0":
        kw["count"] = 0
        kw["cards"] = kw["cards"][:1]
    elif mode == "cards-1025":
        kw["cards"] = [b"CARD%04d" % i for i in range(1, 1026)]
    elif mode == "cards-beyond":
        kw["cards"] = kw["cards"][:1]
        kw["count"] = 2
    elif mode == "sig-offset":
        kw["sign_from"] = 0 if layout == b"1041" else 8
    elif mode == "inject-date":
        kw["date_time"] = b"\nReturnCode=0\n"
        kw["cards"] = [b"\nCard=0\n"]
    elif mode == "reflect":
        return layout + VERSION + msg
    reply = build_reply(layout, key, bytes(echo), **kw)
    if mode in ("bad-signature", "inject-date"):
        reply = reply[:-1] + (b"1" if reply[-1:] == b"0" else b"0")
    elif mode == "lower-case-signature":
        reply = reply[:-40] + reply[-40:].lower()
    elif mode == "truncated":
        reply = reply[:MIN_REPLY[layout] - 1]
    return reply


def parse_reply(reply):
    """Read a reply back into a dict (used to check the layout by hand)."""
    layout = reply[:4]
    base = 8 if layout == b"1094" else 0
    n = int(reply[414 + base:418 + base].strip() or b"0")
    end = 418 + base + 10 * n
    return {"type": layout, "version": reply[4:8], "fields": field_texts(reply[base:base + FIELDS_END]),
            "date_time": reply[378 + base:398 + base], "signature_length": reply[398 + base:410 + base],
            "return_code": int(reply[410 + base:414 + base]), "count": n,
            "cards": [reply[418 + base + 10 * i:428 + base + 10 * i].strip() for i in range(n)],
            "signed": reply[0 if layout == b"1094" else 8:end], "signature": reply[end:end + 40]}


# ---------------------------------------------------------------------------------------------
# Connections

def log_entry(path, entry):
    if not path:
        return
    line = json.dumps(entry, sort_keys=True)
    with LOG_LOCK, open(path, "a", encoding="ascii") as f:
        f.write(line + "\n")


def recv_some(sock, deadline, size=65536):
    """One recv; b"" when the peer closed. Raises TimeoutError past the deadline or on shutdown."""
    while True:
        try:
            return sock.recv(size)
        except socket.timeout:
            if STOP.is_set() or time.monotonic() > deadline:
                raise TimeoutError("no data from the client in time")


def send_all(sock, data, deadline=None):
    """Send everything; False when the client went away, on a write error, past the deadline or on shutdown."""
    view = memoryview(data)
    while view:
        try:
            sent = sock.send(view[:65536])
        except socket.timeout:
            if STOP.is_set() or (deadline is not None and time.monotonic() > deadline):
                return False
            continue
        except OSError:
            return False
        view = view[sent:]
    return True


def read_request(sock, deadline, max_body=MAX_BODY, need_length=True):
    """Read one request head and its Content-length body. Returns (request_line, headers, body, raw_head).
    Without need_length a request with no Content-length header has an empty body."""
    buf = b""
    while b"\r\n\r\n" not in buf:
        if b"\n\n" in buf:
            raise BadRequest("request head has bare LF line ends")
        if len(buf) > MAX_HEAD:
            raise BadRequest("request head longer than %d bytes" % MAX_HEAD)
        chunk = recv_some(sock, deadline)
        if not chunk:
            raise BadRequest("connection closed before the end of the request head (%d bytes read)" % len(buf))
        buf += chunk
        if buf[:1] == b"\x16":             # a TLS handshake record: no request line starts so
            raise BadRequest("a TLS handshake on this plain HTTP port")
    raw_head, rest = buf.split(b"\r\n\r\n", 1)
    lines = raw_head.split(b"\r\n")
    if any(b"\n" in line for line in lines):
        raise BadRequest("request head has bare LF line ends")
    request_line = lines[0].decode("latin-1")
    headers = []
    for line in lines[1:]:
        name, sep, value = line.decode("latin-1").partition(":")
        if not sep:
            raise BadRequest("malformed header line %r" % line.decode("latin-1"))
        headers.append([name, value.strip()])
    lengths = [v for n, v in headers if n.lower() == "content-length"]
    if not lengths and not need_length:
        lengths = ["0"]
    if len(lengths) != 1 or not re.fullmatch(r"[0-9]{1,9}", lengths[0]):
        raise BadRequest("need exactly one numeric Content-length header, got %r" % lengths,
                         request_line, headers)
    length = int(lengths[0])
    if length > max_body:
        raise BadRequest("body of %d bytes exceeds %d" % (length, max_body), request_line, headers)
    body = rest
    while len(body) < length:
        chunk = recv_some(sock, deadline)
        if not chunk:
            raise BadRequest("body of %d bytes is shorter than Content-length %d" % (len(body), length),
                             request_line, headers, body)
        body += chunk
    return request_line, headers, body[:length], raw_head


def reset_connection(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def http_response(status, content_type, body, line_end=b"\r\n"):
    head = b"HTTP/1.0 " + status + line_end + b"Content-Type: " + content_type + line_end
    head += b"Content-Length: %d" % len(body) + line_end + line_end
    return head + body


def wait_for_client_close(sock, seconds=None):
    """Swallow whatever the client sends until it goes away, the server stops, or `seconds` pass."""
    end = None if seconds is None else time.monotonic() + seconds
    while not STOP.is_set() and (end is None or time.monotonic() < end):
        try:
            if not sock.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def close_gracefully(sock, linger=2.0):
    """Half-close, then swallow what the client still sends until it closes (at most linger seconds),
    so that unread request bytes do not make the kernel reset the connection over the answer.
    Over TLS a close_notify alert goes first, as an orderly server sends it."""
    if isinstance(sock, ssl.SSLSocket):
        try:
            sock.unwrap()
        except (OSError, ValueError):
            pass                          # the alert is out; the client need not answer it
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        return
    wait_for_client_close(sock, linger)


def tls_context(cert, key, only=None, client_ca=None):
    """A server context with the certificate chain and key (key None: in the cert file), offering
    TLS 1.2 and 1.3, or only the version named by `only`; with client_ca, clients must present a
    certificate issued by a CA of that file. A certificate too weak for the default security
    level (an RSA-1024 key) is served all the same, so that clients can be shown to refuse it."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        ctx.load_cert_chain(cert, key)
    except ssl.SSLError as e:
        if "too small" not in str(e):
            raise
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.load_cert_chain(cert, key)
    if client_ca:
        ctx.verify_mode = ssl.CERT_REQUIRED
        ctx.load_verify_locations(client_ca)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # TLS 1.1 is deprecated: that is the point
        if only == "1.1":
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        versions = (TLS_VERSIONS[only],) * 2 if only else (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3)
        ctx.minimum_version, ctx.maximum_version = versions
    return ctx


def start_tls(sock, ctx, deadline):
    """Run the server side of the TLS handshake on an accepted socket (timeout set) and return the
    TLS socket. Raises ssl.SSLError or OSError when it fails, TimeoutError past the deadline."""
    tls = ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
    try:
        while True:
            try:
                tls.do_handshake()
                return tls
            except socket.timeout:
                if STOP.is_set() or time.monotonic() > deadline:
                    raise TimeoutError("no TLS handshake from the client in time")
    except BaseException:
        tls.close()
        raise


def peer_text(address):
    host = address[0]
    return "%s:%d" % ("[%s]" % host if ":" in host else host, address[1])


class Handler(socketserver.BaseRequestHandler):
    cfg = None     # the parsed options, set by main()

    def handle(self):
        cfg, sock = self.cfg, self.request
        mode = cfg.misbehave
        entry = {"time": time.strftime("%Y-%m-%dT%H:%M:%S"), "peer": peer_text(self.client_address),
                 "misbehave": mode}
        sock.settimeout(0.25)
        deadline = time.monotonic() + cfg.io_timeout
        if mode == "tls-stall":
            entry["note"] = "TLS handshake left unanswered"
            log_entry(cfg.log, entry)
            wait_for_client_close(sock)
            return
        if cfg.tls is None:
            return self.exchange(sock, entry, deadline)
        # The session tickets that follow the handshake and the reply are separate small writes:
        # without TCP_NODELAY the reply would wait for the client's delayed ACK (40 ms on Linux).
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            sock = start_tls(sock, cfg.tls, deadline)
        except (ssl.SSLError, OSError, TimeoutError) as e:
            entry["tls_error"] = str(e)
            sys.stderr.write("payserver: TLS handshake with %s failed: %s\n" % (entry["peer"], e))
            sys.stderr.flush()
            log_entry(cfg.log, entry)
            return
        entry["tls"] = sock.version()
        entry["tls_resumed"] = sock.session_reused
        client = dict(pair for rdn in (sock.getpeercert() or {}).get("subject", ()) for pair in rdn)
        if client:
            entry["tls_client"] = client.get("commonName")
        try:
            self.exchange(sock, entry, deadline)
        finally:
            sock.close()

    def exchange(self, sock, entry, deadline):
        """Read the request and answer it as the mode says."""
        cfg, mode = self.cfg, self.cfg.misbehave
        if mode == "reset-before":
            reset_connection(sock)
            entry["note"] = "reset before reading"
            log_entry(cfg.log, entry)
            return
        if mode == "close-during-send":
            try:
                entry["first_byte"] = recv_some(sock, deadline, 1).decode("latin-1")
            except (TimeoutError, OSError):
                pass
            sock.close()
            entry["note"] = "closed after the first request byte"
            log_entry(cfg.log, entry)
            return
        info, msg = {}, b""
        try:
            request_line, headers, body, _ = read_request(sock, deadline)
            entry.update(request_line=request_line, headers=headers, body=body.decode("latin-1"))
            info, msg = self.check_request(request_line, headers, body)
        except BadRequest as e:
            args = list(e.args) + [None] * 4
            if args[1] is not None:
                entry.update(request_line=args[1], headers=args[2])
            if args[3] is not None:
                entry["body"] = args[3].decode("latin-1")
            info = {"error": args[0]}
        except (TimeoutError, OSError) as e:
            info = {"error": "reading the request failed: %s" % e}
        entry.update({k: v for k, v in info.items() if k != "pay_request"})
        if info.get("pay_request") is not None:
            entry["pay_request"] = info["pay_request"].decode("latin-1")
            entry["fields"] = field_texts(info["pay_request"])
        if msg:
            entry["message"] = msg.decode("latin-1")
            entry["message_hex"] = msg.hex()
        error = info.get("error")
        reply = None
        if error is None and mode not in RAW_MODES:
            reply = reply_for(info, msg, cfg.key, mode)
            entry["reply"] = reply.decode("latin-1")
            entry["return_code"] = return_code_for(info["pay_request"])
        entry["status"] = None if mode in RAW_MODES else (400 if error else 200)
        if error is not None:
            sys.stderr.write("payserver: bad request from %s: %s\n" % (entry["peer"], error))
            sys.stderr.flush()
        log_entry(cfg.log, entry)

        if cfg.delay > 0 and STOP.wait(cfg.delay):
            return
        self.answer(sock, mode, error, reply)
        if mode not in ("silent", "close", "reset", "reset-after-reply"):
            close_gracefully(sock)

    def check_request(self, request_line, headers, body):
        parts = request_line.split(" ")
        if len(parts) != 3 or parts[0] != "POST" or not parts[2].startswith("HTTP/1."):
            raise BadRequest("request line %r is not POST <uri> HTTP/1.x" % request_line)
        names = [re.sub(r":[0-9]*\Z", "", v) for n, v in headers if n.lower() == "host"]
        if self.cfg.require_host is not None and names != [self.cfg.require_host]:
            raise BadRequest("Host %r is not %r: another site" % (names, self.cfg.require_host))
        types = [v for n, v in headers if n.lower() == "content-type"]
        if types != ["application/x-qz"]:
            raise BadRequest("content type %r is not application/x-qz" % types)
        try:
            msg = base64.b64decode(body, validate=True)
        except (binascii.Error, ValueError) as e:
            raise BadRequest("body is not base64 (%s)" % e)
        if not msg:
            raise BadRequest("empty body")
        info = check_message(msg, self.cfg.key, self.cfg.accept_unsigned)
        if (info["error"] is None and info["type"] != "unsigned"
                and base64.b64encode(msg) != body):
            info["error"] = "body is not the plain one-line base64 of the message"
        return info, msg

    def answer(self, sock, mode, error, reply):
        cfg = self.cfg
        deadline = time.monotonic() + cfg.io_timeout
        if mode == "silent":
            wait_for_client_close(sock)
        elif mode == "close":
            sock.close()
        elif mode == "reset":
            reset_connection(sock)
        elif mode == "html-error":
            page = (b"<html><head><title>500 Internal Server Error</title></head>\r\n"
                    b"<body><h1>Internal Server Error</h1><p>The payment service failed.</p></body></html>\r\n")
            send_all(sock, http_response(b"500 Internal Server Error", b"text/html", page), deadline)
        elif mode in STATUS_PAGES:
            status = STATUS_PAGES[mode]
            page = b"<html><head><title>%s</title></head>\r\n<body><h1>%s</h1></body></html>\r\n" % (status, status)
            send_all(sock, http_response(status, b"text/html", page), deadline)
        elif mode in ("huge-body", "endless"):
            line = b"QUFB" * 19 + b"\r\n"        # 76 base64 characters a line
            head = b"HTTP/1.0 200 OK\r\nContent-Type: application/x-qz\r\n"
            if mode == "huge-body":
                head += b"Content-Length: %d\r\n" % cfg.huge_bytes
            head += b"\r\n"
            if send_all(sock, head):
                chunk = line * (65536 // len(line))
                remaining = cfg.huge_bytes if mode == "huge-body" else None
                while not STOP.is_set() and (remaining is None or remaining > 0):
                    piece = chunk if remaining is None else chunk[:remaining]
                    if not send_all(sock, piece):
                        break
                    if remaining is not None:
                        remaining -= len(piece)
        elif error is not None:
            send_all(sock, http_response(b"400 Bad Request", b"text/plain",
                                         b"bad request: " + error.encode("latin-1", "replace") + b"\n"), deadline)
        else:
            body = base64.b64encode(reply)
            if mode == "split-body":
                body = b"\r\n".join(body[i:i + 76] for i in range(0, len(body), 76)) + b"\r\n"
            status = b"500 Internal Server Error" if mode == "error-status-reply" else b"200 OK"
            response = http_response(status, b"application/x-qz", body,
                                     b"\n" if mode == "bare-lf" else b"\r\n")
            if mode == "trickle":
                for i in range(len(response)):
                    if not send_all(sock, response[i:i + 1]) or STOP.wait(cfg.trickle_interval):
                        break
            else:
                send_all(sock, response, deadline)
            if mode == "reset-after-reply":
                STOP.wait(0.3)
                reset_connection(sock)
            elif mode == "hold-open":
                wait_for_client_close(sock, cfg.io_timeout)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128
    block_on_close = False


class Server6(Server):
    address_family = socket.AF_INET6


def serve(handler, port, lifetime, bind="127.0.0.1", background=False):
    """Listen on bind:port, print the start-up line "listening on ADDRESS:PORT" (an IPv6 address
    in brackets), serve until SIGTERM/SIGINT or the lifetime ends. In the background, the caller's
    process prints the line with the serving process's number and returns once the port listens;
    the serving process no longer writes to standard output."""
    shown = "[%s]" % bind if ":" in bind else bind
    try:
        server = (Server6 if ":" in bind else Server)((bind, port), handler)
    except OSError as e:
        sys.stderr.write("%s: cannot listen on %s:%d: %s\n" % (os.path.basename(sys.argv[0]), shown, port, e))
        return 2
    line = "listening on %s:%d" % (shown, server.server_address[1])
    if background:
        sys.stdout.flush()
        child = os.fork()
        if child != 0:
            print("%s (process %d)" % (line, child), flush=True)
            os._exit(0)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    signal.signal(signal.SIGTERM, lambda *_: STOP.set())
    signal.signal(signal.SIGINT, lambda *_: STOP.set())
    if not background:
        print(line, flush=True)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    end = time.monotonic() + lifetime if lifetime > 0 else None
    while not STOP.wait(0.5):
        if end is not None and time.monotonic() >= end:
            STOP.set()
    server.shutdown()
    server.server_close()
    return 0


def loopback_address(text):
    try:
        loopback = ipaddress.ip_address(text).is_loopback
    except ValueError:
        loopback = False
    if not loopback:
        raise argparse.ArgumentTypeError("%r is not a loopback address such as 127.0.0.1 or ::1" % text)
    return text


def positive_float(text):
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


EPILOG = """\
Test values (the same for 2040 and 1093):
  return code   chosen by the cents of TransactionAmount (the text after its '.'):
%s
                any other cents, or no '.', approve with 0. The field is written as 4 digits (0051).
  cards         PAN %s gives three cards, in this order: %s;
                PAN %s gives 1024 cards CARD0001 .. CARD1024 (the most a reply may hold);
                any other PAN gives one card: its last 4 characters (NOCARD for an empty PAN).
  date/time     local time as YYYYMMDDhhmmss, space-filled to 20 characters.
  1094 bytes 8..15 echo the request's expiry field.

An unsigned pay request (the body is the buyer's AuthString itself, which happens when the
merchant key is empty) is answered only with --accept-unsigned; its "1041" is signed with an
empty key. Otherwise, and for every other fault, the answer is HTTP 400 and a line on stderr.

The request must be: POST <uri> HTTP/1.x, CRLF line ends, Content-type application/x-qz, one
Content-length (at most 1 MiB), the body the one-line base64 of the message; the message of
type 2040 or 1093, version 1.00, a pay request of 378 to 10622 bytes, signature-length field
000000000040, 40 upper-case hexadecimal characters of HMAC-SHA-1 under the merchant key; the
1093 expiry field a valid YYYYMMDD date or 8 spaces.

HTTPS: with --tls-cert (and --tls-key, unless the key is in the same file) every connection
starts with a TLS handshake: TLS 1.2 or 1.3, or the one version --tls-only names (1.1 is there so
that clients can be shown to refuse it). With --tls-client-ca FILE the client must present a
certificate from a CA in FILE. A failed handshake is logged with tls_error and a line on stderr;
no request is read. A TLS handshake sent to a plain HTTP port gets an HTTP 400.

--misbehave modes:
%s

--log FILE: one JSON object per line and connection, written before the answer goes out. Keys:
  time, peer, misbehave, tls (the TLS version over HTTPS, e.g. "TLSv1.3"), tls_client (the
  common name of the client's certificate, when one was required), tls_resumed (whether the
  client resumed an earlier TLS session), tls_error (why the
  handshake failed; then no request was read), request_line, headers ([name, value] pairs as
  received), body (the base64 text as received), message and message_hex (the decoded
  message), type ("2040", "1093", "unsigned" or null), expiry (the 1093 expiry field),
  pay_request, fields (the six pay request fields, untrimmed), signature, signature_valid
  (true/false; null when not checked), error (why the request was refused, or null), status
  (200, 400, or null for the connection modes), return_code and reply (the decoded reply,
  before any transport misbehaviour), note.
""" % ("\n".join("                  .%s -> %d (%s)" % (c, code, text) for c, (code, text) in sorted(DECLINES.items())),
       THREE_CARD_PAN, ", ".join(c.decode() for c in THREE_CARDS), MAX_CARD_PAN,
       "\n".join(textwrap.fill(d, 96, initial_indent="  %-21s " % m, subsequent_indent=" " * 24)
                 for m, d in MODES.items()))


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, default=0, help="port to listen on (default 0: pick a free one)")
    p.add_argument("--bind", type=loopback_address, default="127.0.0.1", metavar="ADDRESS",
                   help="loopback address to listen on, e.g. ::1 (default 127.0.0.1)")
    p.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this PEM certificate (chain)")
    p.add_argument("--tls-key", metavar="FILE",
                   help="the certificate's PEM private key (default: in --tls-cert)")
    p.add_argument("--tls-client-ca", metavar="FILE",
                   help="require a client certificate issued by a CA of this PEM file")
    p.add_argument("--tls-only", choices=sorted(TLS_VERSIONS), metavar="VERSION",
                   help="offer only this TLS version: 1.1, 1.2 or 1.3 (default: 1.2 and 1.3)")
    p.add_argument("--key-file", default=DEFAULT_KEY_FILE,
                   help="merchant key file, read as the tool reads it: at most 511 bytes, the last byte "
                        "read dropped, the key ends at the first NUL (default: sim/demo.key)")
    p.add_argument("--require-host", metavar="HOST",
                   help="serve only requests whose one Host header names HOST (any port; an IPv6 "
                        "address in brackets), as a name-based virtual host does; others get an HTTP 400")
    p.add_argument("--accept-unsigned", action="store_true",
                   help="answer unsigned pay requests (the AuthString posted unchanged)")
    p.add_argument("--log", help="append one JSON line per request to this file")
    p.add_argument("--delay", type=positive_float, default=0.0,
                   help="seconds to wait after reading a request before answering (all modes that read it)")
    p.add_argument("--misbehave", choices=sorted(MODES), metavar="MODE", help="answer wrongly in this way (see below)")
    p.add_argument("--trickle-interval", type=positive_float, default=0.05,
                   help="seconds between the bytes of --misbehave trickle (default 0.05)")
    p.add_argument("--huge-bytes", type=int, default=8 * 1024 * 1024,
                   help="body size of --misbehave huge-body (default 8 MiB)")
    p.add_argument("--io-timeout", type=positive_float, default=30.0,
                   help="seconds allowed for the TLS handshake, reading a request and sending a normal "
                        "reply (default 30)")
    p.add_argument("--lifetime", type=positive_float, default=0.0,
                   help="exit after this many seconds (default 0: run until SIGTERM or SIGINT)")
    p.add_argument("--background", action="store_true",
                   help="return once the port listens, printing the start-up line with the serving "
                        "process's number, and serve in the background")
    args = p.parse_args(argv)
    try:
        args.key = read_key_file(args.key_file)
    except (OSError, ValueError) as e:
        sys.stderr.write("payserver: cannot read the key: %s\n" % e)
        return 2
    if len(args.key) > 64:
        sys.stderr.write("payserver: the key is %d bytes; signatures take at most 64\n" % len(args.key))
        return 2
    if (args.tls_key or args.tls_only or args.tls_client_ca) and not args.tls_cert:
        p.error("--tls-key, --tls-only and --tls-client-ca need --tls-cert")
    args.tls = None
    if args.tls_cert:
        try:
            args.tls = tls_context(args.tls_cert, args.tls_key, args.tls_only, args.tls_client_ca)
        except (OSError, ssl.SSLError) as e:
            sys.stderr.write("payserver: cannot use the TLS certificate or key: %s\n" % e)
            return 2
    Handler.cfg = args
    return serve(Handler, args.port, args.lifetime, args.bind, args.background)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
