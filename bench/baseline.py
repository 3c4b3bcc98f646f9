"""The baseline: what an application would write instead of using fenwix_control.

A small asyncio client for the switch's control protocol on the ``websockets``
library, doing the module's work the way a careful developer would in plain
Python: the bearer token and the subprotocol in the upgrade, ``hello``, command
ids "c-N", a table of futures for the replies, a reply time-out, a reader task
that routes replies and pushes each call's events into its own queue. JSON is
written the module's way (compact, keys sorted).

Both connection shapes: ``connect_client`` dials the switch; ``serve_calls``
listens for the switch's per-call connections.
"""

from __future__ import annotations

import asyncio
import itertools
import json
from collections.abc import Awaitable, Callable
from http import HTTPStatus
from typing import Any

from websockets.asyncio.client import ClientConnection, connect
from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.exceptions import ConnectionClosed

SUBPROTOCOL = "fenwix-control.v1"
MAX_MESSAGE = 16 * 1024 * 1024


class ControlError(Exception):
    def __init__(self, message: str, code: str | None = None) -> None:
        super().__init__(message)
        self.code = code


def _dumps(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), sort_keys=True)


class Call:
    """One call: its verbs go out on the session that announced it."""

    def __init__(self, session: Session, channel: str, start: dict[str, Any]) -> None:
        self.session = session
        self.channel = channel
        self.start = start
        self._events: asyncio.Queue[dict[str, Any] | None] = asyncio.Queue()

    async def command(self, verb: str, args: Any = None) -> Any:
        return await self.session.command("sip", verb, {"channel": self.channel}, args)

    async def play(self, **args: Any) -> Any:
        return await self.command("play", args)

    async def next_event(self) -> dict[str, Any] | None:
        """The call's next event; None once the call has ended."""
        return await self._events.get()


OnCall = Callable[[Call], Awaitable[None]]


class Session:
    """One WebSocket: command ids, pending replies and the reader task."""

    def __init__(
        self,
        ws: ClientConnection | ServerConnection,
        ids: itertools.count[int],
        on_call: OnCall | None,
        reply_timeout: float,
    ) -> None:
        self._ws = ws
        self._ids = ids
        self._on_call = on_call
        self._reply_timeout = reply_timeout
        self._pending: dict[str, asyncio.Future[dict[str, Any]]] = {}
        self._calls: dict[str, Call] = {}
        self._handlers: set[asyncio.Task[None]] = set()
        self.reader = asyncio.create_task(self._read())

    async def command(self, module: str | None, verb: str, target: Any = None, args: Any = None) -> Any:
        command_id = f"c-{next(self._ids)}"
        frame = {"id": command_id, "type": "command", "verb": verb, "target": target, "args": args}
        if module is not None:
            frame["module"] = module
        reply_slot = asyncio.get_running_loop().create_future()
        self._pending[command_id] = reply_slot
        try:
            await self._ws.send(_dumps(frame))
            async with asyncio.timeout(self._reply_timeout):
                reply = await reply_slot
        except ConnectionClosed:
            raise ControlError("control connection is closed") from None
        except TimeoutError:
            raise ControlError(f"timed out awaiting a reply after {self._reply_timeout}s") from None
        finally:
            self._pending.pop(command_id, None)
        if reply.get("status") == "error":
            error = reply.get("error") or {}
            raise ControlError(f"control command rejected: {error.get('message')}", error.get("code"))
        return reply.get("result")

    async def close(self) -> None:
        await self._ws.close()
        await self.reader

    async def _read(self) -> None:
        try:
            async for text in self._ws:
                if not isinstance(text, str):
                    continue
                try:
                    frame = json.loads(text)
                except ValueError:
                    continue
                kind = frame.get("type") if isinstance(frame, dict) else None
                if kind == "reply":
                    slot = self._pending.pop(frame.get("id"), None)
                    if slot is not None and not slot.done():
                        slot.set_result(frame)
                elif kind == "event":
                    self._route(frame)
        except ConnectionClosed:
            pass
        finally:
            for slot in self._pending.values():
                if not slot.done():
                    slot.set_exception(ControlError("control connection is closed"))
            self._pending.clear()
            for call in self._calls.values():
                call._events.put_nowait(None)
            self._calls.clear()

    def _route(self, frame: dict[str, Any]) -> None:
        channel = frame.get("channel")
        name = frame.get("event")
        if name == "StasisStart" and isinstance(channel, str):
            call = Call(self, channel, frame)
            self._calls[channel] = call
            if self._on_call is not None:
                task = asyncio.create_task(self._on_call(call))
                self._handlers.add(task)
                task.add_done_callback(self._handlers.discard)
            return
        call = self._calls.get(channel) if isinstance(channel, str) else None
        if call is None:
            return
        call._events.put_nowait(frame)
        if name == "StasisEnd":
            del self._calls[channel]
            call._events.put_nowait(None)


async def connect_client(
    url: str,
    app: str,
    token: str,
    *,
    on_call: OnCall | None = None,
    protocol: int = 1,
    reply_timeout: float = 10.0,
) -> Session:
    """Dial the switch, say hello, and return the live session."""
    ws = await connect(
        url,
        additional_headers={"Authorization": f"Bearer {token}"},
        subprotocols=[SUBPROTOCOL],
        max_size=MAX_MESSAGE,
    )
    if ws.subprotocol != SUBPROTOCOL:
        await ws.close()
        raise ControlError(f"the switch did not select the subprotocol {SUBPROTOCOL!r}")
    session = Session(ws, itertools.count(1), on_call, reply_timeout)
    hello = await session.command(None, "hello", None, {"app": app, "protocol": protocol})
    if not isinstance(hello, dict) or hello.get("subprotocol") != SUBPROTOCOL:
        await session.close()
        raise ControlError(f"handshake failed: bad hello reply {hello!r}")
    return session


async def serve_calls(
    host: str, port: int, token: str, on_call: OnCall, *, reply_timeout: float = 10.0
) -> Server:
    """Listen for the switch's per-call connections; each one is one call."""
    ids = itertools.count(1)
    accepted = {f"Bearer {token}", f"bearer {token}"}

    def check_token(connection: ServerConnection, request: Any) -> Any:
        if request.headers.get("Authorization") not in accepted:
            return connection.respond(HTTPStatus.UNAUTHORIZED, "unauthorized")
        return None

    async def handle(ws: ServerConnection) -> None:
        await Session(ws, ids, on_call, reply_timeout).reader

    return await serve(
        handle,
        host,
        port,
        process_request=check_token,
        subprotocols=[SUBPROTOCOL],
        select_subprotocol=lambda connection, offered: SUBPROTOCOL,
        max_size=MAX_MESSAGE,
    )
