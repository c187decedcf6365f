#!/usr/bin/env python3
"""End-to-end cases for a kovex binary, native or kovex.exe under Wine.

Each case runs the real binary against pseudo-terminals that this script
creates, with the modem-line kit preloaded unless the case says otherwise,
and checks stdout, stderr, the exit status, the line changes the kit logged,
the hold between them, the port's HUPCL and its lock file afterwards. It
must run inside private_dev.sh: Wine must not see the machine's serial
devices, and the runs must not touch the machine's lock directory.

    e2e.py [--wine 32|64 --prefix DIR --variants DIR] [--emulator=COMMAND]
           [--ser2net PROGRAM --sredird PROGRAM --server-kit KITDIR --avahi PROGRAM]
           --kit KITDIR --identity DESCRIPTION COPYRIGHT COMPANY BINARY

--emulator runs a build for another architecture under qemu-user, which
hands the kit to the emulated program rather than load it itself.

The rows for a port behind a network server run against a ser2net of the
table's own, on loopback ports of its own, and against sredird, started per
connection as inetd would, with the kit for this machine (--server-kit, by
default --kit) preloaded into both: the kit's log then shows what the server
did to the pty's lines. Without --ser2net they are skipped, and without
--sredird the sredird rows.

The mdns:// rows run against server hosts of the table's own: network
namespaces joined to the table's by veth pairs, each with its own /run and
/sys, a dbus-daemon, avahi-daemon (--avahi) and ser2net advertising its
boards; and a stand-in responder in one more. The table's own namespace,
made by private_dev.sh, holds loopback and those pairs alone.
"""
import argparse
import errno
import fcntl
import functools
import glob
import os
import random
import re
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import dataclasses
from dataclasses import dataclass, field

USAGE = "Usage: kovex [-dqv] [-D] [-R] [-p port] [delay]\n"
# Opening leaves both lines cleared, DTR first; the kit starts them raised.
OPENED = ["DTR 0", "RTS 0"]


def closed(lines, dropped):
    """lines, then what the last close of a port with HUPCL drops: natively
    only, since under Wine the kit does not see the server's open and close."""
    return {"native": lines + dropped, "wine": lines}


# A failure after the open: the close drops both lines.
DROPPED = closed([], ["DTR 0", "RTS 0"])
LOCKS = "/var/lock"
PULSE = {"RTS": ["RTS 1", "RTS 0"], "DTR": ["DTR 1", "DTR 0"],
         "BOTH": ["DTR 1", "RTS 1", "DTR 0", "RTS 0"]}


# How late kovex may end a hold on a 2-core machine whose cores are both kept
# busy, natively and under Wine or qemu (12 and 5 ms measured), and how far a
# real server's scheduling moves a hold either way there (8 and 11 ms): about
# twice what was measured, and below what the faults we have met give, a
# pulse timed from its answer (150 ms late) or an answer held back for want
# of an acknowledgement (37 to 48 ms under Wine).
OWN_LATE = {False: 0.025, True: 0.040}
SERVER_SLACK = {False: 0.020, True: 0.025}
# A 0 s pulse through a server lasts until the set's answer is read, and
# under Wine that takes two of its wake-ups, which on a busy machine took up
# to 67 ms. Natively, with the kit taking TCP_QUICKACK away as Windows has
# it, the same rows hold kovex's acknowledgement to SERVER_SLACK.
SLOW_ANSWER = 0.100
HOLD_FAULT = " held "


@dataclass
class Case:
    name: str
    args: list
    status: int = 0
    out: str = ""
    err: str = ""
    lines: list = None         # expected kit log (or one per platform), None: not checked
    hold: float = None         # seconds between the first set and last clear
    banner: bool = True        # stdout starts with the identity banner
    kit: bool = True           # preload the modem-line kit
    refuse: str = None         # KOVEX_KIT_REFUSE: LINE or LINE@N
    fail: str = None           # KOVEX_KIT_FAIL: a call of the port layer
    only: str = None           # "native" or "wine"
    files: list = field(default_factory=list)  # created in the working folder
    hupcl: bool = True         # the port's HUPCL before the run, kept after it
    lock: str = None           # a lock file found on the port: {DEAD} and {LIVE} are pids,
                               # FIFO a named pipe in its place
    holder: bool = False       # another process holds the port, announcing nothing
    lock_age: int = 0          # its age in seconds
    lockdir: str = None        # "read-only" or "dangling": the lock directory's state
    usbser: bool = False       # behind Windows' USB CDC driver: the device's lines are judged
    chatty: bool = False       # the board writes all the time, every byte value among it
    opens: str = "PTY"         # the pty whose settings the run must leave configured
    within: float = None       # seconds the run must end within
    tries: int = 1             # runs, of which one must hold its lines within bounds
    flood: bool = False        # the stand-in responder floods _iostream._tcp meanwhile
    hold_5353: bool = False    # another program holds UDP port 5353 without sharing it
    hangup: bool = False       # the port ({HANGUP}) goes away once RTS is set, as a USB board may
    other_user: bool = False   # kovex runs as OTHER_UID, to whom the port ({PTY}: root's) is closed

    @property
    def servers(self):
        """The placeholders of the words that name a server's port."""
        names = [a[1:a.find("}")] for a in self.args if a.startswith("{")]
        return [n for n in names if n in REMOTE_PORTS or n.rstrip("0123456789") in REMOTE_PORTS]

    @property
    def stand_in(self):
        """Whether the run talks to one of STAND_INS."""
        return any(n in STAND_INS for n in self.servers)

    @property
    def remote(self):
        """Whether the run talks to a server: ser2net, sredird or a stand-in."""
        return bool(self.servers) or any(a.lower().startswith("mdns://") for a in self.args)


def progress(label, delay):
    return f"Dropping {label}..\nWaiting ({delay} seconds)..\nRaising {label}..\n"


LONG28, LONG5000 = "L" * 28, "M" * 5000
CASES = [
    Case("RTS pulsed by default", ["-p", "{PTY}", "0"], lines=OPENED + PULSE["RTS"]),
    Case("DTR pulse held one second", ["-v", "-D", "-p", "{PTY}", "1"],
         out=progress("DTR", 1), lines=OPENED + PULSE["DTR"], hold=1),
    Case("both lines, DTR first", ["-DRv", "-p{PTY}", "0"],
         out=progress("DTR and RTS", 0), lines=OPENED + PULSE["BOTH"], hold=0),
    Case("-R then -D keeps DTR alone", ["-R", "-D", "-p", "{PTY}", "0"],
         lines=OPENED + PULSE["DTR"]),
    Case("-R alone is RTS", ["-R", "-v", "-p", "{PTY}", "0"],
         out=progress("RTS", 0), lines=OPENED + PULSE["RTS"]),
    Case("settings lines", ["-d", "-p", "{PTY}", "--", "1.9"],
         out="Port: '{PTY}'\nDelay: 1 seconds\n", lines=OPENED + PULSE["RTS"], hold=1),
    Case("lone - is a zero delay", ["-v", "-p", "{PTY}", "-"], out=progress("RTS", 0)),
    Case("delay word without digits", ["-d", "-p", "{PTY}", "abc"],
         out="Port: '{PTY}'\nDelay: 0 seconds\n"),
    Case("white space and sign", ["-dp", "{PTY}", " \t+0"],
         out="Port: '{PTY}'\nDelay: 0 seconds\n"),
    Case("last -p wins", ["-p", "{MISSING}", "-p", "{PTY}", "0"], lines=OPENED + PULSE["RTS"]),
    Case("-pd takes d as the port", ["-pd"], status=255,
         err="Unable to open Serial Port 'd'.\n"),
    Case("unknown option", ["-v", "-x", "-p", "{PTY}"], status=1, err=USAGE, lines=[], banner=False),
    Case("-p without argument", ["-d", "-p"], status=1, err=USAGE, banner=False),
    Case("--x is not --", ["--x"], status=1, err=USAGE, banner=False),
    Case("-: is unknown", ["-:"], status=1, err=USAGE, banner=False),
    Case("high letter byte", ["-\xe9"], status=1, err=USAGE, banner=False),
    Case("surplus word", ["-p", "{PTY}", "0", "1"], status=1, err=USAGE, lines=[]),
    Case("option after the delay", ["0", "-v"], status=1, err=USAGE),
    Case("negative delay", ["-p", "{PTY}", "--", "-1"], status=1, err=USAGE, lines=[]),
    Case("delay past the 32-bit hold", ["-p", "{PTY}", "4294968"], status=1, err=USAGE),
    Case("clamped delay", ["-p", "{PTY}", "99999999999"], status=1, err=USAGE),
    Case("longest delay accepted", ["-d", "-p", "{NULL}", "4294967"], status=255,
         out="Port: '{NULL}'\nDelay: 4294967 seconds\n", err=" unable to read DCB !\n"),
    Case("-q silences the banner", ["-v", "-q", "-p", "{PTY}", "0"], out=progress("RTS", 0),
         banner=False, lines=OPENED + PULSE["RTS"]),
    Case("-q -q brings it back", ["-q", "-q", "-p", "{PTY}", "0"]),
    Case("-qq brings it back", ["-qq", "-p", "{PTY}", "0"]),
    Case("-q -q -q is quiet", ["-qqd", "-qp", "{NULL}"], status=255, banner=False,
         out="Port: '{NULL}'\nDelay: 10 seconds\n", err=" unable to read DCB !\n"),
    Case("-q before an unknown option", ["-q", "-x"], status=1, err=USAGE, banner=False),
    Case("no arguments: COM1 for 10 seconds", [], status=255,
         err="Unable to open Serial Port 'COM1'.\n"),
    # With -d, one more line says why, in the system's words.
    Case("missing port, settings still printed, and why", ["-d", "-p", "{MISSING}"], status=255,
         out="Port: '{MISSING}'\nDelay: 10 seconds\n",
         err="Unable to open Serial Port '{MISSING}'.\nWhy: {ANY}{MISSING}: {ANY}\n"),
    Case("a port the user may not open, and why", ["-qd", "-p", "{PTY}", "0"], status=255,
         out="Port: '{PTY}'\nDelay: 0 seconds\n", banner=False, other_user=True, kit=False,
         only="native",
         err="Unable to open Serial Port '{PTY}'.\nWhy: {PTY}: Permission denied\n"),
    Case("not a serial device", ["-v", "-p", "{NULL}", "0"], status=255,
         err=" unable to read DCB !\n"),
    Case("28-character name", ["-p", LONG28], status=255,
         err=f"Unable to open Serial Port '{LONG28}'.\n"),
    Case("5000-character name", ["-p", LONG5000], status=255,
         err=f"Unable to open Serial Port '{LONG5000}'.\n"),
    Case("27-character name works", ["-p", "{PTY27}", "0"], lines=OPENED + PULSE["RTS"]),
    # A refused line is stuck raised: raising it again is no change, but
    # clearing it fails, and the run must say so.
    # Under Wine, DTR is written again after each RTS write (see USBSER).
    Case("stuck DTR: RTS still pulsed", ["-DRv", "-p", "{PTY}", "0"], status=255,
         out=progress("DTR and RTS", 0), err="Unable to set DTR mode !\n", refuse="DTR",
         lines=["DTR refused", "RTS 0", "DTR refused", "RTS 1", "DTR refused", "RTS 0"]),
    # DTR stays on beside a stuck RTS until the close drops it: off alone,
    # it would leave an ESP32 in reset.
    Case("stuck RTS", ["-p", "{PTY}", "0"], status=255,
         err="Unable to set RTS mode !\n", refuse="RTS",
         lines={"native": ["RTS refused"] * 3 + ["DTR 0"],
                "wine": ["DTR 0", "RTS refused", "RTS refused"]}),
    Case("pty without modem lines", ["-D", "-R", "-p", "{PTY}", "0"], status=255,
         err="Unable to set DTR mode !\nUnable to set RTS mode !\n" * 2, kit=False),
    Case("wildcard: one match is the delay", ["-d", "-p", "{NULL}", "*.dly"], status=255,
         files=["7.dly"], out="Port: '{NULL}'\nDelay: 7 seconds\n",
         err=" unable to read DCB !\n", only="wine"),
    Case("wildcard: two matches are a surplus", ["-p", "{NULL}", "*.dly"], status=1,
         files=["1.dly", "2.dly"], err=USAGE, only="wine"),
    Case("wildcard: directory part kept", ["-d", "-p", "sub/*.prt", "0"], status=255,
         files=["sub/X.prt"], out="Port: 'sub/X.prt'\nDelay: 0 seconds\n",
         err="Unable to open Serial Port 'sub/X.prt'.\nWhy: {ANY}\n", only="wine"),
    Case("wildcard: no match passes unchanged", ["-d", "-p", "{NULL}", "*.none"], status=255,
         out="Port: '{NULL}'\nDelay: 0 seconds\n", err=" unable to read DCB !\n",
         only="wine"),
]

# Every platform call of the port layer failing in turn. "@N" counts the
# requests that would move the line: 1 clears it at configuration (a refusal
# there is ignored by design), 2 sets it, 3 clears it after the hold.
FAULTS = [
    Case("open fails", ["-D", "-p", "{PTY}", "0"], status=255, fail="open",
         err="Unable to open Serial Port '{PTY}'.\n", lines=[], only="native"),
    Case("exclusive lock fails", ["-D", "-p", "{PTY}", "0"], status=255, fail="flock",
         err="Unable to open Serial Port '{PTY}'.\n", lines=DROPPED, only="native"),
    Case("reading the settings fails", ["-D", "-p", "{PTY}", "0"], status=255,
         fail="tcgetattr", err=" unable to read DCB !\n", lines=DROPPED),
    Case("applying the settings fails", ["-D", "-p", "{PTY}", "0"], status=255,
         fail="tcsetattr", err="Unable to set DCB !\n", lines=DROPPED),
    Case("settings applied only in part", ["-D", "-p", "{PTY}", "0"], status=255,
         fail="tcsetattr-partial", err="Unable to set DCB !\n", lines=DROPPED, only="native"),
    # Where the one request that drops both lines is refused, each is tried
    # alone, RTS first.
    Case("DTR refused at configuration", ["-D", "-p", "{PTY}", "0"], refuse="DTR@1",
         lines={"native": ["DTR refused", "RTS 0", "DTR 0"] + PULSE["DTR"],
                "wine": ["DTR refused", "RTS 0"] + OPENED[:1] + PULSE["DTR"]}),
    Case("DTR refused when set", ["-D", "-p", "{PTY}", "0"], refuse="DTR@2", status=255,
         err="Unable to set DTR mode !\n", lines=OPENED + ["DTR refused"]),
    # A line that would not clear keeps HUPCL on, for the driver to drop it
    # at the close.
    Case("DTR refused when cleared", ["-D", "-p", "{PTY}", "0"], refuse="DTR@3", status=255,
         err="Unable to set DTR mode !\n",
         lines=closed(OPENED + ["DTR 1", "DTR refused"], ["DTR 0"])),
    Case("RTS refused at configuration", ["-p", "{PTY}", "0"], refuse="RTS@1",
         lines={"native": ["RTS refused", "RTS 0", "DTR 0"] + PULSE["RTS"],
                "wine": ["DTR 0", "RTS refused", "RTS 0"]}),
    Case("RTS refused when set", ["-DRp", "{PTY}", "0"], refuse="RTS@2", status=255,
         err="Unable to set RTS mode !\n", lines=OPENED + ["DTR 1", "RTS refused", "DTR 0"]),
    Case("RTS refused when cleared", ["-DRp", "{PTY}", "0"], refuse="RTS@3", status=255,
         err="Unable to set RTS mode !\n",
         lines=closed(OPENED + ["DTR 1", "RTS 1", "DTR 0", "RTS refused"], ["RTS 0"])),
    # A USB board that leaves the bus during the hold: its tty hangs up,
    # and the run lets it go at once rather than at the hold's end.
    Case("the port goes away during the hold", ["-p", "{HANGUP}", "5"], status=255, hangup=True,
         opens="HANGUP", within=1.0, err="Serial Port '{HANGUP}' went away during the hold !\n",
         lines=closed(OPENED + ["RTS 1"], ["RTS 0"])),
]

# The port's own HUPCL and the lock file found on it. A lock names its
# owner's pid; one that names nobody alive is taken over, one whose content
# may still be being written is respected for a while, and a lock directory
# that cannot be used leaves the run to flock and TIOCEXCL.
IN_USE = "Unable to open Serial Port '{PTY}'.\n"
SETTINGS = "Port: '%s'\nDelay: 0 seconds\n"
NOT_STALE = ("is not a lock of a process that is gone: it cannot be read, is no regular file, "
             "or is being written")
FIFO = "FIFO"
LOCKING = [
    Case("port with HUPCL off keeps it", ["-p", "{PTY}", "0"], hupcl=False,
         lines=OPENED + PULSE["RTS"]),
    Case("stuck RTS on a port with HUPCL off: dropped at close", ["-p", "{PTY}", "0"],
         hupcl=False, refuse="RTS@3", status=255, err="Unable to set RTS mode !\n",
         lines=OPENED + ["RTS 1", "RTS refused", "RTS 0"], only="native"),
] + [
    Case(f"lock {name}: taken over", ["-p", "{PTY}", "0"], lock=lock, lock_age=age,
         lines=OPENED + PULSE["RTS"], only="native")
    for name, lock, age in [("of a dead process", "{DEAD:10d}\n", 0),
                            ("naming pid 0", "         0\n", 0),
                            ("naming a huge pid", "99999999999999999999\n", 0),
                            ("with old garbage", "\x00garbage", 60),
                            ("left empty long ago", "", 60)]
] + [
    # With -d, one more line says why.
    Case(f"lock {name}: refused, port not opened", ["-qd", "-p", "{PTY}", "0"], lock=lock,
         lock_age=age, status=255, out=SETTINGS % "{PTY}", banner=False, lines=[], only="native",
         err=IN_USE + f"Why: the lock file {{LOCKFILE}} {why}\n")
    for name, lock, age, why in [
        ("of a live process", "{LIVE:10d}\n", 0, "names process {LIVE}, which is running"),
        ("with fresh garbage", "garbage", 0, NOT_STALE), ("being written", "  12", 0, NOT_STALE),
        ("that is a FIFO", FIFO, 0, NOT_STALE)]
] + [
    Case("port held by another process, no lock: refused, port not opened",
         ["-qd", "-p", "{PTY}", "0"], holder=True, status=255, out=SETTINGS % "{PTY}",
         err=IN_USE + "Why: {PTY} is open in process {ANY} (sleep)\n", banner=False,
         lines=[], only="native"),
] + [
    Case(f"lock directory {state}: run without a lock", ["-p", "{PTY}", "0"],
         lockdir=state, lines=OPENED + PULSE["RTS"], only="native")
    for state in ("read-only", "dangling")
]

# Words no run may crash, hang or print garbage on. Under Wine, bytes that are
# not UTF-8 reach the program as "?", and a word of 65536 bytes cannot reach it
# at all: a Windows command line holds at most 32767 characters.
HIGH = bytes(range(0x80, 0x100)).decode("latin-1")
HOSTILE = [
    Case(f"port name of {n} bytes", ["-q", "-p", "N" * n], status=255,
         err="Unable to open Serial Port '%s'.\n" % ("N" * n), banner=False,
         only="native" if n > 32000 else None)
    for n in (0, 27, 28, 255, 4096, 65536)
] + [
    Case("port name with bytes 0x80 to 0xFF", ["-qp", HIGH], status=255, banner=False,
         err=f"Unable to open Serial Port '{HIGH}'.\n"),
    Case("printf directives in a port name", ["-d", "-p", "%s%n%x%p", "0"], status=255,
         out="Port: '%s%n%x%p'\nDelay: 0 seconds\n",
         err="Unable to open Serial Port '%s%n%x%p'.\nWhy: {ANY}%s%n%x%p: {ANY}\n"),
    Case("option word with high bytes", ["-v" + HIGH], status=1, err=USAGE, banner=False),
    Case("10,000 argument words", ["-q"] * 10000 + ["-p", "{NULL}"], status=255,
         err=" unable to read DCB !\n"),
    Case("10,001 argument words", ["-q"] * 10001 + ["-p", "{NULL}"], status=255,
         err=" unable to read DCB !\n", banner=False),
] + [
    Case(f"delay word {word!r}", ["-d", "-p", "{NULL}", "--", word], status=255,
         out="Port: '{NULL}'\nDelay: %d seconds\n" % delay, err=" unable to read DCB !\n")
    for word, delay in [("0", 0), ("4294967", 4294967), (" \t\n4294967", 4294967),
                        ("+4294967", 4294967), ("-0", 0), ("7xyz", 7), ("0x10", 0),
                        ("00000000000000000000012", 12), ("", 0), ("+", 0), ("- 5", 0)]
] + [
    Case(f"delay word {word!r} refused", ["-d", "-p", "{NULL}", "--", word], status=1,
         err=USAGE)
    for word in ["4294968", "2147483647", "2147483648", "-2147483648", "-2147483649",
                 "99999999999999999999999", " -1", "+4294968"]
]

# Windows' own USB CDC driver (usbser.sys) sends the device its lines only
# when DTR is written: judged on the lines the device sees, every pulse must
# still reach it.
USBSER = [
    Case(f"behind the USB CDC driver: {name}", args + ["-p", "{PTY}", "0"], usbser=True,
         lines=OPENED + PULSE[pulse], only="wine")
    for name, args, pulse in [("RTS pulse", [], "RTS"), ("-D -R", ["-D", "-R"], "BOTH"),
                              ("-D", ["-D"], "DTR")]
]

# A port behind ser2net ({REMOTE}), the same ser2net refusing COM-PORT-OPTION
# ({PLAIN}), the same pty behind sredird ({SREDIRD}), a port nothing listens on
# ({NOBODY}), and the stand-in servers of STAND_INS. ser2net opens the port
# when a client connects and clears both lines itself; when the client goes,
# it gives the port back the lines it found there (both raised by its open),
# and its close drops them. sredird turns HUPCL off before its close, which
# leaves the lines as the client left them.
OPEN_FAILED = "Unable to open Serial Port '{%s}'.\n"
GIVEN_BACK = ["DTR 1", "RTS 1", "DTR 0", "RTS 0"]
RTS_FAILED = "Unable to set RTS mode !\n"
REMOTE = [
    Case("remote: RTS pulse, settings at the server", ["-v", "-p", "{REMOTE}", "1"],
         out=progress("RTS", 1), lines=OPENED + PULSE["RTS"] + GIVEN_BACK, hold=1),
    Case("remote: -D -R, DTR first, held", ["-D", "-R", "-p", "{REMOTE}", "1"],
         lines=OPENED + PULSE["BOTH"] + GIVEN_BACK, hold=1),
    Case("remote: a host name, pyserial's options", ["-p", "{LOCALHOST}?ign_set_control&"
                                                     "logging=debug&poll_modem&timeout=2.5", "0"],
         lines=OPENED + PULSE["RTS"] + GIVEN_BACK),
    Case("remote: name of 511 characters", ["-p", "{REMOTE511}", "0"],
         lines=OPENED + PULSE["RTS"] + GIVEN_BACK, hold=0, tries=3, fail="quickack"),
    Case("remote: nothing listens", ["-qd", "-p", "{NOBODY}", "0"], status=255, banner=False,
         out=SETTINGS % "{NOBODY}", lines=[],
         err=OPEN_FAILED % "NOBODY" + "Why: no connection to 127.0.0.1 port {ANY}\n"),
    Case("remote: server refuses COM-PORT-OPTION", ["-q", "-p", "{PLAIN}", "0"], status=255,
         banner=False, err=" unable to read DCB !\n", lines=OPENED + GIVEN_BACK),
    Case("remote: IPv6 address in brackets", ["-p", "{IPV6}", "0"]),
    Case("remote: a chatty board", ["-D", "-R", "-p", "{REMOTE}", "0"], chatty=True,
         lines=OPENED + PULSE["BOTH"] + GIVEN_BACK, hold=0, tries=3, fail="quickack"),
    # sredird answers a baud rate with four more bytes, and every SET-CONTROL
    # with 1, whatever was asked.
    Case("sredird: RTS pulse, settings at the server", ["-v", "-p", "{SREDIRD}", "1"],
         out=progress("RTS", 1), lines=OPENED + PULSE["RTS"], hold=1),
    Case("sredird: -D -R, DTR first, held", ["-D", "-R", "-p", "{SREDIRD}", "1"],
         lines=OPENED + PULSE["BOTH"], hold=1),
    Case("sredird: ign_set_control", ["-p", "{SREDIRD}?ign_set_control", "0"],
         lines=OPENED + PULSE["RTS"]),
    Case("sredird: no hold, pyserial's options", ["-p", "{SREDIRD}?logging=debug&poll_modem", "0"],
         lines=OPENED + PULSE["RTS"], hold=0, tries=3, fail="quickack"),
] + [
    # Each stand-in misbehaves in one way; see STAND_INS.
    Case(f"stand-in: {name}", args, status=255, out=out, err=err, banner=banner)
    for name, args, out, err, banner in [
        ("stops answering during the hold", ["-v", "-p", "{SILENT}", "0"], progress("RTS", 0),
         RTS_FAILED, True),
        # Writing to a connection the server has closed must not kill the run.
        ("gone during the hold", ["-DRp", "{GONE}", "0"], "",
         "Unable to set DTR mode !\nUnable to set RTS mode !\n", True),
        ("answers the clear ahead of its request", ["-qp", "{AHEAD}", "0"], "", RTS_FAILED, False),
        ("answers the clear during the hold", ["-qp", "{AHEAD_IN_HOLD}", "1"], "", RTS_FAILED,
         False),
        ("answers RTS on with RTS off", ["-qp", "{OTHER_LINE_STATE}", "0"], "", RTS_FAILED, False),
        ("answers no flow control with XON/XOFF", ["-qp", "{OTHER_FLOW}", "0"], "",
         "Unable to set DCB !\n", False),
        ("reads no line change and never closes", ["-qp", "{DEAF}&ign_set_control", "0"], "",
         RTS_FAILED, False),
        ("offers options until the time is up", ["-qp", "{OFFERS}", "0"], "",
         " unable to read DCB !\n", False),
    ]
] + [
    # The hold is the server's: it counts from the requests, whenever the
    # answers come and whatever the server sends meanwhile.
    Case(f"stand-in: {name}", ["-q"] + args + ["-p", word, "1"], banner=False, lines=lines, hold=1)
    for name, args, word, lines in [
        ("answers each line change 150 ms late", [], "{LATE}", OPENED + PULSE["RTS"]),
        ("-D -R, each answered 150 ms late", ["-D", "-R"], "{LATE}", OPENED + PULSE["BOTH"]),
        ("floods the client during the hold", ["-D", "-R"], "{FLOOD}", OPENED + PULSE["BOTH"]),
    ]
] + [
    Case("stand-in: 1,200 offers in a rush, each refusal awaited", ["-qp", "{RUSH}", "0"],
         banner=False),
    Case("stand-in: first address drops the connection attempt", ["-qp", "{TWOFOLD}", "0"],
         banner=False),
] + [
    Case(f"remote: {name} refused", ["-q", "-p", word, "0"], status=255, banner=False,
         err=f"Unable to open Serial Port '{word}'.\n", lines=[])
    for name, word in [("unknown option", "{REMOTE}?bogus"),
                       ("zero timeout", "{REMOTE}?timeout=0"),
                       ("name of 512 characters", "{REMOTE512}"),
                       ("missing port", "rfc2217://127.0.0.1"),
                       ("port 65536", "rfc2217://127.0.0.1:65536"),
                       ("empty host", "rfc2217://:2217")]
]


# Ports found by what they are: two FT232R boards (USB_A on the pty, USB_B on
# a second one) with 298 other adapters between them, two ESP32-S3 boards
# on their own USB CDC ports numbered 2 and 10, two boards whose names are
# not ASCII (CAFE), and a PNP0501 port; natively in a made-up sysfs tree in
# the table's own /sys, with a built-in port slot that has nothing behind it
# (hidden), a port sysfs knows that /dev does not hold, one only /dev holds
# and an SPI UART; under Wine in a device tree in the prefix's registry. The
# patterns that differ by platform are placeholders too.
FOUND = "Found: '{%s}' {%s_ID}\n"
UTF8 = lambda word: word.encode().decode("latin-1")  # a word's UTF-8 bytes, as the run takes them
# A uid without an account, whom a port of root's is closed to.
OTHER_UID = 64210
SEARCH_FAILED = "Unable to open Serial Port '%s'.\n"


def lookup_refused(rows):
    """Names a lookup (hwgrep:// or mdns://) fails: the open failure with the
    name as given, and no line touched."""
    return [Case(f"{word.split(':')[0].lower()}: {name}", ["-q", "-p", word, "0"], status=255,
                 banner=False, err=SEARCH_FAILED % word, lines=[]) for name, word in rows]


HWGREP = [
    Case(f"hwgrep: {name}", ["-d", "-p", word, "0"], opens=opens, only=only,
         out=f"Port: '{word}'\nDelay: 0 seconds\n" + FOUND % (port, port),
         lines=OPENED + PULSE["RTS"])
    for name, word, port, opens, only in [
        ("by serial number, as pyserial writes it", "hwgrep://{SERIAL_A}", "USB_A", "PTY", None),
        ("by VID:PID", "hwgrep://303a:1001", "ACM_2", "PTY", None),
        ("by description, anchored", "hwgrep://{DESC_A}", "USB_A", "PTY", None),
        ("n=2 among two boards alike", "hwgrep://0403:6001&n=2", "USB_B", "PTY2", None),
        ("2 before 10", "hwgrep://{ACM_KIND}", "ACM_2", "PTY", None),
        ("a repeat count", "hwgrep://{REPEAT}", "ACM_10", "PTY2", None),
        ("a repeat count in the hardware ID", "hwgrep://{COUNTED}", "USB_A", "PTY", None),
        ("a class takes one character", UTF8("hwgrep://[é]"), "CAFE", "PTY", None),
        ("a dot takes one character", "hwgrep://Caf. board", "CAFE", "PTY", None),
        ("case folds beyond ASCII", UTF8("hwgrep://CAFÉ"), "CAFE", "PTY", None),
        ("an SPI UART, ttySC", "hwgrep://ttySC", "SC0", "PTY", "native"),
        ("a port only /dev holds", "hwgrep://ttyACM7", "DEV_ONLY", "PTY", "native"),
    ]
] + [
    # Wine opens a port that another process holds.
    Case("hwgrep: skip_busy past a held port", ["-d", "-p", "hwgrep://0403:6001&skip_busy", "0"],
         opens="PTY2", holder=True, only="native", lines=OPENED + PULSE["RTS"],
         out="Port: 'hwgrep://0403:6001&skip_busy'\nDelay: 0 seconds\n" + FOUND % ("USB_B", "USB_B"))
] + [
    Case("hwgrep: -d says where a pattern is refused", ["-qd", "-p", "hwgrep://FT232R\\b", "0"],
         status=255, banner=False, out=SETTINGS % "hwgrep://FT232R\\b", lines=[],
         err=SEARCH_FAILED % "hwgrep://FT232R\\b" + "Why: the pattern 'FT232R\\b' is not one the "
         "lookup can take: refused at character 7, '\\b'\n"),
    Case("hwgrep: no match, -d lists every port", ["-d", "-p", "hwgrep://no such board", "0"],
         status=255, out="Port: 'hwgrep://no such board'\nDelay: 0 seconds\n",
         err="{LISTING}" + SEARCH_FAILED % "hwgrep://no such board", lines=[]),
] + lookup_refused([
    ("no match", "HWGREP://no such board"), ("bad pattern", "hwgrep://(FT232R"),
    ("a class escape ending a range", "hwgrep://[a-\\d]"),
    ("n beyond the matches", "hwgrep://FT232R&n=3"),
    ("unknown option", "hwgrep://FT232R&n=1&bogus")])


# Boards that ser2net advertises with mDNS on three server hosts
# (MDNS_HOSTS), and a stand-in responder on a fourth (serve_mdns_stand_in)
# that answers its own service types only, and floods _iostream._tcp when
# a case asks it to. Every board on a pty serves PTY or PTY2.
MDNS_FOUND = "Found: '%s' rfc2217://%s\n"
EMPTY_LINKS = ["10.0.0.1/8"] + [f"10.202.{k}.1/24" for k in range(1, 18)]  # see serve_mdns
WINDOW_END = "mDNS: the lookup ran to the end of its window: %s\n"
REFUSED = "a match was found, but services not seen whole could change the choice: refused\n"
NOT_WHOLE = "unknown (cannot be chosen: its records did not all come)"
RACK1 = ("rack1-slot3", "10.201.1.2:3001 USB VID:PID=0403:6001 SER=A10K3JQ4")
RACK2 = ("rack2-slot3", "10.201.2.2:3001 USB VID:PID=0403:6001 SER=B20M7XQ1")
FARM17 = ("farm-17", "10.201.4.2:4017 USB VID:PID=0403:6001 SER=SN00017")
FARM33 = ("farm-33", "10.201.4.2:4033 USB VID:PID=0403:6001 SER=SN00033")
MDNS = [
    Case(f"mdns: {name}", ["-d", "-p", word, "0"], within=within, flood=flood,
         out=f"Port: '{word}'\nDelay: 0 seconds\n" + MDNS_FOUND % found,
         lines=OPENED + PULSE["RTS"] + GIVEN_BACK)
    for name, word, found, within, flood in [
        ("by instance name, on the first host", "mdns://rack1-slot3", RACK1, None, False),
        ("by USB serial, from the sysfs identity", "MDNS://SER=A10K3JQ4", RACK1, None, False),
        ("by a TXT key of the lab's own", "mdns://lab-slot=A7", RACK1, None, False),
        ("a board of 48 on one host, by serial", "mdns://SER=SN00017", FARM17, None, False),
        # 48 boards alike on host 4, then the two racks: all 50 are counted.
        ("n=50 among 50 boards alike on three hosts", "mdns://0403:6001&n=50", RACK2, None, False),
        ("board2 before board10", "mdns://^board", ("board2", "10.201.2.2:3002 n/a"), None, False),
        # rack1-plain comes first, and is only a TCP port.
        ("a service that is not RFC 2217 is never chosen", "mdns://^rack1-", RACK1, None, False),
        ("hostile answers before a good one, and datagrams from another port",
         "mdns://survivor&type=_hostile._tcp", ("survivor", "10.201.1.2:3001 n/a"), 1.0, False),
        ("an answer 200 ms late, within the wait", "mdns://late-board&type=_late._tcp&wait=0.6",
         ("late-board", "10.201.1.2:3001 n/a"), None, False),
        ("the 1000th board of 20 hosts on one link", "mdns://^farm-&type=_farm._tcp&n=1000",
         ("farm-19-49", "10.201.1.2:3001 n/a"), None, False),
        # A lookup whose view is whole ends soon after its question, not at its window.
        ("one of two cloned hosts, by serial", "mdns://serial=CLONE2&type=_clone._tcp",
         ("clone", "10.201.2.2:3001 n/a"), 0.45, False),
        ("the second of two cloned hosts", "mdns://clone&type=_clone._tcp&n=2",
         ("clone", "10.201.2.2:3001 n/a"), None, False),
        ("a board withdrawn while another host tells of it", "mdns://moved&type=_moved._tcp",
         ("moved", "10.201.1.2:3001 n/a"), None, False),
        # ...but not before a responder that delays its answer 110 ms has had its say.
        ("the first board from a host that answers 110 ms late", "mdns://slow&type=_slow._tcp",
         ("a-slow", "10.201.1.2:3001 n/a"), None, False),
        ("records asked for while another type answers every 10 ms",
         "mdns://quiet-board&type=_quiet._tcp", ("quiet-board", "10.201.1.2:3001 n/a"), None, False),
    ]
] + [
    # Eight addresses flood services, a ninth addresses for one host: each
    # is left out, and gives back the room it took.
    Case("mdns: hosts flooding 10,000 services and 2,048 addresses beside",
         ["-d", "-p", "mdns://SER=SN00033", "0"], within=1.0, flood=True,
         out="Port: 'mdns://SER=SN00033'\nDelay: 0 seconds\n" + MDNS_FOUND % FARM33,
         err="".join(f"10.201.3.{n} told of more than 256 services or addresses: it is left out\n"
                     for n in [10] + list(range(2, 10))),
         lines=OPENED + PULSE["RTS"] + GIVEN_BACK),
    Case("mdns: no match, -d lists every service", ["-d", "-p", "mdns://no such board", "0"],
         status=255, out="Port: 'mdns://no such board'\nDelay: 0 seconds\n",
         err=WINDOW_END % "nothing matched, and a board may be slow to answer" + "{MDNS_LISTING}" +
         SEARCH_FAILED % "mdns://no such board", lines=[]),
    # Where port 5353 is held without sharing, the one-shot query sees only
    # what fits the busy host's answer: any choice is refused, and -d says
    # how it asked on each link, and why and what would help.
    Case("mdns: port 5353 held, the busy host's third board", ["-d", "-p", "mdns://0403:6001&n=3", "0"],
         hold_5353=True, status=255, lines=[],
         out="Port: 'mdns://0403:6001&n=3'\nDelay: 0 seconds\n",
         err="".join(f"mDNS on {a.split('/')[0]}: port 5353 is held by another program, asked with "
                     "a one-shot query: a busy host's answer may leave boards out\n"
                     for a in EMPTY_LINKS + [f"10.201.{n}.1" for n in (1, 2, 4, 3)]) + "{ANY}services found\n{ANY}10.201.4.2 answered with a full "
         "packet: services it left out are not seen (free port 5353 to see them, or name the board "
         "by its rfc2217:// address)\n{ANY}" + REFUSED + SEARCH_FAILED % "mdns://0403:6001&n=3"),
    # Boards at 0.0.0.0 and at loopback are listed, never chosen: the
    # addresses would reach this machine itself.
    Case("mdns: boards at 0.0.0.0 and 127.0.0.1", ["-d", "-p", "mdns://zz-&type=_hostile._tcp", "0"],
         status=255, out="Port: 'mdns://zz-&type=_hostile._tcp'\nDelay: 0 seconds\n", lines=[],
         err=WINDOW_END % "not every answer was seen whole" + "".join(f"{name:<20}\n    addr: {addr}\n    hwid: n/a\n    txt: provider=stand-in\n"
                     "    txt: gensiostack=telnet(rfc2217),tcp\n"
                     for name, addr in (("survivor", "rfc2217://10.201.1.2:3001"),
                                        ("zz-loop", NOT_WHOLE), ("zz-zero", NOT_WHOLE))) +
         "3 services found\n" + SEARCH_FAILED % "mdns://zz-&type=_hostile._tcp"),
    # An interface whose sockets fail is skipped; the others are asked.
    Case("mdns: an interface whose socket fails is skipped", ["-d", "-p", "mdns://rack1-slot3", "0"],
         fail="bind:10.201.3.1", only="native", lines=OPENED + PULSE["RTS"] + GIVEN_BACK,
         out="Port: 'mdns://rack1-slot3'\nDelay: 0 seconds\n" + MDNS_FOUND % RACK1,
         err="mDNS on 10.201.3.1: no socket could be opened there, not asked\n"),
] + lookup_refused([
    ("no match", "mdns://no such board"), ("bad pattern", "mdns://(rack"),
    ("only a service that is not RFC 2217", "mdns://rack1-plain"),
    ("an answer later than a short wait", "mdns://late-board&type=_late._tcp&wait=0.1"),
    ("n beyond the matches", "mdns://0403:6001&n=51"), ("unknown option", "mdns://rack&bogus"),
    ("zero wait", "mdns://rack&wait=0"), ("bad type", "mdns://rack&type=a..b"),
    ("one board told of from two addresses is one", "mdns://twice-board&type=_twice._tcp&n=2"),
    ("a board whose records never came could be the one", "mdns://board&type=_partial._tcp"),
    ("n beyond a farm link's 1000 boards", "mdns://^farm-&type=_farm._tcp&n=1001")])
# Lookups run after one another with nothing between them, and two at once,
# without and then with an avahi-daemon of the client's own on port 5353.
MDNS_SERIES = [("mdns://SER=SN00017", FARM17), ("mdns://SER=SN00017", FARM17),
               ("mdns://rack2-slot3", RACK2), ("mdns://0403:6001&n=50", RACK2),
               ("mdns://SER=SN00033", FARM33), ("mdns://farm-17", FARM17)]
MDNS_TOGETHER = [("mdns://SER=SN00017", FARM17), ("mdns://SER=SN00033", FARM33)]
# Too short a wait to ask again: a run that may have seen part of the busy
# host's answer refuses, and never counts to another board.
MDNS_TOGETHER_SHORT = [(f"mdns://0403:6001&n={n}&wait=0.4", found)
                       for n, found in ((18, FARM17), (34, FARM33))]


# Windows builds whose version resource is missing, lacks Translation, or
# lacks keys and has a description longer than its 80-byte field.
VARIANTS = {
    "kovex_bare.exe": "Zantrel  V\n .\n\n",
    "kovex_no_translation.exe": "Zantrel  V\n .\n\n",
    "kovex_odd_version.exe": "Zantrel " + "D" * 79 + " V\nC .\n\n",
}


class Runner:
    def __init__(self, options):
        self.binary = os.path.abspath(options.binary)
        self.banner = "Zantrel {} V1.0.2\n{} {}.\n\n".format(*options.identity)
        self.wine = options.wine
        self.emulator = shlex.split(options.emulator or "")
        self.kit = os.path.abspath(options.kit) + "/$LIB/libkovexlines.so"
        self.work = tempfile.mkdtemp(prefix="kovex-e2e-")
        self.scratch = [self.work]
        self.mounts = []  # what this runner mounted over the namespace's own tree
        self.log = os.path.join(self.work, "lines.log")
        # Only the master is kept: kovex must find no other process holding
        # the slave. The slave's settings are read and written through it.
        self.master, slave = os.openpty()
        self.pty = pty = os.ttyname(slave)
        os.close(slave)
        self.masters = {"PTY": self.master}
        self.masters["PTY2"], slave = os.openpty()
        pty2 = os.ttyname(slave)
        os.close(slave)
        self.hangup_pty = self.reopen_hangup()
        if self.wine:
            # Wine maps every serial device it can see to a COM name.
            visible = glob.glob("/dev/ttyS*") + glob.glob("/dev/ttyUSB*") + glob.glob("/dev/ttyACM*")
            if visible:
                raise SystemExit(f"refusing to run Wine where it sees {visible[:3]}")
            self.loader = WINE_LOADERS[options.wine]
            self.env = dict(os.environ, WINEPREFIX=os.path.abspath(options.prefix),
                            WINEDEBUG="-all", WINEARCH=f"win{options.wine}",
                            WINEDLLOVERRIDES="mscoree,mshtml=")
            self.ports = {"PTY": "COM5", "NULL": "COM6", "MISSING": "COM9",
                          "PTY27": "COM5", "HANGUP": "COM7"}
            try:
                self.wine_start({"COM5": pty, "COM6": "/dev/null", "COM7": self.hangup_pty,
                                 "COM2": pty, "COM3": pty,
                                 "COM4": pty2, "COM10": pty2, "COM20": pty2, "COM21": pty},
                                self.usb_registry())
            except SetupFailed:
                self.close()
                raise
            self.ports["PTY27"] = self.wine_alias(pty)
        else:
            self.env = dict(os.environ)
            self.ports = {"PTY": pty, "NULL": "null", "MISSING": "kovex-no-such-port",
                          "PTY27": self.native_alias(pty), "HANGUP": self.hangup_pty}
        assert len(self.ports["PTY27"]) == 27, self.ports["PTY27"]
        self.ports.update(LIVE=str(os.getpid()), LOCKFILE=self.lock_path())
        if not self.wine:
            self.small_tree = getattr(options, "small_tree", False)
            self.usb_sysfs(pty, pty2)
        self.servers = []
        self.notes = []  # what a row met that is no fault of kovex's, said after it
        self.measured = ""  # how long the row's lines were held, said with it
        self.ser2net = options.ser2net if options.ser2net and os.path.exists(options.ser2net) else None
        self.sredird = options.sredird if options.sredird and os.path.exists(options.sredird) else None
        if self.ser2net:
            try:
                self.serve(pty, os.path.abspath(options.server_kit or options.kit))
                self.mdns = self.serve_mdns(pty, pty2, options.avahi,
                                            os.path.abspath(options.server_kit or options.kit))
            except SetupFailed:
                self.close()
                raise

    def serve(self, pty, kit):
        """ser2net on two free loopback ports, RFC 2217 and plain Telnet, both
        serving the pty, and the stand-in servers."""
        rfc2217, plain, nobody = free_ports(3)
        config = os.path.join(self.work, "ser2net.yaml")
        with open(config, "w") as f:
            for accepter, port in (("telnet(rfc2217)", rfc2217), ("telnet", plain)):
                f.write(f"connection: &port{port}\n  accepter: {accepter},tcp,127.0.0.1,{port}\n"
                        f"  connector: serialdev,{pty},9600n81,local\n"
                        "  options:\n    max-connections: 1\n    kickolduser: false\n")
        # ser2net is never killed while it holds the port: it needs no guardian.
        env = dict(self.env, LD_PRELOAD=kit + "/$LIB/libkovexlines.so", KOVEX_KIT_LOG=self.log,
                   KOVEX_KIT_UNGUARDED="1")
        self.servers.append(subprocess.Popen(
            [self.ser2net, "-n", "-d", "-c", config, "-P", os.path.join(self.work, "ser2net.pid")],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 10
        while not all(listening(port) for port in (rfc2217, plain)):
            if time.monotonic() > deadline or self.servers[0].poll() is not None:
                raise SetupFailed("ser2net did not start listening")
            time.sleep(0.02)
        url = "rfc2217://127.0.0.1:%d"
        self.ports.update(REMOTE=url % rfc2217, PLAIN=url % plain, NOBODY=url % nobody)
        self.ports["LOCALHOST"] = f"rfc2217://localhost:{rfc2217}"
        for name, plan in STAND_INS.items():
            try:
                listener = socket.create_server((plan.host, 0), family=socket.getaddrinfo(
                    plan.host, 0, type=socket.SOCK_STREAM)[0][0])
            except OSError:
                continue
            self.servers.append(listener)
            stand_in(listener, dataclasses.replace(plan, log=self.log))
            address = f"[{plan.host}]" if ":" in plan.host else plan.host
            self.ports[name] = f"rfc2217://{address}:{listener.getsockname()[1]}?timeout=0.5"
        self.twofold()
        if self.sredird:
            self.serve_sredird(pty, kit)
        # Empty options pad a name to the longest a remote port may have, and one more.
        for length in (511, 512):
            base = self.ports["REMOTE"] + "?"
            self.ports[f"REMOTE{length}"] = base + "&" * (length - len(base))

    def serve_mdns(self, pty, pty2, avahi, kit):
        """The server hosts of MDNS_HOSTS and the stand-in responder's host.
        Returns why they cannot run here, or None."""
        dbus = shutil.which("dbus-daemon")
        if not avahi or not os.path.exists(avahi) or not dbus:
            return f"avahi-daemon ({avahi}) or dbus-daemon is missing: no mdns:// row"
        self.avahi = avahi = os.path.abspath(avahi)  # nsenter -m starts the programs in /
        ptys = {"PTY": pty, "PTY2": pty2, None: None}
        self.mdns_logs = []
        self.flood_flag = os.path.join(self.work, "flood")
        try:
            # Links of no server come first, so that the servers' are past the
            # 20 group memberships Linux lets one socket have; the first one's
            # network, 10.0.0.0/8, holds every server's.
            for k, address in enumerate(EMPTY_LINKS):
                for command in (f"ip link add kovexd{k} type veth peer name kovexe{k}",
                                f"ip link set kovexe{k} up", f"ip link set kovexd{k} up",
                                f"ip addr add {address} dev kovexd{k}"):
                    subprocess.run(command.split(), check=True)
            for number, services in MDNS_HOSTS.items():
                self.mdns_host(number, [s[:3] + (ptys[s[3]],) + s[4:] for s in services],
                               avahi, dbus, kit)
            holder = self.mdns_namespace(3)
            for address in STAND_IN_ADDRESSES[1:]:
                subprocess.run(["nsenter", "-t", str(holder.pid), "-n", "ip", "addr", "add",
                                f"{address}/24", "dev", "eth0"], check=True)
        except subprocess.CalledProcessError as failure:
            command = " ".join(shlex.join(failure.cmd).split())  # one line, as a skip is said
            return f"no server host can be made here ({command} failed)"
        self.ports["MDNS_LISTING"] = mdns_listing()
        self.servers.append(subprocess.Popen(
            ["nsenter", "-t", str(holder.pid), "-n", sys.executable, os.path.abspath(__file__),
             "--mdns-stand-in", self.flood_flag], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        expected = {n: [s[0] for s in services] for n, services in MDNS_HOSTS.items()}
        expected[3] = ["late-board"]
        deadline = time.monotonic() + 30
        while not mdns_advertised(expected):
            if time.monotonic() > deadline:
                logs = "".join(open(name).read() for name in self.mdns_logs)
                raise SetupFailed("the mDNS hosts did not advertise their boards in 30 s:\n" + logs)
        return None

    def passwd(self, folder):
        """The machine's passwd and group with avahi as root, in place of
        any avahi account of the machine's own: avahi takes the first."""
        for name, line in (("passwd", "avahi:x:0:0::/:/bin/false"), ("group", "avahi:x:0:")):
            with open(f"/etc/{name}") as f, open(f"{folder}/{name}", "w") as out:
                out.write("".join(l for l in f if not l.startswith("avahi:")) + line + "\n")
        return f"mount --bind {folder}/passwd /etc/passwd; mount --bind {folder}/group /etc/group"

    def mdns_namespace(self, number):
        """A network and mount namespace joined to ours by a veth pair:
        10.201.N.2 there, 10.201.N.1 here. Returns the process that holds it."""
        holder = subprocess.Popen(["unshare", "--net", "--mount", "--propagation", "private",
                                   "sleep", "infinity"])
        self.servers.append(holder)
        ours = f"/proc/{os.getpid()}/ns/net"
        while os.readlink(f"/proc/{holder.pid}/ns/net") == os.readlink(ours):
            time.sleep(0.01)
        link = f"kovex{number}"
        inside = ["nsenter", "-t", str(holder.pid), "-n", "-m"]
        for command in (["ip", "link", "add", link, "type", "veth", "peer", "name", "eth0",
                         "netns", str(holder.pid)],
                        ["ip", "addr", "add", f"10.201.{number}.1/24", "dev", link],
                        ["ip", "link", "set", link, "up"],
                        inside + ["ip", "addr", "add", f"10.201.{number}.2/24", "dev", "eth0"],
                        inside + ["ip", "link", "set", "eth0", "up"],
                        inside + ["ip", "link", "set", "lo", "up"]):
            subprocess.run(command, check=True)
        return holder

    def mdns_host(self, number, services, avahi, dbus, kit):
        """Server host N: its own /run, a /sys that holds its boards' made-up
        USB identities, a passwd that names avahi (as root, whoever runs the
        table), and its dbus-daemon, avahi-daemon and ser2net. Each board is
        a node of its own in /dev/shm, its pty bound onto it, so that
        mdns-sysattrs finds the node's name in the host's /sys."""
        holder = self.mdns_namespace(number)
        work = os.path.join(self.work, f"host{number}")
        binds = []
        for k, (name, _, _, pty, serial, _) in enumerate(services):
            device = f"ttyUSB{number}{k:02}"
            usb = f"devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.{k + 1}"
            os.makedirs(f"{work}/sys/{usb}/1-1.{k + 1}:1.0/{device}/tty/{device}")
            os.makedirs(f"{work}/sys/class/tty", exist_ok=True)
            os.symlink(f"../../{usb}/1-1.{k + 1}:1.0/{device}/tty/{device}",
                       f"{work}/sys/class/tty/{device}")
            vendor, product, _, maker, description = FT232R
            for path, text in (("idVendor", vendor), ("idProduct", product),
                               ("serial", f"{serial}  "), ("manufacturer", maker),
                               ("product", description), (f"1-1.{k + 1}:1.0/bInterfaceNumber", "00"),
                               (f"1-1.{k + 1}:1.0/interface", "UART")) if serial else ():
                with open(f"{work}/sys/{usb}/{path}", "w") as f:
                    f.write(text + "\n")
            node = f"/dev/shm/{device}"
            open(node, "w").close()
            self.scratch.append(node)
            if pty:
                binds.append(f"mount --bind {pty} {node}")
        inside = ["nsenter", "-t", str(holder.pid), "-n", "-m"]
        subprocess.run(inside + ["sh", "-c", f"""set -e
            mount -t tmpfs kovex-run /run; mkdir /run/lock /run/avahi-daemon
            mount --bind {work}/sys /sys; {self.passwd(work)}
            {"; ".join(binds) or ":"}"""], check=True)
        with open(f"{work}/bus.conf", "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    f"<busconfig><type>system</type><listen>unix:path={work}/bus</listen>"
                    '<auth>EXTERNAL</auth><policy context="default"><allow user="*"/>'
                    '<allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>'
                    "</policy></busconfig>\n")
        with open(f"{work}/avahi.conf", "w") as f:
            f.write(f"[server]\nhost-name=kovex-host{number}\nuse-ipv4=yes\nuse-ipv6=no\n"
                    "allow-interfaces=eth0\nenable-dbus=yes\n"
                    "[publish]\npublish-hinfo=no\npublish-workstation=no\n")
        with open(f"{work}/ser2net.yaml", "w") as f:
            for k, (name, port, rfc2217, _, serial, txt) in enumerate(services):
                f.write(f"connection: &{name}\n"
                        f"  accepter: {'telnet(rfc2217),' if rfc2217 else ''}tcp,{port}\n"
                        f"  connector: serialdev,/dev/shm/ttyUSB{number}{k:02},9600n81,local\n"
                        "  options:\n    max-connections: 1\n    kickolduser: false\n"
                        f"    mdns: true\n    mdns-name: {name}\n"
                        f"    mdns-sysattrs: {'true' if serial else 'false'}\n" +
                        (f'    mdns-txt: "{txt}"\n' if txt else ""))
        env = dict(self.env, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={work}/bus")
        log = open(f"{work}/log", "w")  # what the three say, should the hosts not come up
        self.mdns_logs.append(log.name)
        quiet = dict(stdout=log, stderr=subprocess.STDOUT)
        self.servers.append(subprocess.Popen(
            inside + [dbus, f"--config-file={work}/bus.conf", "--nofork", "--nopidfile"],
            env=env, **quiet))
        while not os.path.exists(f"{work}/bus"):
            time.sleep(0.01)
        self.servers.append(subprocess.Popen(
            inside + [avahi, "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                      f"{work}/avahi.conf"], env=env, **quiet))
        self.servers.append(subprocess.Popen(
            inside + [os.path.abspath(self.ser2net), "-n", "-d", "-c", f"{work}/ser2net.yaml", "-P",
                      f"{work}/ser2net.pid"],
            env=dict(env, LD_PRELOAD=kit + "/$LIB/libkovexlines.so", KOVEX_KIT_LOG=self.log,
                     KOVEX_KIT_UNGUARDED="1"), **quiet))

    def usb_sysfs(self, pty, pty2):
        """The boards of HWGREP in a sysfs tree of the table's own: a tmpfs on
        /sys, in the table's mount namespace, never the machine's tree, whose
        /dev/ttyS0 is the console. Their /dev names lead to the ptys; ttyUSB0
        is made first, ttyUSB299 last, and 298 other adapters lie between."""
        subprocess.run(["mount", "-t", "tmpfs", "kovex-sys", "/sys"], check=True)
        self.mounts.append("/sys")
        usb, listing = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1", []

        def write(path, text):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text + "\n")

        def tty(name, device, subsystem, target, desc="n/a", hwid="n/a"):
            """sysfs for the port (none without device) and its /dev entry
            (none without target), listed as pyserial lists a link."""
            if device:
                os.makedirs(device, exist_ok=True)
                os.makedirs(f"/sys/bus/{subsystem}", exist_ok=True)
                os.symlink(f"/sys/bus/{subsystem}", f"{device}/subsystem")
                os.makedirs(f"/sys/class/tty/{name}")
                os.symlink(device, f"/sys/class/tty/{name}/device")
            if target:
                os.symlink(target, f"/dev/{name}")
                self.scratch.append(f"/dev/{name}")
            if target and subsystem != "platform":
                link = "LINK=" + os.path.realpath(target)
                hwid = link if hwid == "n/a" else hwid
                listing.append((f"/dev/{name}", desc, f"{hwid} {link}"))

        def board(name, number, ids, serial, product, target, interface=None):
            device, location = f"{usb}/1-1.{number}", f"1-1.{number}"
            write(f"{device}/bNumInterfaces", " 2" if interface else " 1")
            for file, text in zip(("idVendor", "idProduct", "serial"), ids.split(":") + [serial]):
                write(f"{device}/{file}", text)
            if product == FIFO:
                os.mkfifo(f"{device}/product")
            else:
                write(f"{device}/product", product)
            iface = f"{device}/{location}:1.0"
            desc = name if product == FIFO else product.strip()
            if interface:
                write(f"{iface}/interface", interface)
                desc, location = f"{desc} - {interface}", f"{location}:1.0"
            hwid = f"USB VID:PID={ids.upper()} SER={serial.strip()} LOCATION={location}"
            if name.startswith("ttyUSB"):  # the usb-serial port below the interface
                tty(name, f"{iface}/{name}", "usb-serial", target, desc, hwid)
            else:
                tty(name, iface, "usb", target, desc, hwid)

        # Attribute text is read as pyserial reads it, white space stripped.
        board("ttyUSB0", 2, "0403:6001", "A10K3JQ4   ", "FT232R USB UART ", pty)
        # One product a FIFO, one with a terminal's escape sequence; the
        # benchmark, which also runs pyserial, takes the tree without them.
        for n in range(1, 1 if self.small_tree else 299):
            product = {150: FIFO, 151: "Evil\x1b[2J board"}.get(n, "CP2102 USB to UART Bridge")
            board(f"ttyUSB{n}", 10 + n, "10c4:ea60", f"{n:04d}", product, pty2)
        board("ttyUSB299", 3, "0403:6001", "B20M7XQ1", "FT232R USB UART", pty2)
        # ttyACM1 is in sysfs only, as in a container given one adapter of two.
        for name, number, serial, target in (("ttyACM1", 8, "F412FA000000", None),
                                             ("ttyACM2", 4, "F412FA001122", pty),
                                             ("ttyACM10", 5, "F412FA003344", pty2)):
            board(name, number, "303a:1001", serial, "USB JTAG/serial debug unit", target, "CDC")
        board("ttyACM20", 6, "2e8a:000a", "E6614C311B000001", "São Paulo board", pty2)
        board("ttyACM21", 7, "2e8a:000a", "E6614C311B000002", "Café board", pty)
        tty("ttyS4", "/sys/devices/platform/serial8250", "platform", pty2)  # a slot, hidden
        tty("ttyS5", "/sys/devices/pnp0/00:01", "pnp", pty2, "ttyS5", "PNP0501")
        write("/sys/devices/pnp0/00:01/id", "PNP0501")
        tty("ttySC0", "/sys/devices/spi0.0", "spi", pty)  # an SPI UART
        tty("ttyACM7", None, None, pty)  # in /dev only
        os.makedirs("/sys/class/tty/tty1")
        found = {e[0]: e for e in listing}
        self.found(found, "/dev/ttyUSB0", "/dev/ttyUSB299", "/dev/ttyACM2", "/dev/ttyACM10",
                   "/dev/ttyACM21", listing, "utf-8",
                   DESC_A="^FT232R USB UART$", ACM_KIND="ttyACM", REPEAT=r"ttyACM\d{2}|ttyUSB",
                   SERIAL_A="VID:PID=0403:6001 SER=a10k3jq4 LOCATION", COUNTED="SER=[A-Z0-9]{8} ",
                   SC0="/dev/ttySC0", SC0_ID=found["/dev/ttySC0"][2], DEV_ONLY="/dev/ttyACM7",
                   DEV_ONLY_ID=found["/dev/ttyACM7"][2])

    def found(self, entries, usb_a, usb_b, acm_2, acm_10, cafe, listing, encoding, **patterns):
        """The ports the rows find, their IDs, and the listing of every port."""
        for key, name in (("USB_A", usb_a), ("USB_B", usb_b), ("ACM_2", acm_2),
                          ("ACM_10", acm_10), ("CAFE", cafe)):
            self.ports.update({key: name, key + "_ID": entries[name][2]})
        self.ports.update(patterns)
        # As the run prints it, control characters escaped, read back byte by byte.
        escape = lambda text: "".join(f"\\x{ord(c):02x}" if c < " " else c for c in text)
        listing = sorted(listing, key=name_order)
        text = "".join(f"{name:<20}\n    desc: {escape(desc)}\n    hwid: {hwid}\n"
                       for name, desc, hwid in listing) + f"{len(listing)} ports found\n"
        self.listing = text.encode(encoding).decode("latin-1")

    def usb_registry(self):
        """The same boards as devices of the Ports class in the prefix's
        registry, which Wine's SetupAPI lists, as a regedit file's text, and
        300 plain ports enumerated ahead of them."""
        ports_class = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
        listing = [("COM1", "Communications Port (COM1)", "ACPI\\PNP0501\\1"),
                   ("COM2", "USB Serial Device (COM2)", "USB\\VID_303A&PID_1001\\F412FA001122"),
                   ("COM3", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A10K3JQ4A\\0000"),
                   ("COM4", "USB Serial Port (COM4)", "FTDIBUS\\VID_0403+PID_6001+B20M7XQ1A\\0000"),
                   ("COM10", "USB Serial Device (COM10)", "USB\\VID_303A&PID_1001\\F412FA003344"),
                   ("COM20", "São Paulo board", "USB\\VID_2E8A&PID_000A\\E6614C311B000001"),
                   ("COM21", "Café board", "USB\\VID_2E8A&PID_000A\\E6614C311B000002")]
        listing += [(f"COM{n}", f"Communications Port (COM{n})", f"ACPI\\PNP0501\\{n}")
                    for n in range(100, 400)]
        text, entries = "", []
        for name, friendly, instance in listing:
            hardware = instance.rsplit("\\", 1)[0].replace("\\", "\\\\")  # escaped for regedit
            key = f"[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\{instance}]"
            text += (f'\n{key}\n"ClassGUID"="{ports_class}"\n"Class"="Ports"\n'
                     f'"FriendlyName"="{friendly}"\n"HardwareID"="{hardware}"\n'
                     f'\n{key[:-1]}\\Device Parameters]\n"PortName"="{name}"\n')
            ids = re.search(r"VID_(\w{4})[&+]PID_(\w{4})[\\+](\w+)", instance)
            hwid = f"USB VID:PID={ids[1]}:{ids[2]} SER={ids[3]}" if ids else instance
            entries.append((name, friendly, hwid))
        self.found({e[0]: e for e in entries}, "COM3", "COM4", "COM2", "COM10", "COM21", entries,
                   "cp1252", DESC_A="^USB Serial Port \\(COM3\\)$", ACM_KIND="USB Serial Device",
                   REPEAT=r"COM\d{2}\)", SERIAL_A="VID:PID=0403:6001 SER=a10k3jq4a$",
                   COUNTED="SER=[A-Z0-9]{9}$")
        return text

    def twofold(self):
        """A host name whose first address drops every connection attempt (a
        listener whose queue is full) and whose second is a stand-in that
        answers everything, written into the namespace's own /etc/hosts. The
        resolver puts 127.0.0.1 first, wherever it is written."""
        hole = socket.create_server(("127.0.0.1", 0), backlog=0)
        port = hole.getsockname()[1]
        listener = socket.create_server(("127.0.0.2", port))
        self.servers += [hole, listener]
        stand_in(listener, StandIn())
        for _ in range(3):  # fill the accept queue; later attempts are dropped unanswered
            knock = socket.socket()
            knock.setblocking(False)
            knock.connect_ex(("127.0.0.1", port))
            self.servers.append(knock)
        hosts = os.path.join(self.work, "hosts")
        with open("/etc/hosts") as f, open(hosts, "w") as out:
            out.write(f.read() + "\n127.0.0.2 kovex-twofold\n127.0.0.1 kovex-twofold\n")
        subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
        self.mounts.append("/etc/hosts")
        order = [a[4][0] for a in socket.getaddrinfo("kovex-twofold", port, type=socket.SOCK_STREAM)]
        if order == ["127.0.0.1", "127.0.0.2"]:
            self.ports["TWOFOLD"] = f"rfc2217://kovex-twofold:{port}?timeout=1"
        else:
            print(f"skipped: the resolver gives kovex-twofold as {order}: no row for a first "
                  "address that drops the attempt")

    def serve_sredird(self, pty, kit):
        """sredird on a free loopback port, one process per connection with
        the connection as its standard input and output, as inetd's nowait
        starts it, and its lock file in the table's lock directory."""
        listener = socket.create_server(("127.0.0.1", 0))
        self.servers.append(listener)
        env = dict(self.env, LD_PRELOAD=kit + "/$LIB/libkovexlines.so", KOVEX_KIT_LOG=self.log,
                   KOVEX_KIT_UNGUARDED="1")
        command = [self.sredird, "5", pty, f"{LOCKS}/LCK..sredird"]

        def start(connection):
            self.servers.append(subprocess.Popen(
                command, stdin=connection, stdout=connection, stderr=subprocess.DEVNULL, env=env))
        threading.Thread(target=serve_each, args=(listener, start), daemon=True).start()
        self.ports["SREDIRD"] = f"rfc2217://127.0.0.1:{listener.getsockname()[1]}"

    def settle(self, quiet=0.0):
        """Waits until the server has closed the port the client left and,
        with quiet, until the log has stood still that long: the kit follows
        one port a process, so a server of two gives the other back unseen."""
        deadline, seen, still = time.monotonic() + 5, None, time.monotonic()
        while time.monotonic() < deadline:
            log = self.read_log()
            if len(log) != seen:
                seen, still = len(log), time.monotonic()
            events = [e[2] for e in log]
            if (events.count("opened") == events.count("closed") and
                    time.monotonic() - still >= quiet):
                return
            time.sleep(0.01)

    def native_alias(self, pty):
        # A path of exactly 27 characters that leads to the pty.
        folder = tempfile.mkdtemp(prefix="k", dir="/tmp")
        self.scratch.append(folder)
        link = folder + "/" + "p" * (26 - len(folder))
        os.symlink(pty, link)
        return link

    def wine_alias(self, pty):
        # A DOS device name of exactly 27 characters that leads to the pty.
        name = "kovexport" + "9" * 18
        dosdevices = os.path.join(self.env["WINEPREFIX"], "dosdevices")
        link = os.path.join(dosdevices, name.lower())
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(pty, link)
        return name

    def wine_step(self, step, command, check=True):
        status = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=self.env).returncode
        if check and status != 0:
            raise SetupFailed(f"Wine setup failed: {step} exited with status {status}")

    def wine_start(self, ports, devices):
        reg = os.path.join(self.work, "ports.reg")
        # Unicode, so that names beyond ASCII arrive as they are.
        with open(reg, "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
            f.writelines(f'"{k}"="{v}"\n' for k, v in ports.items())
            f.write(devices)
        # The first regedit also creates the prefix.
        self.wine_step("regedit (COM mapping)", [self.loader, "regedit", "/S", reg])
        # The ports are read when the server starts; the Windows-side
        # daemons are started here so that no run's pipes are inherited.
        self.wine_step("wineserver -k", [WINESERVER, "-k"], check=False)
        self.wine_step("wineserver -p", [WINESERVER, "-p"])
        self.wine_step("wineboot", [self.loader, "wineboot"])

    def close(self):
        for server in reversed(getattr(self, "servers", [])):
            if isinstance(server, socket.socket):
                server.close()
            else:
                server.terminate()
                try:
                    server.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    print(f"killed: {server.args}", file=sys.stderr)
                    server.kill()
                    server.wait()
        if self.wine:
            self.wine_stop()
        for path in self.scratch:  # folders, and the /dev entries of the sysfs tree
            if os.path.islink(path):
                os.unlink(path)
            else:
                shutil.rmtree(path, ignore_errors=True)
        for mount in reversed(getattr(self, "mounts", [])):
            subprocess.run(["umount", mount], check=True)

    def wine_stop(self):
        self.wine_step("wineserver -k", [WINESERVER, "-k"], check=False)

    def reset_pty(self, hupcl=True):
        # Start every case from settings that differ from what kovex sets,
        # at a non-zero speed (opening raises the lines then) and with the
        # case's HUPCL.
        for master in self.masters.values():
            self.reset_master(master, hupcl)

    def reset_master(self, master, hupcl):
        attrs = termios.tcgetattr(master)
        attrs[0] |= termios.IXON | termios.IXOFF
        attrs[2] = (attrs[2] | termios.CRTSCTS | termios.CSTOPB) & ~termios.CLOCAL
        attrs[2] = attrs[2] | termios.HUPCL if hupcl else attrs[2] & ~termios.HUPCL
        attrs[4] = attrs[5] = termios.B38400
        attrs[6][termios.VSTART] = attrs[6][termios.VSTOP] = b"\x01"
        termios.tcsetattr(master, termios.TCSANOW, attrs)

    def hupcl(self):
        return bool(termios.tcgetattr(self.master)[2] & termios.HUPCL)

    def lock_path(self, port="PTY"):
        device = os.path.realpath(self.ports[port])
        return f"{LOCKS}/LCK..{device[len('/dev/'):].replace('/', '_')}"

    def lock_dir(self, state, undo=False):
        """Makes the lock directory read-only or a dangling link, or undoes it."""
        if state == "read-only":
            # Inside a user namespace mount(8) would pass the tmpfs's uid=
            # and gid= again, which are not mapped there: remount without them.
            options = "remount,rw" if undo else "remount,ro"
            command = ["mount", "--options-mode", "ignore", "-o", options,
                       os.path.realpath(LOCKS)]
        else:  # hide what the link leads to under an empty tmpfs
            parent = os.path.dirname(os.path.realpath(LOCKS))
            command = ["umount", parent] if undo else ["mount", "-t", "tmpfs", "kovex", parent]
        subprocess.run(command, check=True)

    def dead_pid(self):
        process = subprocess.Popen(["true"])
        process.wait()
        return process.pid

    def settings_fault(self, master=None):
        attrs = termios.tcgetattr(self.master if master is None else master)
        iflag, cflag, speeds, cc = attrs[0], attrs[2], attrs[4:6], attrs[6]
        wanted = {
            "9600 bit/s": speeds == [termios.B9600] * 2,
            "8 data bits": cflag & termios.CSIZE == termios.CS8,
            "no parity": not cflag & termios.PARENB,
            "one stop bit": not cflag & termios.CSTOPB,
            "no RTS/CTS": not cflag & termios.CRTSCTS,
            "no XON/XOFF": not iflag & (termios.IXON | termios.IXOFF),
            "receiver on, modem status ignored": cflag & termios.CREAD and cflag & termios.CLOCAL,
            "DC1 and DC3": cc[termios.VSTART] == b"\x11" and cc[termios.VSTOP] == b"\x13",
        }
        return [name for name, ok in wanted.items() if not ok]

    def start(self, args, case_env=None, cwd=None, other_user=False):
        launch = (args, case_env, cwd, other_user)
        env = dict(self.env, KOVEX_KIT_LOG=self.log, **(case_env or {}))
        # One byte per character, so that bytes 0x80 to 0xFF go out as such.
        args = [a.encode("latin-1") for a in args]
        command = ([self.loader, self.binary] if self.wine else [self.binary]) + args
        if self.emulator:
            preload = env.pop("LD_PRELOAD", None)
            command = self.emulator + (["-E", f"LD_PRELOAD={preload}"] if preload else []) + command
        out = tempfile.TemporaryFile(dir=self.work)
        err = tempfile.TemporaryFile(dir=self.work)
        # Files rather than pipes: Wine's daemons would hold a pipe open.
        user = {"user": OTHER_UID, "group": OTHER_UID, "extra_groups": []} if other_user else {}
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env,
                                   cwd=cwd or self.work, **user)
        process.launch = launch
        return process, out, err

    def finish(self, process, out, err, again=True):
        """The run's status, standard output and error; a Wine start that
        failed is started again once, unless the caller does that itself."""
        try:
            status = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = "still running after 30 s"
        out.seek(0)
        err.seek(0)
        result = status, self.text(out.read()), self.text(err.read())
        if again and self.wine_start_failed(*result):
            return self.finish(*self.start(*process.launch), again=False)
        return result

    def wine_start_failed(self, status, out, err):
        """Whether Wine ended before kovex ran. kovex ends with 1 only after
        its usage line and with 255 only after saying why, and Wine reports
        a program that crashes; anything else is Wine's own start failing,
        which is said here with what Wine wrote."""
        if not self.wine or status == 0 or not isinstance(status, int):
            return False
        if status == 1 and err.endswith(self.expected(USAGE)):
            return False
        if (status == 255 and (out or err)) or "Unhandled" in err:
            return False
        self.notes.append(f"Wine's start failed (status {status}, Wine wrote {err[-300:]!r}): "
                          "started again")
        return True

    def text(self, data):
        return data.decode("latin-1")

    def expected(self, text, words=True):
        # Windows' text mode ends every line in CR LF, and Wine hands the
        # program each byte of a word that is not UTF-8 as "?".
        if not self.wine:
            return text
        if words:  # ...and one that is, in the ANSI code page
            text = text.encode("latin-1").decode("utf-8", "replace").replace("\ufffd", "?")
            text = text.encode("cp1252", "replace").decode("latin-1")
        return text.replace("\n", "\r\n")

    def read_log(self):
        """The kit's log as it stands between two of its updates: a close
        notes the port closed, then the lines its driver dropped."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            fcntl.flock(f, fcntl.LOCK_SH)
            return [line.split() for line in f]

    def run(self, case):
        """The row's faults. A row of several tries passes when one of them
        has no fault but its hold: a busy machine's scheduling can stretch
        any one pulse through a server, a fault of ours stretches each."""
        for attempt in range(1, case.tries + 1):
            faults = self.run_once(case)
            if not faults or any(HOLD_FAULT not in f for f in faults) or attempt == case.tries:
                return faults
            self.notes.append(f"try {attempt} of {case.tries}: {'; '.join(faults)}")

    def run_once(self, case):
        fill = lambda s: s.format(**self.ports)
        args = [fill(a) if "{" in a else a for a in case.args]
        cwd = tempfile.mkdtemp(dir=self.work)
        for name in case.files:
            os.makedirs(os.path.dirname(os.path.join(cwd, name)), exist_ok=True)
            open(os.path.join(cwd, name), "w").close()
        self.clear_log()
        self.reset_pty(case.hupcl)
        lock = None
        if case.lock == FIFO:
            lock = FIFO
            os.mkfifo(self.lock_path())
        elif case.lock is not None:
            lock = case.lock.format(DEAD=self.dead_pid(), LIVE=os.getpid())
            with open(self.lock_path(), "w") as f:
                f.write(lock)
            os.utime(self.lock_path(), (time.time() - case.lock_age,) * 2)
        holder = self.hold_port() if case.holder else None
        if case.flood:
            open(self.flood_flag, "w").close()
        if case.hold_5353:  # as Windows' own DNS client may, without SO_REUSEADDR
            holder_5353 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            holder_5353.bind(("0.0.0.0", 5353))
        env = {}
        if case.kit:
            env["LD_PRELOAD"] = self.kit
        if case.refuse:
            env["KOVEX_KIT_REFUSE"] = case.refuse
        if case.fail:
            env["KOVEX_KIT_FAIL"] = case.fail
        if case.usbser:
            env["KOVEX_KIT_USBSER"] = "1"
        if case.lockdir:
            self.lock_dir(case.lockdir)
        faults = []
        chatter = self.chatter() if case.chatty else None
        try:
            for attempt in (1, 2):
                started = time.monotonic()
                process, out, err = self.start(args, env, cwd, case.other_user)
                held = []
                # ser2net gives the port back its own settings when the client
                # goes: a remote run's are read while it holds the port.
                if case.remote and case.hold and case.status == 0 and not case.stand_in:
                    if not self.wait_for("RTS 1", process=process):
                        held.append("RTS was never raised at the server")
                    # RFC 2217 cannot ask for the flow-control characters, and
                    # sredird leaves them as it found them.
                    held += [f for f in self.settings_fault()
                             if f != "DC1 and DC3" or "{SREDIRD}" not in case.args]
                if case.hangup:  # the board leaves the bus: its tty hangs up
                    self.wait_for("RTS 1", process=process)
                    os.close(self.masters.pop("HANGUP"))
                status, out, err = self.finish(process, out, err, again=False)
                if case.hangup:
                    # Only once kovex has let the tty go is its number free:
                    # the board comes back under the name it had.
                    again = self.reopen_hangup()
                    if again != self.hangup_pty:
                        held.append(f"the port came back as {again}, not {self.hangup_pty}")
                if attempt == 2 or not self.wine_start_failed(status, out, err):
                    break
            faults += held
            # Wine or qemu may take half a second to start on a busy machine.
            within = case.within and case.within + (0.5 if self.wine or self.emulator else 0)
            if within and time.monotonic() - started > within:
                faults.append(f"the run took {time.monotonic() - started:.2f} s, "
                              f"more than {within} s")
        finally:
            if chatter:
                chatter()
            if case.lockdir:
                self.lock_dir(case.lockdir, undo=True)
            if holder:
                holder.kill()
                holder.wait()
            if case.flood:
                os.unlink(self.flood_flag)
            if case.hold_5353:
                holder_5353.close()
        if case.remote:
            self.settle()

        out_wanted = (self.banner if case.banner else "") + fill(case.out)
        # The listing holds device strings as the run writes them, not words it was given.
        err_wanted = self.expected(fill(case.err.replace("{LISTING}", "\0").replace("{ANY}", "\1")))
        err_wanted = err_wanted.replace("\0", self.expected(self.listing, words=False))
        expect = (case.status, self.expected(out_wanted), err_wanted)
        # {ANY}: a listing the row does not judge, such as what a busy host happened to fit.
        if "\1" in err_wanted and re.fullmatch(".*".join(map(re.escape, err_wanted.split("\1"))),
                                                err, re.S):
            err = err_wanted
        if (status, out, err) != expect:
            faults.append(f"got {(status, out[:300], err[:300])!r}\nwanted {expect!r}"[:900])
            where = next((i for i, (a, b) in enumerate(zip(err, expect[2])) if a != b), None)
            if where is not None and where > 300:
                faults.append(f"standard error from byte {where}: {err[where - 40:where + 80]!r}, "
                              f"wanted {expect[2][where - 40:where + 80]!r}")
        if not case.remote and (case.status == 0 or "mode !" in case.err):
            faults += self.settings_fault(self.masters[case.opens])
        if not self.wine:  # Wine's SetCommState turns HUPCL off; Windows has none
            if case.status == 0 and self.hupcl() != case.hupcl:
                faults.append(f"HUPCL {self.hupcl()} after the run, {case.hupcl} before")
            faults += self.lock_faults(lock if status else None, "HANGUP" if case.hangup else "PTY")
            if holder and termios.tcgetattr(self.master)[4] != termios.B38400:
                faults.append("the holder's speed was changed")
        return faults + self.line_faults(case, self.read_log())

    def chatter(self):
        """The board's side of the pty writes until the returned function is
        called; what nobody has read is dropped then."""
        os.set_blocking(self.master, False)
        stop = keep_writing(lambda data: os.write(self.master, data), bytes(range(256)) * 4, 0.001)

        def stop_chatter():
            stop()
            os.set_blocking(self.master, True)
            termios.tcflush(self.master, termios.TCIOFLUSH)
            # A real port forgets what came in once nobody holds it; a pty
            # keeps it for the next server to forward before it reads our
            # requests (sredird's set came 16 ms late behind 4 KiB of it).
            slave = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            termios.tcflush(slave, termios.TCIFLUSH)
            os.close(slave)
        return stop_chatter

    def hold_port(self):
        """Another program holding the port, as minicom or a plain script
        would: no lock file, no flock, no TIOCEXCL."""
        fd = os.open(self.ports["PTY"], os.O_RDWR | os.O_NOCTTY)
        try:
            return subprocess.Popen(["sleep", "60"], stdin=fd)
        finally:
            os.close(fd)

    def lock_faults(self, lock, port="PTY"):
        """The lock file is gone after the run, or unchanged if it was respected."""
        path = self.lock_path(port)
        if lock is None:
            if not os.path.lexists(path):
                return []
            os.unlink(path)
            return [f"{path} left behind"]
        if lock == FIFO:
            kept = stat.S_ISFIFO(os.lstat(path).st_mode)
        else:
            with open(path) as f:
                kept = f.read() == lock
        os.unlink(path)
        return [] if kept else [f"{path} was changed"]

    def line_faults(self, case, log):
        faults = []
        leaks = [what for _, _, line, what in log if line == "open"]
        if leaks and not self.wine:  # Wine's own process keeps its devices
            faults.append(f"still open at exit: {leaks}")
        held = (case.lock is not None and case.status) or case.holder
        pty = os.path.realpath(self.ports["PTY"])
        if held and any(e[2] == "opened" and os.path.realpath(e[3]) == pty for e in log):
            faults.append("the port was opened although it was held")
        # Natively the open drops both lines in one request: none before the
        # pulse may leave RTS on with DTR off, which resets an ESP32.
        first_set = next((i for i, e in enumerate(log) if e[2] in ("DTR", "RTS") and e[3] == "1"),
                         len(log))
        if not self.wine and not case.remote and any(e[2] == "step" for e in log[:first_set]):
            faults.append("the open left RTS on with DTR off")
        # The lines kovex wrote, or those the device behind the USB CDC
        # driver saw.
        prefix = "device-" if case.usbser else ""
        log = [[t, pid, line[len(prefix):], what] for t, pid, line, what in log
               if line in (prefix + "DTR", prefix + "RTS")]
        events = [f"{line} {what}" for _, _, line, what in log]
        wanted = case.lines
        if isinstance(wanted, dict):
            wanted = wanted["wine" if self.wine else "native"]
        if wanted is not None and events != wanted:
            faults.append(f"line changes {events} != {wanted}")
        if case.hold is not None:
            low, high = self.hold_bounds(case)
            holds = self.line_holds(log)
            self.measured = "; " + ", ".join(f"{line} held {1000 * (held - case.hold):+.2f} ms"
                                             for line, held in holds.items())
            if not holds:
                faults.append("no line was held")
            faults += [f"{line}{HOLD_FAULT}{held:.4f} s, wanted {low:.4f} s to {high:.4f} s"
                       for line, held in holds.items() if not low <= held <= high]
        # A port that went away has no lines left to clear.
        return faults + ([] if case.hangup else self.raised_at_end(log))

    def hold_bounds(self, case):
        """The shortest and longest hold a row takes. Where kovex's clock
        alone decides (a port of ours, whose log is written in kovex's own
        process; a stand-in server, which stamps each request as it reached
        its socket) the hold is never short, and late by no more than kovex
        waking up on a loaded machine. A real server's own scheduling moves
        either end at the board, by as much as measured there under load."""
        slow = bool(self.wine or self.emulator)
        if not case.remote or case.stand_in:
            return case.hold, case.hold + OWN_LATE[slow]
        late = SLOW_ANSWER if slow and case.hold == 0 else SERVER_SLACK[slow]
        return case.hold - SERVER_SLACK[slow], case.hold + late

    def line_holds(self, log):
        """Each line the pulse raised, and how long it stayed raised: the
        pulse's raises are those before its first clear."""
        holds, raised = {}, {}
        for t, _, line, what in log:
            if what == "1" and not holds and line not in raised:
                raised[line] = float(t)
            elif what == "0" and line in raised:
                holds[line] = float(t) - raised.pop(line)
        return holds

    def raised_at_end(self, log):
        # Replay from the kit's start, both raised: at exit every line must
        # be clear unless the kit refused to move it.
        if not log:
            return []
        raised = {"DTR": True, "RTS": True}
        refused = {line for _, _, line, what in log if what == "refused"}
        for _, _, line, what in log:
            if what in ("0", "1"):
                raised[line] = what == "1"
        return [f"{line} left raised" for line, up in raised.items()
                if up and line not in refused]

    def clear_log(self):
        if os.path.exists(self.log):
            os.unlink(self.log)

    def reopen_hangup(self):
        """A fresh pty for the port that goes away; returns its name."""
        self.masters["HANGUP"], slave = os.openpty()
        name = os.ttyname(slave)
        os.close(slave)
        return name

    def wait_for(self, event, seconds=10, since=0, process=None):
        """Whether the event is logged within the time, or before the process ends."""
        deadline = time.monotonic() + seconds
        while event not in [f"{e[2]} {e[3]}" for e in self.read_log() if float(e[0]) >= since]:
            if time.monotonic() > deadline or (process and process.poll() is not None):
                return False
            time.sleep(0.01)
        return True

    def exclusive(self, port="PTY", given_back=()):
        """A port that one run holds is refused to a second, which must not
        even open it: on Linux that open would raise the holder's lines. A
        server refuses the second client without touching the port, and
        then does to the lines what given_back says."""
        remote, port = port != "PTY", self.ports[port]
        env = {"LD_PRELOAD": self.kit}
        self.clear_log()
        self.reset_pty()
        first = self.start(["-p", port, "1"], env)
        if not self.wait_for("RTS 1"):
            return ["the first run never raised RTS"]
        second = self.start(["-q", "-p", port, "0"], env)
        faults = []
        refused = (255, "", self.expected(f"Unable to open Serial Port '{port}'.\n"))
        if self.finish(*second) != refused:
            faults.append("the second run was not refused")
        if self.finish(*first) != (0, self.expected(self.banner), ""):
            faults.append("the first run did not finish cleanly")
        self.settle()
        log = self.read_log()
        if any(int(e[1]) == second[0].pid and e[2] != "peak" and
               not (e[2] == "open" and "/pts/" not in e[3]) for e in log):
            faults.append(f"the second run touched the port: {log}")
        if remote and [e[2] for e in log].count("opened") != 1:
            faults.append(f"the server opened the port for the second client: {log}")
        events = [f"{e[2]} {e[3]}" for e in log if e[2] in ("DTR", "RTS")]
        if events != OPENED + PULSE["RTS"] + list(given_back):
            faults.append(f"the holder's lines went {events}")
        return faults + ([] if self.wine else self.lock_faults(None))

    def killed(self, signal_number):
        """A run killed during its hold on a port with HUPCL off: the driver
        drops the lines at its death, and the next run takes its lock over."""
        self.clear_log()
        self.reset_pty(hupcl=False)
        process, out, err = self.start(["-p", self.ports["PTY"], "30"], {"LD_PRELOAD": self.kit})
        if not self.wait_for("RTS 1"):
            return ["the run never raised RTS"]
        killed_at = time.monotonic()
        process.send_signal(signal_number)
        process.wait()
        if not self.wait_for("RTS 0", 2, since=killed_at):
            return ["RTS stayed raised after the run was killed"]
        log = [e for e in self.read_log() if e[2] in ("DTR", "RTS")]
        faults = self.raised_at_end(log)
        dropped = float(log[-1][0]) - killed_at
        if not 0 <= dropped < 0.5:
            faults.append(f"RTS dropped {dropped:.3f} s after the kill")
        if not os.path.exists(self.lock_path()):
            faults.append("no lock left behind to take over")
        again = self.finish(*self.start(["-q", "-p", self.ports["PTY"], "0"],
                                        {"LD_PRELOAD": self.kit}))
        if again != (0, "", ""):
            faults.append(f"the next run got {again!r}")
        return faults + self.lock_faults(None)

    def lookups(self, rows, together=False, or_refused=False):
        """mdns:// lookups, each right after the one before or all at the
        same moment: every one must find its board (or_refused: or refuse)."""
        env = {"LD_PRELOAD": self.kit}
        self.clear_log()
        command = lambda word: ["-q", "-d", "-p", word, "0"]
        if together:
            # Right after a short lookup's multicast answer, avahi answers by
            # unicast for half a second, which only one of the two gets.
            time.sleep(0.7)
            self.finish(*self.start(command(rows[0][0] + "&wait=0.15"), env))
            results = [self.finish(*run) for run in [self.start(command(w), env) for w, _ in rows]]
        else:
            results = [self.finish(*self.start(command(w), env)) for w, _ in rows]
        self.settle(quiet=0.3)
        head = lambda word: self.expected(f"Port: '{word}'\nDelay: 0 seconds\n")
        return [f"{word}: got {got!r}" for (word, found), got in zip(rows, results)
                if got != (0, head(word) + self.expected(MDNS_FOUND % found), "") and
                not (or_refused and got[:2] == (255, head(word)))]

    def client_avahi(self):
        """An avahi-daemon of the client's own, bound to 0.0.0.0:5353 as on a
        desktop or a Raspberry Pi, in the table's network with a /run of its
        own. Returns why it cannot run, or None."""
        work = os.path.join(self.work, "client")
        os.makedirs(work)
        with open(f"{work}/avahi.conf", "w") as f:
            f.write("[server]\nhost-name=kovex-client\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=no\n"
                    "[publish]\npublish-hinfo=no\npublish-workstation=no\n")
        log = open(f"{work}/log", "w")
        self.servers.append(subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             f"mount -t tmpfs kovex-run /run; mkdir /run/avahi-daemon; {self.passwd(work)}; "
             f"exec {self.avahi} --no-drop-root --no-chroot --no-rlimits -f {work}/avahi.conf"],
            stdout=log, stderr=subprocess.STDOUT))
        deadline = time.monotonic() + 10
        while True:
            with open("/proc/net/udp") as table:
                if any(row.split()[1] == "00000000:14E9" for row in table if len(row.split()) > 1):
                    return None
            if time.monotonic() > deadline:
                return "the client's avahi-daemon did not bind port 5353:\n" + open(log.name).read()
            time.sleep(0.05)

    def variant(self, path, banner):
        """A build with a missing or odd version resource prints what it can."""
        saved, self.binary = self.binary, os.path.abspath(path)
        try:
            got = self.finish(*self.start(["-p", "COM9"]))
        finally:
            self.binary = saved
        wanted = (255, self.expected(banner),
                  self.expected("Unable to open Serial Port 'COM9'.\n"))
        return [] if got == wanted else [f"got {got!r}, wanted {wanted!r}"]


class SetupFailed(Exception):
    pass


def free_ports(count):
    """Loopback ports nothing listens on, for now."""
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def listening(port):
    with open("/proc/net/tcp") as table:
        return any(f":{port:04X} " in row and row.split()[3] == "0A" for row in table)


SUBNEGOTIATION = re.compile(rb"\xff\xfa,(.)(.*?)\xff\xf0", re.S)


@dataclass
class StandIn:
    """A server that takes COM-PORT-OPTION and answers each request with
    the value asked, but for what the fields say. SET-CONTROLs are counted
    from 1: the open sends three (no flow control, DTR off, RTS off), then
    come the line changes."""
    answered: int = 99    # SET-CONTROLs answered; later ones are read and not answered
    gone: bool = False    # closes once it has answered them
    values: dict = field(default_factory=dict)  # SET-CONTROL number: the value answered
    ahead: tuple = None   # (seconds, value): after the last answer, one to no request
    deaf: bool = False    # reads nothing after the open's requests, and stays
    offers: int = 0       # options offered first; COM-PORT-OPTION only once all are refused
    endless: bool = False  # offers options for as long as the client stays, and nothing else
    late: float = 0       # seconds it waits before answering line changes it has carried out
    flood: bool = False   # sends data as fast as it can while a line is raised
    notes: bool = False   # notes each line change in the kit's log (log) as it reads it
    log: str = None
    host: str = "127.0.0.1"


STAND_INS = {
    "SILENT": StandIn(answered=4),
    "GONE": StandIn(answered=5, gone=True),
    "IPV6": StandIn(host="::1"),
    "AHEAD": StandIn(answered=4, ahead=(0, 12)),
    "AHEAD_IN_HOLD": StandIn(answered=4, ahead=(0.3, 12)),
    "OTHER_LINE_STATE": StandIn(values={4: 12}),
    "OTHER_FLOW": StandIn(values={1: 2}),
    "DEAF": StandIn(deaf=True),
    "OFFERS": StandIn(endless=True),
    "RUSH": StandIn(offers=1200),
    "LATE": StandIn(late=0.15, notes=True),
    "FLOOD": StandIn(flood=True, notes=True),
}
REMOTE_PORTS = {"REMOTE", "LOCALHOST", "PLAIN", "SREDIRD", "TWOFOLD"} | set(STAND_INS)
SUBNEGOTIATION = re.compile(rb"\xff\xfa,(.)(.*?)\xff\xf0", re.S)
OFFER = b"\xff\xfb%c"  # WILL, of options no client takes up


def serve_each(listener, serve):
    """Hands every connection to serve, one at a time, until the listener is
    closed; a connection the client drops ends without a fuss."""
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            return
        with connection:
            try:
                serve(connection)
            except OSError:
                pass


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's, which Python does not name


def stand_in(listener, plan):
    """Serves the plan on the listener, from a thread of its own. Its
    connections have the kernel stamp what arrives, switched on here: Linux
    switches stamping on for the machine a moment after it is first asked,
    and the first pieces of a connection that asked only then go unstamped."""
    listener.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    serve = functools.partial(serve_stand_in, plan=plan)
    threading.Thread(target=serve_each, args=(listener, serve), daemon=True).start()


LINE_CONTROLS = {8: "DTR 1", 9: "DTR 0", 11: "RTS 1", 12: "RTS 0"}


def serve_stand_in(connection, plan):
    if plan.endless:
        connection.settimeout(0.002)
        while True:
            try:
                connection.sendall(b"".join(OFFER % (100 + i) for i in range(50)))
                if not connection.recv(4096):
                    return
            except TimeoutError:
                pass
    connection.sendall(b"".join(OFFER % (100 + i % 100) for i in range(plan.offers)))
    received, parsed, controls, accepted, flooding = b"", 0, 0, False, None
    # Each piece is stamped when it reached the socket, not when this thread
    # got to it: the stamp is the client's, unblurred by our own scheduling.
    offset = clock_offset()
    while chunk := arrived(connection, offset):
        chunk, arrival = chunk
        received += chunk
        if not accepted:
            if received.count(b"\xff\xfe") < plan.offers:  # DONT, a refusal
                continue
            accepted = True
            connection.sendall(b"\xff\xfd,")
        requests = list(SUBNEGOTIATION.finditer(received, parsed))
        changes = [LINE_CONTROLS.get(r.group(2)[0]) for r in requests if r.group(1)[0] == 5]
        for change in filter(None, changes):
            if plan.notes:  # as the kit notes what a server does to a line
                with open(plan.log, "a") as f:
                    f.write(f"{arrival:.9f} 0 {change}\n")
        if flooding and any(c and c.endswith("0") for c in changes):
            flooding = flooding()
        if plan.late and controls >= 3 and changes:
            time.sleep(plan.late)
        for request in requests:
            parsed = request.end()
            command, value = request.group(1)[0], request.group(2)
            controls += command == 5
            if controls > plan.answered:
                continue
            if command == 5 and controls in plan.values:
                value = bytes([plan.values[controls]])
            answer = b"\xff\xfa," + bytes([command + 100]) + value + b"\xff\xf0"
            if command == 5 and controls == plan.answered and plan.ahead:
                delay, later = plan.ahead
                if delay:
                    connection.sendall(answer)
                    answer = b""
                    time.sleep(delay)
                answer += b"\xff\xfa," + bytes([105, later]) + b"\xff\xf0"
            connection.sendall(answer)
        if plan.flood and not flooding and any(c and c.endswith("1") for c in changes):
            # The board's output, every byte value but IAC, as fast as the client reads it.
            flooding = keep_writing(connection.sendall, bytes(range(255)) * 256)
        if plan.deaf and controls >= 3:
            time.sleep(2)
            return
        if controls >= plan.answered and plan.gone:
            return


def clock_offset():
    """CLOCK_REALTIME less CLOCK_MONOTONIC, from the closest of a few
    readings: another thread may take the processor between two."""
    readings = []
    for _ in range(5):
        before = time.clock_gettime(time.CLOCK_REALTIME)
        monotonic = time.clock_gettime(time.CLOCK_MONOTONIC)
        after = time.clock_gettime(time.CLOCK_REALTIME)
        readings.append((after - before, (before + after) / 2 - monotonic))
    return min(readings)[1]


def arrived(connection, offset):
    """The next piece the connection brings and when the kernel took it in,
    on CLOCK_MONOTONIC as the kit's log is (the kernel stamps on
    CLOCK_REALTIME, offset ahead); None at its end."""
    chunk, ancillary, _, _ = connection.recvmsg(4096, 64)
    arrival = time.clock_gettime(time.CLOCK_MONOTONIC)
    for level, kind, data in ancillary:
        if (level, kind) == (socket.SOL_SOCKET, SO_TIMESTAMPNS):
            seconds, nanoseconds = struct.unpack("qq", data[:16])
            arrival = min(arrival, seconds + nanoseconds / 1e9 - offset)
    return (chunk, arrival) if chunk else None


def keep_writing(write, data, pause=0.0):
    """Writes data with write, pausing that long between writes, from a
    thread, until the returned function is called or the writing fails."""
    stop = threading.Event()

    def run():
        while not stop.is_set():
            try:
                write(data)
            except BlockingIOError:
                pass
            except OSError:
                return
            time.sleep(pause)  # also lets the other threads in: a stand-in stamps what it reads
    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def stop_writing():
        stop.set()
        thread.join()
    return stop_writing


# Server host N's ser2net connections: instance name, TCP port, RFC 2217 or
# plain TCP, the pty the board is on (None: a plain file, enough for ser2net
# to advertise it), the board's USB identity when published (vendor,
# product, serial, manufacturer, product name), TXT of the lab's own. Host 4
# is a busy one: 48 boards, two of them on the ptys.
FT232R = ("0403", "6001", "%s", "FTDI", "FT232R USB UART")
MDNS_HOSTS = {
    1: [("rack1-slot3", 3001, True, "PTY", "A10K3JQ4", "lab-slot=A7"),
        ("rack1-plain", 3002, False, "PTY", None, None)],
    2: [("rack2-slot3", 3001, True, "PTY2", "B20M7XQ1", None), ("board2", 3002, True, "PTY2", None, None),
        ("board10", 3003, True, "PTY2", None, None)],
    4: [(f"farm-{i:02}", 4000 + i, True, {17: "PTY", 33: "PTY2"}.get(i), f"SN{i:05}", None)
        for i in range(48)],
}
DNS_PTR, DNS_TXT, DNS_SRV, DNS_A = 12, 16, 33, 1


def name_order(entry):
    """Orders entries by their first field as people count: board2 before board10."""
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", entry[0])]


def mdns_listing():
    """What -d lists on standard error for the services of MDNS_HOSTS, in
    the order of their names: ser2net's TXT strings follow mdns-txt's, and
    the sysfs identity comes last."""
    listing = []
    for number, services in MDNS_HOSTS.items():
        for name, port, rfc2217, _, serial, txt in services:
            address = f"10.201.{number}.2:{port}"
            texts = ([txt] if txt else []) + ["provider=ser2net", "gensiostack=" +
                                              ("telnet(rfc2217),tcp" if rfc2217 else "tcp")]
            hwid = "n/a"
            if serial:
                vendor, product, _, maker, description = FT232R
                texts += ["devicetype=serialusb", "bInterfaceNumber=00", "interface=UART",
                          f"idProduct={product}", f"idVendor={vendor}", f"serial={serial}",
                          f"manufacturer={maker}", f"product={description}"]
                hwid = f"USB VID:PID={vendor.upper()}:{product.upper()} SER={serial}"
            addr = f"rfc2217://{address}" if rfc2217 else f"{address} (cannot be chosen: not RFC 2217)"
            listing.append((name, f"{name:<20}\n    addr: {addr}\n    hwid: {hwid}\n" +
                            "".join(f"    txt: {t}\n" for t in texts)))
    return "".join(text for _, text in sorted(listing, key=name_order)) + \
        f"{len(listing)} services found\n"


def dns_name(dotted):
    return b"".join(bytes([len(label)]) + label.encode() for label in dotted.split(".")) + b"\0"


def dns_record(owner, kind, data, name=True, ttl=10):
    return (dns_name(owner) if name else owner) + kind.to_bytes(2, "big") + b"\0\1" + \
        ttl.to_bytes(4, "big") + len(data).to_bytes(2, "big") + data


def dns_service(instance, kind, address, port, host="standin.local", records=True, txt=(), ttl=10,
                pointer=True):
    """The records of one service, as a responder answers a query for its
    type; without records, its PTR alone; with ttl 0, its goodbye."""
    full = f"{instance}.{kind}.local"
    txt = b"".join(bytes([len(t)]) + t for t in (b"provider=stand-in",
                                                 b"gensiostack=telnet(rfc2217),tcp") + tuple(txt))
    return ([dns_record(f"{kind}.local", DNS_PTR, dns_name(full), ttl=ttl)] if pointer else []) + ([
        dns_record(full, DNS_SRV, b"\0\0\0\0" + port.to_bytes(2, "big") + dns_name(host), ttl=ttl),
        dns_record(full, DNS_TXT, txt, ttl=ttl),
        dns_record(host, DNS_A, socket.inet_aton(address), ttl=ttl)] if records else [])


def dns_packet(ident, question, records, counted=None):
    """A response repeating the question; counted: the answer count it
    claims, when it lies."""
    count = len(records) if counted is None else counted
    return ident.to_bytes(2, "big") + b"\x84\0" + (b"\0\1" if question else b"\0\0") + \
        count.to_bytes(2, "big") + b"\0\0\0\0" + question + b"".join(records)


def mdns_advertised(expected):
    """Whether each host (10.201.N.2) answers for all its services: the SRV
    records of ser2net's, which avahi gives only once it has probed them,
    and the stand-in's _late._tcp. One question a query, so that no answer
    is cut."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as asker:
        asked = {}
        for number, names in expected.items():
            asker.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                             socket.inet_aton(f"10.201.{number}.1"))
            questions = [dns_name(f"{n}._iostream._tcp.local") + b"\0\x21\0\1" for n in names]
            if number == 3:
                questions = [dns_name("_late._tcp.local") + b"\0\x0c\0\1"]
            for question in questions:
                ident = len(asked) + 1
                asked[ident] = number
                asker.sendto(ident.to_bytes(2, "big") + b"\0\0\0\1" + b"\0" * 6 + question,
                             ("224.0.0.251", 5353))
        asker.settimeout(0.4)
        answered = {number: 0 for number in expected}
        try:
            while True:
                data, (host, _) = asker.recvfrom(9000)
                number = asked.get(int.from_bytes(data[:2], "big"))
                # Each SRV is in the answer once as a question and once as a record.
                if number == 3 and b"\x0alate-board" in data or \
                        number is not None and data.count(b"\0\x21\0\1") >= 2:
                    answered[number] += 1
        except socket.timeout:
            pass
    return all(answered[n] >= (1 if n == 3 else len(names)) for n, names in expected.items())


# What the stand-in responder on host 3 serves, each of its own types, to
# one-shot queries (and, when the flood flag file exists, _iostream._tcp to
# queries from port 5353): a good board and hostile packets around it, a
# board at 0.0.0.0, datagrams from another port for 3 s; a board 200 ms
# late; one board told of from two addresses; a board whose records never
# come before a whole one; and a farm of 20 hosts of 50 boards each, from
# as many addresses.
STAND_IN_ADDRESSES = [f"10.201.3.{2 + n}" for n in range(20)]
FLOOD = 10000


def serve_mdns_stand_in(flag):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", 5353))
    listener.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton("224.0.0.251") + socket.inet_aton("10.201.3.2"))
    senders = []
    for address in STAND_IN_ADDRESSES:
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sender.bind((address, 5353))
        senders.append(sender)
    elsewhere = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def hostile(ident, question, asker, kind):
        good = dns_service("survivor", kind, "10.201.1.2", 3001)
        wrong = dns_service("survivor", kind, "10.201.1.2", 9)
        here = 12 + len(question)  # where the first record begins
        srv = wrong[1][len(dns_name(f"survivor.{kind}.local")):]
        faults = [
            dns_packet(ident ^ 1, question, wrong),  # the wrong query ID
            dns_packet(ident, question, wrong, counted=5),  # counts more than it holds
            dns_packet(ident, question, wrong, counted=3),  # holds more than it counts
            # the SRV's owner a pointer to itself, then one past the packet
            dns_packet(ident, question, [b"\xc0" + bytes([here]) + srv]),
            dns_packet(ident, question, [b"\xc3\xff" + srv]),
            # another question than the one asked
            dns_packet(ident, dns_name("_http._tcp.local") + b"\0\x0c\0\1", wrong),
        ]
        # The faults come first: a packet taken would set survivor's port.
        for packet in faults + [dns_packet(ident, question, good)] + \
                [dns_packet(ident, question, dns_service(name, kind, address, 3001, host=name + ".local"))
                 for name, address in (("zz-zero", "0.0.0.0"), ("zz-loop", "127.0.0.1"))]:
            listener.sendto(packet, asker)
        ends = time.monotonic() + 1.2  # past the window's end
        while time.monotonic() < ends:  # answers from anything but port 5353 count for nothing
            elsewhere.sendto(dns_packet(ident, question, good), asker)

    def farm(asker):
        """Each host answers 20 to 120 ms late, as a responder delays its
        answer to a shared record (RFC 6762 section 6)."""
        def host(k, sender):
            time.sleep(random.uniform(0.02, 0.12))
            services = [dns_service(f"farm-{k:02}-{i:02}", "_farm._tcp", "10.201.1.2", 3001,
                                    host=f"farmhost{k}.local") for i in range(50)]
            for first in range(0, 50, 5):
                sender.sendto(dns_packet(0, b"", sum(services[first:first + 5], [])), asker)
        for k, sender in enumerate(senders):
            threading.Thread(target=host, args=(k, sender), daemon=True).start()

    def flood(asker):
        """A ninth address tells of one service whose host has 2,048
        addresses, then eight tell of 1,250 services each; a tenth tells of
        a service whose records come only after the flood, so that no
        lookup ends before the flood has all come."""
        senders[9].sendto(dns_packet(0, b"", dns_service("zz-wait", "_iostream._tcp", "10.201.1.2",
                                                         3001, records=False)), asker)
        senders[8].sendto(dns_packet(0, b"", dns_service("flood", "_iostream._tcp", "10.7.0.1", 3001,
                                                         host="flood.local")), asker)
        for first in range(0, 2048, 128):
            senders[8].sendto(dns_packet(0, b"", [
                dns_record("flood.local", DNS_A, socket.inet_aton(f"10.7.{n // 200}.{n % 200 + 2}"))
                for n in range(first, first + 128)]), asker)
        for first in range(0, FLOOD, 20):
            records = [dns_record("_iostream._tcp.local", DNS_PTR,
                                  dns_name(f"flood-{n}._iostream._tcp.local"))
                       for n in range(first, first + 20)]
            senders[first * 8 // FLOOD].sendto(dns_packet(0, b"", records), asker)
        senders[9].sendto(dns_packet(0, b"", dns_service("zz-wait", "_iostream._tcp", "10.201.1.2",
                                                         3001)[1:]), asker)

    def shared_answer(query, asker, received):
        """Answers from port 5353 to a querier on it: cloned hosts telling
        of one instance at different boards; a board that moves, its first
        host saying goodbye 50 ms later; a board that sorts first from a
        host 110 ms late; a board whose records come only when asked for,
        while answers of another type come every 10 ms."""
        def send(sender, records):
            sender.sendto(dns_packet(0, b"", records), asker)
        if b"\x06_clone" in query:
            for n, sender in enumerate(senders[:2]):
                send(sender, dns_service("clone", "_clone._tcp", f"10.201.{n + 1}.2", 3001,
                                         host="raspberrypi.local", txt=[b"serial=CLONE%d" % (n + 1)]))
        elif b"\x06_moved" in query:
            send(senders[0], dns_service("moved", "_moved._tcp", "10.201.1.2", 3000, host="a.local"))
            send(senders[1], dns_service("moved", "_moved._tcp", "10.201.1.2", 3001, host="b.local"))
            time.sleep(0.05)  # before the lookup may end, 125 ms after its question
            send(senders[0], dns_service("moved", "_moved._tcp", "10.201.1.2", 3000, host="a.local",
                                         ttl=0))
        elif b"\x05_slow" in query:
            send(senders[0], dns_service("b-slow", "_slow._tcp", "10.201.1.2", 3002))
            time.sleep(max(0.0, received + 0.11 - time.monotonic()))
            send(senders[1], dns_service("a-slow", "_slow._tcp", "10.201.1.2", 3001, host="a.local"))
        elif query[12:13] == b"\x0b":  # a follow-up, for quiet-board's records
            send(listener, dns_service("quiet-board", "_quiet._tcp", "10.201.1.2", 3001, pointer=False))
        else:
            send(listener, dns_service("quiet-board", "_quiet._tcp", "10.201.1.2", 3001, records=False))
            for _ in range(120):
                send(senders[1], [dns_record("_noise._tcp.local", DNS_PTR,
                                             dns_name("noise._noise._tcp.local"))])
                time.sleep(0.01)

    def answer(query, asker):
        ident, question = int.from_bytes(query[:2], "big"), query[12:]
        kind = next(k for k in ("_hostile._tcp", "_late._tcp", "_twice._tcp", "_partial._tcp")
                    if dns_name(k + ".local") in question)
        if kind == "_hostile._tcp":
            hostile(ident, question, asker, kind)
        elif kind == "_late._tcp":
            time.sleep(0.2)
            listener.sendto(dns_packet(ident, question, dns_service(
                "late-board", kind, "10.201.1.2", 3001)), asker)
        elif kind == "_twice._tcp":  # under two host names
            for n, sender in enumerate(senders[:2]):
                sender.sendto(dns_packet(ident, question, dns_service(
                    "twice-board", kind, "10.201.1.2", 3001, host=f"twice{n}.local")), asker)
        else:
            listener.sendto(dns_packet(ident, question, dns_service(
                "aa-partial", kind, "10.201.1.2", 3001, records=False) +
                dns_service("bb-board", kind, "10.201.1.2", 3001)), asker)

    own = [dns_name(k + ".local") + b"\0\x0c"
           for k in ("_hostile._tcp", "_late._tcp", "_twice._tcp", "_partial._tcp")]
    flooding = dns_name("_iostream._tcp.local") + b"\0\x0c"
    while True:
        query, asker = listener.recvfrom(9000)
        if query[2] & 0x80 or query[4:6] == b"\0\0":
            continue
        if asker[1] == 5353 and any(k in query for k in (b"\x06_clone", b"\x06_moved", b"\x06_quiet", b"\x05_slow")):
            threading.Thread(target=shared_answer, args=(query, asker, time.monotonic()),
                             daemon=True).start()
        elif query[4:6] != b"\0\1":
            continue
        elif asker[1] == 5353 and dns_name("_farm._tcp.local") in query:
            threading.Thread(target=farm, args=(asker,), daemon=True).start()
        elif asker[1] != 5353 and any(k in query for k in own):
            threading.Thread(target=answer, args=(query, asker), daemon=True).start()
        elif asker[1] == 5353 and flooding in query and os.path.exists(flag):
            threading.Thread(target=flood, args=(asker,), daemon=True).start()


# Each Windows build runs under the loader of its own word size, named here
# rather than left to the wine script's guess.
WINE_LOADERS = {"32": "/usr/lib/wine/wine", "64": "/usr/lib/wine/wine64"}
WINESERVER = "/usr/lib/wine/wineserver"


def wine_unavailable(bits):
    """Why this machine cannot run the given Wine loader, or None."""
    loader = WINE_LOADERS[bits]
    if not os.path.exists(loader) or not os.path.exists(WINESERVER):
        return f"Wine is missing ({loader}): the {bits}-bit Windows build is not run"
    try:
        status = subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
    except OSError as error:
        status = 126 if error.errno == errno.ENOEXEC else error.errno
    if status == 126 and bits == "32":
        return "this kernel cannot run 32-bit programs: the i386 build is checked from its file only"
    if status != 0:
        return f"{loader} --version exited with status {status}: the {bits}-bit build is not run"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", choices=sorted(WINE_LOADERS))
    parser.add_argument("--prefix", default="wineprefix")
    parser.add_argument("--kit", required=True)
    parser.add_argument("--identity", nargs=3, required=True,
                        metavar=("DESCRIPTION", "COPYRIGHT", "COMPANY"))
    parser.add_argument("--variants", help="folder of the Windows builds with odd resources")
    parser.add_argument("--emulator", help="qemu-user command line for another architecture")
    parser.add_argument("--ser2net", help="the ser2net program the remote rows run against")
    parser.add_argument("--sredird", help="the sredird program the sredird rows run against")
    parser.add_argument("--server-kit", help="the kit for ser2net's architecture, if not --kit's")
    parser.add_argument("--avahi", help="the avahi-daemon program the mdns:// rows run against")
    parser.add_argument("--rows", help="a regular expression: only the rows it finds in their names run")
    parser.add_argument("binary")
    if sys.argv[1:2] == ["--mdns-stand-in"]:
        return serve_mdns_stand_in(sys.argv[2])
    options = parser.parse_args()
    if os.environ.get("KOVEX_PRIVATE_DEV") != "1":
        print("skipped: refusing to run outside a private /dev and lock directory (use private_dev.sh)")
        return 77
    if not os.path.exists(options.binary):
        print(f"{options.binary} is missing: build it first")
        return 1
    if options.wine:
        reason = wine_unavailable(options.wine)
        if reason:
            print(f"skipped: {reason}")
            return 77

    try:
        runner = Runner(options)
    except SetupFailed as failure:
        print(failure)
        return 1
    platform = "wine" if options.wine else "native"
    cases = CASES + FAULTS + LOCKING + HOSTILE + USBSER + HWGREP
    if runner.ser2net:
        cases += REMOTE
        if not runner.sredird:
            print(f"skipped: sredird is missing ({options.sredird}): no row through sredird")
            cases = [c for c in cases if not c.name.startswith("sredird")]
        if "IPV6" not in runner.ports:
            print("skipped: this machine has no IPv6 loopback: the IPv6 row does not run")
            cases = [c for c in cases if "{IPV6}" not in c.args]
        cases = [c for c in cases if "TWOFOLD" in runner.ports or "{TWOFOLD}" not in c.args]
        if runner.mdns:
            print(f"skipped: {runner.mdns}")
        else:
            cases += MDNS
    else:
        print(f"skipped: ser2net is missing ({options.ser2net}): no row through a network server")
    cases = [c for c in cases if c.only in (None, platform)]
    try:
        if any(c.other_user for c in cases):
            subprocess.run(["true"], user=OTHER_UID, group=OTHER_UID, extra_groups=[], check=True)
    except (OSError, subprocess.SubprocessError):
        print(f"skipped: this run cannot take uid {OTHER_UID} (it is not root): "
              "the permission row does not run")
        cases = [c for c in cases if not c.other_user]
    checks = [(c.name, lambda c=c: runner.run(c)) for c in cases]
    if runner.ser2net:
        checks.append(("remote: second client while one holds the port",
                       lambda: runner.exclusive("REMOTE", GIVEN_BACK)))
    if runner.sredird:
        checks.append(("sredird: second client while one holds the port",
                       lambda: runner.exclusive("SREDIRD")))
    if runner.ser2net and not runner.mdns:
        for client in ("", ", beside the client's own avahi"):
            if client:
                checks.append(("mdns: the client's own avahi-daemon starts",
                               lambda: [why for why in [runner.client_avahi()] if why]))
            checks.append((f"mdns: {len(MDNS_SERIES)} lookups in a row{client}",
                           lambda: runner.lookups(MDNS_SERIES)))
            checks.append((f"mdns: two lookups at the same moment{client}",
                           lambda: runner.lookups(MDNS_TOGETHER, together=True)))
            checks.append((f"mdns: two lookups at the same moment, wait=0.4{client}",
                           lambda: runner.lookups(MDNS_TOGETHER_SHORT, together=True, or_refused=True)))
    if not options.wine:  # Wine does not enforce exclusive opens
        checks.append(("port held by another run, second run as root", runner.exclusive))
        for number in (signal.SIGTERM, signal.SIGKILL):
            checks.append((f"run killed by {number.name} during its hold, HUPCL off",
                           lambda number=number: runner.killed(number)))
    if options.variants:
        for exe, banner in VARIANTS.items():
            checks.append((f"banner of {exe}", lambda exe=exe, banner=banner:
                           runner.variant(os.path.join(options.variants, exe), banner)))
    if options.rows:
        checks = [(name, check) for name, check in checks if re.search(options.rows, name)]
    failed = 0
    try:
        for name, check in checks:
            started = time.monotonic()
            faults = check()
            failed += bool(faults)
            print(f"{'FAIL' if faults else 'ok  '} {name} "
                  f"({time.monotonic() - started:.2f} s{runner.measured})")
            for fault in faults + [f"note: {n}" for n in runner.notes]:
                print("     " + fault.replace("\n", "\n     "))
            runner.notes.clear()
            runner.measured = ""
    finally:
        runner.close()
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
