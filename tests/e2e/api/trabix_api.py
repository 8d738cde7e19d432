"""Drives the control API of the real trabix program on loopback.

An ApiProgram starts the built program in a scratch folder of its own: the headless twin on a
settings file of its own (`--config`), or the window on the offscreen platform, with `--api 0`
(or what the case asks for). It reads the API's port from the start line ("Control API listening
on http://127.0.0.1:PORT/ (token in FILE)") and the token from that file, and sends requests
with urllib. Nothing here sleeps to synchronise: waits poll a condition with a deadline.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import trabix_e2e as e2e  # noqa: E402

API_LINE = re.compile(r"Control API listening on http://([\d.]+):(\d+)/ \(token in (.+)\)$")


def settings_text(channels=None, **general):
    """A settings file: [General] with the screen log on and the file log off, and channels."""
    keys = dict(AutoStart=0, LogToScreen=1, LogToFile=0, LogConnInfo=1)
    keys.update(general)
    return e2e.ini_text(keys, channels or {})


class ApiProgram:
    """One run of the program with its control API; close() ends it."""

    def __init__(self, ini=None, api="0", window=False, args=(), folder=None):
        """folder: the scratch folder of an earlier run to run in again (its settings file and
        token file kept); that run's close() removes it."""
        if not e2e.BINARY or not os.path.exists(e2e.BINARY):
            raise unittest_skip("TRABIX_BINARY is not set to the built program")
        self.owns_dir = folder is None
        self.dir = folder or tempfile.mkdtemp(prefix="trabix-api-")
        self.window = window
        self.ini_path = os.path.join(self.dir, "Trabix.ini")
        if self.owns_dir or ini is not None:
            with open(self.ini_path, "w", encoding="latin-1") as f:
                f.write(ini if ini is not None else settings_text())
        # The window keeps its settings beside its executable and logs to its daily file there.
        exe = os.path.join(self.dir, "trabix")
        shutil.copy2(e2e.BINARY, exe)
        command = [exe, "--config", self.ini_path]
        if api is not None:
            command += ["--api", api]
        if not window:
            command.append("--headless")
        command += list(args)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(command, cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        e2e._live_processes.append(self.proc)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.port = None
        self.token = None
        self.token_path = None

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("latin-1").rstrip("\r\n"))

    def all_lines(self):
        """The lines of standard output (headless) and of the daily log files (window)."""
        with self.lock:
            lines = list(self.lines)
        if self.window:
            for name in sorted(os.listdir(self.dir)):
                if name.endswith(".log"):
                    with open(os.path.join(self.dir, name), "rb") as f:
                        lines += f.read().decode("latin-1").split("\r\n")
        return lines

    def wait_line(self, pattern, timeout=15.0, count=1):
        regex = re.compile(pattern)

        def found():
            hits = [m for m in map(regex.search, self.all_lines()) if m]
            if len(hits) >= count:
                return hits
            if self.proc.poll() is not None:
                raise AssertionError("trabix ended (%s): %s" % (self.proc.returncode,
                                                                 "\n".join(self.all_lines())))
            return None
        return e2e.wait_until(found, timeout, interval=0.02, what="line /%s/" % pattern)

    def wait_api(self, timeout=15.0):
        """Waits for the API's start line; takes its port and token."""
        m = self.wait_line(API_LINE.pattern, timeout)[0]
        self.port = int(m.group(2))
        self.token_path = m.group(3)
        with open(self.token_path) as f:
            self.token = f.read().strip()
        return self

    # -- requests

    def request(self, method, path, body=None, token=True, headers=None, timeout=30.0):
        """(status, headers, body bytes); body: a dict (sent as JSON) or bytes."""
        data = body
        if isinstance(body, (dict, list)):
            data = json.dumps(body).encode()
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data,
                                     method=method)
        if token is True:
            req.add_header("Authorization", "Bearer " + self.token)
        elif token:
            req.add_header("Authorization", token)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        for k, v in (headers or {}).items():
            req.add_header(k, v)
        try:
            with urllib.request.urlopen(req, timeout=timeout * e2e.TIME_FACTOR) as answer:
                return answer.status, dict(answer.headers), answer.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def call(self, method, path, body=None, **kw):
        """(status, decoded JSON)."""
        status, _, data = self.request(method, path, body, **kw)
        return status, json.loads(data) if data else None

    def ok(self, method, path, body=None):
        status, answer = self.call(method, path, body)
        if status != 200:
            raise AssertionError("%s %s: %d %s" % (method, path, status, answer))
        return answer

    def open_channel(self, n, target_port, **keys):
        """Channel n on a free port (ListenPort 0) towards target_port; returns its port."""
        body = dict(Map=True, BindIp="127.0.0.1", ListenPort=0, MapIp="127.0.0.1",
                    MapPort=target_port)
        body.update(keys)
        answer = self.ok("PATCH", "/v1/channels/%d" % n, body)
        assert answer["listening"], answer
        return answer["port"]

    def metrics(self):
        status, _, data = self.request("GET", "/metrics")
        assert status == 200, status
        return data.decode()

    def metric(self, name, channel, **labels):
        want = dict(labels, channel=str(channel))
        for line in self.metrics().splitlines():
            m = re.match(r"^(\w+)\{(.*)\} (\S+)$", line)
            if not m or m.group(1) != name:
                continue
            got = dict(re.findall(r'(\w+)="([^"]*)"', m.group(2)))
            if got == want:
                return int(m.group(3))
        raise AssertionError("no metric %s %s" % (name, want))

    # -- lifetime

    def stop(self, timeout=10.0):
        """SIGTERM; waits for the end; returns the exit status."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout * e2e.TIME_FACTOR)
            except subprocess.TimeoutExpired:
                raise AssertionError("trabix did not end within %.0f s of SIGTERM" % timeout)
        self.reader.join(timeout=5)
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.proc in e2e._live_processes:
            e2e._live_processes.remove(self.proc)
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        if self.owns_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def unittest_skip(why):
    import unittest
    return unittest.SkipTest(why)


def round_trips(socks, payload=b"x", timeout=20.0):
    """Sends payload on every socket at once and returns each one's seconds until its echo
    came back whole, waiting on all of them together."""
    import selectors
    sel = selectors.DefaultSelector()
    started = {}
    got = {}
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
    for s in socks:
        started[s] = time.monotonic()
        s.send(payload)
        got[s] = b""
    durations = {}
    deadline = time.monotonic() + timeout * e2e.TIME_FACTOR
    while len(durations) < len(socks) and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            s = key.fileobj
            chunk = s.recv(65536)
            if not chunk:
                raise AssertionError("a connection ended during the round trip")
            got[s] += chunk
            if len(got[s]) >= len(payload):
                durations[s] = time.monotonic() - started[s]
                sel.unregister(s)
    sel.close()
    for s in socks:
        s.setblocking(True)
    if len(durations) < len(socks):
        raise AssertionError("%d of %d round trips missing" % (len(socks) - len(durations),
                                                                len(socks)))
    return [durations[s] for s in socks]


def echoes(socks, payloads, timeout=60.0):
    """Sends each socket its payload and reads its echo back, all sockets together; returns the
    bytes that came back on each."""
    import selectors
    sel = selectors.DefaultSelector()
    got = {s: bytearray() for s in socks}
    want = dict(zip(socks, payloads))
    for s, payload in want.items():
        s.sendall(payload)
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
    done = 0
    deadline = time.monotonic() + timeout * e2e.TIME_FACTOR
    while done < len(socks) and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            s = key.fileobj
            chunk = s.recv(1 << 16)
            if chunk:
                got[s] += chunk
            if not chunk or len(got[s]) >= len(want[s]):
                sel.unregister(s)
                done += 1
    sel.close()
    for s in socks:
        s.setblocking(True)
    return [bytes(got[s]) for s in socks]
