# SPDX-License-Identifier: MIT
"""The node dictionary, without a console."""
import pytest

import mixlink


@pytest.mark.parametrize(
    "path, token, hash_, type_, leaves",
    [
        ("cfg", 28, 0xEDCA7AF9, "container", 194),
        ("CFG", 28, 0xEDCA7AF9, "container", 194),  # any letter case
        ("cfg.mon.1.$lvl", 33, 0x7933BF16, "float", 1),
        ("cfg.mon.1.eq.on", 38, 0xF92F4380, "int", 1),
        ("ch", 7308, 0x70B10139, "container", 11520),
        ("ch.1.send.1", None, None, "container", None),  # a group whose stored count is 0
        ("ch.2.name", None, None, "string", 1),
        ("$ctl.user.gpio.1.bu.1", None, None, "slot", 1),
        ("$globals.custsync.c", 38516, 0xBDB0969B, "int", 1),
    ],
)
def test_node_describes_the_row(path, token, hash_, type_, leaves):
    n = mixlink.node(path)
    assert n.path.lower() == path.lower()
    assert n.type == type_
    for got, want in ((n.token, token), (n.hash, hash_), (n.leaf_count, leaves)):
        if want is not None:
            assert got == want
    if path == "ch.1.send.1":
        assert n.leaf_count > 0  # counted below the node, not taken from the table


@pytest.mark.parametrize("path", ["ch.41", "$$unknown", "", "ch.1.", "ch\0.1"])
def test_unknown_path_raises_key_error(path):
    with pytest.raises(KeyError):
        mixlink.node(path)


def test_nodes_lists_a_subtree_or_a_prefix_in_tree_order():
    everything = mixlink.nodes()
    assert len(everything) == 38516
    assert [n.token for n in everything] == list(range(1, 38517))
    channel = mixlink.nodes("ch.1")  # a node: its subtree, not ch.10 to ch.19
    assert len(channel) == 332 and channel[0].path == "ch.1"
    assert sum(n.type != "container" for n in channel) == 288
    assert all(n.path.startswith("ch.1.") for n in channel[1:])
    assert mixlink.nodes("CH.1") == channel
    assert {n.path for n in mixlink.nodes("cfg.mo")} == {n.path for n in mixlink.nodes("cfg.mon")}
    assert mixlink.nodes("no.such") == []
