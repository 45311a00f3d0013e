#!/usr/bin/env python3
"""A throwaway RFC 3161 time-stamp server on 127.0.0.1, for signing in the installer stage without
a network: each request's body goes to `openssl ts -reply`, which answers with a time stamp signed
by the TSA certificate and key in FOLDER (tsa.pem, tsa.key, made by tools/test-installer.sh).

usage: time_stamp_server.py FOLDER    prints the port it listens on, then serves until killed
"""
import http.server
import os
import subprocess
import sys

folder = os.path.abspath(sys.argv[1])
with open(os.path.join(folder, "tsa.cnf"), "w") as f:
    f.write(f"""[ tsa ]
default_tsa = test
[ test ]
serial = {folder}/serial
signer_cert = {folder}/tsa.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
""")
with open(os.path.join(folder, "serial"), "w") as f:
    f.write("01\n")


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", f"{folder}/tsa.cnf",
                                "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                               input=query, capture_output=True, timeout=30)
        if reply.returncode != 0 or not reply.stdout:
            sys.stderr.write(reply.stderr.decode(errors="replace"))
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_port, flush=True)
server.serve_forever()
