# SPDX-License-Identifier: MIT
"""Discovery, only ever inside a network namespace that this test makes for itself: the probe is a
broadcast, which must not reach a shared network."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

INSIDE = textwrap.dedent(
    """
    import socket, subprocess, threading, time, mixlink

    def sh(command):
        subprocess.run(command, shell=True, check=True)

    sh("ip link set lo up && ip link add mlv0 type veth peer name mlv1")
    sh("ip link set mlv0 up && ip link set mlv1 up")
    try:
        mixlink.discover()
        raise SystemExit("discovery without a /24 network did not fail")
    except mixlink.Error as e:
        assert e.code == -7, e.code
    sh("ip addr add 10.77.0.1/24 dev mlv0 && ip route add 255.255.255.255/32 dev mlv0")

    # A console: answers probes on UDP 2222 with its address, takes connections on TCP 2222.
    probes = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probes.bind(("", 2222))
    native = socket.create_server(("127.0.0.1", 2222))
    answering = True
    def answer():
        while True:
            data, sender = probes.recvfrom(64)
            if data == b"WING?" and answering:
                probes.sendto(b"WING,127.0.0.1,Test Console,T-1,S1,1.0", sender)
    threading.Thread(target=answer, daemon=True).start()

    assert mixlink.discover() == "127.0.0.1"
    with mixlink.connect() as desk:
        assert desk.address == "127.0.0.1"
        assert mixlink.discover() == "127.0.0.1"  # while connected: a socket of its own
    answering = False
    start = time.monotonic()
    assert mixlink.discover(timeout=3) is None
    assert 4.5 < time.monotonic() - start < 6, "two rounds of five probes"
    print("ok")
    """
)


def test_discover_finds_the_console_that_answers_the_probe():
    if os.geteuid() != 0:
        pytest.skip("making a network namespace needs root")
    if not shutil.which("unshare") or not shutil.which("ip"):
        pytest.skip("unshare and ip (util-linux, iproute2) are needed to make a network namespace")
    inside = ["unshare", "--net", sys.executable, "-c", INSIDE]
    done = subprocess.run(inside, capture_output=True, text=True, timeout=60)
    if done.returncode != 0 and "unshare failed" in done.stderr:
        pytest.skip(f"cannot make a network namespace: {done.stderr.strip()}")
    assert done.stdout == "ok\n", done.stderr
