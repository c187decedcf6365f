#!/usr/bin/env python3
"""Shows a pulse without a serial adapter: runs kovex -v on a pseudo-terminal
that the kit gives DTR and RTS, and prints what it said and what the lines
did as one timeline.

    python3 tests/kit/watch_pulse.py [KOVEX_OPTIONS...]   (default: -D -R 1)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KOVEX = os.path.join(ROOT, "build/native/kovex")
KIT = os.path.join(ROOT, "build/native/kit/$LIB/libkovexlines.so")


def main():
    if not os.path.exists(KOVEX):
        sys.exit("build/native/kovex is missing: run ./dev.sh build first")
    master, slave = os.openpty()
    pty = os.ttyname(slave)
    scratch = tempfile.mkdtemp(prefix="kovex-watch-")
    log = os.path.join(scratch, "lines.log")
    args = [KOVEX, "-v", "-p", pty] + (sys.argv[1:] or ["-D", "-R", "1"])
    env = dict(os.environ, LD_PRELOAD=KIT, KOVEX_KIT_LOG=log)

    events = []
    started = time.monotonic()
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)

    def read_output():
        for line in process.stdout:
            events.append((time.monotonic(), "kovex says", line.decode(errors="replace").rstrip()))
    reader = threading.Thread(target=read_output)
    reader.start()
    status = process.wait()
    reader.join()

    meaning = {"0": "cleared", "1": "asserted", "refused": "refused to move"}
    if os.path.exists(log):
        with open(log) as f:
            for stamp, _, line, what in (entry.split() for entry in f):
                if line in ("DTR", "RTS"):
                    events.append((float(stamp), "line", f"{line} {meaning[what]}"))
    lines = {"DTR": "asserted", "RTS": "asserted"}  # as a freshly opened port has them
    print(f"{pty}: DTR and RTS start asserted, as opening a port on Linux leaves them\n")
    print(f"{'time':>12}  event")
    print(f"{0:>9.3f} ms  run: {' '.join(args[1:])}")
    for stamp, kind, text in sorted(events):
        if kind == "line":
            name, state = text.split(" ", 1)
            if state != "refused to move":
                lines[name] = state
            text = f"{text:<16}  DTR {lines['DTR']:<8}  RTS {lines['RTS']}"
        print(f"{(stamp - started) * 1000:>9.3f} ms  {'  ' if kind == 'line' else '> '}{text}")
    print(f"\nexit status {status}")
    os.close(master)
    os.close(slave)
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
