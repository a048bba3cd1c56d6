#!/usr/bin/env python3
"""A loopback HTTP server that misbehaves on request, for the job's tests.

    http_server.py ROOT PORT_FILE LOG LIFETIME [CERT KEY]

Binds 127.0.0.1 at a port the system picks, writes the port to PORT_FILE
once it listens, logs one line per request ("SECONDS GET /path", the
seconds since the server started, to a tenth) to LOG, and for a file one
more per answer ("SECONDS SENT STATUS BODY-BYTES /path"), and exits after
LIFETIME seconds whatever it is doing. Each connection has its own thread,
so a stalled answer holds up no other request.

PORT_FILE gets a second line: the port of a socket that is never accepted
and whose queue is full, so that a connection to it hangs before it is
made (loopback drops the handshake while the queue is full). Given a
certificate and its key (PEM files), a third line gives the port of the
same server over TLS.

What a path answers (query strings select the details):
  /files/NAME            the file ROOT/NAME, with Content-Length,
                         Last-Modified and ETag (none with ?etag=no, one
                         with a control byte in it with ?etag=junk);
                         If-None-Match, or without it If-Modified-Since,
                         that matches gives 304
  /bom                   an HTML page that begins with a UTF-8 byte-order mark
  /cut                   a list line, then the connection closes: no
                         Content-Length, so the cut cannot be seen
  /cut-length            a list line, then the connection closes short of
                         the promised Content-Length
  /stall                 nothing at all: the request is read, never answered
  /stall-body            headers and a first list line, then nothing
  /big?bytes=N           N bytes of list lines, with Content-Length
  /endless               list lines without end and without Content-Length
  /status/CODE           an answer with that status and a short text body
  /redirect?to=URL[&code=C]   a redirect (default 302) to URL
  /flaky/KEY?fail=N&code=C&then=NAME
                         the first N requests for KEY answer C (default
                         503), the later ones the file ROOT/NAME
"""

import email.utils
import hashlib
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LINE = b"0.0.0.0 filler.example.com\n"
STARTED = time.monotonic()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."
    log_file = None
    counts = {}
    counts_lock = threading.Lock()

    def log_message(self, *args):
        pass

    def log_request_line(self):
        with self.counts_lock:
            self.log_file.write("%.1f %s %s\n" % (time.monotonic() - STARTED, self.command, self.path))
            self.log_file.flush()

    def log_answer(self, code, size):
        with self.counts_lock:
            self.log_file.write("%.1f SENT %d %d %s\n" % (time.monotonic() - STARTED, code, size, self.path))
            self.log_file.flush()

    def answer(self, code, body, content_type="text/plain", headers=(), length=True):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    @staticmethod
    def stall():
        # The server's lifetime ends the process, and this thread with it.
        while True:
            time.sleep(1)

    def serve_file(self, name, etags="yes"):
        path = os.path.join(self.root, os.path.basename(name))
        try:
            with open(path, "rb") as f:
                body = f.read()
            mtime = os.path.getmtime(path)
        except OSError:
            self.log_answer(404, 0)
            self.answer(404, b"not found\n")
            return
        etag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
        modified = email.utils.formatdate(mtime, usegmt=True)
        headers = [("Last-Modified", modified)]
        if etags == "junk":
            headers.append(("ETag", etag + "\x01"))
        elif etags != "no":
            headers.append(("ETag", etag))
        match = self.headers.get("If-None-Match")
        since = self.headers.get("If-Modified-Since")
        if (match is not None and match == etag) or (match is None and since == modified):
            self.log_answer(304, 0)
            self.send_response(304)
            for header in headers:
                self.send_header(*header)
            self.end_headers()
            return
        self.log_answer(200, len(body))
        self.answer(200, body, headers=headers)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self.log_request_line()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = url.path.split("/")[1:]
        kind = parts[0] if parts else ""
        if kind == "files" and len(parts) == 2:
            self.serve_file(parts[1], etags=query.get("etag", "yes"))
        elif kind == "bom":
            self.answer(200, b"\xef\xbb\xbf<!DOCTYPE html>\n<html><body>Sign in</body></html>\n",
                        content_type="text/html")
        elif kind == "cut":
            self.answer(200, b"0.0.0.0 cut.example.com\n0.0.0.0 cut-sh", length=False)
        elif kind == "cut-length":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"0.0.0.0 cut.example.com\n")
            self.close_connection = True
        elif kind == "stall":
            self.stall()
        elif kind == "stall-body":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"0.0.0.0 stalled.example.com\n")
            self.wfile.flush()
            self.stall()
        elif kind == "big":
            size = int(query.get("bytes", "1000"))
            body = (LINE * (size // len(LINE) + 1))[:size]
            self.answer(200, body)
        elif kind == "endless":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            block = LINE * 4096
            try:
                while True:
                    self.wfile.write(block)
            except OSError:
                pass
            self.close_connection = True
        elif kind == "status" and len(parts) == 2:
            code = int(parts[1])
            self.answer(code, b"status %d\n" % code)
        elif kind == "redirect":
            code = int(query.get("code", "302"))
            self.answer(code, b"moved\n", headers=[("Location", query.get("to", "/"))])
        elif kind == "flaky" and len(parts) == 2:
            with self.counts_lock:
                seen = self.counts.get(parts[1], 0)
                self.counts[parts[1]] = seen + 1
            if seen < int(query.get("fail", "1")):
                code = int(query.get("code", "503"))
                self.answer(code, b"try later\n")
            else:
                self.serve_file(query.get("then", ""))
        else:
            self.answer(404, b"not found\n")


def main():
    root, port_file, log, lifetime = sys.argv[1:5]
    Handler.root = root
    Handler.log_file = open(log, "a", encoding="utf-8")
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # The never-accepted socket: a backlog of one, filled by a connection of
    # our own.
    tls_port = None
    if len(sys.argv) >= 7:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[5], sys.argv[6])
        tls = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        tls.daemon_threads = True
        tls.socket = context.wrap_socket(tls.socket, server_side=True)
        threading.Thread(target=tls.serve_forever, daemon=True).start()
        tls_port = tls.server_address[1]
    unaccepted = socket.socket()
    unaccepted.bind(("127.0.0.1", 0))
    unaccepted.listen(0)
    fillers = []
    for _ in range(2):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(unaccepted.getsockname())
        fillers.append(filler)
    time.sleep(0.2)
    with open(port_file + ".tmp", "w", encoding="ascii") as f:
        f.write("%d\n%d\n" % (server.server_address[1], unaccepted.getsockname()[1]))
        if tls_port is not None:
            f.write("%d\n" % tls_port)
    os.rename(port_file + ".tmp", port_file)
    time.sleep(float(lifetime))
    # Stalled threads never end by themselves; the lifetime is the bound.
    os._exit(0)


if __name__ == "__main__":
    main()
