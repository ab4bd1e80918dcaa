# SPDX-License-Identifier: MIT
"""mixlink for asyncio programs: the same connection, reads, events and meters, awaited.

    async with await mixlink.aio.connect("127.0.0.1") as desk:
        print(await desk.get("ch.1.name"))
        async for path, value in desk.events(duration=10):
            print(path, value)

Each call runs the blocking call of mixlink.Console on a worker thread of the connection's own
(which waits without holding the GIL), so the event loop keeps running meanwhile; the calls of
one connection run one at a time, in the order they were made. The event stream hands over the
changes of each quarter of a second together, and both streams wait in steps of at most that
long, so leaving an `async for` (or cancelling its task) frees the worker within that time."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import time
from collections.abc import AsyncIterator, Callable, Iterable
from typing import Any, TypeVar

import mixlink

__all__ = ["Console", "connect"]

_STEP = 0.25  # the longest wait of one stream step on the worker thread

T = TypeVar("T")


class Console:
    """An open connection for asyncio, made by connect(); `async with` closes it."""

    def __init__(self, console: mixlink.Console, worker: concurrent.futures.ThreadPoolExecutor) -> None:
        self._console = console
        self._worker = worker

    @property
    def address(self) -> str:
        return self._console.address

    @property
    def timeout(self) -> float:
        return self._console.timeout

    @property
    def closed(self) -> bool:
        return self._console.closed

    async def _run(self, call: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._worker, functools.partial(call, *args, **kwargs))

    async def get(self, path: str, timeout: float | None = None) -> Any:
        """mixlink.Console.get, awaited."""
        return await self._run(self._console.get, path, timeout)

    async def get_many(self, paths: Iterable[str], timeout: float | None = None) -> dict[str, Any]:
        """mixlink.Console.get_many, awaited."""
        return await self._run(self._console.get_many, list(paths), timeout)

    async def dump(self, path: str, timeout: float | None = None) -> dict[str, Any]:
        """mixlink.Console.dump, awaited."""
        return await self._run(self._console.dump, path, timeout)

    async def dump_text(self, path: str, timeout: float | None = None) -> str:
        """mixlink.Console.dump_text, awaited."""
        return await self._run(self._console.dump_text, path, timeout)

    async def definition(self, path: str, timeout: float | None = None) -> bytes:
        """mixlink.Console.definition, awaited."""
        return await self._run(self._console.definition, path, timeout)

    async def raw(self, path: str, timeout: float | None = None) -> bytes:
        """mixlink.Console.raw, awaited."""
        return await self._run(self._console.raw, path, timeout)

    async def events(self, *, duration: float | None = None,
                     idle: float | None = None) -> AsyncIterator[tuple[str, Any]]:
        """(path, value) pairs as changes arrive, as mixlink.Console.events: the stream ends
        duration seconds after it began, or after idle seconds without a change."""
        _check(duration, "duration")
        _check(idle, "idle")
        start = quiet = time.monotonic()
        while True:
            now = time.monotonic()
            step = _STEP
            if duration is not None:
                step = min(step, start + duration - now)
            if idle is not None:
                step = min(step, quiet + idle - now)
            if step <= 0:
                return
            batch = await self._run(list, self._console.events(duration=step))
            for event in batch:
                yield event
            if batch:
                quiet = time.monotonic()

    async def meters(self, rta: bool = True, port: int = 10026, bitmap: bytes = b"", *,
                     duration: float | None = None, idle: float | None = None) -> AsyncIterator[bytes]:
        """Meter datagrams as bytes, as mixlink.Console.meters: the stream ends duration seconds
        after it began, or after idle seconds without a datagram."""
        _check(duration, "duration")
        _check(idle, "idle")
        stream = await self._run(self._console.meters, rta, port, bitmap, idle=_STEP)
        start = quiet = time.monotonic()
        while True:
            now = time.monotonic()
            if (duration is not None and now - start >= duration) or (idle is not None and now - quiet >= idle):
                return
            datagram = await self._run(next, stream, None)
            if datagram is None:
                # A quarter of a second without a datagram ends the blocking stream: subscribe again.
                stream = await self._run(self._console.meters, rta, port, bitmap, idle=_STEP)
                continue
            quiet = time.monotonic()
            yield datagram

    async def close(self) -> None:
        """Closes the connection once the calls before it have run; closing again does nothing."""
        if not self._console.closed:
            await self._run(self._console.close)
        self._worker.shutdown(wait=False)

    async def __aenter__(self) -> Console:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"<mixlink.aio.Console {self._console.address}{' closed' if self.closed else ''}>"


def _check(seconds: float | None, name: str) -> None:
    if seconds is not None and not seconds >= 0:
        raise ValueError(f"{name} must be 0 or more seconds")


async def connect(address: str | None = None, timeout: float = 5.0) -> Console:
    """mixlink.connect, awaited: the console at address, or the one discover() finds."""
    worker = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="mixlink")
    try:
        console = await asyncio.get_running_loop().run_in_executor(
            worker, functools.partial(mixlink.connect, address, timeout))
    except BaseException:
        worker.shutdown(wait=False)
        raise
    return Console(console, worker)
