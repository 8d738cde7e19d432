"""A complete test in the way a test suite uses Trabix: start the headless program with the
control API on a port of the system's choice and a settings file of its own, open a channel
in front of a service, add latency, measure it, and reset.

Run it with `python3 -m pytest tests/e2e/api/test_api_example.py` and TRABIX=path/to/trabix.
It needs nothing but the standard library and pytest.
"""
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest

TRABIX = os.environ.get("TRABIX") or os.environ.get("TRABIX_BINARY", "")


@pytest.fixture
def trabix(tmp_path):
    """The running program: yields (api base address, token)."""
    if not TRABIX:
        pytest.skip("set TRABIX to the trabix program")
    settings = tmp_path / "Trabix.ini"
    settings.write_text("[General]\nLogToScreen=1\nLogToFile=0\n")
    proc = subprocess.Popen([TRABIX, "--headless", "--api", "0", "--config", str(settings)],
                            stdout=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        # "** 12:00:00:000 Control API listening on http://127.0.0.1:PORT/ (token in FILE)"
        start = re.compile(r"Control API listening on (http://\S+/) \(token in (.+)\)")
        deadline = time.monotonic() + 30
        for line in proc.stdout:
            found = start.search(line)
            if found or time.monotonic() > deadline:
                break
        assert found, "no start line of the control API"
        base, token_file = found.group(1), found.group(2)
        # Keep reading the log so that the program never blocks on a full pipe.
        threading.Thread(target=proc.stdout.read, daemon=True).start()
        with open(token_file) as f:
            yield base, f.read().strip()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)


def send(api, method, path, body=None):
    base, token = api
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(base + path.lstrip("/"), data=data, method=method,
                                     headers={"Authorization": "Bearer " + token})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.read()


def call(api, method, path, body=None):
    return json.loads(send(api, method, path, body))


@pytest.fixture
def echo_service():
    """The service under test: echoes what it reads, on a port of the system's choice."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            with conn:
                while data := conn.recv(65536):
                    conn.sendall(data)
    threading.Thread(target=serve, daemon=True).start()
    yield listener.getsockname()[1]
    listener.close()


def round_trip(port):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        start = time.monotonic()
        s.sendall(b"ping")
        assert s.recv(4) == b"ping"
        return time.monotonic() - start


def test_latency_through_trabix(trabix, echo_service):
    channel = call(trabix, "PATCH", "/v1/channels/1",
                   {"Map": True, "BindIp": "127.0.0.1", "ListenPort": 0,
                    "MapIp": "127.0.0.1", "MapPort": echo_service})
    port = channel["port"]          # the free port the system chose
    call(trabix, "PATCH", "/v1/channels/1", {"LatencyCS": 100, "LatencySC": 100})
    assert round_trip(port) >= 0.2  # 100 ms each way
    call(trabix, "POST", "/v1/reset")
    assert call(trabix, "GET", "/v1/channels/1")["settings"]["LatencyCS"] == 0
    assert b'trabix_conditions_active{channel="1"} 0' in send(trabix, "GET", "/metrics")
