#!/usr/bin/env python3
"""A static file server on 127.0.0.1 whose first FAILURES answers to /version are 503.

    flaky_server.py ROOT FAILURES PORT_FILE

Serves ROOT; writes the port it listens on to PORT_FILE once it accepts connections, and logs
one line per request ("GET /path status") on standard error. Used to test vtupdate --retries
against a server that fails for a while and then serves.
"""
import functools
import http.server
import sys
import os
import threading


def main():
    root, failures, port_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    lock = threading.Lock()
    left = [failures]

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            if self.path.split("?")[0] == "/version":
                with lock:
                    fail = left[0] > 0
                    left[0] -= 1 if fail else 0
                if fail:
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
            super().do_GET()

        def log_message(self, fmt, *args):
            sys.stderr.write("%s\n" % (fmt % args))

    handler = functools.partial(Handler, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    with open(port_file + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
