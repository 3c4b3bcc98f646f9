"""One WebSocket control connection between the simulator and an application.

Outgoing messages go through a queue drained by a single writer task, so
that everything the simulator decides to send (a reply, then the events it
caused, then perhaps a close) reaches the wire in exactly that order, however
many tasks produce it.
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any

from websockets.asyncio.connection import Connection as WebSocket
from websockets.exceptions import ConnectionClosed
from websockets.protocol import State

from .protocol import encode

log = logging.getLogger("fenwix_sim")

_CLOSE = object()


class ConnectionGone(ConnectionError):
    """A message could not be sent because the connection is closed."""


class Connection:
    """A live (or finished) control connection.

    Attributes:
        id: "conn-N", unique within one simulator.
        app: the application name from ``hello`` (listener), or the dialled
            application (dialer); None before ``hello``.
        channel_id: for a per-call connection, the channel it carries.
        path: the request path of the upgrade.
        request_headers: the upgrade request's headers, as (name, value) pairs.
        subprotocol: the Sec-WebSocket-Protocol value of the 101 answer.
        close_code / close_reason: how the connection ended, once it has.
    """

    def __init__(
        self,
        websocket: WebSocket,
        conn_id: str,
        *,
        path: str = "",
        request_headers: list[tuple[str, str]] | None = None,
        subprotocol: str | None = None,
    ) -> None:
        self.websocket = websocket
        self.id = conn_id
        self.app: str | None = None
        self.channel_id: str | None = None
        self.path = path
        self.request_headers = request_headers or []
        self.subprotocol = subprotocol
        self._outbox: asyncio.Queue[tuple[Any, asyncio.Future[bool]]] = asyncio.Queue()
        self._writer = asyncio.get_running_loop().create_task(self._write_loop(), name=f"fenwix-sim writer {conn_id}")
        self._closing = False

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        who = f" app={self.app}" if self.app else ""
        return f"<Connection {self.id}{who} {state}>"

    # -- sending -----------------------------------------------------------

    def post(self, message: str | bytes) -> asyncio.Future[bool]:
        """Queue a message; the future says (True/False) whether it was written."""
        done: asyncio.Future[bool] = asyncio.get_running_loop().create_future()
        if self._closing or self.closed:
            done.set_result(False)
        else:
            self._outbox.put_nowait((message, done))
        return done

    def post_json(self, frame: Any) -> asyncio.Future[bool]:
        return self.post(encode(frame))

    async def send(self, message: str | bytes) -> None:
        """Send a text (str) or binary (bytes) message, after anything already queued.

        Raises ConnectionGone if the connection closed before it was written.
        """
        if not await self.post(message):
            raise ConnectionGone(f"{self.id} is closed")

    async def send_json(self, frame: Any) -> None:
        """Send any JSON value as one text message."""
        await self.send(encode(frame))

    async def close(self, code: int = 1000, reason: str = "") -> None:
        """Close with a close frame once the queued messages are out, and wait for the end."""
        self.post_close(code, reason)
        await self.wait_closed()

    def post_close(self, code: int = 1000, reason: str = "") -> None:
        """Queue a close frame behind the messages already queued."""
        if self._closing:
            return
        self._closing = True
        done: asyncio.Future[bool] = asyncio.get_running_loop().create_future()
        self._outbox.put_nowait(((_CLOSE, code, reason), done))

    def abort(self) -> None:
        """Drop the TCP connection at once: no close frame, queued messages lost."""
        self._closing = True
        transport = getattr(self.websocket, "transport", None)
        if transport is not None:
            transport.abort()

    # -- state -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self.websocket.state is State.CLOSED

    @property
    def close_code(self) -> int | None:
        return self.websocket.close_code

    @property
    def close_reason(self) -> str | None:
        return self.websocket.close_reason

    def request_header(self, name: str) -> str | None:
        """The first upgrade request header with this name (case-insensitive)."""
        lowered = name.lower()
        for key, value in self.request_headers:
            if key.lower() == lowered:
                return value
        return None

    async def wait_closed(self) -> None:
        await self.websocket.wait_closed()

    async def receive(self) -> str | bytes | None:
        """The next message from the application, or None once the connection has ended."""
        try:
            return await self.websocket.recv()
        except ConnectionClosed:
            return None

    async def shutdown(self) -> None:
        """Stop the writer after the connection has ended (or abort it first)."""
        if not self.closed:
            self.abort()
        self._writer.cancel()
        await asyncio.wait([self._writer])
        self._fail_queued()

    # -- internals -----------------------------------------------------------

    def _fail_queued(self) -> None:
        while not self._outbox.empty():
            _, done = self._outbox.get_nowait()
            if not done.done():
                done.set_result(False)

    async def _write_loop(self) -> None:
        try:
            while True:
                message, done = await self._outbox.get()
                if isinstance(message, tuple) and message[0] is _CLOSE:
                    _, code, reason = message
                    await self.websocket.close(code, reason)
                    done.set_result(True)
                    break
                try:
                    await self.websocket.send(message)
                except ConnectionClosed:
                    done.set_result(False)
                    break
                done.set_result(True)
        except Exception:  # the writer must never die silently with messages queued
            log.exception("writer of %s failed", self.id)
        finally:
            self._closing = True  # nothing queued from now on could ever be written
            self._fail_queued()
