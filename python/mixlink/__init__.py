# SPDX-License-Identifier: MIT
"""Client for a digital mixing console's native network protocol: the console's node
dictionary, connections with value and container reads, change events and meters; and
mixlink.aio, the same for asyncio programs.

What the library has to say beyond a call's result (a reply that stopped short, a connection
reset) is logged as a warning to the logger 'mixlink', which has a NullHandler: it shows only
where the program configures logging (logging.basicConfig() puts it on stderr), and never
reaches stderr by itself.

Node and value types share one set of words with the mixlink tool: a node is a 'container',
'int', 'float', 'string' or 'slot' (a user-control slot); a value is an int, a float, a str, or
a Hash (a str: the path of the node it names)."""

from mixlink._types import Error, Hash
from mixlink._core import (
    Console,
    EventIterator,
    MeterIterator,
    Node,
    __version__,
    connect,
    discover,
    node,
    nodes,
    rta_values,
)

__all__ = [
    "Console",
    "Error",
    "EventIterator",
    "Hash",
    "MeterIterator",
    "Node",
    "__version__",
    "connect",
    "discover",
    "node",
    "nodes",
    "rta_values",
]
