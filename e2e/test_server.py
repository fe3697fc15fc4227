#!/usr/bin/env python3
"""A small HTTP(S) server for the end-to-end tests: binds a loopback address on a free
port, prints "PORT <n>" once it listens, and serves until it is killed.

  GET  /big?bytes=N   N bytes of a fixed pattern (streamed; default 1 MiB)
  GET  /page.html     a page whose text is completed by a script and a style sheet
  GET  /app.js, /style.css, /pixel.png   the page's resources
  POST /upload        answers "<length> <sha256>" of the request body

Every request is noted on standard output as "GOT <Host header> <path>".
"""
import hashlib
import http.server
import socketserver
import ssl
import sys

PATTERN = bytes(range(256)) * 256  # 64 KiB

PAGE = b"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Relay test page</title>
<link rel="stylesheet" href="/style.css"></head>
<body><h1>Through the relay</h1>
<p id="status">script not run</p>
<img src="/pixel.png" alt="pixel" onload="document.body.dataset.img='loaded'">
<script src="/app.js"></script>
</body></html>
"""
SCRIPT = b"""document.getElementById('status').textContent = 'script ran: resources loaded';
"""
STYLE = b"body { font-family: sans-serif; background: #eef6ee; } h1 { color: #225522; }\n"
# A 1x1 green PNG.
PIXEL = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de"
    "0000000c4944415408d763f8cff00000030101003c5e4d1a0000000049454e44ae426082")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, body, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def note(self):
        print("GOT", self.headers.get("Host", ""), self.path, flush=True)

    def do_GET(self):
        self.note()
        path, _, query = self.path.partition("?")
        if path == "/big":
            size = 1 << 20
            for part in query.split("&"):
                if part.startswith("bytes="):
                    size = int(part[6:])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            left = size
            while left > 0:
                chunk = PATTERN[: min(left, len(PATTERN))]
                self.wfile.write(chunk)
                left -= len(chunk)
        elif path == "/page.html":
            self.send_body(PAGE, "text/html; charset=utf-8")
        elif path == "/app.js":
            self.send_body(SCRIPT, "text/javascript")
        elif path == "/style.css":
            self.send_body(STYLE, "text/css")
        elif path == "/pixel.png":
            self.send_body(PIXEL, "image/png")
        else:
            self.send_error(404)

    def do_POST(self):
        self.note()
        length = int(self.headers.get("Content-Length", "0"))
        digest = hashlib.sha256()
        left = length
        while left > 0:
            chunk = self.rfile.read(min(left, 1 << 16))
            if not chunk:
                break
            digest.update(chunk)
            left -= len(chunk)
        self.send_body(f"{length - left} {digest.hexdigest()}".encode(), "text/plain")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2"
    server = Server((address, 0), Handler)
    if len(sys.argv) > 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
