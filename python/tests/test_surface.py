# SPDX-License-Identifier: MIT
"""One value for one leaf across the tool and the package, bounded event streams, and the
asyncio interface that never blocks its event loop."""
import asyncio
import json
import os
import struct
import subprocess
import time

import pytest

import mixlink
from mixlink import aio
from conftest import ADDRESS, connected, running_sim

CLI = os.environ.get("MIXLINK_CLI", "")


def tool(*arguments):
    if not CLI:
        pytest.skip("MIXLINK_CLI names no mixlink tool")
    done = subprocess.run([CLI, "-a", ADDRESS, *arguments], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return done.stdout


def same(value):
    """A value as both sides can agree on it: floats as the 32-bit float they came as."""
    return struct.unpack("f", struct.pack("f", value))[0] if isinstance(value, float) else value


@pytest.mark.parametrize(
    "container, leaf, expected",
    [
        ("ch.1", "ch.1.icon", 1),  # an offset integer
        ("ch.1", "ch.1.name", "CH 1"),
        ("ch.1", "ch.1.fdr", 0.0),
        ("$ctl.user.1.1", "$ctl.user.1.1.enc.1", "ch.1.mute"),  # a value that names a node
        ("$ctl.user.1.1", "$ctl.user.1.1.enc.2", 0),
    ],
)
def test_every_leaf_reads_the_same_in_get_dump_the_tool_and_python(container, leaf, expected):
    with connected() as desk:
        leaves = [n.path for n in mixlink.nodes(container) if n.type != "container"]
        views = {
            "python dump": desk.dump(container),
            "python get": desk.get_many(leaves),
            "tool dump --json": json.loads(tool("dump", container, "--json")),
            "tool get --json": json.loads(tool("get", *leaves, "--json")),
        }
        listed = [line.split("\t") for line in tool("nodes", container).splitlines()]
    for name, view in views.items():
        assert list(view) == leaves, name
        assert {k: same(v) for k, v in view.items()} == {k: same(v) for k, v in views["python dump"].items()}, name
        assert view[leaf] == expected and isinstance(view[leaf], type(expected)), name
    # One set of type words: the tool's nodes and Node.type.
    assert [(path, word) for _, _, word, path in listed] == [(n.path, n.type) for n in mixlink.nodes(container)]


@pytest.mark.parametrize(
    "options, stream, seconds",
    [
        ((), {"duration": 1.0}, 1.0),  # no change comes: duration ends it
        (("--animate",), {"duration": 1.0}, 1.0),  # changes all the time: duration still ends it
        ((), {"idle": 0.5}, 0.5),
        (("--animate",), {"duration": 1.0, "idle": 5}, 1.0),  # never idle for long
    ],
)
def test_events_end_after_their_duration_or_idle_time(options, stream, seconds):
    with connected(*options) as desk:
        start = time.monotonic()
        got = list(desk.events(**stream))
        took = time.monotonic() - start
    assert seconds <= took < seconds + 0.5
    assert bool(got) == ("--animate" in options)


def test_aio_reads_while_the_loop_keeps_ticking():
    async def main():
        ticks = []

        async def ticker():
            while True:
                ticks.append(time.monotonic())
                await asyncio.sleep(0.02)

        async with await aio.connect(ADDRESS) as desk:
            clock = asyncio.create_task(ticker())
            start = time.monotonic()
            name = await desk.get("ch.1.name")  # each reply 0.8 s late
            took = time.monotonic() - start
            many = await desk.get_many(["ch.1.fdr", "ch.2.name"])
            dumped = await desk.dump("cfg.mon.1.eq")
            events = [e async for e in desk.events(duration=1.0)]
            meters = [m async for m in desk.meters(duration=1.5)]
            # A second connection, by another form of the address: reads on both run at once.
            async with await aio.connect("localhost:2222") as other:
                start_both = time.monotonic()
                both = await asyncio.gather(desk.get("ch.1.name"), other.get("ch.2.name"))
                both_took = time.monotonic() - start_both
            clock.cancel()
        during = [t for t in ticks if start <= t <= start + took]
        gaps = [b - a for a, b in zip(ticks, ticks[1:])]
        return name, took, many, dumped, events, meters, during, gaps, desk.closed, both, both_took

    with running_sim("--latency", "800", "--animate"):
        name, took, many, dumped, events, meters, during, gaps, closed, both, both_took = asyncio.run(main())
    assert name == "CH 1" and took >= 0.8
    assert len(during) >= 20, "the loop ran on while the read waited"
    assert max(gaps) < 0.3
    assert many == {"ch.1.fdr": many["ch.1.fdr"], "ch.2.name": "CH 2"} and dumped["cfg.mon.1.eq.on"] == 1
    assert events and all(isinstance(path, str) for path, _ in events)
    assert meters and len(mixlink.rta_values(meters[0])) == 120
    assert closed
    assert both == ["CH 1", "CH 2"] and both_took < 1.5, "two consoles' reads overlap"
