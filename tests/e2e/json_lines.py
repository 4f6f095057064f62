#!/usr/bin/env python3
"""Checks what `vtupdate --json` wrote and prints its final object.

    json_lines.py FILE

Every line must be one JSON object with a known "event" and members of the documented types;
exactly one final event ("done", "check", "failed" or "stopped") must come, and last. Prints
the final object as sorted, ASCII-only JSON; with -e EVENT, prints the objects of that event
instead, one a line. Exits 1 (with the reason on standard error) when the output breaks a rule.
"""
import json
import sys

FINAL = {"done", "check", "failed", "stopped"}
TYPES = {
    "progress": {"text": str, "done": int, "total": int},
    "retry": {"error": str, "attempt": int, "attempts": int, "wait": (int, float)},
    "done": {"build": int},
    "check": {"build": int, "installed": (int, type(None)), "update": bool, "held_back": bool},
    "failed": {"error": str},
    "source": {"url": str, "files": int, "bytes": int, "failures": int, "damaged": bool},
    "stopped": {},
}


def fail(message):
    sys.stderr.write("json_lines: %s\n" % message)
    sys.exit(1)


def main():
    args = sys.argv[1:]
    only = None
    if len(args) == 3 and args[0] == "-e":
        only, args = args[1], args[2:]
    with open(args[0], "rb") as stream:
        raw = stream.read()
    objects = []
    for number, line in enumerate(raw.split(b"\n")[:-1], 1):
        try:
            value = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            fail("line %d is not JSON (%s): %r" % (number, error, line))
        if not isinstance(value, dict) or value.get("event") not in TYPES:
            fail("line %d is not a known event: %r" % (number, line))
        for name, kind in TYPES[value["event"]].items():
            if name not in value or not isinstance(value[name], kind) or (
                    kind is int and isinstance(value[name], bool)):
                fail("line %d: member %r missing or of the wrong type" % (number, name))
        if value["event"] == "progress":
            if value["done"] < 0 or (value["total"] > 0 and value["done"] > value["total"]):
                fail("line %d: done out of range" % number)
        objects.append(value)
    if not raw.endswith(b"\n") and raw:
        fail("the output does not end with a line break")
    finals = [i for i, value in enumerate(objects) if value["event"] in FINAL]
    if len(finals) != 1 or finals[0] != len(objects) - 1:
        fail("want exactly one final event, last; events: %s" % [o["event"] for o in objects])
    if only is not None:
        for value in objects:
            if value["event"] == only:
                print(json.dumps(value, sort_keys=True))
        return
    print(json.dumps(objects[-1], sort_keys=True))


if __name__ == "__main__":
    main()
