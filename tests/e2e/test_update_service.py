"""The local update service on its own: paths, statuses, the control file, the log, the
certificate and a clean end. Run by CTest with the service script's path as argument."""

import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.environ.get("KESTREL_UPDATE_SERVICE_SCRIPT", "")


class Service:
    def __init__(self, folder, *arguments):
        self.folder = folder
        self.log = os.path.join(folder, "requests.jsonl")
        self.control = os.path.join(folder, "control.json")
        self.state = os.path.join(folder, "state")
        self.process = subprocess.Popen(
            [sys.executable, SCRIPT, "--folder", os.path.join(folder, "served"), "--state-dir", self.state,
             "--log", self.log, "--control", self.control, *arguments],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the service did not start")
        self.port = int(line)
        self.context = ssl.create_default_context(cafile=os.path.join(self.state, "ca.pem"))

    def get(self, path, method="GET", headers=None):
        connection = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.context)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.reason, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def requests(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        code = self.process.wait()
        self.process.stdout.close()
        return code


class UpdateServiceTest(unittest.TestCase):
    RECORD = "/vb6/v1/softwares/kestrel11"
    DOWNLOAD = RECORD + "/download"

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        served = os.path.join(self.tmp.name, "served")
        os.mkdir(served)
        with open(os.path.join(served, "version.txt"), "w") as f:
            f.write("11.0.27\n")
        # More than one block of the service, and not a multiple of it.
        self.package = os.urandom(9 * 1024 * 1024 + 7)
        with open(os.path.join(served, "package.zip"), "wb") as f:
            f.write(self.package)
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.stop()
        self.tmp.cleanup()

    def start(self, *arguments):
        self.service = Service(self.tmp.name, *arguments)
        return self.service

    def test_serves_the_record_and_the_package_and_logs_each_request(self):
        service = self.start()
        status, _, headers, body = service.get(self.RECORD)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/json; charset=utf-8")
        self.assertEqual(json.loads(body), {"version": "11.0.27"})

        status, _, headers, body = service.get(self.DOWNLOAD)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(self.package))
        self.assertEqual(body, self.package)

        status, _, headers, body = service.get(self.DOWNLOAD, "HEAD")
        self.assertEqual((status, int(headers["Content-Length"])), (200, len(self.package)))

        for path in ("/vb6/v1/softwares/kestrel12", self.RECORD + "/", "/", self.DOWNLOAD + "?x=1"):
            self.assertEqual(service.get(path)[0], 404, path)

        log = service.requests()
        self.assertEqual([(r["method"], r["path"], r["status"]) for r in log[:3]],
                         [("GET", self.RECORD, 200), ("GET", self.DOWNLOAD, 200), ("HEAD", self.DOWNLOAD, 200)])
        self.assertEqual(log[0]["headers"]["Host"], "127.0.0.1:%d" % service.port)
        self.assertEqual(len(log), 7)
        self.assertEqual(service.stop(), 0)

    def test_chosen_statuses_and_reasons_then_mended_through_the_control_file(self):
        service = self.start("--record-status", "503", "--record-reason", "Maintenance en cours",
                             "--download-status", "404")
        self.assertEqual(service.get(self.RECORD)[:2], (503, "Maintenance en cours"))
        status, reason, headers, body = service.get(self.DOWNLOAD)
        self.assertEqual((status, reason, headers["Content-Length"], body), (404, "Not Found", "0", b""))

        with open(service.control, "w") as f:
            json.dump({"record_status": 200, "download_status": 200}, f)
        self.assertEqual(service.get(self.RECORD)[0], 200)
        self.assertEqual(service.get(self.DOWNLOAD)[3], self.package)

        # A broken control file keeps the last answers; a removed one gives back the command line's.
        with open(service.control, "w") as f:
            f.write("{not json")
        self.assertEqual(service.get(self.RECORD)[0], 200)
        os.unlink(service.control)
        self.assertEqual(service.get(self.RECORD)[0], 503)

    def test_ranges_of_the_package_as_a_web_server_answers_them(self):
        service = self.start()
        size = len(self.package)
        etag = service.get(self.DOWNLOAD, "HEAD")[2]["ETag"]
        cases = [  # request headers -> status, Content-Range, body
            ({"Range": "bytes=1000-"}, 206, "bytes 1000-%d/%d" % (size - 1, size), self.package[1000:]),
            ({"Range": "bytes=5-9", "If-Range": etag}, 206, "bytes 5-9/%d" % size, self.package[5:10]),
            ({"Range": "bytes=5-", "If-Range": '"autre"'}, 200, None, self.package),
            ({"Range": "bytes=0-1,5-6"}, 200, None, self.package),
            ({"Range": "bytes=%d-" % size}, 416, "bytes */%d" % size, b""),
        ]
        for headers, status, content_range, body in cases:
            got = service.get(self.DOWNLOAD, headers=headers)
            self.assertEqual((got[0], got[2].get("Content-Range"), got[3]), (status, content_range, body), headers)

        # An interrupted download: the connection ends after the chosen number of body bytes.
        with open(service.control, "w") as f:
            json.dump({"download_drop_after": 5000}, f)
        with self.assertRaises(http.client.IncompleteRead) as cut:
            service.get(self.DOWNLOAD)
        self.assertEqual(cut.exception.partial, self.package[:5000])

    def test_prefix_and_a_certificate_made_for_127_0_0_1(self):
        service = self.start("--prefix", "/api/")
        self.assertEqual(service.get("/api" + self.RECORD)[0], 200)
        self.assertEqual(service.get(self.RECORD)[0], 404)

        # The certificate chains to the generated CA only, and names 127.0.0.1 only.
        connection = http.client.HTTPSConnection("127.0.0.1", service.port, context=ssl.create_default_context())
        with self.assertRaises(ssl.SSLCertVerificationError):
            connection.request("GET", self.RECORD)
        connection.close()
        with socket.create_connection(("127.0.0.1", service.port)) as plain:
            with self.assertRaises(ssl.SSLCertVerificationError):
                service.context.wrap_socket(plain, server_hostname="localhost")

    def test_make_ca_is_idempotent(self):
        state = os.path.join(self.tmp.name, "state")
        run = lambda: subprocess.run([sys.executable, SCRIPT, "--make-ca", "--state-dir", state],
                                     check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
        first = run()
        with open(first, "rb") as f:
            ca = f.read()
        self.assertEqual(run(), first)
        with open(first, "rb") as f:
            self.assertEqual(f.read(), ca)
        self.assertEqual(os.stat(os.path.join(state, "ca.key")).st_mode & 0o077, 0)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SCRIPT = sys.argv.pop(1)
    unittest.main()
