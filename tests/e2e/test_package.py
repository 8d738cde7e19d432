"""The Debian package: CPack builds it from the existing build folder (no second build), it is
extracted with dpkg-deb -x into a scratch root and checked with the validators, and the
extracted program runs headless with HOME in a scratch folder: settings and log file in the XDG
folders, lines on standard output, readiness to systemd, SIGHUP and SIGTERM.

TRABIX_BUILD_DIR names the build folder, TRABIX_CPACK the cpack program (CTest sets both).
"""
import glob
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import shutil
import threading
import time
import unittest

from trabix_e2e import (Backend, LogLine, LOOPBACK, _live_processes, channel_section, connect,
                        free_port, general_section, ini_text, is_refused, today_log_name,
                        wait_until)

BUILD_DIR = os.environ.get("TRABIX_BUILD_DIR", "")
CPACK = os.environ.get("TRABIX_CPACK", "cpack")
APP_ID = "org.example.trabix"
TOOLS = ("dpkg-deb", "lintian", "desktop-file-validate", "appstreamcli")


def run(args, timeout=300, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kwargs)


def upper_handler(sock):
    """Answers with what it got in upper case: the reply proves the bytes crossed the relay."""
    while True:
        data = sock.recv(1 << 16)
        if not data:
            return
        sock.sendall(data.upper())


def round_trip(sock, payload):
    sock.sendall(payload)
    got = b""
    while len(got) < len(payload):
        chunk = sock.recv(1 << 16)
        if not chunk:
            break
        got += chunk
    return got


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


class Package:
    """Built once per module: the .deb and its extracted root."""
    scratch = deb = root = None

    @classmethod
    def build(cls):
        if cls.deb:
            return
        missing = [t for t in TOOLS if not shutil.which(t)]
        if not BUILD_DIR or missing:
            raise AssertionError("needs TRABIX_BUILD_DIR and %s (scripts/deps.sh installs them)"
                                 % ", ".join(missing))
        cls.scratch = tempfile.mkdtemp(prefix="trabix-package-")
        out = run([CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                   "-B", os.path.join(cls.scratch, "out")])
        debs = glob.glob(os.path.join(cls.scratch, "out", "trabix_*.deb"))
        assert out.returncode == 0 and len(debs) == 1, out.stdout + out.stderr
        cls.deb = debs[0]
        cls.root = os.path.join(cls.scratch, "root")
        extracted = run(["dpkg-deb", "-x", cls.deb, cls.root])
        assert extracted.returncode == 0, extracted.stderr

    @classmethod
    def path(cls, relative):
        return os.path.join(cls.root, relative.lstrip("/"))


def tearDownModule():
    if Package.scratch:
        shutil.rmtree(Package.scratch, ignore_errors=True)


class PackageFilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Package.build()

    def test_name_files_and_depends(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertRegex(os.path.basename(Package.deb), r"^trabix_\d+\.\d+_%s\.deb$" % arch)
        for relative in ("/usr/bin/trabix", "/usr/share/applications/%s.desktop" % APP_ID,
                         "/usr/share/metainfo/%s.metainfo.xml" % APP_ID,
                         "/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID,
                         "/usr/share/man/man1/trabix.1.gz", "/usr/lib/systemd/user/trabix.service",
                         "/usr/share/doc/trabix/copyright", "/usr/share/doc/trabix/changelog.gz"):
            self.assertTrue(os.path.isfile(Package.path(relative)), relative)
        for size in (16, 32, 48, 64, 128, 256):
            png = Package.path("/usr/share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID))
            self.assertEqual(png_size(png), (size, size))
        with open(Package.path("/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID)) as f:
            self.assertIn("<path", f.read())
        depends = run(["dpkg-deb", "-f", Package.deb, "Depends"]).stdout
        for library in ("libc6", "libqt6core6", "libqt6widgets6", "libsystemd0", "qt6-qpa-plugins"):
            self.assertIn(library, depends)

    def test_validators_report_no_errors(self):
        desktop = run(["desktop-file-validate",
                       Package.path("/usr/share/applications/%s.desktop" % APP_ID)])
        self.assertEqual((desktop.returncode, desktop.stdout), (0, ""), desktop.stderr)
        meta = run(["appstreamcli", "validate", "--no-net",
                    Package.path("/usr/share/metainfo/%s.metainfo.xml" % APP_ID)])
        self.assertEqual(meta.returncode, 0, meta.stdout + meta.stderr)
        lintian = run(["lintian", "--fail-on", "error", Package.deb])
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)
        self.assertNotRegex(lintian.stdout, r"(?m)^E: ")

    def test_command_line_of_the_extracted_program(self):
        exe = Package.path("/usr/bin/trabix")
        version = run([exe, "--version"], timeout=30)
        self.assertEqual((version.returncode, version.stdout), (0, "Trabix 1.2\n"))
        usage = run([exe, "--help"], timeout=30)
        self.assertEqual(usage.returncode, 0)
        self.assertIn("--headless", usage.stdout)
        wrong = run([exe, "--no-such-option"], timeout=30)
        self.assertEqual((wrong.returncode, wrong.stdout), (2, ""))
        self.assertIn("no-such-option", wrong.stderr)
        self.assertIn("Usage: trabix", wrong.stderr)


class Twin:
    """The extracted program run headless, with HOME in a scratch folder of its own and no
    display at all. Standard output is read line by line; systemd's notify socket is ours."""

    def __init__(self, ini):
        self.home = tempfile.mkdtemp(prefix="trabix-home-")
        self.ini_path = os.path.join(self.home, ".config", "trabix", "Trabix.ini")
        os.makedirs(os.path.dirname(self.ini_path))
        self.write_ini(ini)
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(os.path.join(self.home, "notify"))
        self.notify.settimeout(0.05)
        self.notes = []
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM") and
               not k.startswith("XDG_")}
        env.update(HOME=self.home, NOTIFY_SOCKET=os.path.join(self.home, "notify"))
        self.stderr = open(os.path.join(self.home, "stderr.txt"), "w+")
        self.proc = subprocess.Popen([Package.path("/usr/bin/trabix"), "--headless"],
                                     cwd=self.home, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self.stderr)
        _live_processes.append(self.proc)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def write_ini(self, text):
        with open(self.ini_path, "wb") as f:
            f.write(text.encode("latin-1"))

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("latin-1").rstrip("\n"))

    def wait_note(self, text, count=1, timeout=15):
        def seen():
            try:
                self.notes.append(self.notify.recv(4096).decode())
            except socket.timeout:
                pass
            return sum(text in n.split("\n") for n in self.notes) >= count
        wait_until(seen, timeout, interval=0, what="notification %s x%d" % (text, count))

    def wait_line(self, pattern, count=1, timeout=15):
        regex = re.compile(pattern)
        return wait_until(lambda: len([l for l in self.lines if regex.search(l)]) >= count,
                          timeout, what="output line /%s/ x%d" % (pattern, count))

    def count(self, pattern):
        return len([l for l in self.lines if re.search(pattern, l)])

    def wait_exit(self, timeout=10):
        rc = self.proc.wait(timeout=timeout)
        self.reader.join(timeout=5)
        return rc

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        if self.proc in _live_processes:
            _live_processes.remove(self.proc)
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        self.notify.close()
        self.stderr.close()
        shutil.rmtree(self.home, ignore_errors=True)


def listening(channel, port):
    return r"^\*\* [\d:]{12} Channel %d: \(.*\) listening to connections on [\d.]+:%d$" % (
        channel, port)


class HeadlessTwinTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Package.build()

    def setUp(self):
        self.backends = [Backend(upper_handler), Backend(upper_handler)]
        self.ports = [free_port(), free_port()]
        self.twin = None

    def tearDown(self):
        if self.twin:
            self.twin.close()
        for b in self.backends:
            b.close()

    def ini(self, ports):
        return ini_text(general_section(AutoStart=0, LogToFile=1, LogToScreen=1),
                        {n + 1: channel_section(ports[n], self.backends[n].port,
                                                bind_ip=LOOPBACK, remarks="c%d" % (n + 1))
                         for n in range(2)})

    def test_runs_from_the_package_on_the_xdg_folders_and_stops_on_sigterm(self):
        twin = self.twin = Twin(self.ini(self.ports))
        twin.wait_note("READY=1")
        # Ready means listening: both lines are out before the notification, though the reader
        # thread may not have taken them from the pipe yet.
        twin.wait_line(listening(2, self.ports[1]))
        self.assertEqual(twin.count(listening(1, self.ports[0])), 1)
        self.assertEqual(twin.count(listening(2, self.ports[1])), 1)
        with connect(self.ports[0]) as a, connect(self.ports[1]) as b:
            self.assertEqual(round_trip(a, b"first channel"), b"FIRST CHANNEL")
            self.assertEqual(round_trip(b, b"second"), b"SECOND")
        with open("/proc/%d/maps" % twin.proc.pid) as f:
            maps = f.read()
        self.assertNotIn("platforms/", maps, "no window-system plugin is loaded")

        os.kill(twin.proc.pid, signal.SIGTERM)
        self.assertEqual(twin.wait_exit(), 0)
        self.assertRegex(twin.lines[-2], LogLine.STOP.pattern)
        self.assertRegex(twin.lines[-1], LogLine.PROGRAM_STOPPED.pattern)
        self.assertRegex(twin.lines[0], LogLine.PROGRAM_STARTED.pattern)

        log_path = os.path.join(twin.home, ".local", "state", "trabix", today_log_name())
        with open(log_path, "rb") as f:
            file_lines = f.read().decode("latin-1").split("\r\n")[:-1]
        self.assertEqual(file_lines, twin.lines, "the file log holds what went to stdout")
        self.assertEqual(os.listdir(Package.path("/usr/bin")), ["trabix"])
        with open(twin.ini_path, "rb") as f:
            self.assertEqual(f.read().decode("latin-1"), self.ini(self.ports),
                             "the settings file is never written")

    def test_sighup_restarts_only_the_changed_channel(self):
        twin = self.twin = Twin(self.ini(self.ports))
        twin.wait_note("READY=1")
        held = connect(self.ports[0])
        try:
            self.assertEqual(round_trip(held, b"before"), b"BEFORE")
            moved = [self.ports[0], free_port()]
            twin.write_ini(self.ini(moved))
            os.kill(twin.proc.pid, signal.SIGHUP)
            twin.wait_note("READY=1", count=2)
            twin.wait_line(r"Settings re-read from .*Trabix\.ini, restarted channel\(s\) 2$")
            self.assertEqual(twin.count(listening(2, moved[1])), 1)
            self.assertEqual(twin.count(listening(1, self.ports[0])), 1, "channel 1 untouched")
            self.assertTrue(is_refused(self.ports[1]), "the old port of channel 2 is closed")
            with connect(moved[1]) as b:
                self.assertEqual(round_trip(b, b"moved"), b"MOVED")
            for n in range(20):
                payload = b"still open %d" % n
                self.assertEqual(round_trip(held, payload), payload.upper())
            with connect(self.ports[0]) as again:
                self.assertEqual(round_trip(again, b"new"), b"NEW")
        finally:
            held.close()
        os.kill(twin.proc.pid, signal.SIGINT)
        self.assertEqual(twin.wait_exit(), 0)
        self.assertRegex(twin.lines[-1], LogLine.PROGRAM_STOPPED.pattern)

    def test_no_channel_to_start_says_why_and_exits_1(self):
        twin = self.twin = Twin(ini_text(general_section(), {}))
        self.assertEqual(twin.wait_exit(), 1)
        twin.stderr.seek(0)
        self.assertIn("no channel has Map checked in %s" % twin.ini_path, twin.stderr.read())


if __name__ == "__main__":
    unittest.main()
