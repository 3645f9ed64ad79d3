#!/usr/bin/env python3
"""A small HTTP forward proxy for tests, on 127.0.0.1.

For each connection it reads one request head, takes the absolute URL from the request line
(http://host[:port]/path), connects to host:port, forwards the request with the request line
rewritten to the path form (METHOD /path VERSION) and the other header lines unchanged, then the
body (Content-length bytes), and relays the response back until the server closes the connection
or the client goes away. Only targets on 127.0.0.1 (or localhost) are served. A request line
without an absolute http:// URL, or any other fault, gets an HTTP 400 (502 when the target cannot
be reached) with a short text body and a line on stderr.

On start it prints "listening on 127.0.0.1:PORT" as its first line.
"""
import argparse
import select
import socket
import socketserver
import sys
import time
import urllib.parse

import payserver
from payserver import STOP, BadRequest, http_response, log_entry, read_request, send_all, serve

ALLOWED_HOSTS = ("127.0.0.1", "localhost")


def parse_target(request_line):
    """(method, host, port, path, version) from 'METHOD http://host:port/path VERSION'."""
    parts = request_line.split(" ")
    if len(parts) != 3:
        raise BadRequest("request line %r is not METHOD URL VERSION" % request_line)
    method, url, version = parts
    if not url.lower().startswith("http://"):
        raise BadRequest("request line %r carries no absolute http:// URL" % request_line)
    split = urllib.parse.urlsplit(url)
    try:
        port = split.port or 80
    except ValueError:
        raise BadRequest("bad port in %r" % url)
    host = split.hostname or ""
    if host not in ALLOWED_HOSTS:
        raise BadRequest("target host %r is not 127.0.0.1" % host)
    path = url[len("http://") + len(split.netloc):] or "/"
    return method, host, port, path, version


def relay(server, client):
    """Copy the server's bytes to the client until either side closes or the proxy stops."""
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
                if not client.recv(65536):
                    return                    # the client went away
            except socket.timeout:
                pass
            except OSError:
                return


class ProxyHandler(socketserver.BaseRequestHandler):
    cfg = None

    def handle(self):
        cfg, sock = self.cfg, self.request
        entry = {"time": time.strftime("%Y-%m-%dT%H:%M:%S"), "peer": "%s:%d" % self.client_address}
        sock.settimeout(0.25)
        deadline = time.monotonic() + cfg.io_timeout
        try:
            request_line, headers, body, raw_head = read_request(sock, deadline, need_length=False)
            entry.update(request_line=request_line, headers=headers)
            method, host, port, path, version = parse_target(request_line)
        except BadRequest as e:
            if len(e.args) > 1 and e.args[1] is not None:
                entry.update(request_line=e.args[1], headers=e.args[2])
            return self.refuse(sock, entry, b"400 Bad Request", e.args[0])
        except (TimeoutError, OSError) as e:
            entry["error"] = "reading the request failed: %s" % e
            log_entry(cfg.log, entry)
            return
        forwarded_line = "%s %s %s" % (method, path, version)
        entry.update(target="%s:%d" % (host, port), forwarded_request_line=forwarded_line)
        rest = raw_head.split(b"\r\n", 1)[1:]
        out = b"\r\n".join([forwarded_line.encode("latin-1")] + rest) + b"\r\n\r\n" + body
        try:
            upstream = socket.create_connection(("127.0.0.1" if host == "localhost" else host, port),
                                                timeout=cfg.io_timeout)
        except OSError as e:
            return self.refuse(sock, entry, b"502 Bad Gateway", "cannot reach %s:%d: %s" % (host, port, e))
        entry["error"] = None
        log_entry(cfg.log, entry)
        try:
            upstream.settimeout(0.25)
            if send_all(upstream, out, time.monotonic() + cfg.io_timeout):
                relay(upstream, sock)
        finally:
            upstream.close()

    def refuse(self, sock, entry, status, why):
        entry["error"] = why
        sys.stderr.write("proxy: %s from %s: %s\n" % (status.decode(), entry["peer"], why))
        sys.stderr.flush()
        log_entry(self.cfg.log, entry)
        send_all(sock, http_response(status, b"text/plain", b"proxy: " + why.encode("latin-1", "replace") + b"\n"),
                 time.monotonic() + self.cfg.io_timeout)


def main(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="--log FILE: one JSON object per line and connection, written before forwarding, with the keys "
               "time, peer, request_line (as received), headers, target (host:port), forwarded_request_line "
               "and error (null when forwarded).")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default 0: pick a free one)")
    p.add_argument("--log", help="append one JSON line per request to this file")
    p.add_argument("--io-timeout", type=payserver.positive_float, default=30.0,
                   help="seconds allowed for reading a request, connecting and forwarding it (default 30)")
    p.add_argument("--lifetime", type=payserver.positive_float, default=0.0,
                   help="exit after this many seconds (default 0: run until SIGTERM or SIGINT)")
    args = p.parse_args(argv)
    ProxyHandler.cfg = args
    return serve(ProxyHandler, args.port, args.lifetime)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
