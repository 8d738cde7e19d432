"""TLS on either leg of a channel, end to end: the headless program with TLS keys in its INI,
real TLS clients (curl, openssl s_client, python's ssl module) and TLS targets (python's ssl
module, nghttpd for HTTP/2) on loopback, certificates of a test authority made with the openssl
tool, the local authority exported with --export-ca, and tshark decrypting a loopback capture
with the key log.

The cases run in order on one program run (their names carry the order); the last one stops it
with TLS connections open.
"""
import hashlib
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import trabix_e2e as e2e

BOTH, BULK, OTHER_NAME, OTHER_NAME_UNCHECKED, MUTUAL, MUTUAL_NO_CERT, TERMINATE, ORIGINATE = \
    range(1, 9)
BIG = 16 << 20
# What the targets answer: every byte one higher, so an answer proves it crossed the target.
TRANSFORM = bytes((b + 1) % 256 for b in range(256))
NAME = "backend.test"
PINNED = "pinned.test"
KEEP = 1 << 20  # bytes a target keeps of each connection, for the comparisons with the dump


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


class TestAuthority:
    """A certificate authority of the test's own (not the program's) and leaves it signs, as
    PEM files in a folder: the targets' certificates and a client certificate."""

    def __init__(self, folder):
        self.folder = folder
        self.cert = os.path.join(folder, "test-ca.pem")
        self.key = os.path.join(folder, "test-ca.key")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-nodes", "-keyout", self.key, "-out", self.cert, "-days", "30",
                "-subj", "/CN=Trabix e2e test authority")

    def leaf(self, name, alt_names):
        """(certificate file, key file) for name, with the subject alternative names given."""
        base = os.path.join(self.folder, name)
        extensions = base + ".ext"
        with open(extensions, "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=serverAuth,clientAuth\n"
                    "subjectAltName=%s\n" % alt_names)
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-nodes", "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", base + ".csr", "-CA", self.cert, "-CAkey", self.key,
                "-CAcreateserial", "-days", "30", "-extfile", extensions, "-out", base + ".pem")
        return base + ".pem", base + ".key"


class TlsTarget:
    """A TLS server on 127.0.0.1:0. An HTTP GET gets a small page; any other bytes come back
    through TRANSFORM as they arrive. Each handshake that completes leaves a record: the server
    name asked for, version, cipher, ALPN, and the first KEEP bytes received and sent."""

    def __init__(self, cert, key, alpn=None, client_ca=None, max_version=None):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        if alpn:
            self.context.set_alpn_protocols(alpn)
        if client_ca:
            self.context.verify_mode = ssl.CERT_REQUIRED
            self.context.load_verify_locations(client_ca)
        if max_version:
            self.context.maximum_version = max_version
        self.context.sni_callback = self._note_name
        self.records = []
        self.lock = threading.Lock()
        self.backend = e2e.Backend(self._serve)
        self.port = self.backend.port

    @staticmethod
    def _note_name(sock, name, _context):
        sock.e2e_sni = name

    def _serve(self, sock):
        with self.context.wrap_socket(sock, server_side=True) as tls:
            self._serve_tls(tls)

    def _serve_tls(self, tls):
        record = dict(sni=getattr(tls, "e2e_sni", None), version=tls.version(),
                      cipher=tls.cipher()[0], alpn=tls.selected_alpn_protocol(),
                      received=bytearray(), sent=bytearray())
        with self.lock:
            self.records.append(record)
        try:
            serve_duplex(tls, lambda data: self._answer(data, record))
        except (ssl.SSLError, OSError):
            pass  # a client that leaves without close_notify

    @staticmethod
    def _answer(data, record):
        """What goes back for data: a page for a whole GET request, else TRANSFORM of it."""
        record["received"] += data[:KEEP - len(record["received"])]
        answer = b""
        if not record["received"].startswith(b"GET "):
            answer = data.translate(TRANSFORM)
        elif b"\r\n\r\n" in record["received"] and not record["sent"]:
            path = bytes(record["received"]).split(b" ")[1]
            body = b"page " + path + b"\n"
            # The client closes when it has the page.
            answer = (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nContent-Type: text/plain\r\n"
                      b"\r\n%s" % (len(body), body))
        record["sent"] += answer[:KEEP - len(record["sent"])]
        return answer

    def find(self, predicate):
        with self.lock:
            return [r for r in self.records if predicate(r)]

    def close(self):
        self.backend.close()


def payload_of(size, seed):
    """Bytes no other case sends (small ones differ from the first byte on)."""
    if size < (1 << 20):
        return e2e.pattern_bytes(size, 1000 + seed)
    return e2e.stream_bytes(size, seed)


def plain_transform_handler(sock):
    serve_duplex(sock, lambda data: data.translate(TRANSFORM))


# A non-blocking socket, plain or TLS, that cannot go on now: TLS may need the other
# direction first.
NOT_NOW = (ssl.SSLWantWriteError, ssl.SSLWantReadError, BlockingIOError)


def send_some(sock, data):
    """Sends up to 64 KiB of data; returns how many bytes went (0 when it cannot now)."""
    try:
        return sock.send(data[:1 << 16])
    except NOT_NOW:
        return 0


def recv_some(sock):
    """Up to 64 KiB read; b"" at the end, None when nothing can be read now."""
    try:
        return sock.recv(1 << 16)
    except NOT_NOW:
        return None


def serve_duplex(sock, answer, idle=30.0):
    """Serves one connection, plain or TLS, reading and writing at once as real servers do:
    what answer(data) gives for each piece read is sent while more is read. (A server that
    stops reading while its answer waits, and a relay that stops reading while its write to
    that server waits, would wait for each other forever.) Ends at the client's close, or
    after idle seconds without a byte either way."""
    sock.setblocking(False)
    pending = getattr(sock, "pending", lambda: 0)
    out = bytearray()
    while True:
        readable, writable, _ = select.select([sock], [sock] if out else [], [],
                                              0 if pending() else idle * e2e.TIME_FACTOR)
        if not (readable or writable or pending()):
            return
        if writable:
            del out[:send_some(sock, out)]
        if readable or pending():
            data = recv_some(sock)
            if data is None:
                continue
            if not data:
                return
            out += answer(data)


def client_context(cafile=None, max_version=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if cafile:
        context.load_verify_locations(cafile)
    else:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    if max_version:
        context.maximum_version = max_version
    return context


def tls_connect(port, context, name):
    """A TLS client connection through the channel on port; name is the server name (SNI)
    and what is checked, an address sends none."""
    sock = socket.create_connection((e2e.LOOPBACK, port), timeout=e2e.bound(10))
    try:
        return context.wrap_socket(sock, server_hostname=name)
    except BaseException:
        sock.close()
        raise


def exchange(sock, payload, expected, timeout=60.0):
    """Sends payload and reads expected bytes at the same time on one thread (an SSL socket
    must not be read and written by two threads at once). Returns (count, sha256, the first
    KEEP bytes) of what came back; stops early when the peer ends the connection."""
    sock.setblocking(False)
    deadline = time.monotonic() + timeout * e2e.TIME_FACTOR
    sent, count, kept, digest = 0, 0, bytearray(), hashlib.sha256()
    view = memoryview(payload)
    pending = getattr(sock, "pending", lambda: 0)
    try:
        while count < expected or sent < len(payload):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("exchange stuck: %d of %d sent, %d of %d received"
                                     % (sent, len(payload), count, expected))
            writers = [sock] if sent < len(payload) else []
            readable, writable, _ = select.select([sock], writers, [], 0 if pending() else left)
            if writable:
                sent += send_some(sock, view[sent:])
            if readable or pending():
                data = recv_some(sock)
                if data is None:
                    continue
                if not data:
                    break
                count += len(data)
                digest.update(data)
                kept += data[:KEEP - len(kept)]
    finally:
        sock.setblocking(True)
        sock.settimeout(e2e.bound(10))
    return count, digest.hexdigest(), bytes(kept)


def ends(sock):
    """True when the connection ends (an orderly close, a reset or a TLS error) within the
    socket's timeout."""
    try:
        while sock.recv(1 << 16):
            pass
        return True
    except TimeoutError:
        return False
    except (ssl.SSLError, OSError):
        return True


def s_client(port, *args):
    """openssl s_client to 127.0.0.1:port with its input closed: it shakes hands and leaves.
    Returns (exit status, output)."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          errors="replace", timeout=e2e.bound(30))
    return done.returncode, done.stdout + done.stderr


def alpn_of(output):
    m = re.search(r"^ALPN protocol: (\S+)$", output, re.M)
    if m:
        return m.group(1)
    assert "No ALPN negotiated" in output, output
    return None


class TlsEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = tempfile.mkdtemp(prefix="trabix-tls-")
        cls.pki = TestAuthority(cls.files)
        backend = cls.pki.leaf(NAME, "DNS:%s,DNS:%s,IP:127.0.0.1" % (NAME, PINNED))
        other = cls.pki.leaf("other.test", "DNS:other.test")
        cls.client_cert = cls.pki.leaf("client.test", "DNS:client.test")
        cls.target = TlsTarget(*backend, alpn=["h2", "http/1.1"])
        cls.target12 = TlsTarget(*backend, max_version=ssl.TLSVersion.TLSv1_2)
        cls.other = TlsTarget(*other)
        cls.mutual = TlsTarget(*backend, client_ca=cls.pki.cert)
        cls.plain = e2e.Backend(plain_transform_handler)
        cls.keylog = os.path.join(cls.files, "keys.log")
        ca = dict(TlsCaFile=cls.pki.cert)
        cls.channels = {
            BOTH: (cls.target.port, dict(mode=4, TlsClient=1, TlsTarget=1,
                                         TlsKeyLogFile=cls.keylog, **ca)),
            BULK: (cls.target12.port, dict(TlsClient=1, TlsTarget=1, **ca)),
            OTHER_NAME: (cls.other.port, dict(TlsTarget=1, TlsServerName=NAME, **ca)),
            OTHER_NAME_UNCHECKED: (cls.other.port, dict(TlsTarget=1, TlsServerName=NAME,
                                                        TlsVerify=0, **ca)),
            MUTUAL: (cls.mutual.port, dict(TlsTarget=1, TlsClientCertFile=cls.client_cert[0],
                                           TlsClientKeyFile=cls.client_cert[1], **ca)),
            MUTUAL_NO_CERT: (cls.mutual.port, dict(TlsTarget=1, **ca)),
            TERMINATE: (cls.plain.port, dict(TlsClient=1)),
            ORIGINATE: (cls.target.port, dict(TlsTarget=1, TlsServerName=NAME, **ca)),
        }
        # Two runs of the program: with connection lines every connection rides a peer thread
        # (and the data records carry their headers); without them, and with data mode 0, the
        # relay pool carries the bulk channels.
        cls.trabix, cls.ports = cls.start_run(cls.channels, LogConnInfo=1)
        cls.pooled, cls.pooled_ports = cls.start_run(
            {n: cls.channels[n] for n in (BULK, TERMINATE, ORIGINATE)}, LogConnInfo=0)

    @classmethod
    def start_run(cls, channels, env=None, **general):
        ports = {n: e2e.free_port() for n in channels}
        sections = {}
        for n, (target_port, keys) in channels.items():
            keys = dict(keys)
            sections[n] = e2e.channel_section(ports[n], target_port, mode=keys.pop("mode", 0),
                                              bind_ip=e2e.LOOPBACK)
            sections[n].update(keys)
        run = e2e.TrabixRun(e2e.ini_text(e2e.general_section(**general), sections),
                            args=["--headless"], env=env)
        for n, port in ports.items():
            run.wait_listening(n, port)
        return run, ports

    def carriers(self):
        """(carrier, program run, its ports) of both runs."""
        return [("peer thread", self.trabix, self.ports),
                ("relay pool", self.pooled, self.pooled_ports)]

    @classmethod
    def tearDownClass(cls):
        cls.trabix.close()
        cls.pooled.close()
        for server in (cls.target, cls.target12, cls.other, cls.mutual, cls.plain):
            server.close()
        shutil.rmtree(cls.files, ignore_errors=True)

    def setUp(self):
        self.watchdog = e2e.Watchdog(60, None)
        self.addCleanup(self.watchdog.cancel)
        for run in (self.trabix, self.pooled):
            self.assertTrue(run.alive(), "the program has ended: " + run.stderr_text())

    def line(self, channel, text, count=1):
        return self.trabix.wait_for_line(r"^## [\d:]{12} Channel %d; \(TID= \d+\)\s+TLS: %s"
                                         % (channel, text), count=count)

    @staticmethod
    def export_ca(run, path):
        return subprocess.run([run.exe, "--export-ca", path], cwd=run.dir, env=run.env,
                              capture_output=True, text=True, timeout=e2e.bound(30))

    def exported_ca(self, run=None):
        """The local authority of a run (the first by default), exported once."""
        run = run or self.trabix
        path = os.path.join(run.dir, "exported-ca.pem")
        if not os.path.exists(path):
            done = self.export_ca(run, path)
            self.assertEqual(done.returncode, 0, done.stderr)
        return path

    def dumped(self, up, down):
        """Waits until one connection of the BOTH channel has exactly up and down in its data
        records."""
        def found():
            streams = e2e.hex_record_streams(self.trabix.log_bytes(), BOTH)
            return [tid for tid, s in streams.items() if s == (up, down)]
        return e2e.wait_until(found, 10, interval=0.05, what="the data records of the exchange")

    # ---- the local authority

    def test_01_export_ca_writes_the_authority_the_channels_issue_from(self):
        exported = os.path.join(self.files, "exported.pem")
        done = self.export_ca(self.trabix, exported)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(exported, done.stdout)
        with open(exported) as f:
            pem = f.read()
        with open(os.path.join(self.trabix.dir, "TrabixCA.pem")) as f:
            self.assertEqual(pem, f.read())
        self.assertTrue(pem.startswith("-----BEGIN CERTIFICATE-----\n"))
        key = os.path.join(self.trabix.dir, "TrabixCA-key.pem")
        self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)

        failed = self.export_ca(self.trabix, os.path.join(self.files, "no-such-folder", "ca.pem"))
        self.assertEqual(failed.returncode, 1)
        self.assertIn("no-such-folder", failed.stderr)

    # ---- both legs

    def test_02_curl_by_name_and_by_address_verifies_and_the_dump_holds_the_bytes(self):
        port = self.ports[BOTH]
        for path, url, extra in [
                ("/by-name", "https://%s:%d/by-name" % (NAME, port),
                 ["--resolve", "%s:%d:127.0.0.1" % (NAME, port)]),
                ("/by-address", "https://127.0.0.1:%d/by-address" % port, [])]:
            with self.subTest(url=url):
                done = subprocess.run(["curl", "-sS", "--fail", "--http1.1", "--max-time", "30",
                                       "--cacert", self.exported_ca(), url] + extra,
                                      capture_output=True, timeout=e2e.bound(60))
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout, b"page %s\n" % path.encode())
                records = e2e.wait_until(lambda: self.target.find(
                    lambda r: r["received"].startswith(b"GET %s " % path.encode())), 10,
                    what="the target's record")
                record = records[0]
                self.assertEqual(record["sni"], NAME if path == "/by-name" else None)
                self.assertEqual(record["alpn"], "http/1.1")
                self.dumped(bytes(record["received"]), bytes(record["sent"]))

    def test_03_alpn_is_negotiated_as_on_a_direct_connection(self):
        through = ["-servername", NAME, "-CAfile", self.exported_ca(), "-verify_return_error"]
        for offer, expected in ((["-alpn", "h2,http/1.1"], "h2"),
                                (["-alpn", "http/1.1"], "http/1.1"), ([], None)):
            with self.subTest(offer=offer):
                status, direct = s_client(self.target.port, "-servername", NAME, *offer)
                self.assertEqual(status, 0, direct)
                status, relayed = s_client(self.ports[BOTH], *(through + offer))
                self.assertEqual(status, 0, relayed)
                self.assertIn("Verify return code: 0 (ok)", relayed)
                self.assertEqual(alpn_of(relayed), alpn_of(direct))
                self.assertEqual(alpn_of(direct), expected)

    def test_04_tls_1_2_and_1_3_carry_1_byte_and_16_mib_both_ways(self):
        before = len(self.target12.records)
        for carrier, run, ports in self.carriers():
            for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
                for size in (1, BIG):
                    with self.subTest(carrier=carrier, version=version.name, size=size):
                        context = client_context(self.exported_ca(run), max_version=version)
                        with tls_connect(ports[BULK], context, NAME) as tls:
                            self.assertEqual(tls.version(), version.name.replace("v1_", "v1."))
                            payload = payload_of(size, 1)
                            count, digest, _ = exchange(tls, payload, size)
                        self.assertEqual(count, size)
                        self.assertEqual(digest, hashlib.sha256(
                            payload.translate(TRANSFORM)).hexdigest())
        # The target leg is TLS 1.2 all along: that target goes no higher.
        records = self.target12.records[before:]
        self.assertEqual(len(records), 8)
        self.assertEqual({r["version"] for r in records}, {"TLSv1.2"})

    def test_05_originate_only_and_terminate_only_relay_whole_both_ways(self):
        for carrier, run, ports in self.carriers():
            for channel in (ORIGINATE, TERMINATE):
                for size in (1, BIG):
                    with self.subTest(carrier=carrier, channel=channel, size=size):
                        payload = payload_of(size, channel)
                        if channel == TERMINATE:
                            sock = tls_connect(ports[channel], client_context(
                                self.exported_ca(run)), "127.0.0.1")
                            self.assertEqual(sock.version(), "TLSv1.3")
                        else:
                            sock = e2e.connect(ports[channel])
                        with sock:
                            count, digest, _ = exchange(sock, payload, size)
                        self.assertEqual(count, size)
                        self.assertEqual(digest, hashlib.sha256(
                            payload.translate(TRANSFORM)).hexdigest())
        one = payload_of(1, ORIGINATE)
        records = self.target.find(lambda r: r["received"] == one)
        self.assertEqual([(r["sni"], r["version"]) for r in records], [(NAME, "TLSv1.3")] * 2)

    def test_10_an_http2_request_crosses_both_legs(self):
        """curl --http2 through a channel that terminates and originates, to nghttpd (which
        speaks nothing but HTTP/2): the client's ALPN offer reaches the server and h2 comes
        back, so the request and its answer are HTTP/2 end to end."""
        if not shutil.which("nghttpd"):
            self.skipTest("nghttpd missing (scripts/deps.sh installs nghttp2-server)")
        htdocs = tempfile.mkdtemp(dir=self.files)
        with open(os.path.join(htdocs, "hello.txt"), "w") as f:
            f.write("hello over h2\n")
        cert, key = os.path.join(self.files, NAME + ".pem"), os.path.join(self.files, NAME + ".key")
        server_port = e2e.free_port()
        said = os.path.join(self.files, "nghttpd.out")
        with open(said, "w") as out:
            server = subprocess.Popen(["nghttpd", "-a", "127.0.0.1", "-d", htdocs,
                                       str(server_port), key, cert],
                                      stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(server.wait, timeout=e2e.bound(10))
        self.addCleanup(server.kill)
        e2e.wait_until(lambda: server.poll() is not None or not e2e.is_refused(server_port), 10,
                       what="nghttpd listening")
        if server.poll() is not None:
            with open(said) as f:
                self.fail("nghttpd ended: " + f.read())
        run, ports = self.start_run({1: (server_port, dict(TlsClient=1, TlsTarget=1,
                                                           TlsCaFile=self.pki.cert))},
                                    LogConnInfo=1)
        self.addCleanup(run.close)
        port = ports[1]
        done = subprocess.run(
            ["curl", "-sS", "--fail", "--http2", "--max-time", "30", "-w", "\n%{http_version}",
             "--cacert", self.exported_ca(run), "--resolve", "%s:%d:127.0.0.1" % (NAME, port),
             "https://%s:%d/hello.txt" % (NAME, port)],
            capture_output=True, text=True, timeout=e2e.bound(60))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "hello over h2\n\n2")

    def test_11_without_a_ca_file_the_system_bundle_verifies_the_target(self):
        """No TlsCaFile: the target is checked against the system's store, here the bundle that
        SSL_CERT_FILE names (the test authority alone)."""
        run, ports = self.start_run({1: (self.target.port, dict(TlsTarget=1, TlsServerName=NAME))},
                                    env={"SSL_CERT_FILE": self.pki.cert,
                                         "SSL_CERT_DIR": self.files},
                                    LogConnInfo=0)
        self.addCleanup(run.close)
        with e2e.connect(ports[1]) as s:
            _, _, answer = exchange(s, b"bundle", 6)
        self.assertEqual(answer, b"bundle".translate(TRANSFORM))

    # ---- the target's certificate

    def test_06_target_for_another_name_is_refused_unless_verification_is_off(self):
        before = len(self.other.records)
        with e2e.connect(self.ports[OTHER_NAME]) as s:
            s.sendall(b"secret")
            self.assertEqual(e2e.recv_all(s), b"")
        self.line(OTHER_NAME, "TLS handshake with the target %s failed: certificate verify "
                              "failed: hostname mismatch$" % re.escape(NAME))
        with e2e.connect(self.ports[OTHER_NAME_UNCHECKED]) as s:
            count, _, answer = exchange(s, b"secret", 6)
        self.assertEqual(answer, b"secret".translate(TRANSFORM))
        # The refused connection never got as far as the target's handshake record.
        received = [bytes(r["received"]) for r in self.other.records[before:]]
        self.assertEqual(received, [b"secret"])

    def test_07_target_that_wants_a_client_certificate_gets_the_configured_one(self):
        with e2e.connect(self.ports[MUTUAL]) as s:
            _, _, answer = exchange(s, b"mutual", 6)
        self.assertEqual(answer, b"mutual".translate(TRANSFORM))
        with e2e.connect(self.ports[MUTUAL_NO_CERT]) as s:
            s.sendall(b"mutual")
            self.assertEqual(e2e.recv_all(s), b"")
        self.line(MUTUAL_NO_CERT, r"TLS .*target.*")

    # ---- a client that rejects the issued certificate

    def test_08_client_that_rejects_the_authority_then_passes_through(self):
        args = ["-servername", PINNED, "-CAfile", self.pki.cert, "-verify_return_error"]
        status, output = s_client(self.ports[BOTH], *args)
        self.assertNotEqual(status, 0, output)
        self.line(BOTH, r"the client rejected the certificate for %s \(it sent the alert "
                        r"\".+\"\); later connections for %s pass through untouched$"
                  % (re.escape(PINNED), re.escape(PINNED)))
        status, output = s_client(self.ports[BOTH], *args)
        self.assertEqual(status, 0, output)
        self.assertIn("Verify return code: 0 (ok)", output)  # the target's own certificate
        self.line(BOTH, r"passes %s through untouched" % re.escape(PINNED))
        # Other names are still terminated.
        status, output = s_client(self.ports[BOTH], "-servername", NAME, "-CAfile",
                                  self.exported_ca(), "-verify_return_error")
        self.assertEqual(status, 0, output)

    # ---- the key log

    def test_09_key_log_lets_tshark_decrypt_both_legs_of_a_loopback_capture(self):
        capture = os.path.join(self.files, "lo.pcapng")
        dumpcap = Dumpcap(capture, "tcp port %d or tcp port %d"
                          % (self.ports[BOTH], self.target.port))
        self.addCleanup(dumpcap.stop)
        payload = e2e.pattern_bytes(3000, 9)
        with tls_connect(self.ports[BOTH], client_context(self.exported_ca()), NAME) as tls:
            count, _, answer = exchange(tls, payload, len(payload))
        self.assertEqual(answer, payload.translate(TRANSFORM))
        self.dumped(payload, answer)
        legs = {self.ports[BOTH]: "client", self.target.port: "target"}
        expected = {leg: [tuple(sorted((payload, answer)))] for leg in legs.values()}
        seen = {}

        def decrypted():
            # dumpcap writes its file a tenth of a second after the packets at the latest.
            seen.clear()
            for port, ways in decrypted_streams(capture, self.keylog).items():
                seen[legs.get(port, port)] = ways
            return seen == expected
        try:
            e2e.wait_until(decrypted, 20, interval=0.2, what="tshark to decrypt both legs")
        except AssertionError:
            self.assertEqual(seen, expected)
            raise
        dumpcap.stop()

    # ---- the stop

    def test_99_stop_ends_open_tls_connections_at_once(self):
        open_connections = []
        for carrier, run, ports in self.carriers():
            context = client_context(self.exported_ca(run))
            for channel in (BULK, TERMINATE) + ((BOTH,) if BOTH in ports else ()):
                tls = tls_connect(ports[channel], context, NAME)
                open_connections.append(tls)
                self.addCleanup(tls.close)
                _, _, answer = exchange(tls, b"held", 4)
                self.assertEqual(answer, b"held".translate(TRANSFORM))
        for run in (self.trabix, self.pooled):
            seconds = run.terminate(timeout=3.0)
            self.assertLess(seconds, e2e.bound(3.0))
            self.assertEqual(run.proc.returncode, 0, run.stderr_text())
        for tls in open_connections:
            tls.settimeout(e2e.bound(2))
            self.assertTrue(ends(tls))


class Dumpcap:
    """dumpcap on the loopback interface into a file, from the moment it has opened the
    interface until stop(). Skips the case when this machine does not allow capturing."""

    def __init__(self, path, capture_filter):
        if not shutil.which("dumpcap"):
            raise unittest.SkipTest("dumpcap is not installed")
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", capture_filter,
                                      "-w", path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.errors)
        e2e._live_processes.append(self.proc)

        def opened():
            self.errors.seek(0)
            text = self.errors.read().decode(errors="replace")
            if self.proc.poll() is not None:
                return "ended: " + text
            # "File:" follows the opening of the interface and of the file.
            return "open" if re.search(r"^File: ", text, re.M) else None
        state = e2e.wait_until(opened, 20, interval=0.02, what="dumpcap to open lo")
        if state != "open":
            raise unittest.SkipTest("this machine does not let dumpcap capture on lo (%s)"
                                    % state.strip())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(timeout=e2e.bound(20))
        if self.proc in e2e._live_processes:
            e2e._live_processes.remove(self.proc)
        self.errors.close()


def decrypted_streams(capture, keylog):
    """The TCP connections of a capture as tshark decrypts them with the key log: {the port
    the connection was made to: the decrypted bytes of each direction, sorted}. (tshark's
    follow output tells the two directions apart, but not reliably which end is which.)"""
    base = ["tshark", "-n", "-r", capture, "-o", "tls.keylog_file:" + keylog]
    # The file may end in a packet dumpcap is writing: tshark reads what is whole.
    syns = subprocess.run(base + ["-Y", "tcp.flags.syn == 1 && tcp.flags.ack == 0", "-T",
                                  "fields", "-e", "tcp.stream", "-e", "tcp.dstport"],
                          capture_output=True, text=True, timeout=e2e.bound(60)).stdout
    streams = {}
    for number, port in (line.split() for line in syns.splitlines() if line.strip()):
        out = subprocess.run(base + ["-q", "-z", "follow,tls,raw,%s" % number],
                             capture_output=True, text=True, timeout=e2e.bound(60)).stdout
        ways = {True: b"", False: b""}
        for line in out.split("\n"):
            if re.fullmatch(r"\t?[0-9a-f]+", line):
                ways[line.startswith("\t")] += bytes.fromhex(line.strip())
        streams.setdefault(int(port), []).append(tuple(sorted(ways.values())))
    return streams


if __name__ == "__main__":
    unittest.main()
