#!/usr/bin/env python3
"""Loopback HTTPS update server for the tests, with faults injected per path.

Serves the files of --root under --prefix (default "/update"): a request for
"/update/blobs/abc_0" answers with the file <root>/blobs/abc_0. Only GET is served.

Fault plan (--plan, a JSON file read again whenever it changes):
    {"generation": 3,
     "paths": {"/update/blobs/abc_0": [{"from": 1, "to": 9, "status": 500},
                                       {"from": 10, "fault": "chunked"}]}}
Requests are counted per path; the count starts again at 1 whenever "generation" changes.
For each request the first rule whose attempt range [from, to] holds the count applies
("from" defaults to 1, "to" to no upper bound); with no rule the file is served as it is.
A rule may hold:
    "hold": true        answer only once the plan changes (a new generation), as a server that
                        keeps the client waiting until the test lets it go; then as below
    "delay_ms": N       wait N ms before answering (also before the fault or status below)
    "status": N         answer status N with a short body instead of the file
    "fault": one of
        "close_mid_body"  announce the full length, send half of the body, close the connection
        "stall"           announce the full length, send half, then send nothing for "stall_ms"
                          (default 600000) before closing
        "chunked"         send the body with chunked transfer encoding and no length
        "wrong_length"    announce the length + "length_delta" (default 1), send the whole body
                          and close the connection
        "resized"         a body of the file's length + "length_delta" (default 1), with that
                          length announced: cut short, or the whole file followed by zero bytes
        "endless"         send the file with chunked transfer encoding, then zero bytes without
                          end, until the client hangs up
        "drip:N"          announce the full length and send the body at N bytes a second (a few
                          pieces a second, at least one byte each), until it is sent or the client
                          hangs up
        "headers_then_stall"  announce the full length, send none of the body for "stall_ms"
                          (default 600000), then close
        "no_headers"      read the request and send nothing at all for "stall_ms" (default
                          600000), then close
A missing file answers 404.

A blob may also be split at request time, as a server that cuts its blobs its own way does: with
<root>/blobs/abc stored whole beside <root>/blobs/abc.split holding
    {"chunk_bytes": N}          consecutive chunks of N bytes, the last one shorter, or
    {"part_lengths": [N, ...]}  consecutive slices of these lengths (cut short at the file's end),
a request for "/update/blobs/abc_<i>" answers slice i (a missing slice answers 404). The faults
above apply to the slice as they would to a file.

Request log (--log): one JSON object per line, appended and flushed when a request arrives:
    {"path": "/update/blobs/abc_0", "time": <ms since the epoch, float>, "attempt": 1,
     "action": "file" | "status 500" | "missing" | "<fault name>"}

Once it listens, the server prints "READY <port>" on standard output (with --port 0 the
port is chosen by the system).
"""

import argparse
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

CHUNK = 1 << 20


class FaultPlan:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.stamp = None
        self.generation = None
        self.paths = {}
        self.counts = {}

    def _reload(self):
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        except OSError:
            stamp = None
        if stamp == self.stamp:
            return
        self.stamp = stamp
        plan = {}
        if stamp is not None:
            try:
                with open(self.path, "r", encoding="utf-8") as f:
                    plan = json.load(f)
            except (OSError, ValueError):
                # A plan being replaced is renamed into place whole; anything else unreadable
                # means no faults.
                plan = {}
        self.paths = plan.get("paths", {})
        generation = plan.get("generation", 0)
        if generation != self.generation:
            self.generation = generation
            self.counts = {}

    def next_request(self, path):
        """(attempt, rule, generation of the plan the rule comes from)"""
        with self.lock:
            self._reload()
            attempt = self.counts.get(path, 0) + 1
            self.counts[path] = attempt
            for rule in self.paths.get(path, []):
                low = rule.get("from", 1)
                high = rule.get("to")
                if attempt >= low and (high is None or attempt <= high):
                    return attempt, rule, self.generation
            return attempt, {}, self.generation

    def changed_since(self, generation):
        with self.lock:
            self._reload()
            return self.generation != generation


class RequestLog:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        if self.file is None:
            return
        with self.lock:
            self.file.write(json.dumps(entry) + "\n")
            self.file.flush()


class Slice:
    """The bytes [offset, offset + length) of an open file, read like the file itself."""

    def __init__(self, f, offset, length):
        f.seek(offset)
        self.f = f
        self.left = length

    def read(self, count):
        data = self.f.read(min(count, self.left)) if self.left > 0 else b""
        self.left -= len(data)
        return data


def split_slice(spec, size, index):
    """(offset, length) of part index of a blob of size bytes split by spec, or None."""
    chunk = spec.get("chunk_bytes")
    if chunk:
        offset = index * chunk
        if offset >= size and not (index == 0 and size == 0):
            return None
        return offset, min(chunk, size - offset)
    lengths = spec.get("part_lengths", [])
    if index >= len(lengths):
        return None
    offset = min(size, sum(lengths[:index]))
    return offset, min(lengths[index], size - offset)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PelwinterTestServer/1"

    def setup(self):
        # The handshake runs here, on the connection's own thread, so that a client that
        # refuses the certificate cannot hold up the accepting thread.
        self.request.do_handshake()
        super().setup()

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("update_server: " + (format % args) + "\n")

    def do_GET(self):
        arrived = time.time() * 1000.0
        path = urlsplit(self.path).path
        attempt, rule, generation = self.server.plan.next_request(path)
        target = self.resolve(path)

        fault = rule.get("fault")
        status = rule.get("status")
        if status:
            action = "status %d" % status
        elif target is None:
            action = "missing"
        elif fault:
            action = fault
        else:
            action = "file"
        self.server.log.write({"path": path, "time": arrived, "attempt": attempt, "action": action})

        if rule.get("hold"):
            while not self.server.plan.changed_since(generation) and not self.server.stopping:
                time.sleep(0.01)
        delay = rule.get("delay_ms", 0)
        if delay:
            time.sleep(delay / 1000.0)

        if status:
            self.send_short(status, b"injected failure\n")
            return
        if target is None:
            self.send_short(404, b"not found\n")
            return
        file_path, offset, size = target
        with open(file_path, "rb") as whole:
            f = Slice(whole, offset, size)
            if fault == "chunked":
                self.send_chunked(f)
            elif fault == "close_mid_body":
                self.send_head(size)
                self.copy(f, size // 2)
                self.close_abruptly()
            elif fault == "stall":
                self.send_head(size)
                self.copy(f, size // 2)
                self.wfile.flush()
                self.stall(rule.get("stall_ms", 600000))
                self.close_abruptly()
            elif fault == "resized":
                length = max(0, size + rule.get("length_delta", 1))
                self.send_head(length)
                self.copy(f, min(size, length))
                self.send_zeros(length - size)
            elif fault == "endless":
                self.send_endless(f)
            elif fault and fault.startswith("drip:"):
                self.send_head(size)
                self.drip(f, size, max(1, int(fault[len("drip:"):])))
            elif fault == "headers_then_stall":
                self.send_head(size)
                self.wfile.flush()
                self.stall(rule.get("stall_ms", 600000))
                self.close_abruptly()
            elif fault == "no_headers":
                self.stall(rule.get("stall_ms", 600000))
                self.close_abruptly()
            elif fault == "wrong_length":
                self.send_head(max(0, size + rule.get("length_delta", 1)))
                self.copy(f, size)
                self.close_abruptly()
            else:
                self.send_head(size)
                self.copy(f, size)

    def resolve(self, path):
        """(file, offset, length) of what path serves, or None."""
        prefix = self.server.prefix.rstrip("/") + "/"
        if not path.startswith(prefix):
            return None
        parts = [unquote(p) for p in path[len(prefix):].split("/")]
        if any(p in ("", ".", "..") or "/" in p or "\0" in p for p in parts):
            return None
        full = os.path.join(self.server.root, *parts)
        if os.path.isfile(full):
            return full, 0, os.path.getsize(full)
        base, _, index = full.rpartition("_")
        if not index.isdigit() or not os.path.isfile(base) or not os.path.isfile(base + ".split"):
            return None
        try:
            with open(base + ".split", "r", encoding="utf-8") as f:
                spec = json.load(f)
        except (OSError, ValueError):
            return None
        piece = split_slice(spec, os.path.getsize(base), int(index))
        return None if piece is None else (base, piece[0], piece[1])

    def send_short(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_head(self, length):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def copy(self, f, count):
        while count > 0:
            data = f.read(min(CHUNK, count))
            if not data:
                break
            self.wfile.write(data)
            count -= len(data)

    def send_chunked_head(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()

    def send_file_chunks(self, f):
        while True:
            data = f.read(64 * 1024)
            if not data:
                break
            self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")

    def send_chunked(self, f):
        self.send_chunked_head()
        self.send_file_chunks(f)
        self.wfile.write(b"0\r\n\r\n")

    def send_zeros(self, count):
        zeros = bytes(CHUNK)
        while count > 0:
            self.wfile.write(zeros[:min(CHUNK, count)])
            count -= CHUNK

    def send_endless(self, f):
        self.send_chunked_head()
        self.send_file_chunks(f)
        chunk = b"%x\r\n" % CHUNK + bytes(CHUNK) + b"\r\n"
        try:
            while not self.server.stopping:
                self.wfile.write(chunk)
        except OSError:
            pass  # the client hung up, as it should
        self.close_connection = True

    def drip(self, f, count, rate):
        interval = max(0.05, 1.0 / rate)
        piece = max(1, int(rate * interval))
        due = time.monotonic()
        try:
            while count > 0 and not self.server.stopping:
                data = f.read(min(piece, count))
                if not data:
                    break
                self.wfile.write(data)
                self.wfile.flush()
                count -= len(data)
                due += interval
                time.sleep(max(0.0, due - time.monotonic()))
        except OSError:
            self.close_connection = True  # the client hung up

    def stall(self, ms):
        deadline = time.monotonic() + ms / 1000.0
        while time.monotonic() < deadline and not self.server.stopping:
            time.sleep(0.05)

    def close_abruptly(self):
        self.wfile.flush()
        self.close_connection = True
        try:
            self.connection.shutdown(2)
        except OSError:
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that hang up or refuse the certificate are part of the tests.
        if self.verbose:
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--prefix", default="/update")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--plan", default="")
    parser.add_argument("--log", default="")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    server = Server(("127.0.0.1", args.port), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.root = os.path.abspath(args.root)
    server.prefix = args.prefix
    server.plan = FaultPlan(args.plan)
    server.log = RequestLog(args.log)
    server.verbose = args.verbose
    server.stopping = False

    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping = True
        server.server_close()


if __name__ == "__main__":
    main()
