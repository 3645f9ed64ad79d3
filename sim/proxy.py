#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A small HTTP forward proxy for tests, on a loopback address (127.0.0.1, or --bind ::1).

For each connection it reads one request head. An absolute URL in the request line
(http://host[:port]/path) is served by connecting to host:port and forwarding the request with
the request line rewritten to the path form (METHOD /path VERSION) and the other header lines
unchanged, then the body (Content-length bytes), and relaying the response back until the server
closes the connection or the client goes away. "CONNECT host:port HTTP/1.x" opens a tunnel (as a
client does for an https:// URL): the proxy connects, answers "HTTP/1.0 200 Connection
established", then copies bytes both ways until either side closes; with --refuse-connect it
answers 403 instead. With --require-auth USER:PASSWORD every request and CONNECT must carry
those Basic credentials in Proxy-Authorization, or gets 407 Proxy Authentication Required; the
header is never passed on. Only targets on 127.0.0.1, ::1 (or localhost) are served. Any other request
line, or any other fault, gets an HTTP 400 (502 when the target cannot be reached) with a short
text body and a line on stderr.

On start it prints "listening on ADDRESS:PORT" as its first line (an IPv6 address in brackets).
"""
import argparse
import base64
import select
import socket
import socketserver
import sys
import time
import urllib.parse

import payserver
from payserver import STOP, BadRequest, http_response, log_entry, read_request, send_all, serve


def target_text(host, port):
    return "%s:%d" % ("[%s]" % host if ":" in host else host, port)

ALLOWED_HOSTS = ("127.0.0.1", "::1", "localhost")


def parse_target(request_line):
    """(method, host, port, path, version) from 'METHOD http://host:port/path VERSION', or with
    path None from 'CONNECT host:port VERSION' (an IPv6 host in brackets)."""
    parts = request_line.split(" ")
    if len(parts) != 3:
        raise BadRequest("request line %r is not METHOD URL VERSION" % request_line)
    method, url, version = parts
    if method == "CONNECT":
        split = urllib.parse.urlsplit("//" + url)
        try:
            port = split.port
        except ValueError:
            port = None
        if not port or split.netloc != url:
            raise BadRequest("CONNECT target %r is not host:port" % url)
        if split.hostname not in ALLOWED_HOSTS:
            raise BadRequest("target host %r is not on loopback" % split.hostname)
        return method, split.hostname, port, None, version
    if not url.lower().startswith("http://"):
        raise BadRequest("request line %r carries no absolute http:// URL" % request_line)
    split = urllib.parse.urlsplit(url)
    try:
        port = split.port or 80
    except ValueError:
        raise BadRequest("bad port in %r" % url)
    host = split.hostname or ""
    if host not in ALLOWED_HOSTS:
        raise BadRequest("target host %r is not on loopback" % host)
    path = url[len("http://") + len(split.netloc):] or "/"
    return method, host, port, path, version


def relay(server, client, tunnel=False):
    """Copy the server's bytes to the client until either side closes or the proxy stops; in a
    tunnel the client's bytes go to the server too, otherwise they are dropped."""
    server.settimeout(0.25)
    client.settimeout(0.25)
    while not STOP.is_set():
        try:
            ready, _, _ = select.select([server, client], [], [], 0.25)
        except (OSError, ValueError):
            return
        if server in ready:
            try:
                data = server.recv(65536)
            except socket.timeout:
                data = None
            except OSError:
                payserver.reset_connection(client)   # pass a reset on as a reset
                return
            if data == b"":
                return
            if data and not send_all(client, data):
                return
        if client in ready:
            try:
                data = client.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return                        # the client went away
            if tunnel and not send_all(server, data):
                return


class ProxyHandler(socketserver.BaseRequestHandler):
    cfg = None

    def handle(self):
        cfg, sock = self.cfg, self.request
        entry = {"time": time.strftime("%Y-%m-%dT%H:%M:%S"),
                 "peer": payserver.peer_text(self.client_address)}
        sock.settimeout(0.25)
        deadline = time.monotonic() + cfg.io_timeout
        try:
            request_line, headers, body, raw_head = read_request(sock, deadline, need_length=False)
            entry.update(request_line=request_line, headers=headers)
            method, host, port, path, version = parse_target(request_line)
            given = [v for n, v in headers if n.lower() == "proxy-authorization"]
            entry["proxy_authorization"] = ("none" if not given else
                                            "accepted" if given == [cfg.expected_auth] else "refused")
            if cfg.require_auth and entry["proxy_authorization"] != "accepted":
                entry["target"] = target_text(host, port)
                return self.refuse(sock, entry, b"407 Proxy Authentication Required",
                                   "credentials %s" % entry["proxy_authorization"],
                                   b'Proxy-Authenticate: Basic realm="test proxy"\r\n')
            if path is None and cfg.refuse_connect:
                entry["target"] = target_text(host, port)
                return self.refuse(sock, entry, b"403 Forbidden", "CONNECT refused (--refuse-connect)")
        except BadRequest as e:
            if len(e.args) > 1 and e.args[1] is not None:
                entry.update(request_line=e.args[1], headers=e.args[2])
            return self.refuse(sock, entry, b"400 Bad Request", e.args[0])
        except (TimeoutError, OSError) as e:
            entry["error"] = "reading the request failed: %s" % e
            log_entry(cfg.log, entry)
            return
        tunnel = path is None
        if tunnel:
            forwarded_line, out = None, b"HTTP/1.0 200 Connection established\r\n\r\n"
        else:
            forwarded_line = "%s %s %s" % (method, path, version)
            rest = [line for line in raw_head.split(b"\r\n")[1:]
                    if not line.lower().startswith(b"proxy-authorization:")]
            out = b"\r\n".join([forwarded_line.encode("latin-1")] + rest) + b"\r\n\r\n" + body
        entry.update(target=target_text(host, port), forwarded_request_line=forwarded_line)
        try:
            upstream = socket.create_connection(("127.0.0.1" if host == "localhost" else host, port),
                                                timeout=cfg.io_timeout)
        except OSError as e:
            return self.refuse(sock, entry, b"502 Bad Gateway", "cannot reach %s: %s" % (entry["target"], e))
        entry["error"] = None
        log_entry(cfg.log, entry)
        try:
            upstream.settimeout(0.25)
            # A tunnel's answer goes back to the client; a request goes on to the server.
            if send_all(sock if tunnel else upstream, out, time.monotonic() + cfg.io_timeout):
                relay(upstream, sock, tunnel)
        finally:
            upstream.close()

    def refuse(self, sock, entry, status, why, extra_headers=b""):
        """Answer with an error status, extra header lines and a text body, and log why."""
        entry["error"] = why
        sys.stderr.write("proxy: %s from %s: %s\n" % (status.decode(), entry["peer"], why))
        sys.stderr.flush()
        log_entry(self.cfg.log, entry)
        response = http_response(status, b"text/plain", b"proxy: " + why.encode("latin-1", "replace") + b"\n")
        head_end = response.index(b"\r\n") + 2
        send_all(sock, response[:head_end] + extra_headers + response[head_end:],
                 time.monotonic() + self.cfg.io_timeout)


def main(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="--log FILE: one JSON object per line and connection, written before forwarding, with the keys "
               "time, peer, request_line (as received), headers, proxy_authorization (none, accepted or refused), "
               "target (host:port), forwarded_request_line (null for a tunnel) and error (null when forwarded or "
               "tunnelled).")
    p.add_argument("--port", type=int, default=0, help="port to listen on (default 0: pick a free one)")
    p.add_argument("--bind", type=payserver.loopback_address, default="127.0.0.1",
                   metavar="ADDRESS",
                   help="loopback address to listen on, e.g. ::1 (default 127.0.0.1)")
    p.add_argument("--refuse-connect", action="store_true",
                   help="answer every CONNECT with HTTP 403 Forbidden")
    p.add_argument("--require-auth", metavar="USER:PASSWORD",
                   help="serve only requests with these Basic credentials; others get 407")
    p.add_argument("--log", help="append one JSON line per request to this file")
    p.add_argument("--io-timeout", type=payserver.positive_float, default=30.0,
                   help="seconds allowed for reading a request, connecting and forwarding it (default 30)")
    p.add_argument("--lifetime", type=payserver.positive_float, default=0.0,
                   help="exit after this many seconds (default 0: run until SIGTERM or SIGINT)")
    args = p.parse_args(argv)
    args.expected_auth = ("Basic " + base64.b64encode(args.require_auth.encode("utf-8")).decode("ascii")
                          if args.require_auth else None)
    ProxyHandler.cfg = args
    return serve(ProxyHandler, args.port, args.lifetime, args.bind)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
