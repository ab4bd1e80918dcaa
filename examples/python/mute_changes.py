#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints every mute change as the console reports it, until Ctrl-C.

    python3 mute_changes.py [-a ADDRESS]
"""
import argparse
import sys

import mixlink

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("-a", "--address", help="the console's address (default: discover it)")
args = parser.parse_args()

try:
    with mixlink.connect(args.address) as desk:
        for path, value in desk.events():
            if path.endswith(".mute"):
                print(f"{path} {'muted' if value else 'unmuted'}", flush=True)
except KeyboardInterrupt:
    pass
except (mixlink.Error, TimeoutError) as failure:
    sys.exit(f"mute_changes.py: {failure}")
