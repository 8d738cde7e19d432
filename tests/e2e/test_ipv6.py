"""Both address families through the real program, on one run with eight channels on ::1 and
127.0.0.1: IPv6 on either leg or both, an empty Bind IP and "::" serving both families,
"localhost" reaching a target on either family alone, a data mode, capture files read back
with tshark, and allow lists naming either family."""
import glob
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import unittest

import trabix_e2e as e2e

HEADER = struct.Struct(">QQQ")   # client-to-server size, server-to-client size, seed
SIZE = 1 << 20
CAPTURED_SIZE = 1 << 16


def digest_handler(sock):
    """Sends the stream the header asks for while reading the client's bytes, then the
    SHA-256 of what it read: both directions are checked by the client alone."""
    head = b""
    while len(head) < HEADER.size:
        chunk = sock.recv(HEADER.size - len(head))
        if not chunk:
            return
        head += chunk
    up, down, seed = HEADER.unpack(head)
    sender = threading.Thread(target=sock.sendall, args=(e2e.pattern_bytes(down, seed),))
    sender.start()
    h, got = hashlib.sha256(), 0
    while got < up:
        chunk = sock.recv(min(1 << 16, up - got))
        if not chunk:
            break
        h.update(chunk)
        got += len(chunk)
    sender.join()
    sock.sendall(h.digest())
    sock.recv(1)   # until the client closes


class IPv6Run(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not e2e.have_ipv6_loopback():
            raise unittest.SkipTest("this machine has no IPv6 loopback address (::1)")
        cls.six = e2e.Backend(digest_handler, host=e2e.LOOPBACK6)
        cls.four = e2e.Backend(digest_handler)
        cls.ports = {n: e2e.free_port(e2e.LOOPBACK6) for n in range(1, 9)}
        p, six, four = cls.ports, cls.six.port, cls.four.port
        channels = {
            1: e2e.channel_section(p[1], six, map_ip="::1", bind_ip="::1", remarks="six-six"),
            2: e2e.channel_section(p[2], four, remarks="both"),
            3: e2e.channel_section(p[3], four, bind_ip="[::1]", mode=2, remarks="six-four"),
            4: e2e.channel_section(p[4], six, map_ip="[::1]", bind_ip="127.0.0.1",
                                   remarks="four-six"),
            5: e2e.channel_section(p[5], six, map_ip="localhost", bind_ip="::",
                                   remarks="localhost-six"),
            6: e2e.channel_section(p[6], four, map_ip="localhost", remarks="localhost-four"),
            7: e2e.channel_section(p[7], four, bind_ip="::", remarks="allow-four"),
            8: e2e.channel_section(p[8], four, remarks="allow-six"),
        }
        for n in (1, 3, 4):
            channels[n].update(CaptureToFile=1)
        channels[7].update(AllowFrom="127.0.0.0/8")
        channels[8].update(AllowFrom="::1/128")
        cls.run_ = e2e.TrabixRun(e2e.ini_text(e2e.general_section(), channels))
        cls.watchdog = e2e.Watchdog(120, cls.run_)
        try:
            for n, port in p.items():
                cls.run_.wait_listening(n, port)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.watchdog.cancel()
        cls.run_.close()
        cls.six.close()
        cls.four.close()

    def exchange(self, channel, host, size=SIZE, seed=1):
        """Relays size bytes each way through the channel from a client on host; checks both
        digests; returns the client's own port."""
        with e2e.connect(self.ports[channel], timeout=30, host=host) as s:
            own_port = s.getsockname()[1]
            sent = e2e.pattern_bytes(size, seed + 1000)
            sender = threading.Thread(target=s.sendall, args=(HEADER.pack(size, size, seed) + sent,))
            sender.start()
            got = bytearray()
            while len(got) < size + 32:
                chunk = s.recv(1 << 16)
                self.assertTrue(chunk, "channel %d closed after %d bytes" % (channel, len(got)))
                got += chunk
            sender.join()
            self.assertEqual(hashlib.sha256(got[:size]).digest(),
                             hashlib.sha256(e2e.pattern_bytes(size, seed)).digest(),
                             "target to client bytes differ on channel %d" % channel)
            self.assertEqual(bytes(got[size:]), hashlib.sha256(sent).digest(),
                             "client to target bytes differ on channel %d" % channel)
        return own_port

    def line(self, channel, text):
        return self.run_.wait_for_line(r"^## [\d:]{12} Channel %d; \(TID= \d+\)  %s"
                                       % (channel, text))

    def test_listening_lines_name_each_family_as_it_is_written(self):
        p = self.ports
        for n, shown in ((1, r"\[::1\]"), (2, r"0\.0\.0\.0"), (3, r"\[::1\]"), (4, r"127\.0\.0\.1"),
                         (5, r"\[::\]"), (7, r"\[::\]")):
            with self.subTest(channel=n):
                self.run_.wait_for_line(r"^\*\* [\d:]{12} Channel %d: \(.*\) listening to "
                                        r"connections on %s:%d$" % (n, shown, p[n]))

    def test_bytes_cross_both_ways_on_every_pair_of_families(self):
        cases = ((1, e2e.LOOPBACK6, r"\[::1\]", r"\[::1\]:%d" % self.six.port),
                 (2, e2e.LOOPBACK6, r"\[::1\]", r"127\.0\.0\.1:%d" % self.four.port),
                 (2, e2e.LOOPBACK, r"127\.0\.0\.1", r"127\.0\.0\.1:%d" % self.four.port),
                 (3, e2e.LOOPBACK6, r"\[::1\]", r"127\.0\.0\.1:%d" % self.four.port),
                 (4, e2e.LOOPBACK, r"127\.0\.0\.1", r"\[::1\]:%d" % self.six.port))
        for n, host, shown, target in cases:
            with self.subTest(channel=n, client=host):
                port = self.exchange(n, host, seed=n)
                self.line(n, r"Incoming connection from %s:%d to %s:%d\. "
                          % (shown, port, shown, self.ports[n]))
                self.line(n, r"Mapping connection from %s:%d to  %s\. " % (shown, port, target))

    def test_an_ipv4_client_of_a_dual_stack_socket_is_shown_as_ipv4(self):
        port = self.exchange(5, e2e.LOOPBACK, size=4096, seed=55)
        self.line(5, r"Incoming connection from 127\.0\.0\.1:%d to 127\.0\.0\.1:%d\. "
                  % (port, self.ports[5]))

    def test_localhost_reaches_a_target_on_either_family_alone(self):
        # The IPv6-only target answers on ::1; the IPv4-only one refuses ::1 at once and
        # answers on 127.0.0.1. The line after the connect names the address that won.
        for n, target in ((5, r"\[::1\]:%d" % self.six.port),
                          (6, r"127\.0\.0\.1:%d" % self.four.port)):
            with self.subTest(channel=n):
                self.exchange(n, e2e.LOOPBACK6, size=4096, seed=n)
                self.line(n, r"Mapping connection to  localhost:\d+ reached %s\.$" % target)

    def test_a_data_mode_records_an_ipv6_client(self):
        self.exchange(3, e2e.LOOPBACK6, size=100, seed=33)
        self.line(3, r"DATA \(Client -> Server\): Length= \d+ ")

    def test_allow_lists_name_either_family(self):
        with self.subTest("IPv4 list on a dual-stack socket"):
            self.exchange(7, e2e.LOOPBACK, size=4096, seed=7)
            self.assertRefused(7, e2e.LOOPBACK6)
        with self.subTest("IPv6 list on both families"):
            self.exchange(8, e2e.LOOPBACK6, size=4096, seed=8)
            self.assertRefused(8, e2e.LOOPBACK)

    def assertRefused(self, channel, host):
        # The refusal may reset the connection before the client's connect has even returned.
        try:
            with e2e.connect(self.ports[channel], host=host) as s:
                self.assertEqual(e2e.recv_all(s), b"")
        except ConnectionResetError:
            pass
        shown = r"\[::1\]" if ":" in host else r"127\.0\.0\.1"
        self.run_.wait_for_line(r"Channel %d; Refused connection from %s:\d+ \(not allowed\)"
                                % (channel, shown))

    def test_capture_files_hold_ipv6_conversations_tshark_reads(self):
        if not shutil.which("tshark"):
            self.skipTest("tshark is not installed (scripts/deps.sh installs it)")
        port6 = self.exchange(1, e2e.LOOPBACK6, size=CAPTURED_SIZE, seed=101)
        port4 = self.exchange(4, e2e.LOOPBACK, size=CAPTURED_SIZE, seed=104)
        for n, client, client_port, target in ((1, "::1", port6, self.six.port),
                                              (4, "::ffff:127.0.0.1", port4, self.six.port)):
            with self.subTest(channel=n):
                path = self.capture_file(n)
                decode = ["-d", "tcp.port==%d,data" % target, "-d",
                          "tcp.port==%d,data" % client_port]
                syn = "tcp.flags.syn==1 && tcp.flags.ack==0 && tcp.srcport==%d" % client_port
                fields = e2e.wait_until(lambda: self.tshark(
                    path, decode + ["-Y", syn, "-T", "fields", "-e", "ipv6.src", "-e", "ipv6.dst",
                                    "-e", "tcp.dstport"]).strip() or None,
                    e2e.bound(10), what="the conversation's SYN in %s" % path)
                self.assertEqual(fields.split("\n"), ["%s\t::1\t%d" % (client, target)])
                conversation = "tcp.port==%d" % client_port
                # The whole conversation with checksums checked: nothing bad, nothing missing.
                e2e.wait_until(lambda: "1" in self.tshark(
                    path, decode + ["-Y", conversation + " && tcp.flags.fin==1", "-T", "fields",
                                    "-e", "tcp.flags.fin"]) or None, e2e.bound(10),
                    what="the conversation's end in %s" % path)
                flagged = self.tshark(path, ["-o", "tcp.check_checksum:TRUE"] + decode + [
                    "-Y", conversation + " && (tcp.analysis.flags || _ws.malformed || "
                    "tcp.checksum.status == 0)"])
                self.assertEqual(flagged, "")
                payload = self.tshark(path, decode + ["-Y", conversation + " && tcp.len > 0",
                                                      "-T", "fields", "-e", "tcp.srcport",
                                                      "-e", "data.data"])
                up = down = b""
                for line in payload.split("\n"):
                    if line:
                        src, data = line.split("\t")
                        chunk = bytes.fromhex(data.replace(":", ""))
                        if int(src) == client_port:
                            up += chunk
                        else:
                            down += chunk
                self.assertEqual(hashlib.sha256(down[:CAPTURED_SIZE]).digest(),
                                 hashlib.sha256(e2e.pattern_bytes(CAPTURED_SIZE, 100 + n)).digest())
                self.assertEqual(up[HEADER.size:],
                                 e2e.pattern_bytes(CAPTURED_SIZE, 100 + n + 1000))

    def capture_file(self, channel):
        found = e2e.wait_until(
            lambda: glob.glob(os.path.join(self.run_.dir, "**", "*-%d.pcap" % channel),
                              recursive=True) or None,
            e2e.bound(10), what="the capture file of channel %d" % channel)
        return found[0]

    @staticmethod
    def tshark(path, arguments):
        return subprocess.run(["tshark", "-r", path] + arguments, capture_output=True,
                              text=True, timeout=60).stdout


if __name__ == "__main__":
    unittest.main()
