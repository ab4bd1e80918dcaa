#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Saves every value of the console to a JSON file, keyed by full path in tree order.

    python3 save_json.py [-a ADDRESS] console.json
"""
import argparse
import sys
import json

import mixlink

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("output", help="the JSON file to write")
parser.add_argument("-a", "--address", help="the console's address (default: discover it)")
args = parser.parse_args()

values = {}
try:
    with mixlink.connect(args.address) as desk:
        # One request per top-level family ("ch", "bus", "$ctl", ...) reads all of its leaves.
        for family in mixlink.nodes():
            if "." not in family.path:
                values.update(desk.dump(family.path))
        address = desk.address
except (mixlink.Error, TimeoutError) as failure:
    sys.exit(f"save_json.py: {failure}")

with open(args.output, "w", encoding="utf-8") as out:
    json.dump(values, out, indent=1, ensure_ascii=False)
print(f"{len(values)} values of the console at {address} saved to {args.output}")
