"""The real program on a real X server with a window manager (Xvfb and openbox), driven with
xdotool as a user would: the close box pressed through the window manager, the close question
answered or left open while SIGTERM or SIGHUP arrives, a message box at start-up."""
import os
import select
import shutil
import signal
import subprocess
import tempfile
import unittest

from trabix_e2e import (Backend, LogLine, TIME_FACTOR, TrabixRun, channel_section, connect,
                        echo_handler, free_port, general_section, ini_text, is_refused,
                        wait_until)

TOOLS = ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=10 * TIME_FACTOR,
                          env=dict(os.environ, DISPLAY=X11Test.display)).stdout


class X11Test(unittest.TestCase):
    display = None
    wm_output = None

    @classmethod
    def setUpClass(cls):
        missing = [t for t in TOOLS if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("missing %s (scripts/deps.sh installs them)" % missing)
        cls.procs = []
        read_end, write_end = os.pipe()
        # -noreset: by default the server resets whenever its last client leaves, and a client
        # that connects meanwhile is turned away; the probes below come and go while openbox
        # starts, and openbox then fails with "Failed to open the display".
        cls.procs.append(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x900x24",
             "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        os.close(write_end)
        # Xvfb writes the number when it accepts clients; it ends if the pipe closes first.
        cls.display_pipe = read_end
        number = b""
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], 15 * TIME_FACTOR)
            part = os.read(read_end, 16) if ready else b""
            if not part:
                cls.tearDownClass()
                raise AssertionError("Xvfb did not start")
            number += part
        cls.display = ":" + number.decode().strip()
        cls.wm_output = tempfile.TemporaryFile()
        openbox = subprocess.Popen(["openbox"], env=dict(os.environ, DISPLAY=cls.display),
                                   stdout=cls.wm_output, stderr=subprocess.STDOUT)
        cls.procs.append(openbox)
        try:
            wait_until(lambda: "window id" in run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                       15, what="openbox running")
        except AssertionError as e:
            # Says whether the window manager ended or is still starting, and what it said.
            state = ("still running" if openbox.poll() is None
                     else "ended with %d" % openbox.returncode)
            cls.wm_output.seek(0)
            said = cls.wm_output.read().decode(errors="replace").strip()
            cls.tearDownClass()
            raise AssertionError("%s on %s: openbox %s; it said: %r"
                                 % (e, cls.display, state, said[-2000:])) from None

    @classmethod
    def tearDownClass(cls):
        for proc in reversed(cls.procs):
            proc.kill()
            proc.wait(timeout=10)
        os.close(cls.display_pipe)
        if cls.wm_output:
            cls.wm_output.close()

    def start(self, ini):
        self.trabix = TrabixRun(ini, env={"QT_QPA_PLATFORM": "xcb", "DISPLAY": self.display})
        self.addCleanup(self.trabix.close)

    def visible_windows(self):
        """{window id: title} of the program's mapped windows."""
        ids = run("xdotool", "search", "--onlyvisible", "--pid", str(self.trabix.pid)).split()
        return {w: run("xdotool", "getwindowname", w).strip() for w in ids}

    def wait_window(self, title):
        def found():
            return [w for w, t in self.visible_windows().items() if t == title]
        return wait_until(found, 15, interval=0.05, what="window %r" % title)[0]

    def start_two_channels(self):
        backend = Backend(echo_handler)
        self.addCleanup(backend.close)
        self.ports = [free_port(), free_port()]
        self.start(ini_text(general_section(), {
            n + 1: channel_section(p, backend.port, remarks="ch%d" % (n + 1))
            for n, p in enumerate(self.ports)}))
        for n, p in enumerate(self.ports):
            self.trabix.wait_listening(n + 1, p)
        self.main = self.wait_window("Trabix - Ostrelay V1.2")

    def edit_and_press_close_box(self):
        # Tab takes the focus to the first channel's Remarks, selecting its text.
        run("xdotool", "windowactivate", "--sync", self.main)
        run("xdotool", "key", "Tab")
        run("xdotool", "type", "edited")
        run("xdotool", "key", "alt+F4")   # openbox's close: WM_DELETE_WINDOW to the program
        return self.wait_window("Trabix V1.2")

    def assert_logged_off(self, signum):
        seconds = self.trabix.terminate(timeout=1.0, signum=signum)
        self.assertEqual(self.trabix.proc.returncode, 0)
        lines = self.trabix.log_lines()
        self.assertRegex(lines[-2], LogLine.STOP)
        self.assertRegex(lines[-1], LogLine.PROGRAM_STOPPED)
        with open(self.trabix.ini_path, encoding="latin-1") as f:
            self.assertIn("Remarks=edited", f.read())
        for port in self.ports:
            self.assertTrue(is_refused(port))
        return seconds

    def test_signal_while_close_question_waits_ends_the_program(self):
        self.start_two_channels()
        self.edit_and_press_close_box()
        self.assert_logged_off(signal.SIGTERM)

    def test_no_keeps_the_window_mapped_and_the_signals_working(self):
        self.start_two_channels()
        question = self.edit_and_press_close_box()
        run("xdotool", "windowactivate", "--sync", question)
        run("xdotool", "key", "alt+n")
        wait_until(lambda: question not in self.visible_windows(), 10, what="question closed")
        self.assertIn(self.main, self.visible_windows())
        self.assertRegex(run("xwininfo", "-id", self.main), r"Map State: IsViewable")
        with connect(self.ports[1]) as client:
            client.sendall(b"ping")
            self.assertEqual(client.recv(4), b"ping")
        self.assertFalse([l for l in self.trabix.log_lines() if LogLine.STOP.match(l)])
        self.assert_logged_off(signal.SIGHUP)

    def test_signal_during_the_start_up_message_box_ends_the_program(self):
        self.start(None)   # a folder in place of the settings file: "Error loading ..."
        box = self.wait_window("Trabix V1.2")
        self.assertEqual(list(self.visible_windows()), [box])
        self.trabix.terminate(timeout=1.0)
        self.assertEqual(self.trabix.proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
