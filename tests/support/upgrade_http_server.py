"""HTTP server on 127.0.0.1 that answers every GET with the --body text, but 404 for a path
that starts with /missing.

Each request path is appended to --request-log; the port goes to --ready-file.
Run with /usr/bin/python3.
"""

import argparse
import http.server
import signal
import sys
import threading

from ready_file import announce


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--body", default="")
    parser.add_argument("--request-log")
    return parser.parse_args()


def main():
    args = parse_args()
    body = args.body.encode("utf-8")
    log_lock = threading.Lock()

    def log(line):
        if args.request_log:
            with log_lock:
                with open(args.request_log, "a", encoding="utf-8", errors="replace") as out:
                    out.write(line + "\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            log(self.path)
            if self.path.startswith("/missing"):
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True

    def stop(*_):
        server.server_close()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    announce(args.ready_file, server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
