#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the console's real-time analyser to CSV: one row per meter datagram, the seconds since
the start and then the 120 band values (signed 16-bit, as the console sends them).

    python3 rta_csv.py [-a ADDRESS] [--seconds S] rta.csv
"""
import argparse
import sys
import csv
import time

import mixlink

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("output", help="the CSV file to write")
parser.add_argument("-a", "--address", help="the console's address (default: discover it)")
parser.add_argument("--seconds", type=float, default=10, help="how long to record (default 10)")
args = parser.parse_args()

try:
    with mixlink.connect(args.address) as desk, open(args.output, "w", newline="") as out:
        rows = csv.writer(out)
        rows.writerow(["seconds"] + [f"band {i}" for i in range(1, 121)])
        start = time.monotonic()
        for datagram in desk.meters(rta=True, duration=args.seconds, idle=2):
            rows.writerow([f"{time.monotonic() - start:.3f}"] + mixlink.rta_values(datagram))
except (mixlink.Error, TimeoutError, OSError) as failure:
    sys.exit(f"rta_csv.py: {failure}")
