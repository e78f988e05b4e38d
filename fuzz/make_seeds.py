#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into a directory, one folder per target.

The decoder's seeds are the literal events of every family from the report
table (tests/frames/fixtures/reports.inc): each alone with logs on, alone
into a full window, and twice in a row (the second a repeat). The text and
time seeds are a few valid and invalid texts and times of day. Inputs that
once crashed a target (REGRESSIONS_DIR/<target>/) join them, named
regression-<file>.

Usage: make_seeds.py REPORTS_INC REGRESSIONS_DIR OUTPUT_DIR
"""
import os
import re
import shutil
import struct
import sys

LOG_ALL = 0x0F
TICKS = 0x10


def report_events(path):
    """(name, event bytes) of every case of the table, in order."""
    text = open(path, encoding="ascii").read()
    cases = text[text.index("REPORT_CASES"):]
    events = []
    # A case: {"name", "hex" "hex" ..., result, ...}
    for m in re.finditer(r'\{"(\w+)",\s*((?:"[0-9A-F]*"\s*)+),', cases):
        digits = "".join(re.findall(r'"([0-9A-F]*)"', m.group(2)))
        events.append((m.group(1), bytes.fromhex(digits)))
    if len(events) < 11:
        sys.exit(f"{path}: found only {len(events)} cases")
    return events


def chunk(event):
    return bytes([len(event)]) + event


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    reports, regressions, out = sys.argv[1], sys.argv[2], sys.argv[3]
    dirs = {t: os.path.join(out, t) for t in ("decoder", "text", "time")}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)

    for name, event in report_events(reports):
        event = event[:50]
        write(dirs["decoder"], name, bytes([0, 0, LOG_ALL]) + chunk(event))
        write(dirs["decoder"], name + "_full", bytes([100, 50, LOG_ALL]) + chunk(event))
        write(dirs["decoder"], name + "_twice",
              bytes([0, 0, LOG_ALL | TICKS]) + chunk(event) + chunk(event))

    texts = {
        "relay": (0, b"hall", b"CBFD786BAA68", b"000102030405060708090A0B0C0D0E0F"),
        "dimmer_lower": (1 | 4, b"lamp", b"0a1b2c3d4e5f", b"f0e1d2c3b4a5968778695a4b3c2d1e0f"),
        "pwm_long_name": (2 | 4, b"n" * 70, b"665544332211", b"2B7E151628AED2A6ABF7158809CF4F3C"),
        "bad_addr": (4, b"x", b"CBFD786BAA6", b"00"),
        "bad_key": (4, b"x", b"CBFD786BAA68", b"000102030405060708090A0B0C0D0E0"),
    }
    for name, (control, *pieces) in texts.items():
        control |= 16 << 3  # convert 16 bytes directly too
        write(dirs["text"], name, bytes([control]) + b"\0".join(pieces))

    noon_monday = 4 * 86400 + 12 * 3600  # 1970-01-05 12:00 UTC, a Monday
    times = {
        "noon": (12.0, 12.1, 0x3E),
        "last_minute": (23.59, 6.0, 0x7F),
        "across_midnight": (22.0, 6.0, 0x41),
        "bad_minute": (12.6, 12.595, 0x0E),
        "negative_zero": (-0.0, 24.0, 0x7F),
        "nan": (float("nan"), float("inf"), 0xFF),
    }
    for name, (a, b, mask) in times.items():
        write(dirs["time"], name, struct.pack("<ffBI", a, b, mask, noon_monday))

    for target, d in dirs.items():
        found = os.path.join(regressions, target)
        if os.path.isdir(found):
            for name in sorted(os.listdir(found)):
                shutil.copyfile(os.path.join(found, name), os.path.join(d, "regression-" + name))


if __name__ == "__main__":
    main()
