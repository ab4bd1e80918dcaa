# SPDX-License-Identifier: MIT
"""Reads, meters and errors against one plain mixsim."""
import struct
import threading
import time

import pytest

import mixlink

LONG_TEXT = "This console is simulated: every value lives in memory"


@pytest.mark.parametrize(
    "path, expected",
    [
        ("$stat.lock", 0),  # small integer
        ("io.in.LCL.1.icon", 1),  # offset integer: 1 to 64
        ("$syscfg.mac", "02:00:00:00:00:01"),  # short string
        ("ch.2.name", "CH 2"),  # tiny string
        ("$stat.usb", ""),  # empty string
        ("$stat.ppm", -12),  # 16-bit
        ("$syscfg.locktimeout", 1800),
        ("play.cnt", 100000),  # 32-bit
        ("cfg.mon.1.eq.on", 1),  # toggle
        ("$syscfg.brightness", 200),  # byte
        ("cfg.mon.1.$lvl", -30.0),  # float
    ],
)
def test_get_gives_each_kind_of_value(desk, path, expected):
    value = desk.get(path)
    assert value == expected and type(value) is type(expected)


def test_get_gives_long_texts_exact_floats_and_node_hashes(desk):
    text = desk.get("$ctl.user.1.1.ltxt")
    assert text.startswith(LONG_TEXT) and text.endswith("Nothing here is a real device.")
    for path in ("ch.1.dynsc.q", "cfg.mon.1.dly.m"):  # the 32-bit float, widened exactly
        raw = desk.raw(path)
        assert desk.get(path) == struct.unpack(">f", raw[6:10])[0]
    target = desk.get("$ctl.user.1.1.enc.1")
    assert isinstance(target, mixlink.Hash) and target == target.path == "ch.1.mute"
    assert int(target) == target.hash == mixlink.node("ch.1.mute").hash
    assert repr(target) == f"mixlink.Hash(0x{target.hash:08x}, 'ch.1.mute')"
    assert mixlink.Hash(0x12345678) == "12345678" and mixlink.Hash(0x12345678).path is None


@pytest.mark.parametrize("container", ["$stat", "$syscfg", "io.in.LCL.1", "$ctl.user.1.1", "play", "cfg.mon.1"])
def test_dump_gives_the_values_get_gives(desk, container):
    dumped = desk.dump(container)
    assert list(dumped) == [n.path for n in mixlink.nodes(container) if n.type != "container"]
    assert desk.get_many(list(dumped)) == dumped


def test_dump_of_ch_holds_every_leaf_in_tree_order(desk):
    dumped = desk.dump("ch")
    assert len(dumped) == 11520
    assert list(dumped) == [n.path for n in mixlink.nodes("ch") if n.type != "container"]
    assert None not in dumped.values() and dumped["ch.40.name"] == "CH 40"
    text = desk.dump_text("cfg.mon")
    assert text.startswith(".1.$lvl=") and text.endswith("\n")


def test_raw_and_definition_give_the_console_bytes(desk):
    fader = mixlink.node("ch.1.fdr")
    assert desk.raw("CH.1.FDR")[:5] == b"\xd7" + fader.hash.to_bytes(4, "big")
    first_leaf = mixlink.node("cfg.mainlink").hash.to_bytes(4, "big")
    assert desk.raw("cfg")[1:5] == first_leaf
    assert desk.definition("ch.1.fdr") and desk.definition("ch")


def test_meters_give_the_analyser_bands(desk):
    datagram = next(desk.meters(timeout=2))
    assert len(datagram) == 244
    assert mixlink.rta_values(bytearray(datagram)) == list(struct.unpack(">120h", datagram[4:]))


def test_events_end_after_a_quiet_timeout_without_the_keep_alive_answer(desk):
    start = time.monotonic()
    assert list(desk.events(timeout=0.5)) == []
    assert 0.5 <= time.monotonic() - start < 1.5


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda d: d.get("ch.41.fdr"), KeyError),
        (lambda d: d.get_many(["ch.1.fdr", "nope"]), KeyError),
        (lambda d: d.raw("no.such"), KeyError),
        (lambda d: d.definition("no.such"), KeyError),
        (lambda d: d.get("ch.1"), ValueError),
        (lambda d: d.dump("ch.1.fdr"), ValueError),
        (lambda d: d.dump_text("ch.1.fdr"), ValueError),
        (lambda d: d.get("ch.1.fdr", timeout=-1), ValueError),
        (lambda d: d.meters(rta=False), ValueError),
        (lambda d: d.meters(port=70000), ValueError),
        (lambda d: mixlink.rta_values(bytes(243)), ValueError),
        (lambda d: d.get_many("ch.1.fdr"), TypeError),
    ],
)
def test_bad_requests_raise_before_anything_is_sent(desk, call, error):
    with pytest.raises(error):
        call(desk)
    assert desk.get("ch.2.name") == "CH 2"  # the connection is still in step


def test_threads_share_the_connection_one_call_at_a_time(desk):
    ticks = 0
    waiter = threading.Thread(target=lambda: list(desk.events(timeout=0.5)))
    waiter.start()
    while waiter.is_alive():  # the GIL is free while the iterator waits
        ticks += 1
    assert ticks > 1000
    wrong = []

    def read(n):
        for i in range(1, 41):
            if desk.get(f"ch.{i}.name") != f"CH {i}":
                wrong.append(i)
        if len(desk.dump(f"ch.{n}")) != 288:
            wrong.append(n)

    readers = [threading.Thread(target=read, args=(n,)) for n in range(1, 5)]
    for t in readers:
        t.start()
    for t in readers:
        t.join()
    assert wrong == []
