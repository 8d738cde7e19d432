#!/usr/bin/env python3
"""What the first TLS connection for a new name costs over one for a name whose certificate
the channel has issued already: the program headless with one channel that terminates TLS
(certificates from its local authority) in front of an echo server on 127.0.0.1, and python's
ssl module as the client. The two kinds of connection alternate, so drifts of the machine's
load hit both alike; the figure is the difference of the medians of connect + handshake + one
echo.

    bench/tls_first_name.py [--program build/app/trabix] [--count 200]

Everything stays on 127.0.0.1; the ports come from the system; the program is ended by its
PID at the end.
"""
import argparse
import os
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def echo_server():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)

    def serve(sock):
        with sock:
            while data := sock.recv(65536):
                sock.sendall(data)

    def accept():
        while True:
            sock, _ = listener.accept()
            threading.Thread(target=serve, args=(sock,), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_program(program, folder, listen, target):
    shutil.copy2(program, os.path.join(folder, "trabix"))
    with open(os.path.join(folder, "Trabix.ini"), "w") as f:
        f.write("[General]\r\nAutoStart=1\r\nLogToScreen=0\r\nLogToFile=0\r\nLogConnInfo=0\r\n"
                "[MappedPort_1]\r\nBindIp=127.0.0.1\r\nListenPort=%d\r\nMapIp=127.0.0.1\r\n"
                "MapPort=%d\r\nMap=1\r\nLogging=1\r\nLogDataMode=0\r\nTlsClient=1\r\n"
                % (listen, target))
    proc = subprocess.Popen([os.path.join(folder, "trabix"), "--headless"], cwd=folder,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", listen), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    sys.exit("the program did not listen")


def one_connection(port, context, name):
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        # Without it the echo byte waits for the ACK of the handshake's last message.
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with context.wrap_socket(raw, server_hostname=name) as tls:
            tls.sendall(b"x")
            if tls.recv(1) != b"x":
                raise RuntimeError("no echo")
    return (time.perf_counter() - start) * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/app/trabix")
    parser.add_argument("--count", type=int, default=200)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="trabix-tls-names-")
    port = free_port()
    proc = start_program(args.program, folder, port, echo_server())
    try:
        context = ssl.create_default_context(cafile=os.path.join(folder, "TrabixCA.pem"))
        one_connection(port, context, "cached.bench.test")  # issued once, before timing
        new, cached = [], []
        for i in range(args.count):
            new.append(one_connection(port, context, "n%d.bench.test" % i))
            cached.append(one_connection(port, context, "cached.bench.test"))
        median_new, median_cached = statistics.median(new), statistics.median(cached)
        print("connections of each kind: %d" % args.count)
        print("new name, median ms: %.3f (p90 %.3f)" % (
            median_new, statistics.quantiles(new, n=10)[-1]))
        print("cached name, median ms: %.3f (p90 %.3f)" % (
            median_cached, statistics.quantiles(cached, n=10)[-1]))
        print("first connection for a new name costs, ms: %.3f" % (median_new - median_cached))
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
