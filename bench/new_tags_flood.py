#!/usr/bin/env python3
"""A flood of distinct tag identifiers against the real daemon, on loopback.

Plays the serial-to-network bridge: sends N new identifiers in chunks of 100
(a pause between chunks), asks /status over and over while they arrive, then
sends SIGTERM and times the exit. A second run sends the N identifiers in one
burst and signals at once (a backlog of new tags at shut-down).

With --bound-compare the flood runs twice, with MaxUnacceptedTags=0 (every
record kept) and with the default bound of 1,000, and prints /status and the
daemon's peak resident memory for each.

Usage: bench/new_tags_flood.py [--binary build/tagvane] [--count 5000] [--backlog N]
       bench/new_tags_flood.py --bound-compare [--count 20000]
"""
import argparse
import os
import resource
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

import bench_util
from bench_util import free_port


def reports(first, count):
    return "".join("%04X50 " % (first + i) for i in range(count)).encode()


class Bridge(threading.Thread):
    def __init__(self, chunks, pause):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.chunks, self.pause = chunks, pause
        self.sent = threading.Event()
        self.conn = None

    def run(self):
        self.conn, _ = self.listener.accept()
        for c in self.chunks:
            self.conn.sendall(c)
            if self.pause:
                time.sleep(self.pause)
        self.sent.set()


def status_once(port, timeout=120):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET /status HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
        while s.recv(65536):
            pass
    return time.monotonic() - start


def start_daemon(binary, app, bridge_port, http_port, extra=""):
    bench_util.write_config(app, "SerialIP=127.0.0.1\r\nRFIDPort=%d\r\nHTTPPort=%d\r\n%s"
                            % (bridge_port, http_port, extra))
    return bench_util.start_daemon(binary, app)


def saved_records(app):
    text = open(os.path.join(app, "Config", "Tagvane.ini"), "rb").read().decode("latin-1")
    return text.count("=____________")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def stop(p):
    """SIGTERM; returns (seconds to exit, exit status, the daemon's CPU seconds)."""
    before = children_cpu()
    start = time.monotonic()
    p.send_signal(signal.SIGTERM)
    try:
        code = p.wait(timeout=300)
    except subprocess.TimeoutExpired:
        p.kill()
        code = "killed"
    return time.monotonic() - start, code, children_cpu() - before


def peak_rss_mb(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024.0
    return 0.0


def flood(binary, count, extra=""):
    chunks = [reports(0x2000 + i, min(100, count - i)) for i in range(0, count, 100)]
    bridge = Bridge(chunks, 0.01)
    bridge.start()
    http = free_port()
    with tempfile.TemporaryDirectory() as work:
        app = os.path.join(work, "app")
        p = start_daemon(binary, app, bridge.port, http, extra)
        began = time.monotonic()
        latencies = []
        while not bridge.sent.is_set() or not latencies:
            latencies.append(status_once(http))
        flood_s = time.monotonic() - began
        # Let the daemon work through what is queued, as a later page would.
        latencies.append(status_once(http))
        rss = peak_rss_mb(p.pid)
        took, code, cpu = stop(p)
        print("%s peak RSS %.1f MB" % (extra.strip() or "default settings:", rss))
        print("flood of %d new tags over %.2f s: /status answered %d times, median %.0f ms, "
              "max %.0f ms; SIGTERM to exit %.2f s (status %s), %d records saved; "
              "daemon CPU %.2f s" % (count, flood_s, len(latencies),
                                     1000 * statistics.median(latencies), 1000 * max(latencies),
                                     took, code, saved_records(app), cpu))


def backlog(binary, count):
    bridge = Bridge([reports(0x2000, count)], 0)
    bridge.start()
    with tempfile.TemporaryDirectory() as work:
        app = os.path.join(work, "app")
        p = start_daemon(binary, app, bridge.port, free_port())
        bridge.sent.wait()
        time.sleep(0.2)
        took, code, cpu = stop(p)
        print("backlog of %d new tags: SIGTERM to exit %.2f s (status %s), %d records saved; "
              "daemon CPU %.2f s" % (count, took, code, saved_records(app), cpu))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default="build/tagvane")
    ap.add_argument("--count", type=int, default=5000)
    ap.add_argument("--backlog", type=int, default=0, help="backlog size (default: --count)")
    ap.add_argument("--bound-compare", action="store_true",
                    help="flood with MaxUnacceptedTags=0, then with the default bound")
    args = ap.parse_args()
    if args.bound_compare:
        flood(args.binary, args.count, "MaxUnacceptedTags=0\r\n")
        flood(args.binary, args.count)
        return
    flood(args.binary, args.count)
    backlog(args.binary, args.backlog or args.count)


if __name__ == "__main__":
    main()
