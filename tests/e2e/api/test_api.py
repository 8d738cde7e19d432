"""The control API of the real program, headless and (one case) in the window: the token,
every endpoint and every error, a live PATCH that reaches all of 200 open connections, a reset
under load, the metrics page under promtool, exact byte counters and ports chosen by the
system. Everything talks to 127.0.0.1 only; ports are 0 or the system's choice."""
import os
import shutil
import socket
import stat
import subprocess
import threading
import unittest

from trabix_api import ApiProgram, e2e, echoes, round_trips, settings_text

ECHO_TIMEOUT = 30


class ApiCase(unittest.TestCase):
    def start(self, **kw):
        program = ApiProgram(**kw)
        self.addCleanup(program.close)
        return program.wait_api()

    def backend(self, handler=e2e.echo_handler):
        b = e2e.Backend(handler)
        self.addCleanup(b.close)
        return b

    def connect(self, port):
        s = e2e.connect(port, timeout=ECHO_TIMEOUT)
        self.addCleanup(s.close)
        return s

    def assert_error(self, answer, status, *words):
        got, body = answer
        self.assertEqual(got, status, body)
        self.assertEqual(body["status"], status)
        for word in words:
            self.assertIn(word, body["error"])


class TokenAndStart(ApiCase):
    def test_token_file_is_made_once_for_the_user_only_and_every_request_needs_it(self):
        api = self.start()
        self.assertEqual(os.path.dirname(api.token_path), api.dir)
        self.assertEqual(stat.S_IMODE(os.stat(api.token_path).st_mode), 0o600)
        self.assertGreaterEqual(len(api.token), 32)
        self.assertEqual(api.request("GET", "/v1/channels")[0], 200)
        for token in (None, "Bearer wrong", "Basic " + api.token, "Bearer " + api.token + "x"):
            self.assertEqual(api.request("GET", "/v1/channels", token=token)[0], 401, token)
        self.assertEqual(api.request("GET", "/metrics", token=None)[0], 401)
        # Five refusals, one line: the rest are held back.
        refused = r"Control API: refused a request without a valid token from 127\.0\.0\.1"
        api.wait_line(refused)
        self.assertEqual(len([l for l in api.all_lines() if "without a valid token" in l]), 1)
        # The next run on the same folder takes the same token from the file.
        first = api.token
        self.assertEqual(api.stop(), 0)
        again = self.start(folder=api.dir)
        self.assertEqual(again.token, first)
        self.assertEqual(again.request("GET", "/v1/channels", token="Bearer " + first)[0], 200)

    def test_the_api_stays_off_without_api_and_takes_apilisten_of_the_settings(self):
        echo = self.backend()
        off = ApiProgram(ini=settings_text({1: e2e.channel_section(e2e.free_port(), echo.port)}),
                         api=None)
        self.addCleanup(off.close)
        off.wait_line(r"Channel 1: .* listening to connections on")
        self.assertFalse(any("Control API" in l for l in off.all_lines()))
        self.assertFalse(os.path.exists(os.path.join(off.dir, "api-token")))
        on = self.start(ini=settings_text(ApiListen="127.0.0.1:0"), api=None)
        self.assertEqual(on.ok("GET", "/v1/channels")["channels"][0]["channel"], 1)

    def test_a_non_loopback_address_gets_a_warning_line(self):
        api = self.start(api="0.0.0.0:0")
        api.wait_line(r"Control API: listening on 0\.0\.0\.0, reachable from other machines")

    def test_a_wrong_listen_text_is_refused_on_the_command_line_or_logged(self):
        bad = subprocess.run([e2e.BINARY, "--api"], capture_output=True, text=True, timeout=30)
        self.assertEqual(bad.returncode, 2)
        program = ApiProgram(api="127.0.0.1:99999")
        self.addCleanup(program.close)
        program.wait_line(r"Control API: not started: .*99999")


class Errors(ApiCase):
    def test_every_error_is_a_4xx_with_a_json_object_and_applies_nothing(self):
        api = self.start()
        before = api.ok("GET", "/v1/channels/2")["settings"]
        self.assert_error(api.call("PATCH", "/v1/channels/2", b"{not json"), 400, "malformed")
        self.assert_error(api.call("PATCH", "/v1/channels/2", [1, 2]), 400, "object")
        self.assert_error(api.call("PATCH", "/v1/channels/2", {"NoSuchKey": 1}), 400,
                          "NoSuchKey")
        # One bad key: the good one beside it is not applied either.
        self.assert_error(api.call("PATCH", "/v1/channels/2", {"LatencyCS": 100,
                                                               "LatencySC": 60001}),
                          400, "LatencySC", "0..60000")
        self.assert_error(api.call("PATCH", "/v1/channels/2", {"MapPort": 70000}), 400,
                          "MapPort", "1..65535")
        self.assert_error(api.call("PATCH", "/v1/channels/2", {"Capture": "yes"}), 400,
                          "Capture", "true or false")
        self.assertEqual(api.ok("GET", "/v1/channels/2")["settings"], before)
        # Files only in the program's own folders, also through a link or "..".
        os.symlink("/etc", os.path.join(api.dir, "out"))
        for outside in ("/etc/passwd", os.path.join(api.dir, "..", "x.log"),
                        os.path.join(api.dir, "out", "passwd")):
            self.assert_error(api.call("PATCH", "/v1/channels/2", {"TlsKeyLogFile": outside}),
                              400, "TlsKeyLogFile", api.dir)
        inside = os.path.join(api.dir, "keys.log")
        self.assertEqual(api.ok("PATCH", "/v1/channels/2", {"TlsKeyLogFile": inside})
                         ["settings"]["TlsKeyLogFile"], inside)
        api.ok("PATCH", "/v1/channels/2", {"TlsKeyLogFile": ""})
        for n in ("0", "9", "x", "-1"):
            self.assert_error(api.call("GET", "/v1/channels/" + n), 404, "1 to 8")
        self.assert_error(api.call("DELETE", "/v1/channels/1"), 405, "allowed")
        self.assert_error(api.call("GET", "/v1/reset"), 405, "POST")
        self.assert_error(api.call("POST", "/metrics"), 405, "GET")
        self.assert_error(api.call("GET", "/v1/channels/1/start"), 405, "POST")
        self.assert_error(api.call("GET", "/v1/nothing"), 404, "no such")
        self.assert_error(api.call("GET", "/v1/connections?channel=9"), 400, "1 to 8")
        self.assert_error(api.call("DELETE", "/v1/connections/123456"), 404, "123456")
        self.assert_error(api.call("GET", "/v1/connections/123456/stream"), 404, "123456")
        big = b"{" + b" " * (1024 * 1024) + b"}"
        self.assert_error(api.call("PATCH", "/v1/channels/2", big), 413, "1 MiB")
        self.assertEqual(api.ok("GET", "/v1/channels/2")["settings"], before)
        self.assertEqual(api.call("GET", "/v1/channels")[0], 200)   # still serving


class Channels(ApiCase):
    def test_patch_with_listen_port_0_relays_and_the_file_stays_until_save(self):
        api = self.start()
        with open(api.ini_path, "rb") as f:
            original = f.read()
        echo = self.backend()
        port = api.open_channel(3, echo.port, Remarks="api")
        self.assertGreater(port, 0)
        api.wait_line(r"Channel 3: \(api\) listening to connections on 127\.0\.0\.1:%d$" % port)
        channel = api.ok("GET", "/v1/channels/3")
        self.assertEqual(channel["settings"]["ListenPort"], port)
        self.assertTrue(channel["listening"])
        s = self.connect(port)
        s.sendall(b"ping")
        self.assertEqual(s.recv(4), b"ping")
        listed = api.ok("GET", "/v1/channels")["channels"]
        self.assertEqual([c["channel"] for c in listed], list(range(1, 9)))
        self.assertEqual([c["listening"] for c in listed], [n == 3 for n in range(1, 9)])
        # Stop, start, restart.
        stopped = api.ok("POST", "/v1/channels/3/stop")
        self.assertFalse(stopped["listening"])
        self.assertTrue(e2e.is_refused(port))
        self.assertTrue(api.ok("POST", "/v1/channels/3/start")["listening"])
        self.assertTrue(api.ok("POST", "/v1/channels/3/restart")["listening"])
        s2 = self.connect(port)
        s2.sendall(b"again")
        self.assertEqual(s2.recv(5), b"again")
        # Two channels asking for port 0 get two ports.
        other = api.open_channel(4, echo.port)
        self.assertNotEqual(other, port)
        # Nothing written until asked.
        with open(api.ini_path, "rb") as f:
            self.assertEqual(f.read(), original)
        saved = api.ok("POST", "/v1/settings/save")
        self.assertEqual(saved["saved"], api.ini_path)
        with open(api.ini_path, "rb") as f:
            text = f.read().decode("latin-1")
        self.assertIn("[MappedPort_3]\r\nRemarks=api\r\n", text.replace("\n", "\r\n")
                      .replace("\r\r\n", "\r\n"))
        self.assertIn("ListenPort=%d" % port, text)

    def test_a_live_patch_reaches_all_200_open_connections_before_its_answer(self):
        api = self.start()
        echo = self.backend()
        # Without lines the channel is unwatched: its connections ride the relay pool until
        # the condition makes it watched.
        port = api.open_channel(1, echo.port, Logging=False)
        socks = [self.connect(port) for _ in range(200)]
        e2e.wait_until(lambda: api.metric("trabix_open_connections", 1) == 200, 30,
                       what="200 open connections")
        fast = round_trips(socks)
        self.assertEqual(len(fast), 200)
        api.ok("PATCH", "/v1/channels/1", {"LatencySC": 300})
        # Every one of the 200 holds its answer for the latency now: count them.
        slow = round_trips(socks)
        self.assertEqual(sum(1 for d in slow if d >= 0.3), 200, sorted(slow)[:5])
        self.assertEqual(api.metric("trabix_conditions_active", 1), 1)
        # The reset takes the condition off every connection at once and zeroes the counters,
        # and none of the 200 loses a byte.
        self.assertEqual(api.ok("POST", "/v1/reset"), {"reset": True})
        self.assertEqual(api.ok("GET", "/v1/channels/1")["settings"]["LatencySC"], 0)
        self.assertEqual(api.metric("trabix_conditions_active", 1), 0)
        self.assertEqual(api.metric("trabix_client_to_server_bytes_total", 1), 0)
        after = round_trips(socks, payload=b"y" * 1000)
        self.assertEqual(len(after), 200)
        self.assertEqual(api.metric("trabix_client_to_server_bytes_total", 1), 200 * 1000)


class Load(ApiCase):
    def test_100_clients_hammering_the_api_while_200_connections_relay_lose_no_byte(self):
        api = self.start()
        echo = self.backend()
        port = api.open_channel(1, echo.port, Logging=False)
        socks = [self.connect(port) for _ in range(200)]
        payloads = [e2e.pattern_bytes(64 * 1024, seed=i) for i in range(200)]
        paths = ["/metrics", "/v1/connections?state=open", "/v1/channels/1", "/v1/channels"]
        statuses = []

        def hammer(i):
            for k in range(10):
                statuses.append(api.request("GET", paths[(i + k) % len(paths)])[0])
        clients = [threading.Thread(target=hammer, args=(i,)) for i in range(100)]
        for c in clients:
            c.start()
        # Live changes among the reads: a data mode moves the connections to threads and back.
        for mode in (1, 0, 1, 0):
            api.ok("PATCH", "/v1/channels/1", {"LogDataMode": mode})
        back = echoes(socks, payloads)
        for c in clients:
            c.join(timeout=120 * e2e.TIME_FACTOR)
        self.assertEqual(statuses, [200] * 1000)
        self.assertEqual(sum(1 for b, p in zip(back, payloads) if b == p), 200)
        self.assertEqual(api.metric("trabix_client_to_server_bytes_total", 1), 200 * 64 * 1024)


class Connections(ApiCase):
    def test_list_filter_stream_close_and_reset(self):
        api = self.start()
        echo = self.backend()
        port = api.open_channel(2, echo.port)
        plain = self.connect(port)
        plain.sendall(b"abc")
        self.assertEqual(plain.recv(3), b"abc")
        e2e.wait_until(lambda: api.ok("GET", "/v1/connections?channel=2&state=open")
                       ["connections"], 10, what="the connection listed")
        c = api.ok("GET", "/v1/connections?channel=2&state=open")["connections"][0]
        self.assertEqual(c["channel"], 2)
        self.assertEqual(c["client"], "127.0.0.1:%d" % plain.getsockname()[1])
        self.assertEqual(c["target"], "127.0.0.1:%d" % echo.port)
        self.assertTrue(c["open"])
        self.assertEqual((c["bytesCS"], c["bytesSC"]), (3, 3))
        self.assertEqual((c["tlsClient"], c["tlsTarget"]), (None, None))  # a plain channel
        self.assertEqual(api.ok("GET", "/v1/connections?channel=1")["connections"], [])
        status, body = api.call("GET", "/v1/connections/%s/stream" % c["id"])
        self.assertEqual(status, 404)
        self.assertIn("no capture", body["error"])
        # With capture on, the bytes of the connection come back per direction.
        api.ok("PATCH", "/v1/channels/2", {"Capture": True})
        captured = self.connect(port)
        captured.sendall(b"hello")
        self.assertEqual(captured.recv(5), b"hello")
        ids = {x["client"]: x["id"] for x in
               api.ok("GET", "/v1/connections?state=open")["connections"]}
        cid = ids["127.0.0.1:%d" % captured.getsockname()[1]]
        e2e.wait_until(lambda: api.request("GET", "/v1/connections/%s/stream?dir=both" % cid)[2]
                       == b"hellohello", 10, what="both directions captured")
        for d, want in (("cs", b"hello"), ("sc", b"hello")):
            status, headers, data = api.request("GET", "/v1/connections/%s/stream?dir=%s"
                                                % (cid, d))
            self.assertEqual((status, data), (200, want))
            self.assertEqual(headers["Content-Type"], "application/octet-stream")
        self.assertEqual(api.call("GET", "/v1/connections/%s/stream?dir=up" % cid)[0], 400)
        # DELETE closes one in order, ?reset=1 resets the other.
        self.assertEqual(api.ok("DELETE", "/v1/connections/%s" % cid)["reset"], False)
        self.assertEqual(e2e.recv_all(captured), b"")
        self.assertEqual(api.ok("DELETE", "/v1/connections/%s?reset=1" % c["id"])["reset"], True)
        with self.assertRaises(ConnectionResetError):
            e2e.recv_all(plain)
        e2e.wait_until(lambda: not api.ok("GET", "/v1/connections?channel=2&state=open")
                       ["connections"], 10, what="both ended")
        ended = api.ok("GET", "/v1/connections?channel=2&state=ended")["connections"]
        self.assertEqual(len(ended), 2)
        self.assertEqual(api.call("DELETE", "/v1/connections/%s" % cid)[0], 409)


class Metrics(ApiCase):
    def test_promtool_accepts_the_page_and_byte_counters_are_exact(self):
        api = self.start()
        sent = e2e.pattern_bytes(3 * 1024 * 1024 + 17, seed=5)
        answer = e2e.pattern_bytes(1024 * 1024 + 3, seed=6)

        def backend(sock):
            got = 0
            while got < len(sent):
                chunk = sock.recv(1 << 16)
                if not chunk:
                    break
                got += len(chunk)
            sock.sendall(answer)
        target = self.backend(backend)
        port = api.open_channel(5, target.port, AllowFrom="127.0.0.2")
        # One refusal by the allow list, then the channel lets 127.0.0.1 in.
        refused = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(refused.close)
        with self.assertRaises((ConnectionResetError, BrokenPipeError)):
            refused.sendall(b"x" * 100000)
            refused.recv(1)
        api.ok("PATCH", "/v1/channels/5", {"AllowFrom": ""})
        s = self.connect(port)
        s.sendall(sent)
        self.assertEqual(e2e.recv_all(s, limit=len(answer)), answer)
        s.close()
        e2e.wait_until(lambda: api.metric("trabix_open_connections", 5) == 0, 10,
                       what="the connection ended")
        self.assertEqual(api.metric("trabix_client_to_server_bytes_total", 5), len(sent))
        self.assertEqual(api.metric("trabix_server_to_client_bytes_total", 5), len(answer))
        self.assertEqual(api.metric("trabix_connections_total", 5), 1)
        self.assertEqual(api.metric("trabix_refused_connections_total", 5,
                                    reason="not_allowed"), 1)
        self.assertEqual(api.metric("trabix_channel_listening", 5), 1)
        promtool = shutil.which("promtool")
        if not promtool:
            self.skipTest("promtool is not installed (Debian package prometheus)")
        check = subprocess.run([promtool, "check", "metrics"], input=api.metrics(),
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout + check.stderr, "")


class Window(ApiCase):
    def test_the_window_serves_the_api_and_saves_its_change_as_an_edit_at_log_off(self):
        api = self.start(window=True, ini=settings_text(LogToFile=1))
        answer = api.ok("PATCH", "/v1/channels/6", {"LatencyCS": 120, "Remarks": "from api"})
        self.assertEqual(answer["settings"]["LatencyCS"], 120)
        # SIGTERM is the log-off path: the window saves edited settings silently.
        self.assertEqual(api.stop(), 0)
        with open(api.ini_path, "rb") as f:
            text = f.read().decode("latin-1")
        self.assertIn("Remarks=from api", text)
        self.assertIn("LatencyCS=120", text)


if __name__ == "__main__":
    unittest.main()
