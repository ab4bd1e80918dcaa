# SPDX-License-Identifier: MIT
"""Client for a digital mixing console's native network protocol: the console's node
dictionary, connections with value and container reads, change events and meters.

What the library has to say beyond a call's result (a reply that stopped short, a connection
reset) is logged as a warning to the logger 'mixlink', which has a NullHandler: it shows only
where the program configures logging (logging.basicConfig() puts it on stderr), and never
reaches stderr by itself."""

from collections.abc import Iterable, Iterator
from typing import Literal

__version__: str

Value = int | float | str
NodeType = Literal["container", "int", "float", "string", "slot"]

class Error(Exception):
    """A failure of the console link."""

    code: int | None
    """The library's result (a negative number), or None when a rule of this module refused
    the call (a second connection, a closed one)."""
    def __init__(self, message: str, code: int | None = None) -> None: ...

class Hash(int):
    """A value that names a node by its hash, such as the node a user control is assigned to."""

    @property
    def path(self) -> str | None:
        """That node's path, or None when the dictionary has no such node."""

class Node:
    """One node of the console's dictionary (no console needed)."""

    @property
    def token(self) -> int:
        """Row of the node in the dictionary."""
    @property
    def hash(self) -> int:
        """The node's hash, which names it on the wire."""
    @property
    def type(self) -> NodeType:
        """'container', 'int', 'float', 'string' or 'slot' (an integer user-control slot)."""
    @property
    def path(self) -> str:
        """The full dotted path, spelled as the console spells it."""
    @property
    def leaf_count(self) -> int:
        """Leaves at or below the node (1 for a leaf)."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def node(path: str) -> Node:
    """The node at path (any letter case); KeyError when there is none."""

def nodes(prefix: str = "") -> list[Node]:
    """Nodes in tree order: the subtree of prefix when it names a node, else every node whose
    path starts with prefix (any letter case); all of them for the empty prefix."""

def discover(timeout: float = 2.5) -> str | None:
    """Finds a console on the local network by broadcast and returns its address, or None.
    Probes go out in rounds of five, half a second apart, until timeout seconds are used (at
    least one round). Needs an IPv4 network with mask 255.255.255.0 (else Error, code -7).
    Runs while connections are open."""

def connect(address: str | None = None, timeout: float = 5.0) -> Console:
    """Connects to the console at address (A.B.C.D, A.B.C.D:PORT or a host name), or to the one
    discover() finds when address is None. timeout: the seconds connecting (the first
    keep-alive's answer included) may take, and reads wait by default. Each Console is a
    connection of its own: several may be open, calls on different ones run at once (the GIL
    released) and calls on one from several threads take turns. Error when the console cannot
    be reached."""

def rta_values(datagram: bytes | bytearray | memoryview) -> list[int]:
    """The 120 analyser band values of a meter datagram, as signed 16-bit numbers; ValueError
    when the datagram is too short to hold them."""

class Console:
    """The connection to a console, made by connect(). One per process; a context manager that
    closes it. Calls block (without holding the GIL) and run one at a time; reads made while
    iterating events consume the events that arrive meanwhile. Every read raises TimeoutError
    when its whole reply has not come within its timeout (default: the connection's), and Error
    with code -3 once the console has closed the connection."""

    @property
    def address(self) -> str:
        """The address connected to."""
    @property
    def timeout(self) -> float:
        """Seconds that reads wait when given no timeout."""
    @property
    def closed(self) -> bool:
        """True once closed."""
    def get(self, path: str, timeout: float | None = None) -> Value:
        """The value of the leaf at path: int, float, str, or Hash for a value that names a
        node. KeyError for an unknown path, ValueError for a container, TimeoutError when no
        reply comes within timeout seconds (default: the connection's)."""
    def get_many(self, paths: Iterable[str], timeout: float | None = None) -> dict[str, Value]:
        """get for each of paths (all checked before any is read): a dict keyed by the paths
        as given."""
    def dump(self, path: str, timeout: float | None = None) -> dict[str, Value | None]:
        """Every leaf below the container at path, read with one request: a dict of full path
        to value in tree order (None for a leaf whose reply held no value). ValueError for a
        leaf."""
    def dump_text(self, path: str, timeout: float | None = None) -> str:
        """The container's compact dump: each leaf's name relative to the leaf before it, '=',
        its value text, comma-separated, ending in a line feed."""
    def definition(self, path: str, timeout: float | None = None) -> bytes:
        """The node's definition bytes as the console sends them (a container's too)."""
    def raw(self, path: str, timeout: float | None = None) -> bytes:
        """The console's reply to a read of path, as received."""
    def events(self, timeout: float | None = None) -> EventIterator:
        """An iterator of (path, value) pairs as changes arrive; it ends after timeout seconds
        without one (never when None). Ctrl-C stops it."""
    def meters(
        self, rta: bool = True, port: int = 10026, bitmap: bytes = b"", timeout: float | None = None
    ) -> MeterIterator:
        """Subscribes to meters and returns an iterator of their datagrams as bytes, renewing
        the subscription while it runs. rta selects the analyser block (see rta_values); bitmap
        adds the console's meter selection (up to 29 bytes, one per meter group row). The
        iterator ends after timeout seconds without a datagram (never when None)."""
    def close(self) -> None:
        """Closes the connection; closing again does nothing."""
    def __enter__(self) -> Console: ...
    def __exit__(self, *exc: object) -> Literal[False]: ...

class EventIterator(Iterator[tuple[str, Value]]):
    """Change events of a Console, as (path, value) pairs."""

    def __iter__(self) -> EventIterator: ...
    def __next__(self) -> tuple[str, Value]: ...

class MeterIterator(Iterator[bytes]):
    """Meter datagrams of a Console, as bytes."""

    def __iter__(self) -> MeterIterator: ...
    def __next__(self) -> bytes: ...
