#!/usr/bin/python3
"""A small HTTP server on 127.0.0.1 for the update check's tests.

    update_server.py FOLDER SECONDS

GET /PATH answers with the file FOLDER/PATH, or 404. A file whose name
starts with "slow" goes out in 16 KiB pieces every 50 ms. The port is
printed on the first line; the server ends when its standard input closes
(its test is gone) or after SECONDS, whichever comes first.
"""
import http.server
import os
import sys
import threading
import time

root = os.path.realpath(sys.argv[1])
life = float(sys.argv[2])


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = os.path.realpath(os.path.join(root, self.path.split('?')[0].lstrip('/')))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, 'rb') as f:
            data = f.read()
        self.send_response(200)
        self.send_header('Content-Length', str(len(data)))
        self.end_headers()
        piece = 16384 if os.path.basename(path).startswith('slow') else len(data) or 1
        try:
            for i in range(0, len(data), piece):
                self.wfile.write(data[i:i + piece])
                self.wfile.flush()
                if piece == 16384:
                    time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)


def end_with_stdin():
    sys.stdin.read()
    os._exit(0)


threading.Thread(target=end_with_stdin, daemon=True).start()
threading.Timer(life, lambda: os._exit(0)).start()
server.serve_forever()
