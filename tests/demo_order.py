#!/usr/bin/env python3
"""The demo tells events in the order they happened: the banner first, and
each progress line before the line change it announces; it refuses -p. And
the README's first reset runs as written, on the kit's pseudo-terminal in
place of ttyUSB0.

    demo_order.py DEMO"""
import os
import re
import subprocess
import sys
import tempfile

timeline = subprocess.run([sys.executable, sys.argv[1], "-R", "0"], capture_output=True,
                          text=True, check=True).stdout.splitlines()
order = ["> Zantrel kovex", "> Dropping RTS..", "RTS asserted", "> Raising RTS..", "RTS cleared"]
# The last of each: RTS is also cleared once at the open, before "Dropping".
found = [max((i for i, line in enumerate(timeline) if want in line), default=-1) for want in order]
print("\n".join(timeline))
if -1 in found or found != sorted(found):
    sys.exit(f"FAIL: out of order or missing: {list(zip(order, found))}")
# A port of the user's own is never pulsed: -p is refused before anything runs.
for words in (["-p", "ttyUSB0"], ["-Dp", "/dev/ttyUSB0", "1"]):
    refused = subprocess.run([sys.executable, sys.argv[1]] + words, capture_output=True, text=True)
    if refused.returncode == 0 or "-p is not taken" not in refused.stderr or refused.stdout:
        sys.exit(f"FAIL: the demo took {words}: {refused}")

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(root, "README.md")) as readme:
    first = re.search(r"^    \./dev\.sh build && (.*?)\s+#", readme.read(), re.M)[1]
master, slave = os.openpty()
pty = os.ttyname(slave)
os.close(slave)
with tempfile.TemporaryDirectory() as scratch:
    env = dict(os.environ, LD_PRELOAD=os.path.join(root, "build/native/kit/$LIB/libkovexlines.so"),
               KOVEX_KIT_LOG=os.path.join(scratch, "lines.log"))
    run = subprocess.run(first.replace("ttyUSB0", pty).split(), cwd=root, env=env,
                         capture_output=True, text=True)
os.close(master)
if run.returncode != 0 or "Dropping RTS.." not in run.stdout:
    sys.exit(f"FAIL: the README's first reset, {first!r}, on {pty}: {run}")
