"""Helpers for driving the real trabix program on loopback.

A TrabixRun copies the built binary into a scratch folder, writes "Trabix.ini" beside it and
starts it there (offscreen Qt platform), so its daily log files land in that folder too. Every
process and server started here is registered and ended by its own PID / object when the test
ends, also when it fails; an atexit hook is the last guard.

Backends (echo, sink, byte stream, HTTP) are small threaded servers on 127.0.0.1, port 0.
Nothing here sleeps to synchronise: wait_until polls a condition with a deadline.

TRABIX_E2E_SANITIZED=1 says the binary under test is a ThreadSanitizer or AddressSanitizer
build (scripts/test.sh sets it for those phases). Such a program runs several times slower, so
every deadline and every upper bound on a duration is multiplied by TIME_FACTOR: wait_until,
terminate and the watchdogs here, and the few bounds the cases assert themselves. Nothing else
is relaxed: lower bounds (a shaped channel must not be faster than its limit), byte counts,
digests, log lines and resource counts are checked as in the normal run.
"""
import atexit
import datetime
import glob
import hashlib
import http.server
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("TRABIX_BINARY", "")
SANITIZED = os.environ.get("TRABIX_E2E_SANITIZED") == "1"
TIME_FACTOR = 3.0 if SANITIZED else 1.0


def bound(seconds):
    """An upper bound on a duration a case asserts, longer by TIME_FACTOR in a sanitizer run."""
    return seconds * TIME_FACTOR

LOOPBACK = "127.0.0.1"
LOOPBACK6 = "::1"


def family_of(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def have_ipv6_loopback():
    """True when this machine can bind [::1]."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind((LOOPBACK6, 0))
        return True
    except OSError:
        return False

_live_processes = []


def _kill_leftovers():
    for proc in list(_live_processes):
        if proc.poll() is None:
            try:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                pass


atexit.register(_kill_leftovers)


def wait_until(condition, timeout, interval=0.01, what="condition"):
    """Polls condition() until it is truthy or timeout seconds (times TIME_FACTOR) have passed;
    returns its value."""
    timeout *= TIME_FACTOR
    deadline = time.monotonic() + timeout
    while True:
        # The time is read before the condition: only a condition that started past the
        # deadline decides. One that ended past it may have begun long before, when this
        # thread then waited for the interpreter lock behind thousands of backend threads.
        last = time.monotonic() >= deadline
        value = condition()
        if value:
            return value
        if last:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


# Sockets that keep the ports handed out by free_port() and closed_port(): bound, never
# listening, with SO_REUSEADDR. The program binds the same port beside them (it sets
# SO_REUSEADDR too), while the system gives none of them to anyone asking for port 0, so
# another test running at the same time cannot take a port between our choice and the
# program's bind. A bound socket that does not listen refuses connections, so a held port
# still reads as closed. They are released when the test process ends.
_held_ports = []


def _reusable_socket(family):
    s = socket.socket(family)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    return s


def _hold_port(first, second):
    """Binds first (family, host) to a port the system chooses and second (family, host) to the
    same port, choosing again until both bind; holds both and returns the port. A second
    family this machine lacks is not held."""
    while True:
        s1 = _reusable_socket(first[0])
        s1.bind((first[1], 0))
        port = s1.getsockname()[1]
        try:
            s2 = _reusable_socket(second[0])
        except OSError:  # no such family here: nothing to hold
            _held_ports.append(s1)
            return port
        try:
            s2.bind((second[1], port))
        except OSError:
            s1.close()
            s2.close()
            continue
        _held_ports.extend((s1, s2))
        return port


def free_port(host=LOOPBACK):
    """A loopback port nobody else gets from the system while this test process runs (for the
    program's INI, which needs a number); the program can still bind it, on 127.0.0.1 and on
    [::] alike (a channel without a Bind IP listens on both; the local end of an IPv6
    connection may hold a port free on 127.0.0.1). With host "::1" the port is held on [::1]
    and on 127.0.0.1 alike, for a channel that listens on both."""
    if ":" in host:
        return _hold_port((socket.AF_INET6, host), (socket.AF_INET, LOOPBACK))
    return _hold_port((socket.AF_INET, LOOPBACK), (socket.AF_INET6, "::"))


def closed_port():
    """A port with nothing listening on it, held (bound, not listening) for the whole run."""
    return free_port()


def connect(port, timeout=10.0, nodelay=False, host=LOOPBACK):
    s = socket.create_connection((host, port), timeout=timeout)
    if nodelay:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def reset_socket(sock):
    """Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def recv_all(sock, limit=1 << 31):
    """Reads until the peer closes; returns the bytes."""
    parts, total = [], 0
    while total < limit:
        chunk = sock.recv(1 << 16)
        if not chunk:
            break
        parts.append(chunk)
        total += len(chunk)
    return b"".join(parts)


def is_refused(port, timeout=2.0):
    try:
        with socket.create_connection((LOOPBACK, port), timeout=timeout):
            return False
    except ConnectionRefusedError:
        return True
    except ConnectionResetError:
        # The connect landed in the accept queue just before the listener closed: the port
        # was still listening at that moment, so it does not count as refused yet.
        return False
    except TimeoutError:
        # No answer at all: the listener's accept queue is full and the kernel drops the
        # connect. The port is still listening, so it does not count as refused either.
        return False


# ---------------------------------------------------------------- INI


def general_section(**overrides):
    keys = dict(AutoStart=1, LogToScreen=1, LogToFile=1, LimitScreenLog=1,
                ScreenLogLines=5000, WrapLines=1, GotoTNA=0, LogConnInfo=1,
                LogDelayInfo=0, DelayPerThread=0)
    keys.update(overrides)
    return keys


def channel_section(listen_port, map_port, map_ip=LOOPBACK, remarks=None, bind_ip="",
                    mapped=1, logging=1, mode=0, max_speed=0):
    keys = dict(Remarks=remarks, BindIp=bind_ip, ListenPort=listen_port, MapIp=map_ip,
                MapPort=map_port, Map=mapped, Logging=logging, LogDataMode=mode,
                MaxSpeed=max_speed)
    return {k: v for k, v in keys.items() if v is not None}


def ini_text(general, channels, extra_lines=()):
    """INI text: [General], then [MappedPort_n] for each n in channels (dict n -> keys)."""
    lines = ["[General]"] + ["%s=%s" % kv for kv in general.items()]
    for n in sorted(channels):
        lines.append("[MappedPort_%d]" % n)
        lines += ["%s=%s" % kv for kv in channels[n].items()]
    lines += list(extra_lines)
    return "\r\n".join(lines) + "\r\n"


# ---------------------------------------------------------------- the program


class LogLine:
    STOP = re.compile(r"^\*\* \d\d:\d\d:\d\d:\d\d\d Stopped all \(active\) mappings$")
    PROGRAM_STOPPED = re.compile(r"^\*\* \d\d:\d\d:\d\d:\d\d\d Trabix V1\.2 - Program stopped$")
    PROGRAM_STARTED = re.compile(r"^\*\* \d\d:\d\d:\d\d:\d\d\d Trabix V1\.2 - Program started$")


class TrabixRun:
    """One run of the real program in a scratch folder of its own."""

    def __init__(self, ini, rlimit_nofile=None, keep_dir=False, preload=None, env=None,
                 args=()):
        """ini: the settings file, as text (single-byte) or bytes, or None for a folder in its
        place (unreadable); rlimit_nofile: the descriptor limit to start with, one number for
        both or (soft, hard); preload: a library for LD_PRELOAD; env: variables that replace
        the defaults (a real display instead of the offscreen platform); args: the command
        line after the program's name (["--headless"])."""
        if not BINARY or not os.path.exists(BINARY):
            raise unittest.SkipTest("TRABIX_BINARY is not set to the built program")
        self.dir = tempfile.mkdtemp(prefix="trabix-e2e-")
        self.keep_dir = keep_dir
        self.exe = os.path.join(self.dir, "trabix")
        shutil.copy2(BINARY, self.exe)
        self.ini_path = os.path.join(self.dir, "Trabix.ini")
        if ini is None:
            os.mkdir(self.ini_path)
        else:
            with open(self.ini_path, "wb") as f:
                f.write(ini if isinstance(ini, bytes) else ini.encode("latin-1"))
        extra_env = env or {}
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.update(extra_env)
        env.pop("TRABIX_SCREENSHOT", None)
        if preload:
            env["LD_PRELOAD"] = preload
        limit = None
        if rlimit_nofile is not None:
            import resource
            pair = rlimit_nofile if isinstance(rlimit_nofile, tuple) else (rlimit_nofile,) * 2
            limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, pair)
        self.output = open(os.path.join(self.dir, "stderr.txt"), "wb")
        self.env = env
        self.proc = subprocess.Popen([self.exe] + list(args), cwd=self.dir, env=env,
                                     stdin=subprocess.DEVNULL, stdout=self.output,
                                     stderr=subprocess.STDOUT, preexec_fn=limit)
        _live_processes.append(self.proc)
        self.pid = self.proc.pid

    # -- lifetime

    def alive(self):
        return self.proc.poll() is None

    def terminate(self, timeout=2.0, signum=signal.SIGTERM):
        """SIGTERM or SIGHUP (the log-off path); returns the seconds until the process had
        ended."""
        timeout *= TIME_FACTOR
        start = time.monotonic()
        os.kill(self.pid, signum)
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.dump_stacks()
            raise AssertionError("trabix did not end within %.1f s of SIGTERM" % timeout)
        return time.monotonic() - start

    def dump_stacks(self):
        """Prints every thread's stack of a program that hangs (when gdb is installed)."""
        gdb = shutil.which("gdb")
        if not gdb or self.proc.poll() is not None:
            return
        try:
            out = subprocess.run([gdb, "-p", str(self.pid), "-batch", "-nx",
                                  "-ex", "thread apply all bt 30"], capture_output=True,
                                 timeout=60, text=True, errors="replace").stdout
        except (OSError, subprocess.TimeoutExpired):
            return
        print("\n==== stacks of trabix %d ====\n%s" % (self.pid, out), flush=True)

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.kill(self.pid, signal.SIGCONT)
                os.kill(self.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.proc in _live_processes:
            _live_processes.remove(self.proc)

    def close(self):
        self.kill()
        self.output.close()
        if not self.keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def stderr_text(self):
        self.output.flush()
        with open(os.path.join(self.dir, "stderr.txt"), "rb") as f:
            return f.read().decode("latin-1")

    # -- the daily log files

    def log_bytes(self):
        data = b""
        for path in sorted(glob.glob(os.path.join(self.dir, "*.log"))):
            with open(path, "rb") as f:
                data += f.read()
        return data

    def log_lines(self):
        text = self.log_bytes().decode("latin-1")
        lines = text.split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        return lines

    def wait_for_line(self, pattern, timeout=10.0, count=1):
        regex = re.compile(pattern)

        def found():
            hits = [l for l in self.log_lines() if regex.search(l)]
            return hits if len(hits) >= count else None
        return wait_until(found, timeout, interval=0.02, what="log line /%s/ x%d" % (pattern, count))

    def wait_listening(self, channel, port, timeout=15.0):
        return self.wait_for_line(r"^\*\* [\d:]{12} Channel %d: \(.*\) listening to connections on "
                                  r"([\d.]+|\[[\da-f:]+\]):%d$" % (channel, port), timeout)

    # -- /proc

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def thread_count(self):
        """The program's threads, less the toolkit's pooled workers: those start when the
        toolkit has work for them (scaling an image, say) and end after half a minute idle, so
        they would make any count taken before or after such work differ by up to a core's
        worth of threads."""
        count = 0
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/comm" % (self.pid, tid)) as f:
                    pooled = f.read().strip() == "Thread (pooled)"
            except OSError:  # ended meanwhile
                continue
            count += not pooled
        return count

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks   # utime, stime

    def rss_bytes(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        return 0

    def resources(self):
        return self.fd_count(), self.thread_count()

    def settled_resources(self, timeout=10.0):
        """resources() once every connection thread that has written its disconnect line has
        ended: such a thread writes the line on its way out and may still be there for a while
        after it, so a count taken at once can include threads about to go."""
        ending = re.compile(r"\(TID= (\d+)\)  Disconnect \(incoming\)\. ")

        def gone():
            tids = {m.group(1) for m in map(ending.search, self.log_lines()) if m}
            return not tids & set(os.listdir("/proc/%d/task" % self.pid))
        wait_until(gone, timeout, interval=0.02, what="the ended connection threads gone")
        return self.resources()

    def wait_resources(self, baseline, timeout=2.0, while_falling=False):
        """Waits until descriptors and threads are back to the baseline (or below). With
        while_falling the timeout is for the next descriptor or thread to go, not for all of
        them: thousands of connections may take the program longer than that to close on a
        loaded machine, and only one that stops releasing them is at fault."""
        lowest = sum(self.resources())
        seen = [self.resources()]

        def back_or_falling():
            nonlocal lowest
            fds, threads = seen[0] = self.resources()
            if fds <= baseline[0] and threads <= baseline[1]:
                return "back"
            if while_falling and fds + threads < lowest:
                lowest = fds + threads
                return "falling"
            return None
        try:
            while wait_until(back_or_falling, timeout, interval=0.02,
                             what="descriptors and threads back") != "back":
                pass
        except AssertionError:
            raise AssertionError("descriptors/threads %s at the deadline, %s now, at start %s"
                                 % (seen[0], self.resources(), baseline))


# Counters as the last connection line of a channel shows them.
STATS = re.compile(r"CurrentThreads: (-?\d+)  MaxThreads: (-?\d+)  Connects \(In\): (-?\d+)  "
                   r"Disconnects \(In\): (-?\d+)  Connects \(Out\): (-?\d+)")


def all_counters(lines, channel):
    """(current, connects in, disconnects in, connects out) of each of the channel's lines
    that carries counters, in log order."""
    prefix = "Channel %d;" % channel
    found = []
    for line in lines:
        if prefix in line:
            m = STATS.search(line)
            if m:
                current, _, conn_in, disc_in, conn_out = (int(g) for g in m.groups())
                found.append((current, conn_in, disc_in, conn_out))
    return found


def last_counters(lines, channel):
    """(current, max, connects in, disconnects in, connects out) of the channel's last line."""
    prefix = "Channel %d;" % channel
    for line in reversed(lines):
        if prefix in line:
            m = STATS.search(line)
            if m:
                return tuple(int(g) for g in m.groups())
    return None


# ---------------------------------------------------------------- backends


class Backend:
    """A threaded TCP server on 127.0.0.1:0 (or host, port); handler(sock) runs on a thread
    per connection. An IPv6 host listens on IPv6 only."""

    def __init__(self, handler, host=LOOPBACK, port=0):
        self.handler = handler
        self.listener = socket.socket(family_of(host))
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if ":" in host:
            self.listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.listener.bind((host, port))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self.errors = []
        self.lock = threading.Lock()
        self.open = set()
        self.stopping = False
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def _accept_loop(self):
        while not self.stopping:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            sock.settimeout(30)
            with self.lock:
                self.accepted += 1
                self.open.add(sock)
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _serve(self, sock):
        try:
            self.handler(sock)
        except OSError:
            pass
        except Exception as e:   # reported by the test that owns the backend
            with self.lock:
                self.errors.append(repr(e))
        finally:
            with self.lock:
                self.open.discard(sock)
            try:
                sock.close()
            except OSError:
                pass

    def close(self):
        self.stopping = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for s in list(self.open):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.thread.join(timeout=5)


def echo_handler(sock):
    while True:
        data = sock.recv(1 << 16)
        if not data:
            return
        sock.sendall(data)


def sink_handler(results):
    """Reads until the end; appends (byte count, sha256 hex, monotonic end time) to results."""
    def handler(sock):
        digest, total = hashlib.sha256(), 0
        while True:
            data = sock.recv(1 << 16)
            if not data:
                break
            digest.update(data)
            total += len(data)
        results.append((total, digest.hexdigest(), time.monotonic()))
    return handler


class HttpServer:
    """python3's http.server on 127.0.0.1:0 serving one folder, on a thread of its own."""

    def __init__(self, folder):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def log_message(self, *args):
                pass
        self.server = http.server.ThreadingHTTPServer((LOOPBACK, 0), Quiet)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=5)


# ---------------------------------------------------------------- payloads


def pattern_bytes(size, seed):
    """Reproducible pseudo-random bytes (cheap to make in bulk: a hashed block repeated with a
    counter, so no two 32-byte pieces of one stream are equal)."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


_block_cache = {}


def stream_bytes(size, seed):
    """Large payloads: a 1 MiB random block per seed, each copy salted with its index."""
    block = _block_cache.get(seed)
    if block is None:
        block = _block_cache[seed] = pattern_bytes(1 << 20, seed)
    parts, left, index = [], size, 0
    while left > 0:
        piece = bytearray(block[: min(left, len(block))])
        piece[:8] = struct.pack(">Q", index)[: len(piece[:8])]
        parts.append(bytes(piece))
        left -= len(piece)
        index += 1
    return b"".join(parts)


class Watchdog:
    """Ends a stuck case: after the given seconds it kills the run (the sockets of the case
    then fail at once instead of waiting)."""

    def __init__(self, seconds, run):
        self.fired = False
        self.run = run
        self.timer = threading.Timer(seconds * TIME_FACTOR, self._fire)
        self.timer.daemon = True
        self.timer.start()

    def _fire(self):
        self.fired = True
        if self.run is not None:
            self.run.dump_stacks()
            self.run.kill()

    def cancel(self):
        self.timer.cancel()


def today_log_name(now=None):
    return (now or datetime.datetime.now()).strftime("%Y%m%d") + ".log"


# ---------------------------------------------------------------- data records


RECORD = re.compile(rb"^## [\d:]{12} Channel (\d+); \(TID= (\d+)\)  DATA \((Client -> Server|"
                    rb"Server -> Client)\): Length= (\d+)")


def hex_record_streams(log, channel):
    """The bytes of the channel's mode-4 data records per connection thread: {tid: (client to
    server, server to client)}, in the order the records stand in the log."""
    lines = log.split(b"\r\n")
    streams = {}
    i = 0
    while i < len(lines):
        m = RECORD.match(lines[i])
        i += 1
        if not m or int(m.group(1)) != channel:
            continue
        length = int(m.group(4))
        data = b""
        for _ in range(max(1, (length + 15) // 16)):
            row = lines[i]
            i += 1
            assert len(row) == 65, "hex line of %d characters" % len(row)
            row_bytes = b""
            for k in range(16):
                cell = row[3 * k:3 * k + 3]
                if cell.strip():
                    row_bytes += bytes([int(cell[:2], 16)])
                else:
                    assert cell == b"   "
            shown = bytes(b if 32 <= b <= 127 else 32 for b in row_bytes)
            assert row[49:49 + len(shown)] == shown, "character column differs"
            data += row_bytes
        assert len(data) == length, "record of %d bytes holds %d" % (length, len(data))
        up, down = streams.get(int(m.group(2)), (b"", b""))
        if m.group(3) == b"Client -> Server":
            up += data
        else:
            down += data
        streams[int(m.group(2))] = (up, down)
    return streams


def parse_hex_records(log, channel):
    """The bytes of all the channel's mode-4 data records, client-to-server and
    server-to-client."""
    streams = hex_record_streams(log, channel).values()
    return b"".join(s[0] for s in streams), b"".join(s[1] for s in streams)
