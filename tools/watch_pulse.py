#!/usr/bin/env python3
"""Shows a pulse without a serial adapter: runs kovex -v on a pseudo-terminal
that the test kit gives DTR and RTS, and prints what kovex said and what the
lines did as one timeline, in the order it happened.

    python3 tools/watch_pulse.py [KOVEX_OPTIONS...]   (default: 1, RTS alone)

The kit stamps both on one clock at the moment they happen: each line change
as kovex makes it, and each write to standard output or error as it leaves
kovex. It only ever pulses its own pseudo-terminal: -p is refused, and it
runs in a namespace of its own (tests/kit/private_dev.sh), with a /dev and a
lock directory that no other program uses. ./dev.sh demo builds what it
needs and runs it.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KOVEX = os.path.join(ROOT, "build/native/kovex")
KIT = os.path.join(ROOT, "build/native/kit/$LIB/libkovexlines.so")
MEANING = {"0": "cleared", "1": "asserted", "refused": "refused to move"}


def unescape(text):
    """Undoes the kit's escapes: \\s a blank, \\n a line end, \\\\ a backslash."""
    return re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n"}.get(m[1], m[1]), text)


def events(log):
    """(time, text, is_port_event) for each line kovex printed, each line
    change, and the port's open and close."""
    with open(log) as f:
        for stamp, _, what, argument in (entry.split(maxsplit=3) for entry in f):
            if what in ("DTR", "RTS"):
                yield float(stamp), f"{what} {MEANING[argument.strip()]}", True
            elif what in ("opened", "closed"):
                yield float(stamp), f"port {what}", True
            elif what in ("out", "err"):
                for text in unescape(argument.rstrip("\n")).rstrip("\n").split("\n"):
                    yield float(stamp), text, False


def main():
    if not os.path.exists(KOVEX) or not os.path.isdir(os.path.join(ROOT, "build/native/kit/lib")):
        sys.exit("build/native/kovex or the test kit is missing: run ./dev.sh demo")
    # Options are single letters, grouped or not; -p takes the next word.
    if any(word.startswith("-") and "p" in word for word in sys.argv[1:]):
        sys.exit("the demo pulses a pseudo-terminal of its own: -p is not taken "
                 "(to pulse a port, run build/native/kovex -p PORT)")
    if os.environ.get("KOVEX_PRIVATE_DEV") != "1":
        private = os.path.join(ROOT, "tests/kit/private_dev.sh")
        os.execv(private, [private, sys.executable] + sys.argv)
    # Only the master is kept: kovex refuses a port another process holds.
    master, slave = os.openpty()
    pty = os.ttyname(slave)
    os.close(slave)
    scratch = tempfile.mkdtemp(prefix="kovex-watch-")
    log = os.path.join(scratch, "lines.log")
    args = [KOVEX, "-v", "-p", pty] + (sys.argv[1:] or ["1"])
    env = dict(os.environ, LD_PRELOAD=KIT, KOVEX_KIT_LOG=log, KOVEX_KIT_OUTPUT="1")

    started = time.monotonic()
    status = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=env).returncode
    lines = {"DTR": "asserted", "RTS": "asserted"}  # as a freshly opened port has them
    print(f"{pty}: DTR and RTS start asserted, as opening a port on Linux leaves them")
    print("\"Dropping\" is where kovex asserts the lines, \"Raising\" where it clears them\n")
    print(f"{'time':>12}  event")
    print(f"{0:>9.3f} ms  run: {' '.join(args[1:])}")
    timeline = sorted(events(log), key=lambda event: event[0]) if os.path.exists(log) else []
    together = []
    for i, (stamp, text, change) in enumerate(timeline):
        name, state = text.split(" ", 1)
        if name in lines:
            if state != MEANING["refused"]:
                lines[name] = state
            # The kit logs the two lines of one request a few microseconds
            # apart: the device saw them change together.
            together.append(name)
            after = timeline[i + 1] if i + 1 < len(timeline) else None
            if after and after[1].split(" ", 1)[0] in lines and after[0] - stamp < 20e-6:
                continue
            text = f"{' and '.join(together)} {state}"
            together = []
            text = f"{text:<20}  DTR {lines['DTR']:<8}  RTS {lines['RTS']}"
        print(f"{(stamp - started) * 1000:>9.3f} ms  {'  ' if change else '> '}{text}")
    print(f"\nexit status {status}")
    os.close(master)
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
