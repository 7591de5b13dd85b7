#!/usr/bin/env python3
"""A local Kestrel update service, for demos, end-to-end tests and benchmarks.

It serves one folder over HTTPS on 127.0.0.1:

  GET <prefix>/vb6/v1/softwares/kestrel11           200, {"version": "<version.txt>"}
  GET <prefix>/vb6/v1/softwares/kestrel11/download  200, the bytes of package.zip

Both files are read on every request, so they can be replaced while the service runs.
Any other path answers 404.

Signed packages: --make-signing-key FILE makes an Ed25519 key pair, keeps the private key in
FILE (PEM, readable by its owner only) and prints the public key, the base64 of its 32 bytes,
which is what a wizard built with KESTREL_PACKAGE_PUBLIC_KEY takes. With --signing-key FILE the
record also carries the package's SHA-256 (lower-case hex) and the base64 Ed25519 signature of
the text "kestrel11", LF, the version, LF, that digest:

  {"version": "11.0.27", "sha256": "<64 hex digits>", "signature": "<base64 of 64 bytes>"}

The certificate is made for it: on first use a local certificate authority and a server
certificate for IP 127.0.0.1 signed by it are generated with the openssl command in the
state folder. Clients trust the CA file (ca.pem) that --make-ca prints.

The first line written to standard output is the port the service listens on (also written
to --port-file); the listening address and the CA file's path go to standard error.

Each request is logged as one JSON line (time, client, method, path, headers, status),
written before the reply is sent.

The answer of either URL can be forced to another status with --record-status and
--download-status, and changed while the service runs through a control file, a JSON
object read again on every request (and on SIGHUP):

  {"record_status": 500, "record_reason": "Internal Server Error",
   "download_status": 200, "download_reason": "OK", "download_file": "other.zip"}

"download_file" serves another file (its path, relative to the folder) as the package while the
record still describes package.zip: a tampered package, for tests and demonstrations.
"download_drop_after" (a number of bytes) cuts the connection once that many bytes of the package
body are out: an interrupted download.

The package is served like any web server serves a file: with an ETag (from the file's size and
modification time), Last-Modified and Accept-Ranges: bytes. A request with "Range: bytes=N-" (or
"bytes=N-M") gets 206 Partial Content with the rest from byte N, unless its If-Range names another
version of the file (then 200 and the whole file); a range that starts at or after the end gets
416 with "Content-Range: bytes */SIZE". Other forms of Range (several ranges, suffixes) get 200.

Keys present in the control file take precedence over the command line. The service ends
cleanly on SIGTERM or SIGINT.
"""

import argparse
import base64
import datetime
import email.utils
import hashlib
import fcntl
import http
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading

SOFTWARE_ID = "kestrel11"
SERVICE_PATH = "/vb6/v1/softwares/"
BLOCK_SIZE = 4 * 1024 * 1024


# ---------------------------------------------------------------------------------------
# Certificates


def default_state_dir():
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "kestrel-update-service")


def _openssl(*args):
    result = subprocess.run(["openssl", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.strip()))


def _write_atomic(path, data, mode=0o644):
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tmp-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


class Certificates:
    """The CA and the server certificate kept in one state folder."""

    def __init__(self, state_dir):
        self.state_dir = os.path.abspath(state_dir)
        self.ca_cert = os.path.join(self.state_dir, "ca.pem")
        self.ca_key = os.path.join(self.state_dir, "ca.key")
        self.server_cert = os.path.join(self.state_dir, "server.pem")
        self.server_key = os.path.join(self.state_dir, "server.key")

    def ensure(self):
        os.makedirs(self.state_dir, mode=0o700, exist_ok=True)
        # Several services may start at once on the same folder: one of them generates.
        with open(os.path.join(self.state_dir, ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not (os.path.exists(self.ca_cert) and os.path.exists(self.ca_key)):
                self._make_ca()
            if not (os.path.exists(self.server_cert) and os.path.exists(self.server_key)):
                self._make_server_certificate()

    def _make_ca(self):
        with tempfile.TemporaryDirectory(dir=self.state_dir) as work:
            key = os.path.join(work, "ca.key")
            cert = os.path.join(work, "ca.pem")
            _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-keyout", key, "-out", cert, "-days", "3650",
                     "-subj", "/O=Kestrel Software (local)/CN=Kestrel local update service CA",
                     "-addext", "basicConstraints=critical,CA:TRUE,pathlen:0",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                     "-addext", "subjectKeyIdentifier=hash")
            with open(key, "rb") as f:
                _write_atomic(self.ca_key, f.read(), 0o600)
            with open(cert, "rb") as f:
                _write_atomic(self.ca_cert, f.read())
        # A new CA invalidates any server certificate signed by an old one.
        for path in (self.server_cert, self.server_key):
            if os.path.exists(path):
                os.unlink(path)

    def _make_server_certificate(self):
        with tempfile.TemporaryDirectory(dir=self.state_dir) as work:
            key = os.path.join(work, "server.key")
            csr = os.path.join(work, "server.csr")
            cert = os.path.join(work, "server.pem")
            ext = os.path.join(work, "server.ext")
            with open(ext, "w") as f:
                f.write("basicConstraints=critical,CA:FALSE\n"
                        "keyUsage=critical,digitalSignature,keyEncipherment\n"
                        "extendedKeyUsage=serverAuth\n"
                        "subjectAltName=IP:127.0.0.1\n"
                        "authorityKeyIdentifier=keyid\n")
            _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", key, "-out", csr, "-subj", "/O=Kestrel Software (local)/CN=127.0.0.1")
            _openssl("x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", self.ca_key,
                     "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
                     "-days", "825", "-extfile", ext, "-out", cert)
            with open(key, "rb") as f:
                _write_atomic(self.server_key, f.read(), 0o600)
            with open(cert, "rb") as f:
                _write_atomic(self.server_cert, f.read())

    def server_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(self.server_cert, self.server_key)
        return context


# ---------------------------------------------------------------------------------------
# Service state


class Answers:
    """The statuses to answer: the command line, overridden by the control file."""

    KEYS = ("record_status", "record_reason", "download_status", "download_reason", "download_file",
            "download_drop_after")

    def __init__(self, args):
        self._defaults = {
            "record_status": args.record_status,
            "record_reason": args.record_reason,
            "download_status": args.download_status,
            "download_reason": args.download_reason,
            "download_file": None,
            "download_drop_after": None,
        }
        self._control_file = args.control
        self._lock = threading.Lock()
        self._current = dict(self._defaults)

    def reload(self):
        current = dict(self._defaults)
        if self._control_file:
            try:
                with open(self._control_file, "r", encoding="utf-8") as f:
                    control = json.load(f)
            except FileNotFoundError:
                control = {}
            except (OSError, ValueError) as error:
                # A half-written control file keeps the previous answers.
                print("control file ignored: %s" % error, file=sys.stderr, flush=True)
                with self._lock:
                    return dict(self._current)
            if not isinstance(control, dict):
                control = {}
            for key in self.KEYS:
                if key in control:
                    current[key] = control[key]
        with self._lock:
            self._current = current
            return dict(current)


class RequestLog:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="utf-8") if path else sys.stdout

    def write(self, entry):
        line = json.dumps(entry, ensure_ascii=False)
        with self._lock:
            self._file.write(line + "\n")
            self._file.flush()


# ---------------------------------------------------------------------------------------
# HTTP


def reason_for(status, reason):
    if reason:
        return str(reason)
    try:
        return http.HTTPStatus(int(status)).phrase
    except ValueError:
        return "Status %d" % int(status)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "KestrelUpdateService/1.0"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def log_error(self, format, *args):  # noqa: A002
        sys.stderr.write("%s: %s\n" % (self.address_string(), format % args))

    def do_HEAD(self):
        self.do_GET(send_body=False)

    def do_GET(self, send_body=True):
        self._send_body = send_body
        service = self.server.service
        answers = service.answers.reload()
        record_path = service.prefix + SERVICE_PATH + SOFTWARE_ID
        path = self.path

        if path == record_path:
            status = int(answers["record_status"])
            if status == 200:
                body = self._record_body(service)
                if body is None:
                    return self._reply(404, None, b"no version.txt\n")
                return self._reply(200, answers["record_reason"], body, "application/json; charset=utf-8")
            return self._reply(status, answers["record_reason"], b"")

        if path == record_path + "/download":
            status = int(answers["download_status"])
            if status == 200:
                return self._send_package(service, answers["download_reason"], answers["download_file"],
                                          answers["download_drop_after"])
            return self._reply(status, answers["download_reason"], b"")

        return self._reply(404, None, b"")

    def _record_body(self, service):
        try:
            with open(service.version_file, "r", encoding="utf-8") as f:
                version = f.read().strip()
        except FileNotFoundError:
            return None
        record = {"version": version}
        if service.signer:
            record.update(service.signer.members(version, service.package_file))
        return json.dumps(record).encode("utf-8")

    def _log(self, status):
        self.server.service.log.write({
            "time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds"),
            "client": "%s:%d" % self.client_address[:2],
            "method": self.command,
            "path": self.path,
            "headers": dict(self._headers_in_order()),
            "status": status,
        })

    def _headers_in_order(self):
        merged = {}
        for name, value in self.headers.items():
            merged[name] = merged[name] + ", " + value if name in merged else value
        return merged.items()

    def _reply(self, status, reason, body, content_type="text/plain; charset=utf-8"):
        self._log(status)
        self.send_response(status, reason_for(status, reason))
        if status >= 200 and status not in (204, 304):
            if body:
                self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body and self._send_body:
            self.wfile.write(body)

    def _requested_range(self, size, etag, last_modified):
        """(start, end) of a single "bytes=N-" or "bytes=N-M" range that applies, "416", or None."""
        wanted = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if not wanted.startswith("bytes=") or "," in wanted:
            return None
        if if_range is not None and if_range not in (etag, last_modified):
            return None
        first, _, last = wanted[len("bytes="):].strip().partition("-")
        if not first.isdigit() or (last and not last.isdigit()):
            return None
        start, end = int(first), min(int(last), size - 1) if last else size - 1
        if start >= size:
            return "416"
        return (start, end) if start <= end else None

    def _send_package(self, service, reason, other_file=None, drop_after=None):
        path = service.package_file
        if other_file:
            path = os.path.join(os.path.dirname(path), str(other_file))
        try:
            package = open(path, "rb")
        except FileNotFoundError:
            return self._reply(404, None, b"no package.zip\n")
        with package:
            st = os.fstat(package.fileno())
            size = st.st_size
            etag = '"%x-%x"' % (size, st.st_mtime_ns)
            last_modified = email.utils.formatdate(st.st_mtime, usegmt=True)
            wanted = self._requested_range(size, etag, last_modified)
            if wanted == "416":
                self._log(416)
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            start, end = wanted if wanted else (0, size - 1)
            status = 206 if wanted else 200
            self._log(status)
            self.send_response(status, reason_for(status, reason if status == 200 else None))
            self.send_header("Content-Type", "application/zip")
            self.send_header("Content-Length", str(end + 1 - start))
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", last_modified)
            self.send_header("Accept-Ranges", "bytes")
            if wanted:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
            self.end_headers()
            package.seek(start)
            remaining = end + 1 - start if self._send_body else 0
            budget = int(drop_after) if drop_after is not None else None
            while remaining > 0:
                block = package.read(min(BLOCK_SIZE, remaining))
                if not block:
                    # The file shrank while it was sent: the client sees a short body.
                    self.close_connection = True
                    break
                if budget is not None and len(block) >= budget:
                    self.wfile.write(block[:budget])
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    break
                self.wfile.write(block)
                remaining -= len(block)
                if budget is not None:
                    budget -= len(block)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, service, context):
        self.service = service
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread, so a slow client blocks no one.
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            sys.stderr.write("%s:%d: TLS handshake failed: %s\n" % (client_address[0], client_address[1], error))
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, ssl.SSLError, TimeoutError)):
            return
        super().handle_error(request, client_address)


class Signer:
    """Signs each package the record describes with the vendor's Ed25519 private key."""

    def __init__(self, key_file):
        from cryptography.hazmat.primitives import serialization
        with open(key_file, "rb") as f:
            self._key = serialization.load_pem_private_key(f.read(), password=None)
        self._lock = threading.Lock()
        self._cache = {}  # (device, inode, size, mtime) -> digest, so a big package is hashed once

    def digest(self, path):
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            stamp = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            with self._lock:
                if stamp in self._cache:
                    return self._cache[stamp]
            sha = hashlib.sha256()
            for block in iter(lambda: f.read(BLOCK_SIZE), b""):
                sha.update(block)
        with self._lock:
            self._cache = {stamp: sha.hexdigest()}
        return sha.hexdigest()

    def members(self, version, package_file):
        try:
            digest = self.digest(package_file)
        except FileNotFoundError:
            return {}
        text = ("%s\n%s\n%s" % (SOFTWARE_ID, version, digest)).encode("utf-8")
        return {"sha256": digest, "signature": base64.b64encode(self._key.sign(text)).decode("ascii")}


def make_signing_key(path):
    """Writes a new private key to path (never over an existing file) and answers the public key."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
    key = Ed25519PrivateKey.generate()
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(pem)
    public = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    return base64.b64encode(public).decode("ascii")


class Service:
    def __init__(self, args):
        folder = os.path.abspath(args.folder)
        self.version_file = os.path.join(folder, "version.txt")
        self.package_file = os.path.join(folder, "package.zip")
        self.prefix = args.prefix.rstrip("/")
        self.answers = Answers(args)
        self.log = RequestLog(args.log)
        self.signer = Signer(args.signing_key) if args.signing_key else None


# ---------------------------------------------------------------------------------------


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--folder", help="folder holding version.txt and package.zip")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--port-file", help="write the port chosen to this file once listening")
    parser.add_argument("--state-dir", default=default_state_dir(),
                        help="folder of the CA and the server certificate (default: %(default)s)")
    parser.add_argument("--make-ca", action="store_true",
                        help="generate the certificates if needed, print the CA file's path and exit")
    parser.add_argument("--make-signing-key", metavar="FILE",
                        help="make an Ed25519 key pair, write the private key to FILE, print the public key and exit")
    parser.add_argument("--signing-key", metavar="FILE",
                        help="sign each package the record describes with this private key (PEM)")
    parser.add_argument("--prefix", default="", help="path before /vb6/v1/softwares/ (default: none)")
    parser.add_argument("--log", help="append the request log to this file (default: standard output)")
    parser.add_argument("--control", help="JSON control file read again on every request")
    parser.add_argument("--record-status", type=int, default=200, help="status of the software record")
    parser.add_argument("--record-reason", help="reason phrase of the software record's status")
    parser.add_argument("--download-status", type=int, default=200, help="status of the package download")
    parser.add_argument("--download-reason", help="reason phrase of the package download's status")
    args = parser.parse_args(argv)
    if not args.make_ca and not args.make_signing_key and not args.folder:
        parser.error("--folder is required unless --make-ca or --make-signing-key is given")
    for status in (args.record_status, args.download_status):
        if not 100 <= status <= 999:
            parser.error("a status must lie between 100 and 999")
    return args


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    if args.make_signing_key:
        try:
            print(make_signing_key(args.make_signing_key), flush=True)
        except FileExistsError:
            print("error: %s already exists; a signing key is never overwritten" % args.make_signing_key,
                  file=sys.stderr)
            return 1
        return 0
    certificates = Certificates(args.state_dir)
    certificates.ensure()
    if args.make_ca:
        print(certificates.ca_cert, flush=True)
        return 0

    service = Service(args)
    server = Server(("127.0.0.1", args.port), service, certificates.server_context())
    port = server.server_address[1]

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    def reload(signum, frame):
        service.answers.reload()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGHUP, reload)

    if args.port_file:
        _write_atomic(os.path.abspath(args.port_file), b"%d\n" % port)
    print("listening on https://127.0.0.1:%d%s%s" % (port, service.prefix, SERVICE_PATH), file=sys.stderr)
    print("CA certificate: %s" % certificates.ca_cert, file=sys.stderr, flush=True)
    # The first line of standard output is the port, so a caller can read it from a pipe.
    print(port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
