# SPDX-License-Identifier: MIT
"""mixsim on loopback for the tests of the mixlink module (run under a private network namespace,
as ctest does through /work/tools/in-netns or scripts/test)."""
import contextlib
import os
import socket
import subprocess
import time

import pytest

import mixlink

MIXSIM = os.environ.get("MIXSIM", "")
ADDRESS = "127.0.0.1"


def port_accepts(port=2222):
    with socket.socket() as s:
        return s.connect_ex((ADDRESS, port)) == 0


@contextlib.contextmanager
def running_sim(*options):
    """mixsim with options, on 127.0.0.1, until the block ends."""
    if not MIXSIM:
        pytest.skip("MIXSIM names no mixsim executable")
    for _ in range(300):  # another run's simulator still on the port would answer for ours
        if not port_accepts():
            break
        time.sleep(0.01)
    sim = subprocess.Popen([MIXSIM, "--bind", ADDRESS, "--quiet", *options])
    try:
        for _ in range(300):
            if sim.poll() is not None:
                pytest.fail(f"mixsim {' '.join(options)} exited with {sim.returncode}")
            if port_accepts():
                break
            time.sleep(0.01)
        yield sim
    finally:
        sim.terminate()
        sim.wait(5)


@contextlib.contextmanager
def connected(*options, timeout=5.0):
    """A Console on a mixsim of its own with options."""
    with running_sim(*options), mixlink.connect(ADDRESS, timeout=timeout) as desk:
        yield desk


@pytest.fixture(scope="module")
def desk():
    """One Console on a plain mixsim for a whole test file."""
    with connected() as d:
        yield d
