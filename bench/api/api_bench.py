#!/usr/bin/env python3
"""The control API under load: round trips while 50 connections relay at full speed, latency
toggled on and off 100 times under that load (how long a relayed probe connection is held
beyond the condition), and a live PATCH and a reset on a channel with 200 open connections.

    api_bench.py --trabix PATH --load PATH [--seconds S] [--requests N]

Starts `trabix-load serve` and `trabix --headless --api 0` in a scratch folder of its own; all
traffic stays on 127.0.0.1 and every port is chosen by the system. Prints one line per
measurement as "api <name> key=value ..." (times in milliseconds); every process started here
is stopped by its PID at the end.
"""
import argparse
import http.client
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


class Api:
    """Keep-alive requests to the control API."""

    def __init__(self, port, token):
        self.port, self.token = port, token
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        start = time.perf_counter()
        self.conn.request(method, path, body=data,
                          headers={"Authorization": "Bearer " + self.token})
        answer = self.conn.getresponse()
        payload = answer.read()
        took = (time.perf_counter() - start) * 1000
        if answer.status != 200:
            raise RuntimeError("%s %s: %d %s" % (method, path, answer.status, payload))
        return json.loads(payload) if payload and payload[:1] == b"{" else payload, took


def start_trabix(binary, folder):
    ini = os.path.join(folder, "Trabix.ini")
    with open(ini, "w") as f:
        f.write("[General]\nLogToScreen=1\nLogToFile=0\nLogConnInfo=0\n")
    proc = subprocess.Popen([binary, "--headless", "--api", "0", "--config", ini], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    pattern = re.compile(r"Control API listening on http://127\.0\.0\.1:(\d+)/ \(token in (.+)\)")
    deadline = time.monotonic() + 30
    for line in proc.stdout:
        m = pattern.search(line)
        if m or time.monotonic() > deadline:
            break
    if not m:
        raise RuntimeError("trabix did not start its API")
    threading.Thread(target=proc.stdout.read, daemon=True).start()
    with open(m.group(2)) as f:
        return proc, int(m.group(1)), f.read().strip()


def start_backend(load):
    proc = subprocess.Popen([load, "serve", "--max-seconds", "600"], stdout=subprocess.PIPE,
                            text=True)
    fields = dict(p.split("=") for p in proc.stdout.readline().split()[1:])
    return proc, int(fields["echo"]), int(fields["sink"])


class Probe(threading.Thread):
    """One-byte round trips on one connection, back to back, until stopped; keeps each round
    trip's end time and length."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.trips = []
        self.running = True

    def run(self):
        while self.running:
            start = time.perf_counter()
            self.sock.sendall(b"p")
            if self.sock.recv(1) != b"p":
                break
            end = time.perf_counter()
            self.trips.append((end, (end - start) * 1000))

    def stop(self):
        self.running = False
        self.join(timeout=30)
        self.sock.close()


def under_load(api, args):
    """Round trips of GET and of latency toggles while 50 connections push to the sink."""
    results = []
    gets = [api.call("GET", "/v1/channels/1")[1] for _ in range(args.requests)]
    results.append("api get_under_load count=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f"
                   % (len(gets), statistics.median(gets), percentile(gets, 99), max(gets)))
    metrics = [api.call("GET", "/metrics")[1] for _ in range(args.requests // 4)]
    results.append("api metrics_under_load count=%d p50_ms=%.3f p99_ms=%.3f"
                   % (len(metrics), statistics.median(metrics), percentile(metrics, 99)))
    return results


def toggles(api, latency_ms, count):
    """PATCH LatencyCS on and off, count times, on the probe's channel; the PATCH times."""
    patch_times = []
    for _ in range(count):
        patch_times.append(api.call("PATCH", "/v1/channels/2", {"LatencyCS": latency_ms})[1])
        patch_times.append(api.call("PATCH", "/v1/channels/2", {"LatencyCS": 0})[1])
    return patch_times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trabix", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--requests", type=int, default=1000)
    args = parser.parse_args()
    args.trabix, args.load = os.path.abspath(args.trabix), os.path.abspath(args.load)
    folder = tempfile.mkdtemp(prefix="trabix-api-bench-")
    procs = []
    try:
        backend, echo, sink = start_backend(args.load)
        procs.append(backend)
        trabix, api_port, token = start_trabix(args.trabix, folder)
        procs.append(trabix)
        api = Api(api_port, token)
        base = {"Map": True, "BindIp": "127.0.0.1", "ListenPort": 0, "MapIp": "127.0.0.1"}
        to_sink = api.call("PATCH", "/v1/channels/1", dict(base, MapPort=sink))[0]["port"]
        to_echo = api.call("PATCH", "/v1/channels/2", dict(base, MapPort=echo))[0]["port"]

        pusher = subprocess.Popen([args.load, "tput", "--port", str(to_sink), "--dir", "up",
                                   "--conns", "50", "--bytes", str(10 ** 12),
                                   "--max-seconds", str(int(args.seconds))],
                                  stdout=subprocess.PIPE, text=True)
        procs.append(pusher)
        # Under way once the channel has 50 connections open.
        deadline = time.monotonic() + 30
        while api.call("GET", "/v1/channels/1")[0]["counters"]["open"] < 50:
            if time.monotonic() > deadline:
                raise RuntimeError("the 50 relaying connections did not open")
        lines = under_load(api, args)

        probe = Probe(to_echo)
        probe.start()
        latency = 20
        started = time.perf_counter()
        patch_times = toggles(api, latency, 100)
        ended = time.perf_counter()
        probe.stop()
        during = [ms for (t, ms) in probe.trips if started <= t <= ended]
        # A round trip may have met the latency once (client to server): what lies beyond it.
        beyond = max(0.0, max(during) - latency) if during else float("nan")
        lines.append("api toggles_under_load count=%d patch_p50_ms=%.3f patch_p99_ms=%.3f "
                     "probe_trips=%d probe_max_ms=%.3f probe_beyond_condition_ms=%.3f"
                     % (len(patch_times), statistics.median(patch_times),
                        percentile(patch_times, 99), len(during), max(during) if during else 0,
                        beyond))
        moved = pusher.communicate(timeout=args.seconds + 60)[0].strip()
        procs.remove(pusher)
        lines.append("api pusher %s" % moved.replace("\n", " "))

        held = [socket.create_connection(("127.0.0.1", to_echo), timeout=30) for _ in range(200)]
        deadline = time.monotonic() + 30
        while api.call("GET", "/v1/channels/2")[0]["counters"]["open"] < 200:
            if time.monotonic() > deadline:
                raise RuntimeError("the 200 connections did not open")
        patch200 = api.call("PATCH", "/v1/channels/2", {"LatencySC": 50})[1]
        reset200 = api.call("POST", "/v1/reset")[1]
        lines.append("api open200 patch_ms=%.3f reset_ms=%.3f" % (patch200, reset200))
        for s in held:
            s.close()
        print("\n".join(lines), flush=True)
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
