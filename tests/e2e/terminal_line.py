#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal of 60 columns and checks its redrawn line.

    terminal_line.py PROGRAM ARGS...

Every line drawn after a carriage return must fit in 59 columns, no second may hold more than
10 redraws, and some line must show a rate and a time left ("MB/s, " and " left"). Exits 1 with
the reason otherwise, or when the program fails.
"""
import fcntl
import os
import pty
import select
import struct
import sys
import termios
import time
import unicodedata

COLUMNS = 60


def columns(text):
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF"
               else 1 for c in text)


def main():
    argv = sys.argv[1:]
    pid, master = pty.fork()
    if pid == 0:
        os.execv(argv[0], argv)
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
    output, draws = b"", []
    while True:
        ready, _, _ = select.select([master], [], [], 30)
        if not ready:
            sys.exit("no output for 30 s")
        try:
            data = os.read(master, 65536)
        except OSError:  # the program ended and closed the terminal
            break
        if not data:
            break
        draws += [time.monotonic()] * data.count(b"\r")
        output += data
    _, status = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit("exit status %d: %r" % (code, output[-300:]))
    # The terminal turns "\n" into "\r\n"; only the program's own carriage returns are redraws.
    output = output.replace(b"\r\n", b"\n")
    draws = draws[: output.count(b"\r")]
    lines = [part.replace(b"\x1b[K", b"").rstrip(b"\n").decode("utf-8")
             for part in output.split(b"\r")]
    lines = [line for line in lines if line.strip()]
    for line in lines:
        if columns(line) > COLUMNS - 1:
            sys.exit("too wide (%d columns): %r" % (columns(line), line))
    for i, start in enumerate(draws):
        if len([t for t in draws[i:] if t - start < 1.0]) > 10:
            sys.exit("more than 10 redraws within a second")
    rated = [line for line in lines if "MB/s, " in line and " left" in line]
    if not rated:
        sys.exit("no line with a rate and a time left: %r" % lines)
    print("%d redraws, the widest %d columns; e.g. %r"
          % (len(lines), max(columns(line) for line in lines), rated[-1]))


if __name__ == "__main__":
    main()
