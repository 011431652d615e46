#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 that misbehaves on purpose, for
bench/hostile-server-benchmark.sh.

    hostile_server.py ROOT RULES_JSON PORT_FILE LOG_FILE

Every address is /RUN/PATH. RUN is "CASE" or "CASE.N" (one name per updater run,
so that the requests of one run can be counted in the log); files are served from
ROOT/CASE/PATH, with runs of "/" merged into one as nginx does, because the
updater asks for "URL + Folder + //md5.txt". RULES_JSON maps "CASE PATH" to a
fault; a path without a rule is served plainly, with its Content-Length. Faults:

  cut        200 with the file's length announced, the first "send" bytes, a
             pause of "pause" seconds, then a TCP reset (SO_LINGER 0, close).
             "later": "same" repeats this on every request of the run, "reset"
             resets later requests before any reply (what Qt sees when it sends a
             request again on a server that has just failed).
  gzip       the bytes of "body" (a gzip file) with Content-Encoding: gzip.
  trickle    the file, its length announced, one byte per "interval" seconds.
  announced  200 with Content-Length "length", then generated list lines.
  endless    generated list lines without end, "framing" "chunked" or "close".
  redirect   "status" (301, 302, ...) with Location /"to"/PATH, a run whose
             plain copy would answer correctly: following it would succeed.

Everything the server does is bounded, so that a client which never stops reading
cannot keep it busy: a generated body ends after MAX_STREAM_BYTES or
MAX_STREAM_SECONDS, a trickle after its file, and the server itself after
MAX_REQUESTS requests, LIFETIME_SECONDS, or as soon as its parent is gone.
"""

import json
import os
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

MAX_STREAM_BYTES = 1024 * 1024 * 1024
MAX_STREAM_SECONDS = 60
MAX_REQUESTS = 20000
LIFETIME_SECONDS = 1800
BLOCK = 1024 * 1024


def list_block():
    """1 MiB of well-formed list lines, the same block sent again and again."""
    lines = []
    size = 0
    i = 0
    while size < BLOCK:
        line = ("%032x\t%08x00000000\tg%04d\\%07d\r\n" % (i * 2654435761, i & 0xffff, i // 1000, i)).encode()
        lines.append(line)
        size += len(line)
        i += 1
    return b"".join(lines)[:BLOCK]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "hostile/1"

    def log_message(self, fmt, *args):
        pass

    def handle(self):
        # The updater drops kept-alive connections with a reset once it has given
        # up on a run: expected here, not worth a traceback.
        try:
            super().handle()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        server = self.server
        with server.lock:
            server.requests += 1
            if server.requests > MAX_REQUESTS:
                server.stop_soon()
        raw = unquote(self.path.split("?", 1)[0])
        parts = [p for p in raw.split("/") if p]
        if not parts:
            return self.plain(404, b"")
        run = parts[0]
        case = run.split(".", 1)[0]
        path = "/".join(parts[1:])
        rule = server.rules.get(case + " " + path)
        with server.lock:
            key = run + " " + path
            seen = server.counts.get(key, 0)
            server.counts[key] = seen + 1
            with open(server.log_path, "a") as log:
                log.write("%s %s %s\n" % (run, path, rule["kind"] if rule else "plain"))
        file_path = os.path.join(server.root, case, *parts[1:])
        try:
            if rule is None:
                return self.serve_file(file_path)
            kind = rule["kind"]
            if kind == "cut":
                if seen > 0 and rule.get("later") == "reset":
                    return self.reset(0)
                return self.cut(file_path, rule)
            if kind == "gzip":
                with open(rule["body"], "rb") as f:
                    body = f.read()
                return self.plain(200, body, {"Content-Encoding": "gzip"})
            if kind == "trickle":
                return self.trickle(file_path, float(rule.get("interval", 1.0)))
            if kind == "announced":
                return self.stream(int(rule["length"]), "length")
            if kind == "endless":
                return self.stream(None, rule["framing"])
            if kind == "redirect":
                location = "http://%s/%s/%s" % (self.headers.get("Host", "127.0.0.1"),
                                               rule["to"] + run[len(case):], path)
                return self.plain(int(rule["status"]), b"<html>moved</html>\n",
                                  {"Location": location})
            return self.plain(500, b"unknown rule\n")
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            # The client gave up, as it should on every fault here.
            self.close_connection = True

    def plain(self, status, body, headers=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve_file(self, path):
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            return self.plain(404, b"not found\n")
        self.plain(200, body)

    def reset(self, pause):
        if pause > 0:
            time.sleep(pause)
        # A zero linger time makes close() send RST instead of FIN. socket.close()
        # would wait for the request's file objects, which the handler still uses;
        # the descriptor is taken from the socket and closed here and now.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        os.close(self.connection.detach())

    def cut(self, path, rule):
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:int(rule["send"])])
        self.reset(float(rule.get("pause", 0.3)))

    def trickle(self, path, interval):
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        # At most one pass over the file: len(body) bytes, len(body) x interval s.
        for i in range(len(body)):
            self.wfile.write(body[i:i + 1])
            time.sleep(interval)

    def stream(self, length, framing):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if framing == "length":
            self.send_header("Content-Length", str(length))
        elif framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        block = self.server.block
        limit = MAX_STREAM_BYTES if length is None else min(length, MAX_STREAM_BYTES)
        deadline = time.monotonic() + MAX_STREAM_SECONDS
        sent = 0
        while sent < limit and time.monotonic() < deadline:
            piece = block[:min(len(block), limit - sent)]
            if framing == "chunked":
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(piece)
            sent += len(piece)
        # Cut short by a bound: the client must not take what it got for a whole body.
        self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def stop_soon(self):
        threading.Thread(target=self.shutdown, daemon=True).start()


def main():
    root, rules_path, port_file, log_path = sys.argv[1:5]
    server = Server(("127.0.0.1", 0), Handler)
    server.root = root
    with open(rules_path) as f:
        server.rules = json.load(f)
    server.log_path = log_path
    server.lock = threading.Lock()
    server.counts = {}
    server.requests = 0
    server.block = list_block()

    parent = os.getppid()
    started = time.monotonic()

    def watchdog():
        while time.monotonic() - started < LIFETIME_SECONDS and os.getppid() == parent:
            time.sleep(1)
        server.shutdown()

    threading.Thread(target=watchdog, daemon=True).start()
    # Written under another name and renamed: the script never reads half a number.
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever(poll_interval=0.2)
    server.server_close()


if __name__ == "__main__":
    main()
