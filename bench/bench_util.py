"""What the load scripts beside this file share: a free loopback port and the
real daemon started in its own application folder, on loopback only.

Imported by login_flood.py, new_tags_flood.py and reading_flood.py (run them from the
repository's top folder, e.g. python3 bench/login_flood.py).
"""
import os
import socket
import subprocess
import threading

# What the daemon prints in the foreground once start-up is done.
READY = " ready, application folder "


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port that was free a moment ago (TCP by default)."""
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def write_config(app, settings):
    """Writes app/Config: xAP on loopback, and Tagvane.ini with settings (CR LF
    lines) below its first line "[RFID]"."""
    os.makedirs(os.path.join(app, "Config"), exist_ok=True)
    with open(os.path.join(app, "Config", "qbxXap.ini"), "w") as f:
        f.write("[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n")
    with open(os.path.join(app, "Config", "Tagvane.ini"), "w") as f:
        f.write("[RFID]\r\n" + settings)


def start_daemon(binary, app):
    """Starts binary in the foreground on folder app and returns it once
    ready; its standard error is read on (and dropped) so it never blocks."""
    p = subprocess.Popen([binary, "--foreground", "--app-dir", app],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in p.stderr:
        if READY in line:
            break
    else:
        raise RuntimeError("%s ended before it was ready (status %s)" % (binary, p.wait()))
    threading.Thread(target=lambda: [None for _ in p.stderr], daemon=True).start()
    return p
