"""A time-stamp authority on loopback for the tests: an HTTP server on
127.0.0.1 answering time-stamp queries with `openssl ts -reply`, signed
with a test TSA certificate (credentials.credentials(tsa=True))."""

import http.server
import os
import pathlib
import shutil
import subprocess
import tempfile
import threading

CONFIG = """\
[ tsa ]
default_tsa = tsa_config

[ tsa_config ]
serial = {folder}/serial
crypto_device = builtin
signer_cert = {folder}/tsa.pem
certs = {folder}/chain.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.57264.2.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

AVAILABLE = shutil.which("openssl") is not None


class TimeStampAuthority:
    """`with TimeStampAuthority(tsa_cert, tsa_key, ca) as tsa:` serves at
    tsa.url; tsa.answered counts the replies given."""

    def __init__(self, cert, key, ca):
        self._folder = tempfile.TemporaryDirectory(prefix="tarnwick-tsa-")
        folder = pathlib.Path(self._folder.name)
        (folder / "tsa.pem").write_bytes(cert)
        (folder / "tsa.key").write_bytes(key)
        (folder / "chain.pem").write_bytes(ca)
        (folder / "serial").write_text("01\n")
        (folder / "tsa.cnf").write_text(CONFIG.format(folder=folder))
        self.answered = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if self.headers.get("Content-Type") != "application/timestamp-query":
                    self.send_error(415)
                    return
                reply = authority._reply(query)
                if reply is None:
                    self.send_error(500)
                    return
                authority.answered += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self._lock = threading.Lock()  # openssl's serial file is not shared safely
        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._httpd.server_address[1]}/"

    def _reply(self, query):
        folder = pathlib.Path(self._folder.name)
        with self._lock:
            (folder / "query.tsq").write_bytes(query)
            config = str(folder / "tsa.cnf")
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                   str(folder / "query.tsq"), "-out", str(folder / "reply.tsr")],
                                  check=False, capture_output=True, env={**os.environ, "OPENSSL_CONF": config})
            return (folder / "reply.tsr").read_bytes() if done.returncode == 0 else None

    def __enter__(self):
        threading.Thread(target=self._httpd.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._folder.cleanup()
