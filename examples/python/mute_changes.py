#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints every mute change as the console reports it, until Ctrl-C.

    python3 mute_changes.py [-a ADDRESS]
"""
import argparse

import mixlink

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("-a", "--address", help="the console's address (default: discover it)")
args = parser.parse_args()

with mixlink.connect(args.address) as desk:
    try:
        for path, value in desk.events():
            if path.endswith(".mute"):
                print(f"{path} {'muted' if value else 'unmuted'}", flush=True)
    except KeyboardInterrupt:
        pass
