#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the console's real-time analyser to CSV: one row per meter datagram, the seconds since
the start and then the 120 band values (signed 16-bit, as the console sends them).

    python3 rta_csv.py [-a ADDRESS] [--seconds S] rta.csv
"""
import argparse
import csv
import time

import mixlink

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("output", help="the CSV file to write")
parser.add_argument("-a", "--address", help="the console's address (default: discover it)")
parser.add_argument("--seconds", type=float, default=10, help="how long to record (default 10)")
args = parser.parse_args()

with mixlink.connect(args.address) as desk, open(args.output, "w", newline="") as out:
    rows = csv.writer(out)
    rows.writerow(["seconds"] + [f"band {i}" for i in range(1, 121)])
    start = time.monotonic()
    for datagram in desk.meters(rta=True, timeout=2):
        elapsed = time.monotonic() - start
        if elapsed >= args.seconds:
            break
        rows.writerow([f"{elapsed:.3f}"] + mixlink.rta_values(datagram))
