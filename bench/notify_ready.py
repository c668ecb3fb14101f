#!/usr/bin/env python3
"""Start-up to READY=1 under a notify socket of our own, and the resident
memory at that moment, over several runs of the daemon on an empty
application folder (loopback xAP settings).
  python3 bench/notify_ready.py [build/tagvane] [runs]"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

binary = sys.argv[1] if len(sys.argv) > 1 else "build/tagvane"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
times, rss = [], []
for _ in range(runs):
    with tempfile.TemporaryDirectory() as d:
        os.makedirs(os.path.join(d, "Config"))
        with open(os.path.join(d, "Config", "qbxXap.ini"), "w") as f:
            f.write("[Interface]\r\nBroadcastAddress=127.255.255.255\r\n"
                    "InterfaceAddress=127.0.0.1\r\n")
        path = os.path.join(d, "notify.sock")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        s.bind(path)
        s.settimeout(10)
        env = dict(os.environ, NOTIFY_SOCKET=path)
        start = time.monotonic()
        p = subprocess.Popen([binary, "--foreground", "--app-dir", d], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while b"READY=1" not in s.recv(4096):
            pass
        times.append((time.monotonic() - start) * 1000)
        with open(f"/proc/{p.pid}/status") as f:
            rss.append(next(int(l.split()[1]) for l in f if l.startswith("VmRSS:")))
        p.terminate()
        p.wait()
        s.close()
print(f"start-up to READY=1 over {runs} runs: median {statistics.median(times):.1f} ms, "
      f"best {min(times):.1f} ms; resident memory at READY=1: median "
      f"{statistics.median(rss) / 1024:.1f} MiB")
