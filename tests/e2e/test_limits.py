"""The program at its limits: descriptors exhausted under a low RLIMIT_NOFILE, thousands of
connections under a desktop's soft limit, clients that leave a silent target, and a stop
(SIGTERM, the log-off path) while many connections are open and streaming."""
import errno
import os
import resource
import selectors
import socket
import threading
import time
import unittest

import trabix_e2e as e2e

NOFILE = 40          # the program needs about ten descriptors of its own


def open_pending(port, count):
    """Starts count connects without waiting for them (the backlog fills, the rest stay in
    SYN_SENT); returns the sockets."""
    sockets = []
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        rc = s.connect_ex((e2e.LOOPBACK, port))
        assert rc in (0, errno.EINPROGRESS), rc
        sockets.append(s)
    return sockets


def start_trabix(case, ini, seconds=60, **options):
    """Runs the program on ini as case.trabix, with a watchdog of the given seconds as
    case.watchdog; the case's cleanup ends both."""
    case.trabix = e2e.TrabixRun(ini, **options)
    case.addCleanup(case.trabix.close)
    case.watchdog = e2e.Watchdog(seconds, case.trabix)
    case.addCleanup(case.watchdog.cancel)


class DescriptorExhaustion(unittest.TestCase):
    def setUp(self):
        self.echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(self.echo.close)
        self.port = e2e.free_port()
        ini = e2e.ini_text(e2e.general_section(LogConnInfo=0),
                           {1: e2e.channel_section(self.port, self.echo.port, remarks="echo")})
        start_trabix(self, ini, rlimit_nofile=NOFILE)
        self.trabix.wait_listening(1, self.port)

    def round_trip(self, timeout):
        with e2e.connect(self.port, timeout=timeout) as s:
            s.sendall(b"hello")
            return s.recv(5) == b"hello"

    def test_exhausted_then_released(self):
        # A hard limit this low is worth one line at start: how many connections it allows.
        notice = self.trabix.wait_for_line(r"^\*\* [\d:]{12} Open file limit %d \(hard limit\): "
                                           r"room for about (\d+) connections at a time$" % NOFILE)
        self.assertEqual(len(notice), 1)
        self.assertTrue(self.round_trip(5))
        clients = []
        try:
            # Connected clients until the program holds nearly all its descriptors, then as
            # many again that can only wait in the backlog.
            while self.trabix.fd_count() < NOFILE - 2 and len(clients) < NOFILE:
                clients.append(e2e.connect(self.port, timeout=2))
                e2e.wait_until(lambda: self.trabix.fd_count() >= min(NOFILE, 9 + 2 * len(clients))
                               or self.trabix.fd_count() >= NOFILE - 2, 2, what="the relay")
            clients += open_pending(self.port, NOFILE)
            # Let the burst of connection lines settle, then watch the program at its limit.
            lines_before, cpu_before = self.settled_lines(), self.trabix.cpu_seconds()
            start = time.monotonic()
            time.sleep(2.0)              # the hold period itself
            elapsed = time.monotonic() - start
            cpu = (self.trabix.cpu_seconds() - cpu_before) / elapsed
            new_lines = len(self.trabix.log_lines()) - lines_before
            self.assertLess(cpu, 0.05, "at the limit the program uses %.1f %% of a core"
                            % (cpu * 100))
            # Only the error line of a client that could not be mapped, a few a second at most
            # as waiting clients retry; never a line per failed accept.
            self.assertLessEqual(new_lines, 3 * elapsed + 2, "log lines while at the limit")
            self.assertTrue(self.trabix.alive())
        finally:
            for s in clients:
                s.close()
        released = time.monotonic()
        # A new client is served promptly once the held clients are gone.
        e2e.wait_until(lambda: self.try_round_trip(), 5, what="a new client to be served")
        self.assertLess(time.monotonic() - released, e2e.bound(1.0))
        self.trabix.terminate(timeout=5)
        self.assertEqual(self.trabix.proc.returncode, 0)

    def try_round_trip(self):
        try:
            return self.round_trip(0.5)
        except OSError:
            return False

    def settled_lines(self):
        """Waits until the log has not grown for half a second (bounded); returns its lines."""
        last, stable_since = -1, time.monotonic()
        deadline = time.monotonic() + e2e.bound(10)
        while time.monotonic() < deadline:
            count = len(self.trabix.log_lines())
            if count != last:
                last, stable_since = count, time.monotonic()
            elif time.monotonic() - stable_since >= 0.5:
                return count
            time.sleep(0.05)
        return last


class EchoLoop:
    """An echo server on 127.0.0.1 serving every connection from one thread (thousands of
    them cost no thread each)."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind((e2e.LOOPBACK, 0))
        self.listener.listen(4096)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        deadline = time.monotonic() + 120
        while not self.stopping and time.monotonic() < deadline:
            for key, _ in self.selector.select(0.1):
                if key.fileobj is self.listener:
                    try:
                        conn, _ = self.listener.accept()
                    except OSError:
                        continue
                    conn.setblocking(False)
                    self.selector.register(conn, selectors.EVENT_READ)
                    continue
                try:
                    data = key.fileobj.recv(65536)
                    if data:
                        key.fileobj.sendall(data)   # a few bytes: always fits
                        continue
                except OSError:
                    pass
                self.selector.unregister(key.fileobj)
                key.fileobj.close()

    def close(self):
        self.stopping = True
        self.thread.join(10)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()


def echo_all(sockets, deadline):
    """Sends each socket its index and waits for every echo; returns how many came back."""
    selector = selectors.DefaultSelector()
    expected = {}
    for i, s in enumerate(sockets):
        expected[s] = b"<%05d>" % i
        s.sendall(expected[s])
        selector.register(s, selectors.EVENT_READ, b"")
    echoed = 0
    while selector.get_map() and time.monotonic() < deadline:
        for key, _ in selector.select(0.1):
            got = key.data + key.fileobj.recv(64)
            if got == expected[key.fileobj]:
                selector.unregister(key.fileobj)
                echoed += 1
            elif expected[key.fileobj].startswith(got) and got:
                selector.modify(key.fileobj, selectors.EVENT_READ, got)
            else:
                selector.unregister(key.fileobj)
    selector.close()
    return echoed


class DesktopDescriptorLimit(unittest.TestCase):
    """Started as a desktop session starts programs (a soft limit of 1024 under a higher hard
    one), the program raises its soft limit and holds thousands of connections."""
    CONNECTIONS = 3000
    HARD = 20000

    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard < self.HARD:
            self.skipTest("the hard descriptor limit here is %d, under %d" % (hard, self.HARD))
        # This process holds both ends of every connection.
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        self.echo = EchoLoop()
        self.addCleanup(self.echo.close)
        self.port = e2e.free_port()
        ini = e2e.ini_text(e2e.general_section(LogConnInfo=0),
                           {1: e2e.channel_section(self.port, self.echo.port, remarks="many")})
        start_trabix(self, ini, seconds=120, rlimit_nofile=(1024, self.HARD))
        self.trabix.wait_listening(1, self.port)

    def test_three_thousand_concurrent_connections_all_relay(self):
        baseline = self.trabix.resources()
        clients = []
        try:
            for _ in range(self.CONNECTIONS):
                s = socket.socket()
                s.setblocking(False)
                self.assertIn(s.connect_ex((e2e.LOOPBACK, self.port)), (0, errno.EINPROGRESS))
                clients.append(s)
            for s in clients:
                s.setblocking(True)
                s.settimeout(30)
            # All of them open at once, each relaying, then every one once more.
            self.assertEqual(echo_all(clients, time.monotonic() + 60 * e2e.TIME_FACTOR),
                             self.CONNECTIONS)
            fds, _ = self.trabix.resources()
            # Two descriptors per relayed connection; threads stay few, as a channel that
            # watches nothing carries its connections on the relay pool.
            self.assertGreaterEqual(fds - baseline[0], 2 * self.CONNECTIONS)
            self.assertEqual(echo_all(clients, time.monotonic() + 60 * e2e.TIME_FACTOR),
                             self.CONNECTIONS)
        finally:
            for s in clients:
                s.close()
        # The relay pool's threads (one per core, each with an epoll and a wake-up descriptor)
        # stay until the channel stops.
        cores = os.cpu_count() or 1
        self.trabix.wait_resources((baseline[0] + 2 * cores, baseline[1] + cores), timeout=10,
                                   while_falling=True)
        with open("/proc/%d/limits" % self.trabix.pid) as f:
            limits = [l.split() for l in f if l.startswith("Max open files")][0]
        self.assertEqual(limits[3:5], [str(self.HARD), str(self.HARD)])
        # A hard limit of 20000 is no reason for a line.
        self.assertFalse([l for l in self.trabix.log_lines() if "Open file limit" in l])
        self.assertFalse([l for l in self.trabix.log_lines() if " Error: " in l])


class ClientsLeavingASilentTarget(unittest.TestCase):
    """A target that drops SYNs (a listener whose queue is full) keeps each outbound connect
    waiting about two minutes; clients that give up meanwhile must free everything at once."""
    CLIENTS = 100

    def setUp(self):
        self.target = socket.socket()
        self.addCleanup(self.target.close)
        self.target.bind((e2e.LOOPBACK, 0))
        self.target.listen(0)
        # One connection fills the queue; the system drops every SYN after it.
        self.filler = socket.create_connection(self.target.getsockname(), timeout=5)
        self.addCleanup(self.filler.close)
        self.port = e2e.free_port()
        ini = e2e.ini_text(e2e.general_section(),
                           {1: e2e.channel_section(self.port, self.target.getsockname()[1],
                                                   remarks="silent")})
        start_trabix(self, ini)
        self.trabix.wait_listening(1, self.port)

    def test_clients_that_give_up_free_their_threads_and_descriptors(self):
        baseline = self.trabix.resources()
        clients = [e2e.connect(self.port) for _ in range(self.CLIENTS)]
        try:
            # Every connect to the target under way: a thread and two descriptors each.
            self.trabix.wait_for_line(r"Channel 1; .* Mapping connection from ", count=self.CLIENTS)
            e2e.wait_until(lambda: self.trabix.fd_count() >= baseline[0] + 2 * self.CLIENTS, 10,
                           what="the outbound sockets")
            time.sleep(1.0)   # the clients give up after a second
        finally:
            for s in clients:
                s.close()
        self.trabix.wait_resources(baseline, timeout=3)
        lines = self.trabix.wait_for_line(r"Channel 1; .* Disconnect \(incoming\)\. ",
                                          count=self.CLIENTS)
        self.assertEqual(len(lines), self.CLIENTS)
        # Each line's counters are read on its peer thread before the hand-over, so lines of
        # threads ending together may arrive out of counter order: take the highest.
        counters = [e2e.last_counters([l], 1) for l in lines]
        self.assertEqual(tuple(max(c[i] for c in counters) for i in (2, 3, 4)),
                         (self.CLIENTS,) * 3)   # connects in, disconnects in, connects out
        self.assertFalse([l for l in self.trabix.log_lines() if " Error: " in l])


class StopUnderLoad(unittest.TestCase):
    def setUp(self):
        self.echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(self.echo.close)
        self.stream = e2e.Backend(self.endless)
        self.addCleanup(self.stream.close)
        self.ports = {1: e2e.free_port(), 2: e2e.free_port()}
        ini = e2e.ini_text(e2e.general_section(), {
            1: e2e.channel_section(self.ports[1], self.echo.port, remarks="idle"),
            2: e2e.channel_section(self.ports[2], self.stream.port, remarks="stream")})
        start_trabix(self, ini)
        for n, port in self.ports.items():
            self.trabix.wait_listening(n, port)

    @staticmethod
    def endless(sock):
        block = e2e.pattern_bytes(65536, 9)
        deadline = time.monotonic() + e2e.bound(60)
        while time.monotonic() < deadline:
            sock.sendall(block)

    def test_stop_with_idle_and_streaming_connections(self):
        idle = [e2e.connect(self.ports[1]) for _ in range(50)]
        streams = [e2e.connect(self.ports[2]) for _ in range(10)]
        stop_reading = threading.Event()
        received = [0] * len(streams)

        def reader(i):
            try:
                while not stop_reading.is_set():
                    data = streams[i].recv(65536)
                    if not data:
                        return
                    received[i] += len(data)
            except OSError:
                pass
        readers = [threading.Thread(target=reader, args=(i,)) for i in range(len(streams))]
        for r in readers:
            r.start()
        try:
            e2e.wait_until(lambda: all(n > 0 for n in received), 10, what="all streams to flow")
            self.trabix.wait_for_line(r"Channel [12]; .* Mapping connection from ", count=60)
            stop = time.monotonic()
            self.trabix.proc.send_signal(15)
            refused = {}
            while time.monotonic() - stop < e2e.bound(3) and len(refused) < len(self.ports):
                for n, port in self.ports.items():
                    if n not in refused and e2e.is_refused(port, 0.5):
                        refused[n] = time.monotonic() - stop
                time.sleep(0.005)
            self.trabix.proc.wait(timeout=e2e.bound(5))
            ended_after = time.monotonic() - stop
        finally:
            stop_reading.set()
            for s in idle + streams:
                s.close()
            for r in readers:
                r.join(10)
        self.assertEqual(len(refused), 2, "the channels still accept after the stop")
        # The channels stop one after the other, each waiting a bounded time for its
        # connections: the first refuses at once, the last before the program has ended.
        self.assertLess(refused[1], e2e.bound(1.0))
        self.assertLess(refused[2], ended_after)
        # Each channel with connections that log waits out its 500 ms for them (the main
        # thread takes their last lines only once that wait is over): two channels, generous.
        self.assertLess(ended_after, e2e.bound(3.0), "the program took %.2f s to end" % ended_after)
        self.assertEqual(self.trabix.proc.returncode, 0)
        lines = self.trabix.log_lines()
        self.assertRegex(lines[-2], e2e.LogLine.STOP)
        self.assertRegex(lines[-1], e2e.LogLine.PROGRAM_STOPPED)
        # Every connection that came in (the refusal probes above may add a few) has ended.
        for n, least in ((1, 50), (2, 10)):
            incoming = [l for l in lines if "Channel %d;" % n in l and "Incoming connection" in l]
            disconnects = [l for l in lines if "Channel %d;" % n in l and "Disconnect (incoming)" in l]
            self.assertGreaterEqual(len(incoming), least)
            self.assertEqual(len(disconnects), len(incoming))


class SlowNameResolution(unittest.TestCase):
    """A lookup that takes two seconds (a preloaded seam, no outside server) on one channel
    delays neither the other channel's clients nor the other lookups of its own channel."""
    WATCHED = 1  # "Connection Info" on: each connection on a thread of its own

    def setUp(self):
        resolver = os.environ.get("TRABIX_SLOW_RESOLVER", "")
        if not os.path.exists(resolver):
            self.skipTest("TRABIX_SLOW_RESOLVER is not set to the built seam")
        self.echo = e2e.Backend(e2e.echo_handler)
        self.addCleanup(self.echo.close)
        self.ports = {1: e2e.free_port(), 2: e2e.free_port()}
        ini = e2e.ini_text(e2e.general_section(LogConnInfo=self.WATCHED), {
            1: e2e.channel_section(self.ports[1], 80, map_ip="x.slow.test", remarks="slow"),
            2: e2e.channel_section(self.ports[2], self.echo.port, map_ip="localhost",
                                   remarks="named")})
        start_trabix(self, ini, preload=resolver)
        for n, port in self.ports.items():
            self.trabix.wait_listening(n, port)

    def test_slow_lookup_holds_up_nobody_else(self):
        closed_after = []
        connected = threading.Semaphore(0)

        def slow_client():
            start = time.monotonic()
            with e2e.connect(self.ports[1]) as s:
                connected.release()
                self.assertEqual(e2e.recv_all(s), b"")
            closed_after.append(time.monotonic() - start)
        slow = [threading.Thread(target=slow_client) for _ in range(3)]
        for t in slow:
            t.start()
        if self.WATCHED:
            self.trabix.wait_for_line(r"Channel 1; .* Mapping connection from ", count=3)
        else:
            for _ in slow:
                self.assertTrue(connected.acquire(timeout=e2e.bound(5)))
        # While three lookups hang, the other channel's clients are served at once.
        for _ in range(5):
            start = time.monotonic()
            with e2e.connect(self.ports[2]) as s:
                s.sendall(b"quick")
                self.assertEqual(s.recv(5), b"quick")
            self.assertLess(time.monotonic() - start, e2e.bound(1.0))
        self.assertEqual(closed_after, [], "a slow lookup ended early")
        for t in slow:
            t.join(30)
        # The three lookups ran side by side, or shared one: about two seconds each, not six
        # (or four) in a row.
        self.assertEqual(len(closed_after), 3)
        self.assertGreaterEqual(min(closed_after), 1.9)
        self.assertLess(max(closed_after), e2e.bound(3.5))
        errors = self.trabix.wait_for_line(r"^## [\d:]{12} Channel 1; Error: Socket Error # "
                                           r"11001 - $", count=3)
        self.assertEqual(len(errors), 3)


class SlowNameResolutionUnwatched(SlowNameResolution):
    """The same with both channels unwatched: their connections ride the relay pool, which
    looks names up beside its threads."""
    WATCHED = 0

    def test_stopping_waits_for_no_name_server(self):
        before = self.trabix.fd_count()
        with e2e.connect(self.ports[1]) as s:
            # The pool takes the client at once and its lookup hangs for two seconds. A client
            # still in the accept queue when the program stops is reset by the system instead,
            # so the stop waits for its descriptor to show.
            e2e.wait_until(lambda: self.trabix.fd_count() > before, 5, what="the client taken")
            seconds = self.trabix.terminate(timeout=1.5)
            self.assertEqual(e2e.recv_all(s), b"")
        self.assertLess(seconds, e2e.bound(1.5))


if __name__ == "__main__":
    unittest.main()
