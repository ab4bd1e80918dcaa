# SPDX-License-Identifier: MIT
"""The connection's rules and failures, each against a mixsim of its own."""
import logging
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import mixlink
from conftest import ADDRESS, connected, running_sim


def test_consoles_are_connections_of_their_own_that_run_at_once():
    with running_sim("--latency", "200"):
        first = mixlink.connect(ADDRESS)
        second = mixlink.connect(f"{ADDRESS}:2222")
        # Two reads of 200 ms each on two threads: together about one read's time, since each
        # Console has its own link and the GIL is released while they wait.
        got = {}
        start = time.monotonic()
        threads = [threading.Thread(target=lambda d=d, k=k: got.setdefault(k, d.get("ch.2.name")))
                   for k, d in (("first", first), ("second", second))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == {"first": "CH 2", "second": "CH 2"}
        assert time.monotonic() - start < 0.38
        # Two threads on one Console take turns: both reads are answered, each with its own value.
        got.clear()
        threads = [threading.Thread(target=lambda p=p: got.setdefault(p, first.get(p)))
                   for p in ("ch.2.name", "ch.3.name")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == {"ch.2.name": "CH 2", "ch.3.name": "CH 3"}
        first.close()
        first.close()
        with pytest.raises(mixlink.Error, match="closed"):
            first.get("ch.2.name")
        assert second.get("ch.2.name") == "CH 2"  # the other connection stays
        second.close()
        assert second.closed and "closed" in repr(second)
        with pytest.raises(mixlink.Error, match="closed"):
            second.dump("ch.1")


def test_no_console_at_the_address_is_an_error_with_the_library_code():
    with pytest.raises(mixlink.Error) as failed:
        mixlink.connect(ADDRESS)
    assert failed.value.code == -7
    with running_sim(), mixlink.connect(ADDRESS) as desk:  # nothing was left open
        assert desk.address == ADDRESS


def test_a_read_past_its_deadline_raises_timeout_error():
    with connected("--ignore-keepalive") as desk:  # no answer for $syscfg.consolename
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            desk.get("$syscfg.consolename", timeout=0.3)
        assert 0.3 <= time.monotonic() - start < 1.0
        assert desk.get("ch.2.name") == "CH 2"


def test_every_read_keeps_its_deadline_when_the_console_is_silent():
    reads = {
        "get": lambda d: d.get("ch.1.fdr", timeout=0.3),
        "dump": lambda d: d.dump("ch.1", timeout=0.3),
        "dump_text": lambda d: d.dump_text("ch.1", timeout=0.3),
        "raw": lambda d: d.raw("ch.1.fdr", timeout=0.3),
        "definition": lambda d: d.definition("ch.1.fdr", timeout=0.3),
    }
    # A console that takes the connection and never answers (not even the keep-alive).
    with socket.create_server((ADDRESS, 2222)), mixlink.connect(ADDRESS, timeout=60) as desk:
        for name, read in reads.items():
            start = time.monotonic()
            with pytest.raises(TimeoutError):
                read(desk)
            assert 0.3 <= time.monotonic() - start < 0.8, name


def test_connecting_to_a_silent_console_keeps_the_timeout():
    # The keep-alive that connecting sends gets no answer: its wait is within the timeout too.
    with socket.create_server((ADDRESS, 2222)):
        start = time.monotonic()
        with mixlink.connect(ADDRESS, timeout=0.3) as desk:
            assert 0.3 - 0.01 <= time.monotonic() - start < 0.3 + 0.3
            assert desk.timeout == 0.3


@pytest.mark.parametrize("split", [[], ["--split", "3"]], ids=["whole", "cut into 3-byte segments"])
def test_events_give_the_changes_the_console_makes(split):
    with connected("--animate", *split) as desk:  # ch.1's fader ramps and its mute toggles each second
        seen = {}
        start = time.monotonic()
        for path, value in desk.events(timeout=2):
            seen.setdefault(path, []).append(value)
            if time.monotonic() - start > 1.5:
                break
        assert set(seen) == {"ch.1.fdr", "ch.1.mute", "cfg.mon.1.$lvl"}
        assert {type(v) for v in seen["ch.1.fdr"] + seen["cfg.mon.1.$lvl"]} == {float}
        assert len(set(seen["ch.1.fdr"])) > 5 and set(seen["ch.1.mute"]) <= {0, 1}
        assert desk.get("ch.1.mute") in (0, 1)  # a read between events stays in step


def test_a_reply_cut_short_is_an_error_and_the_library_says_why_through_logging(caplog, capfd):
    with connected("--close-after-bytes", "50000") as desk, caplog.at_level(logging.WARNING, "mixlink"):
        with pytest.raises(mixlink.Error, match="closed the connection"):
            desk.raw("ch")  # about 90 kB
    said = [r.getMessage() for r in caplog.records if r.name == "mixlink"]
    assert len(said) == 1 and re.fullmatch(r"wGetBinaryNode: reply for ch stopped after \d+ of 11520 entries", said[0])
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("read", ["get", "events", "meters"])
def test_a_console_that_goes_away_is_an_error_not_a_hang(read):
    with running_sim() as sim, mixlink.connect(ADDRESS, timeout=2) as desk:
        meters = desk.meters(timeout=5)
        sim.terminate()
        sim.wait(5)
        start = time.monotonic()
        with pytest.raises(mixlink.Error) as failed:
            if read == "get":
                desk.get("ch.2.name")
            elif read == "events":
                list(desk.events(timeout=5))
            else:
                list(meters)
        assert failed.value.code in (-3, -4)
        assert time.monotonic() - start < 1


@pytest.mark.parametrize("read", ["events", "meters"])
def test_a_console_that_stops_answering_is_an_error_within_the_bound(read):
    with running_sim() as sim, mixlink.connect(ADDRESS, timeout=2) as desk:
        stream = desk.events(timeout=30) if read == "events" else desk.meters(timeout=30)
        os.kill(sim.pid, signal.SIGSTOP)  # its sockets stay open; it answers nothing
        try:
            start = time.monotonic()
            with pytest.raises(mixlink.Error, match="stopped answering") as lost:
                for _ in stream:
                    pass
            assert lost.value.code == -15
            assert time.monotonic() - start < 6
        finally:
            os.kill(sim.pid, signal.SIGCONT)


CHILD = textwrap.dedent(
    """
    import sys, mixlink
    desk = mixlink.connect("127.0.0.1")
    stream = desk.events() if sys.argv[1] == "events" else desk.meters()
    print("waiting", flush=True)
    try:
        for _ in stream:
            pass
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


@pytest.mark.parametrize("stream", ["events", "meters"])
def test_ctrl_c_ends_a_waiting_iterator(stream):
    with running_sim("--rate", "0.1"):  # no events, a datagram every 10 s
        child = subprocess.Popen([sys.executable, "-c", CHILD, stream], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)
        start = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, _ = child.communicate(timeout=5)
        assert time.monotonic() - start < 0.5
        assert out == "interrupted\n" and child.returncode == 0
