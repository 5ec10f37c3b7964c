#!/usr/bin/env python3
"""Serves a built page (default: build-web) on http://localhost:8000 with the
headers that isolate it, so that the browser runs the build with threads.
Usage: python3 web/serve.py [FOLDER] [PORT]"""
import functools, http.server, sys

class Isolated(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        super().end_headers()

Isolated.extensions_map[".wasm"] = "application/wasm"
folder = sys.argv[1] if len(sys.argv) > 1 else "build-web"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 8000
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), functools.partial(Isolated, directory=folder))
print(f"serving {folder} on http://localhost:{port}/", flush=True)
server.serve_forever()
