#!/usr/bin/env python3
"""How soon after exec a stop signal is held back, and what a SIGTERM does
at a given delay after exec: for the tagvane command and, for comparison,
for the daemon started directly (lib/tagvane/tagvane, whose own main holds
the signals only once the loader has mapped its libraries).

Usage: bench/signal_window.py [build-dir] [runs]
Run it in a private network namespace, like the tests:
  unshare --net bash -c 'ip link set lo up && python3 bench/signal_window.py'
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
SIGTERM_BIT = 1 << (signal.SIGTERM - 1)
LOOPBACK = "[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n"


def start(binary, app):
    # Popen returns once exec has succeeded.
    return subprocess.Popen([binary, "--foreground", "--app-dir", app],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def held(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
    except OSError:
        return False
    for line in text.splitlines():
        if line.startswith(("SigBlk:", "SigCgt:")) and int(line.split()[1], 16) & SIGTERM_BIT:
            return True
    return False


def main():
    with tempfile.TemporaryDirectory() as app:
        os.makedirs(os.path.join(app, "Config"))
        with open(os.path.join(app, "Config", "qbxXap.ini"), "w") as f:
            f.write(LOOPBACK)
        for binary in (os.path.join(build, "tagvane"), os.path.join(build, "lib/tagvane/tagvane")):
            waits = []
            for _ in range(runs):
                p = start(binary, app)
                t0 = time.perf_counter()
                while not held(p.pid):
                    pass
                waits.append((time.perf_counter() - t0) * 1e6)
                p.send_signal(signal.SIGTERM)
                p.wait()
            waits.sort()
            print("%s: exec to held %.0f us median, %.0f us p90, %.0f us max (%d runs)"
                  % (binary, statistics.median(waits), waits[int(0.9 * (runs - 1))], waits[-1], runs))
            for delay_ms in (0, 0.1, 0.3, 1, 3, 10):
                killed = 0
                for _ in range(runs):
                    p = start(binary, app)
                    t0 = time.perf_counter()
                    while (time.perf_counter() - t0) * 1000 < delay_ms:
                        pass
                    p.send_signal(signal.SIGTERM)
                    if p.wait() < 0:
                        killed += 1
                print("  SIGTERM %.1f ms after exec: %d of %d ended by the signal's default action"
                      % (delay_ms, killed, runs))


if __name__ == "__main__":
    main()
