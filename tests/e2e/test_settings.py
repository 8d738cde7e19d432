"""Bad settings files: the program never crashes or hangs, reads what it can, says in its log
what it did with each bad value, and ends cleanly on SIGTERM keeping the lines it does not know.

Each case is one program run with up to eight channels, each channel holding one bad value.
"""
import os
import re
import unittest

import trabix_e2e as e2e

LISTENING = r"^\*\* [\d:]{12} Channel %d: \(%s\) listening to connections on ([\d.]+):(\d+)$"
CHANNEL_ERROR = r"^\*\* [\d:]{12} Channel %d: \(%s\) Error: (.+)$"


class BadSettings(unittest.TestCase):
    def run_program(self, ini_bytes):
        """Starts the program on the given INI bytes; returns the run once it has logged the
        outcome of its AutoStart (the last channel's line)."""
        run = e2e.TrabixRun(ini_bytes)
        self.addCleanup(run.close)
        watchdog = e2e.Watchdog(60, run)
        self.addCleanup(watchdog.cancel)
        return run

    def outcome(self, run, channel, remarks):
        """('listening', ip, port) or ('error', message) for a started channel."""
        pattern = "(%s)|(%s)" % (LISTENING % (channel, re.escape(remarks)),
                                 CHANNEL_ERROR % (channel, re.escape(remarks)))
        line = run.wait_for_line(pattern, timeout=15)[0]
        m = re.match(LISTENING % (channel, re.escape(remarks)), line)
        if m:
            return ("listening", m.group(1), int(m.group(2)))
        return ("error", re.match(CHANNEL_ERROR % (channel, re.escape(remarks)), line).group(1))

    def end_cleanly(self, run):
        self.assertTrue(run.alive(), "the program has ended: " + run.stderr_text())
        run.terminate(timeout=5)
        self.assertEqual(run.proc.returncode, 0, run.stderr_text())
        lines = run.log_lines()
        self.assertRegex(lines[-1], e2e.LogLine.PROGRAM_STOPPED)

    def assert_relays(self, port):
        with e2e.connect(port) as s:
            s.sendall(b"ping\x00\xff")
            got = b""
            while len(got) < 6:
                chunk = s.recv(6 - len(got))
                self.assertTrue(chunk, "channel closed instead of relaying")
                got += chunk
            self.assertEqual(got, b"ping\x00\xff")

    def test_out_of_range_values(self):
        echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(echo.close)
        ports = {n: e2e.free_port() for n in range(4, 7)}
        channels = {
            1: e2e.channel_section(0, echo.port, remarks="port 0", bind_ip=e2e.LOOPBACK),
            2: e2e.channel_section(65536, echo.port, remarks="port 65536",
                                   bind_ip=e2e.LOOPBACK),
            3: e2e.channel_section(-5, echo.port, remarks="port -5", bind_ip=e2e.LOOPBACK),
            4: e2e.channel_section(ports[4], echo.port, remarks="mode 42", mode=42),
            5: e2e.channel_section(ports[5], echo.port, remarks="speed -1", max_speed=-1, mode=1),
            6: e2e.channel_section(ports[6], echo.port, remarks="speed max",
                                   max_speed=2147483647, mode=1),
            7: e2e.channel_section(e2e.free_port(), echo.port, remarks="bind 999",
                                   bind_ip="999.1.1.1"),
            8: e2e.channel_section(e2e.free_port(), echo.port, remarks="bind abc",
                                   bind_ip="abc"),
        }
        run = self.run_program(e2e.ini_text(e2e.general_section(), channels).encode())
        for n, remarks, clamped in ((1, "port 0", 1), (2, "port 65536", 65535),
                                    (3, "port -5", 1)):
            with self.subTest(remarks):
                # Loaded clamped into 1..65535, as the window shows it: the channel listens on
                # that port, or says why it cannot (privileged, or taken by channel 1).
                state = self.outcome(run, n, remarks)
                if state[0] == "listening":
                    self.assertEqual(state[1:], (e2e.LOOPBACK, clamped))
                else:
                    self.assertRegex(state[1], r"^(Socket Error # 10013 - |Could not bind socket)")
        for n, remarks in ((4, "mode 42"), (5, "speed -1"), (6, "speed max")):
            with self.subTest(remarks):
                self.assertEqual(self.outcome(run, n, remarks), ("listening", "0.0.0.0", ports[n]))
                self.assert_relays(ports[n])
        with self.subTest("mode 42 loads as the last mode, 9: http-C/S"):
            records = run.wait_for_line(r"^## [\d:]{12} Channel 4; \(TID= \d+\)  DATA \(Client -> "
                                        r"Server\): Length= 6 Connection: ")
            lines = run.log_lines()
            self.assertTrue(lines[lines.index(records[0]) + 1].startswith("ping"))
        with self.subTest("speeds clamped to 0..100000000 move data in one piece"):
            lines = run.wait_for_line(r"Channel [56]; \(TID= \d+\)  DATA \(Server -> Client\): "
                                      r"Length= 6 ", count=2)
            self.assertEqual(len(lines), 2)
        for n, remarks in ((7, "bind 999"), (8, "bind abc")):
            with self.subTest(remarks):
                state = self.outcome(run, n, remarks)
                self.assertEqual(state, ("error", "Socket Error # 10049 - Cannot assign "
                                                  "requested address."))
        self.end_cleanly(run)

    def test_garbage_and_huge_lines(self):
        echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(echo.close)
        port = e2e.free_port()
        junk = bytes(range(256)) * 4 + b"\x00[General\r\n=\r\n[]\r\nAutoStart\r\n" \
            + os.urandom(4096).replace(b"[", b"(")
        huge_line = b"X" * (10 * 1000 * 1000)
        long_remarks = "r" * 3000
        channels = {1: e2e.channel_section(port, echo.port, remarks=long_remarks)}
        good = e2e.ini_text(e2e.general_section(), channels).encode()
        ini = junk + b"\r\n" + huge_line + b"\r\nmarker-line-kept\r\n" + good + huge_line
        run = self.run_program(ini)
        state = self.outcome(run, 1, long_remarks[:2047])
        self.assertEqual(state, ("listening", "0.0.0.0", port))
        self.assert_relays(port)
        self.end_cleanly(run)
        with open(run.ini_path, "rb") as f:
            kept = f.read()
        self.assertIn(b"marker-line-kept", kept)
        self.assertIn(huge_line, kept)

    def test_unusable_targets(self):
        port, wrapped = e2e.free_port(), e2e.free_port()
        echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(echo.close)
        channels = {
            # Rejected by the resolver itself (too long), so no query leaves the machine.
            1: e2e.channel_section(port, 80, map_ip="a" * 3000, remarks="long"),
            # A Map Port that would wrap around to the echo server's port if cut to 16 bits.
            2: e2e.channel_section(wrapped, echo.port + 65536, remarks="wraps"),
        }
        run = self.run_program(e2e.ini_text(e2e.general_section(), channels).encode())
        with self.subTest("Map Port beyond 65535"):
            # Clamped to 65535 on load, never cut to 16 bits onto the echo server's port.
            self.assertEqual(self.outcome(run, 2, "wraps"), ("listening", "0.0.0.0", wrapped))
            with e2e.connect(wrapped) as s:
                e2e.recv_all(s)
            run.wait_for_line(r"^## [\d:]{12} Channel 2; \(TID= \d+\)  Mapping connection from "
                              r".* to  127\.0\.0\.1:65535\. ")
            self.assertEqual(echo.accepted, 0)
        self.assertEqual(self.outcome(run, 1, "long"), ("listening", "0.0.0.0", port))
        for _ in range(2):
            with e2e.connect(port) as s:
                self.assertEqual(e2e.recv_all(s), b"")
        errors = run.wait_for_line(r"^## [\d:]{12} Channel 1; Error: Socket Error # 1100\d - ",
                                   count=2)
        self.assertEqual(len(errors), 2)
        mapping = run.wait_for_line(r"Mapping connection from .* to  a+:80\. ")[0]
        self.assertEqual(mapping.count("a" * 2047), 1)
        self.assertNotIn("a" * 2048, mapping)
        self.end_cleanly(run)


if __name__ == "__main__":
    unittest.main()
