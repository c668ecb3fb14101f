#!/usr/bin/env python3
"""xAP answer latency of the real daemon on loopback.

Starts build/tagvane with a plain UDP socket of this script as its hub, then
measures how long a WDT.Echo query (and a GET /status) takes to be answered

  (a) during a trickle: one small datagram every 40 ms (then every 20 ms) for
      3 s, with the echo query sent 0.5 s into it;
  (b) behind a flood: 100 datagrams of about 60 KB, each full of items (one
      item name repeated, so every item is also a parse fault), sent 2 ms
      apart, with the echo query and the page request right after the last.

Usage: bench/xap_latency.py [path/to/tagvane] [both|trickle|flood] [datagrams] [items]
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

DAEMON = sys.argv[1] if len(sys.argv) > 1 else "build/tagvane"
LIMIT = 900  # seconds waited for an answer
FLOOD = int(sys.argv[3]) if len(sys.argv) > 3 else 100  # datagrams in the flood
ITEMS = int(sys.argv[4]) if len(sys.argv) > 4 else 5450  # items in each


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def message(cls, section, items, source="acme.bench.one"):
    return ("xap-header\n{\nv=13\nhop=1\nuid=FF.1234:00\nclass=%s\nsource=%s\n}\n%s\n{\n%s}\n"
            % (cls, source, section, items)).encode()


def echo_query(n):
    return message("WDT.Echo", "Echo.Query", "Query=Q%d\n" % n)


def wait_echo(hub, n, deadline):
    want = b"Response=q%d\n" % n
    while time.monotonic() < deadline:
        hub.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, _ = hub.recvfrom(70000)
        except socket.timeout:
            break
        if want in data:
            return time.monotonic()
    return None


def get_status(http_port, out):
    start = time.monotonic()
    try:
        urllib.request.urlopen("http://127.0.0.1:%d/status" % http_port, timeout=LIMIT).read()
        out.append(time.monotonic() - start)
    except Exception as e:  # noqa: BLE001
        out.append("failed: %s" % e)


def drain(hub):
    hub.settimeout(0.2)
    try:
        while True:
            hub.recvfrom(70000)
    except socket.timeout:
        pass


def trickle(hub, out, to, gap, query):
    drain(hub)
    small = message("acme.trickle", "x", "k=v\n")
    answer = [None]
    sent_at = None
    listener = threading.Thread(
        target=lambda: answer.__setitem__(0, wait_echo(hub, query, time.monotonic() + 10)))
    listener.start()
    begin = time.monotonic()
    n = 0
    while time.monotonic() - begin < 3.0:
        out.sendto(small, to)
        n += 1
        if sent_at is None and time.monotonic() - begin >= 0.5:
            sent_at = time.monotonic()
            out.sendto(echo_query(query), to)
        # Paced on a fixed schedule, so late wake-ups do not add up.
        time.sleep(max(0.0, begin + n * gap - time.monotonic()))
    trickle_end = time.monotonic()
    listener.join()
    if answer[0]:
        print("trickle: %d datagrams %d ms apart over %.1f s; echo answered after %.1f ms "
              "(%s the trickle ended)" % (n, gap * 1000, trickle_end - begin,
                                          (answer[0] - sent_at) * 1000,
                                          "before" if answer[0] < trickle_end else "after"))
    else:
        print("trickle: echo not answered")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def flood(hub, out, to, http_port, pid, count):
    drain(hub)
    cpu_before = cpu_seconds(pid)
    # Values padded so that the datagram is about 60 KB whatever the count.
    pad = max(5, 60000 // ITEMS - 6)
    items = b"".join(b"item=%0*d\n" % (pad, i) for i in range(ITEMS))
    big = message("acme.bulk", "bulk.data", items.decode())
    for _ in range(count):
        out.sendto(big, to)
        time.sleep(0.002)
    start = time.monotonic()
    out.sendto(echo_query(1), to)
    status = []
    t = threading.Thread(target=get_status, args=(http_port, status))
    t.start()
    got = wait_echo(hub, 1, start + LIMIT)
    t.join()
    print("flood: %d datagrams of %d bytes, %d items each; echo answered after %s; /status after %s; "
          "daemon CPU %.2f s"
          % (count, len(big), ITEMS, "%.1f ms" % ((got - start) * 1000) if got else "no answer",
             "%.1f ms" % (status[0] * 1000) if isinstance(status[0], float) else status[0],
             cpu_seconds(pid) - cpu_before))


def main():
    only = sys.argv[2] if len(sys.argv) > 2 else "both"
    work = tempfile.mkdtemp(prefix="tagvane-xap-bench-")
    hub = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    hub.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    hub.bind(("127.0.0.1", 0))
    http_port = free_port(socket.SOCK_STREAM)
    os.makedirs(os.path.join(work, "Config"))
    with open(os.path.join(work, "Config", "qbxXap.ini"), "w", newline="") as f:
        f.write("[Interface]\r\nBroadcastAddress=127.0.0.1\r\nInterfaceAddress=127.0.0.1\r\n"
                "HubPort=%d\r\n" % hub.getsockname()[1])
    with open(os.path.join(work, "Config", "Tagvane.ini"), "w", newline="") as f:
        f.write("[RFID]\r\nHTTPPort=%d\r\n" % http_port)
    daemon = subprocess.Popen([DAEMON, "--foreground", "--app-dir", work],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port = None
        deadline = time.monotonic() + 10
        while port is None and time.monotonic() < deadline:
            hub.settimeout(1)
            data, _ = hub.recvfrom(70000)
            if data.startswith(b"xap-hbeat"):
                for line in data.split(b"\n"):
                    if line.startswith(b"port="):
                        port = int(line[5:])
        assert port, "no heartbeat"
        to = ("127.0.0.1", port)
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        if only in ("both", "trickle"):
            trickle(hub, out, to, 0.04, 2)
            trickle(hub, out, to, 0.02, 3)
        if only in ("both", "flood"):
            flood(hub, out, to, http_port, daemon.pid, FLOOD)
    finally:
        daemon.terminate()
        try:
            daemon.wait(timeout=30)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
