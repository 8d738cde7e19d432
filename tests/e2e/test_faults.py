"""Faults the relay must survive, on one run of the real program.

After every case the program is alive, each channel still relays (a probe connection), its
descriptors (/proc/PID/fd) and threads (/proc/PID/task) are back to their starting numbers
within 2 s, and the counters the probe's last line shows add up to every connection the case
made: ConnectsIn = DisconnectsIn (+ CurrentThreads, which is 0 by then) and ConnectsOut =
ConnectsIn.
"""
import hashlib
import os
import random
import re
import signal
import socket
import struct
import threading
import time
import unittest

import trabix_e2e as e2e

DATA, REFUSED, IDLE, NONAME, HTTP = 1, 2, 3, 4, 5
MiB = 1 << 20
HEADER = struct.Struct(">QQQQ")   # client-to-server size, server-to-client size, seed, piece


def pieces(size, piece, rng):
    """Offsets and lengths of the writes of one stream: piece is 1, 1460, 65536 or 0 (random)."""
    offset = 0
    while offset < size:
        n = piece or rng.randint(1, 100000)
        n = min(n, size - offset)
        yield offset, n
        offset += n


def send_in_pieces(sock, data, piece, seed):
    rng = random.Random(seed)
    view = memoryview(data)
    for offset, n in pieces(len(data), piece, rng):
        sock.sendall(view[offset:offset + n])


def read_exactly_digest(sock, size):
    digest, left = hashlib.sha256(), size
    while left > 0:
        chunk = sock.recv(min(left, 1 << 18))
        if not chunk:
            break
        digest.update(chunk)
        left -= len(chunk)
    return size - left, digest.hexdigest()


class DualBackend(e2e.Backend):
    """Target of the data channel: reads the header, then at the same time takes the client's
    stream (recording its digest) and sends a stream of its own, written in the given pieces.
    Results go to self.received[seed] = (bytes, sha256)."""

    def __init__(self):
        self.received = {}
        super().__init__(self.handle)

    def handle(self, sock):
        header = b""
        while len(header) < HEADER.size:
            chunk = sock.recv(HEADER.size - len(header))
            if not chunk:
                return
            header += chunk
        up, down, seed, piece = HEADER.unpack(header)
        sender = threading.Thread(target=send_in_pieces,
                                  args=(sock, e2e.stream_bytes(down, seed + 1), piece, seed + 7))
        sender.start()
        self.received[seed] = read_exactly_digest(sock, up)
        sender.join(60)


def exchange(port, up, down, seed, piece=65536, nodelay=False):
    """One client of the data channel: sends `up` bytes and takes `down` bytes, both at once.
    Returns (bytes received, digest matches, extra bytes after the stream)."""
    payload = e2e.stream_bytes(up, seed)
    with e2e.connect(port, timeout=60, nodelay=nodelay) as s:
        s.sendall(HEADER.pack(up, down, seed, piece))
        sender = threading.Thread(target=send_in_pieces, args=(s, payload, piece, seed))
        sender.start()
        got, digest = read_exactly_digest(s, down)
        sender.join(60)
        extra = e2e.recv_all(s, 1)
    expected = hashlib.sha256(e2e.stream_bytes(down, seed + 1)).hexdigest()
    return got, digest == expected, extra, hashlib.sha256(payload).hexdigest()


class Faults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.backend = DualBackend()
        cls.echo = e2e.Backend(e2e.echo_handler)
        cls.sunk = []
        cls.sink = e2e.Backend(e2e.sink_handler(cls.sunk))
        cls.ports = {n: e2e.free_port() for n in (DATA, REFUSED, IDLE, NONAME, HTTP)}
        channels = {
            DATA: e2e.channel_section(cls.ports[DATA], cls.backend.port, remarks="data"),
            REFUSED: e2e.channel_section(cls.ports[REFUSED], e2e.closed_port(), remarks="none"),
            IDLE: e2e.channel_section(cls.ports[IDLE], cls.echo.port, remarks="idle"),
            # Rejected by the resolver itself (empty label), so no query leaves the machine.
            NONAME: e2e.channel_section(cls.ports[NONAME], 80, map_ip="no..such.host",
                                        remarks="noname"),
            HTTP: e2e.channel_section(cls.ports[HTTP], cls.sink.port, remarks="http", mode=6),
        }
        cls.trabix = e2e.TrabixRun(e2e.ini_text(e2e.general_section(), channels))
        cls.connections = {n: 0 for n in channels}
        cls.seed = 1000
        for n, port in cls.ports.items():
            cls.trabix.wait_listening(n, port)
        for n in channels:
            cls.probe(n)
        # Settled: a count taken while the probes' threads still end would ask later cases
        # for threads that cannot come back.
        cls.baseline = cls.trabix.settled_resources()

    @classmethod
    def tearDownClass(cls):
        cls.trabix.close()
        cls.backend.close()
        cls.echo.close()
        cls.sink.close()

    def setUp(self):
        self.assertTrue(self.trabix.alive(), "the program has ended")
        self.watchdog = e2e.Watchdog(150, self.trabix)
        self.addCleanup(self.watchdog.cancel)

    # -- helpers

    @classmethod
    def next_seed(cls):
        cls.seed += 10
        return cls.seed

    @classmethod
    def disconnect_lines(cls, channel):
        return cls.trabix.wait_for_line(r"Channel %d; \(TID= \d+\)  Disconnect \(incoming\)\. "
                                        % channel, timeout=30, count=cls.connections[channel])

    @classmethod
    def probe(cls, channel):
        """One connection that must work (or fail exactly as the channel is meant to); waits
        until every connection of the channel so far has ended in the log."""
        cls.connections[channel] += 1
        port = cls.ports[channel]
        if channel == DATA:
            got, good, extra, up_digest = exchange(port, 1000, 2000, cls.next_seed())
            assert got == 2000 and good and extra == b"", "data channel does not relay"
        elif channel == HTTP:
            before = len(cls.sunk)
            with e2e.connect(port) as s:
                s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            e2e.wait_until(lambda: len(cls.sunk) > before, 10, what="the sink")
            assert cls.sunk[-1][0] == 18, "http channel does not relay"
        elif channel == IDLE:
            with e2e.connect(port) as s:
                s.sendall(b"ping")
                assert s.recv(4) == b"ping", "echo channel does not relay"
        else:
            with e2e.connect(port) as s:
                assert e2e.recv_all(s) == b""
        cls.disconnect_lines(channel)
        if channel in (REFUSED, NONAME):
            # The error line follows the disconnect line, from the ending thread itself.
            cls.error_lines(channel)

    @classmethod
    def error_lines(cls, channel):
        return cls.trabix.wait_for_line(r"Channel %d; Error: " % channel, timeout=30,
                                        count=cls.connections[channel])

    def assert_recovered(self, *channels):
        self.assertTrue(self.trabix.alive(), "the program has ended: " + self.trabix.stderr_text())
        for n in channels:
            self.probe(n)
            expected = (0, self.connections[n], self.connections[n], self.connections[n])
            # Each line's counters are read on its connection's thread before the line is
            # queued to the log, so lines of connections ending together can come in another
            # order than their readings; the one that ended last read the final counts.
            seen = []

            def final_counts_shown():
                seen[:] = e2e.all_counters(self.trabix.log_lines(), n)
                return expected in seen
            try:
                e2e.wait_until(final_counts_shown, 10, what="the final counters")
            except AssertionError:
                self.fail("counters of channel %d: no line shows %s; the last shows %s"
                          % (n, expected, seen[-1] if seen else None))
        self.trabix.wait_resources(self.baseline, timeout=2.0)

    def run_clients(self, count, work):
        """Runs work(i) on count threads at once; returns their results in order."""
        results, errors = [None] * count, []

        def one(i):
            try:
                results[i] = work(i)
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertFalse(errors, errors[:3])
        return results

    # -- cases

    def test_byte_integrity_matrix(self):
        # (size, piece, connections); 1-byte pieces only where the count of writes stays small,
        # 16 MiB only with up to 8 connections (each moves 32 MiB through Python).
        matrix = []
        for size in (0, 1, 65535, MiB, 16 * MiB):
            for piece in (1, 1460, 65536, 0):
                if piece == 1 and size > 65535:
                    continue
                matrix.append((size, piece, 1))
            matrix.append((size, 0, 8))
            if size <= MiB:
                matrix.append((size, 1460 if size < MiB else 0, 32))
        for size, piece, count in matrix:
            with self.subTest(size=size, piece=piece, connections=count):
                seeds = [self.next_seed() for _ in range(count)]
                self.connections[DATA] += count

                def work(i):
                    return exchange(self.ports[DATA], size, size + i, seeds[i], piece,
                                    nodelay=piece == 1)
                for i, (got, good, extra, up_digest) in enumerate(self.run_clients(count, work)):
                    self.assertEqual(got, size + i)
                    self.assertTrue(good, "server-to-client digest differs")
                    self.assertEqual(extra, b"")
                    self.assertEqual(self.backend.received.get(seeds[i]),
                                     (size, up_digest), "client-to-server stream differs")
        self.assert_recovered(DATA)

    def test_target_refuses_2000_connects_8_at_a_time(self):
        self.connections[REFUSED] += 2000
        worst = []

        def work(i):
            slowest = 0.0
            for _ in range(250):
                start = time.monotonic()
                with e2e.connect(self.ports[REFUSED]) as s:
                    try:
                        self.assertEqual(e2e.recv_all(s), b"")
                    except ConnectionResetError:
                        pass
                slowest = max(slowest, time.monotonic() - start)
            worst.append(slowest)
        self.run_clients(8, work)
        self.assertLess(max(worst), e2e.bound(2.0), "a refused client waited for its close")
        self.disconnect_lines(REFUSED)
        errors = self.error_lines(REFUSED)
        self.assertEqual(len(errors), self.connections[REFUSED])
        for line in errors:
            self.assertRegex(line, r"Channel %d; Error: Socket Error # 10061 - Connection "
                             r"refused\.$" % REFUSED)
        self.assert_recovered(REFUSED)

    def test_reset_in_the_middle(self):
        for who in ("target", "client"):
            with self.subTest(resets=who):
                self.connections[DATA] += 1
                closed = self.reset_during_transfer(who)
                self.assertLess(closed, e2e.bound(1.0), "the other side stayed open after the reset")
                self.assert_recovered(DATA)

    def reset_during_transfer(self, who):
        """8 MiB flow towards the side that resets after the first MiB; returns the seconds
        until the other side saw its connection end."""
        seen = {}
        size = 8 * MiB
        if who == "target":
            old = self.backend.handler

            def resetting(sock):
                got = 0
                while got < MiB:
                    got += len(sock.recv(65536))
                seen["reset"] = time.monotonic()
                e2e.reset_socket(sock)
            self.backend.handler = resetting
            try:
                with e2e.connect(self.ports[DATA]) as s:
                    sender = threading.Thread(target=self.send_until_error, args=(s, size))
                    sender.start()
                    try:
                        e2e.recv_all(s)
                    except ConnectionResetError:
                        pass
                    ended = time.monotonic()
                    sender.join(30)
            finally:
                self.backend.handler = old
            return ended - seen["reset"]
        self.backend.handler, old = self.streaming_target(size, seen), self.backend.handler
        try:
            s = e2e.connect(self.ports[DATA])
            got = 0
            while got < MiB:
                got += len(s.recv(65536))
            seen["reset"] = time.monotonic()
            e2e.reset_socket(s)
            e2e.wait_until(lambda: "ended" in seen, 10, what="the target to see the end")
        finally:
            self.backend.handler = old
        return seen["ended"] - seen["reset"]

    @staticmethod
    def send_until_error(sock, size):
        data = e2e.stream_bytes(size, 5)
        try:
            sock.sendall(data)
        except OSError:
            pass

    @staticmethod
    def streaming_target(size, seen):
        def handler(sock):
            try:
                sock.sendall(e2e.stream_bytes(size, 6))
                sock.recv(1)
            except OSError:
                pass
            seen["ended"] = time.monotonic()
        return handler

    def test_slow_reader_gets_every_byte_without_memory_growth(self):
        size, seed = 32 * MiB, self.next_seed()
        self.connections[DATA] += 1
        rss_before = self.trabix.rss_bytes()
        expected = hashlib.sha256(e2e.stream_bytes(size, seed + 1)).hexdigest()
        with e2e.connect(self.ports[DATA]) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            s.sendall(HEADER.pack(0, size, seed, 65536))
            digest, got = hashlib.sha256(), 0
            # Two seconds of a reader taking 4 KiB every 10 ms: the program must hold back
            # the target instead of buffering its stream.
            slow_until = time.monotonic() + 2.0
            peak = 0
            while time.monotonic() < slow_until:
                chunk = s.recv(4096)
                digest.update(chunk)
                got += len(chunk)
                peak = max(peak, self.trabix.rss_bytes())
                time.sleep(0.01)
            while got < size:
                chunk = s.recv(1 << 18)
                if not chunk:
                    break
                digest.update(chunk)
                got += len(chunk)
        self.assertEqual(got, size)
        self.assertEqual(digest.hexdigest(), expected)
        self.assertLess(peak - rss_before, 8 * MiB, "memory grew with the unread stream")
        self.assert_recovered(DATA)

    def test_stopped_process_during_a_transfer(self):
        size, seed = 16 * MiB, self.next_seed()
        self.connections[DATA] += 1
        result = {}

        def transfer():
            result["r"] = exchange(self.ports[DATA], size, size, seed)
        worker = threading.Thread(target=transfer)
        worker.start()
        try:
            for _ in range(20):
                os.kill(self.trabix.pid, signal.SIGSTOP)
                time.sleep(0.2)          # the fault itself: 200 ms stopped
                os.kill(self.trabix.pid, signal.SIGCONT)
                time.sleep(0.005)
        finally:
            os.kill(self.trabix.pid, signal.SIGCONT)
        worker.join(60)
        got, good, extra, up_digest = result["r"]
        self.assertEqual((got, good, extra), (size, True, b""))
        self.assertEqual(self.backend.received.get(seed), (size, up_digest))
        self.assert_recovered(DATA)

    def test_no_busy_idle(self):
        sockets = []
        try:
            for _ in range(100):
                sockets.append(e2e.connect(self.ports[IDLE]))
            self.connections[IDLE] += 100
            self.trabix.wait_for_line(r"Channel %d; .* Mapping connection from " % IDLE,
                                      count=self.connections[IDLE])
            e2e.wait_until(lambda: self.trabix.thread_count() >= self.baseline[1] + 100, 10,
                           what="100 connection threads")
            cpu = self.trabix.cpu_seconds()
            start = time.monotonic()
            time.sleep(5)                # the measurement window
            used = (self.trabix.cpu_seconds() - cpu) / (time.monotonic() - start)
            self.assertLess(used, 0.01, "idle connections cost %.1f %% of a core" % (used * 100))
        finally:
            for s in sockets:
                s.close()
        self.assert_recovered(IDLE)

    def test_unresolvable_map_ip(self):
        for _ in range(3):
            self.connections[NONAME] += 1
            with e2e.connect(self.ports[NONAME]) as s:
                self.assertEqual(e2e.recv_all(s), b"")
        self.disconnect_lines(NONAME)
        self.error_lines(NONAME)
        lines = [l for l in self.trabix.log_lines() if "Channel %d;" % NONAME in l]
        errors = [l for l in lines if " Error: " in l]
        self.assertEqual(len(errors), self.connections[NONAME])
        for line in errors:
            self.assertRegex(line, r"^## [\d:]{12} Channel %d; Error: Socket Error # 1100\d - ?"
                             % NONAME)
        others = [l for l in lines if " Error: " not in l and not any(
            k in l for k in ("Incoming connection", "Mapping connection", "Disconnect (incoming)."))]
        self.assertEqual(others, [])
        self.assert_recovered(NONAME)


    def test_http_mode_channel_with_junk_nothing_and_a_huge_stream(self):
        cases = [("junk", os.urandom(300000)),
                 ("nothing", b""),
                 ("junk with a header inside", os.urandom(5000) + b"GET / HTTP/1.1\r\n\r\n"),
                 ("huge", None)]
        huge_size = 1 << 30
        for name, payload in cases:
            with self.subTest(client=name):
                self.connections[HTTP] += 1
                before = len(self.sunk)
                with e2e.connect(self.ports[HTTP]) as s:
                    if payload is None:
                        block = e2e.pattern_bytes(1 << 20, 77)
                        digest = hashlib.sha256()
                        for _ in range(huge_size >> 20):
                            s.sendall(block)
                            digest.update(block)
                        expected = (huge_size, digest.hexdigest())
                    else:
                        s.sendall(payload)
                        expected = (len(payload), hashlib.sha256(payload).hexdigest())
                e2e.wait_until(lambda: len(self.sunk) > before, 60, what="the sink")
                self.assertEqual(self.sunk[-1][:2], expected)
        self.disconnect_lines(HTTP)
        # No read of these clients yields a header block, except the one starting with GET
        # in the probe; every relayed byte is in the records' lengths.
        lines = [l for l in self.trabix.log_lines()]
        self.assertNotIn("GET / HTTP/1.1", lines)
        lengths = sum(int(m.group(1)) for m in (re.search(
            r"Channel %d; \(TID= \d+\)  DATA \(Client -> Server\): Length= (\d+)" % HTTP, l)
            for l in lines) if m)
        self.assertEqual(lengths, 18 * (self.connections[HTTP] - 4) + 300000 + 5018 + huge_size)
        self.assert_recovered(HTTP)


if __name__ == "__main__":
    unittest.main()
