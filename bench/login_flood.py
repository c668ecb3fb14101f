#!/usr/bin/env python3
"""A password-guessing flood against the real daemon in the BASIC mode.

Runs the daemon with one user, then asks /status as that user (signed in
once, so its own requests cost no hashing) over and over: first alone (the
reference), then while parallel clients send wrong passwords from several
loopback addresses. Prints the page latency of the signed-in client in both
phases and how the guesses were answered (401 checked, 429 waiting out the
delay, 503 beyond the daemon's hashing budget).

Usage: bench/login_flood.py [--binary build/tagvane] [--seconds 10] [--clients 20]

More than about 24 clients crowd the page server (25 sockets): its crowding
reset then closes every connection, the signed-in one too.
"""
import argparse
import base64
import os
import socket
import statistics
import subprocess
import tempfile
import threading
import time

from bench_util import free_port, start_daemon, write_config


def ask(port, auth, source="127.0.0.1", timeout=60):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                  source_address=(source, 0)) as s:
        s.sendall(("GET /status HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n\r\n"
                   % base64.b64encode(auth.encode()).decode()).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return time.monotonic() - start, data.split(b" ", 2)[1].decode() if data else "none"


def pages(port, seconds):
    out = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        # A crowding reset (more clients than the server's sockets) closes
        # every connection, this one too, and listens again: counted, and
        # asked again.
        start = time.monotonic()
        try:
            took, code = ask(port, "alice:right")
        except (ConnectionResetError, ConnectionRefusedError):
            took, code = time.monotonic() - start, "reset"
        out.append((took, code))
        time.sleep(0.05)
    return out


def summary(name, results):
    ms = sorted(1000 * t for t, _ in results)
    ok = sum(1 for _, c in results if c == "200")
    resets = sum(1 for _, c in results if c == "reset")
    print("%s: %d pages (%d answered 200, %d reset), median %.1f ms, p99 %.1f ms, max %.1f ms"
          % (name, len(ms), ok, resets, statistics.median(ms), ms[min(len(ms) - 1, len(ms) * 99 // 100)],
             ms[-1]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default="build/tagvane")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--clients", type=int, default=20)
    args = ap.parse_args()
    port = free_port()
    with tempfile.TemporaryDirectory() as work:
        app = os.path.join(work, "app")
        write_config(app, "HTTPPort=%d\r\n[Settings]\r\nusesecurity=BASIC\r\n" % port)
        subprocess.run([args.binary, "--app-dir", app, "--set-password", "alice"],
                       input="right\n", text=True, check=True, capture_output=True)
        p = start_daemon(args.binary, app)
        try:
            ask(port, "alice:right")  # signs in once
            summary("alone", pages(port, args.seconds / 2))
            stop = threading.Event()
            answers = {}
            lock = threading.Lock()

            def guess(n):
                source = "127.0.%d.%d" % (1 + n // 250, 1 + n % 250)
                i = 0
                while not stop.is_set():
                    try:
                        _, code = ask(port, "alice:wrong%d" % i, source)
                    except OSError:
                        code = "error"
                    i += 1
                    with lock:
                        answers[code] = answers.get(code, 0) + 1

            threads = [threading.Thread(target=guess, args=(n,), daemon=True)
                       for n in range(args.clients)]
            for t in threads:
                t.start()
            time.sleep(0.5)
            summary("during the flood", pages(port, args.seconds))
            stop.set()
            for t in threads:
                t.join(timeout=70)
            print("guesses answered: %s" % ", ".join("%s: %d" % kv for kv in sorted(answers.items())))
        finally:
            p.terminate()
            p.wait(timeout=60)


if __name__ == "__main__":
    main()
