#!/usr/bin/env python3
"""The real daemon with N tags in use and SQLite readings, under a flood of
reports from the receiver line, on loopback.

Plays the serial-to-network bridge: sends reports of every tag in turn, as
fast as the daemon takes them, for the given seconds, while a client asks
/status (the whole page of N tags) and an API call (DeviceStatus, a small
answer) one after the other, a new connection each. Prints their latencies
during the flood, the reports sent, and the rows stored in the database
during the flood and after SIGTERM (what the store sustains, and what it
kept). The page's figures are given again for the requests asked 10 s or
more into the flood, once the tables of a fresh file have been made.

Usage: bench/reading_flood.py [--binary build/tagvane] [--tags 10000] [--seconds 30]
"""
import argparse
import multiprocessing
import os
import signal
import socket
import sqlite3
import statistics
import tempfile
import time

import bench_util
from bench_util import free_port


def code(i):
    return "____________%04X" % i


def config(tags, bridge_port, http_port):
    units = []
    for i in range(tags):
        fields = [code(i), "2", "tag_%04X" % i, "False", "05/12/2026 10:00:00", "Room",
                  "", "False", "False", "False", "10", "", "Switch", "True",
                  "1", "1", "87", "87", "42", "42"]
        units.append(code(i) + "=" + "~".join(fields))
    return ("SerialIP=127.0.0.1\r\nRFIDPort=%d\r\nHTTPPort=%d\r\nUseSQL=1\r\n[RFIDUnits]\r\n%s\r\n"
            % (bridge_port, http_port, "\r\n".join(units)))


class Bridge(multiprocessing.Process):
    """Reports of tags 0..tags-1 in turn, 1,000 a write, until stopped. A
    process of its own: as a thread it would hold the interpreter lock so
    tightly that the measuring client waits seconds for it."""

    def __init__(self, tags):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.tags = tags
        self.stopping = multiprocessing.Event()
        self.count = multiprocessing.Value("q", 0)

    @property
    def sent(self):
        return self.count.value

    def run(self):
        chunks = [b"".join(b"%04X50 " % ((first + k) % self.tags) for k in range(1000))
                  for first in range(0, self.tags, 1000)]
        conn, _ = self.listener.accept()
        try:
            while not self.stopping.is_set():
                for c in chunks:
                    conn.sendall(c)
                    self.count.value += 1000
        except OSError:
            pass  # the daemon went first
        conn.close()


def timed_get(port, target, timeout=60):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET " + target.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b"Connection: close\r\n\r\n")
        while s.recv(1 << 20):
            pass
    return time.monotonic() - start


def rows(app):
    path = os.path.join(app, "Data", "Tagvane", "qbxRFID.db")
    if not os.path.exists(path):
        return 0, 0
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30)
    try:
        names = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table' "
                                          "AND name LIKE 'tbl%'")]
        return (sum(db.execute('SELECT count(*) FROM "%s"' % n).fetchone()[0] for n in names),
                len(names))
    finally:
        db.close()


def summary(name, values):
    ms = sorted(1000 * v for v in values)
    p99 = ms[min(len(ms) - 1, int(round(0.99 * (len(ms) - 1))))]
    return "%s: %d answers, median %.0f ms, p99 %.0f ms, max %.0f ms" % (
        name, len(ms), statistics.median(ms), p99, ms[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default="build/tagvane")
    ap.add_argument("--tags", type=int, default=10000)
    ap.add_argument("--seconds", type=float, default=30)
    args = ap.parse_args()
    bridge = Bridge(args.tags)
    http = free_port()
    with tempfile.TemporaryDirectory() as work:
        app = os.path.join(work, "app")
        bench_util.write_config(app, config(args.tags, bridge.port, http))
        p = bench_util.start_daemon(args.binary, app)
        for _ in range(100):  # the database file opens shortly after start-up
            if os.path.exists(os.path.join(app, "Data", "Tagvane", "qbxRFID.db")):
                break
            time.sleep(0.1)
        bridge.start()
        began = time.monotonic()
        status, api, steady, slow = [], [], [], []
        while time.monotonic() - began < args.seconds:
            asked = time.monotonic() - began
            status.append(timed_get(http, "/status"))
            if status[-1] > 0.2:
                slow.append((asked, status[-1]))
            if asked >= 10:
                steady.append(status[-1])
            api.append(timed_get(http, "/api/DeviceStatus?sDC=" + code(1)))
        bridge.stopping.set()
        bridge.join(timeout=10)
        flood_s = time.monotonic() - began
        during, tables = rows(app)
        sent = bridge.sent
        p.send_signal(signal.SIGTERM)
        exit_code = p.wait(timeout=120)
        kept, _ = rows(app)
    print("%d tags in use, SQLite, a flood of %.1f s: %d reports sent (%.0f/s)"
          % (args.tags, flood_s, sent, sent / flood_s))
    print(summary("/status (%d tags)" % args.tags, status))
    if steady:
        print(summary("  of which asked 10 s or more into the flood", steady))
    if slow:
        print("  over 200 ms: " + ", ".join("%.0f ms at %.1f s" % (1000 * t, at) for at, t in slow))
    print(summary("/api/DeviceStatus", api))
    print("rows stored during the flood: %d (%.0f rows/s) in %d tables; after SIGTERM (exit %s): %d"
          % (during, during / flood_s, tables, exit_code, kept))


if __name__ == "__main__":
    main()
