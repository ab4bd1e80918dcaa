# SPDX-License-Identifier: MIT
"""The two types of the package written in Python: the error with its code, and the value that
names a node."""

from __future__ import annotations


class Error(Exception):
    """A failure of the console link. code is the library's result (a negative number), or
    None when a rule of this module refused the call (a second connection, a closed one)."""

    code: int | None

    def __init__(self, message: str, code: int | None = None) -> None:
        super().__init__(message)
        self.code = code


class Hash(str):
    """A value that names a node by its hash, such as the node a user control is assigned to.

    A str: that node's path, or the hash as 8 hex digits when the dictionary has no such node,
    so that it prints, compares and saves as JSON as the mixlink tool shows it. int(h) and
    h.hash are the hash; h.path is the path, or None."""

    hash: int
    path: str | None

    def __new__(cls, hash: int, path: str | None = None) -> Hash:
        number = int(hash) & 0xFFFFFFFF
        if path is None:
            from mixlink import _core  # the extension imports this module first

            path = _core._path_of_hash(number)
        value = super().__new__(cls, path if path is not None else f"{number:08x}")
        value.hash = number
        value.path = path
        return value

    def __int__(self) -> int:
        return self.hash

    __index__ = __int__

    def __getnewargs__(self) -> tuple[int, str | None]:  # type: ignore[override]
        return (self.hash, self.path)

    def __repr__(self) -> str:
        return f"mixlink.Hash(0x{self.hash:08x}, {self.path!r})"
