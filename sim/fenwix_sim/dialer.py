"""The switch as a dialler: one WebSocket connection to the application per call.

For every call the switch wants the application to control it opens a
connection to the application's per-call server, presenting
"Authorization: Bearer <token>" and asking for the "fenwix-control.v1"
subprotocol.  The first frame on the connection is the call's StasisStart;
the call's verbs arrive on that connection and its events leave on it, and
the switch closes it once the call has ended.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from websockets.asyncio.client import ClientConnection, connect
from websockets.datastructures import Headers
from websockets.exceptions import InvalidHandshake, InvalidStatus
from websockets.http11 import Response

from .connection import Connection
from .core import CLOSE_TIMEOUT, NOT_CONTROL, Simulator
from .model import Caller, Channel, Refusal, Timing, inbound_headers, inbound_payload
from .protocol import SUBPROTOCOL, Command

log = logging.getLogger("fenwix_sim")

MAX_MESSAGE_BYTES = 64 * 1024 * 1024


class _Unset:
    def __repr__(self) -> str:
        return "UNSET"


UNSET: Any = _Unset()


@dataclass(frozen=True)
class UpgradeResponse:
    """The application's HTTP answer to an upgrade request."""

    status: int
    reason: str
    headers: tuple[tuple[str, str], ...]
    body: bytes

    @classmethod
    def from_response(cls, response: Response) -> UpgradeResponse:
        return cls(
            response.status_code,
            response.reason_phrase,
            tuple(response.headers.raw_items()),
            bytes(response.body or b""),
        )

    def header(self, name: str) -> str | None:
        """The first header with this name (case-insensitive), or None."""
        lowered = name.lower()
        return next((value for key, value in self.headers if key.lower() == lowered), None)

    @property
    def subprotocol(self) -> str | None:
        """The Sec-WebSocket-Protocol of the answer, exactly as sent (None if absent)."""
        return self.header("Sec-WebSocket-Protocol")

    @property
    def text(self) -> str:
        return self.body.decode("utf-8", "replace")


class UpgradeRefused(Exception):
    """The application answered the upgrade with something other than 101."""

    def __init__(self, response: UpgradeResponse) -> None:
        super().__init__(f"upgrade refused with HTTP {response.status} {response.reason}: {response.text!r}")
        self.response = response


def _accept_any_subprotocol(headers: Headers) -> str | None:
    values = headers.get_all("Sec-WebSocket-Protocol")
    return ", ".join(values) if values else None


class _ObservingClientConnection(ClientConnection):
    """A client connection that takes whatever subprotocol the server names.

    The simulator reports the answer instead of judging it, so that a test
    can assert on a 101 that carries a subprotocol nobody asked for.
    """

    def __init__(self, protocol: Any, **kwargs: Any) -> None:
        protocol.process_subprotocol = _accept_any_subprotocol
        super().__init__(protocol, **kwargs)


class Dialer(Simulator):
    """A simulated switch that dials each call into an application's per-call server.

    Example::

        async with Dialer("ws://127.0.0.1:8790/", token="tok") as dialer:
            call = await dialer.dial("ch-1")
            assert call.upgrade.subprotocol == "fenwix-control.v1"
            answer = await dialer.next_command("answer")

    Args:
        url: the application's WebSocket URL.
        token: the bearer token presented in every upgrade.
        app: the application name written into event frames.
        subprotocols: what the upgrade requests (None or () requests none).
        close_after_end: close a call's connection once its StasisEnd is out.
    """

    def __init__(
        self,
        url: str,
        token: str = "tok",
        *,
        app: str = "sim",
        subprotocols: Sequence[str] | None = (SUBPROTOCOL,),
        timing: Timing | None = None,
        media_backend: str = "fenwix-rtp",
        close_after_end: bool = True,
        open_timeout: float = 5.0,
        transcript: Callable[[str], None] | None = None,
        ping_interval: float | None = None,
    ) -> None:
        super().__init__(timing=timing, media_backend=media_backend, transcript=transcript)
        self.url = url
        self.token = token
        self.app = app
        self.subprotocols = tuple(subprotocols) if subprotocols else None
        self.close_after_end = close_after_end
        self.open_timeout = open_timeout
        self._ping_interval = ping_interval
        self._backlog: dict[str, list[dict[str, Any]]] = {}

    async def __aenter__(self) -> Dialer:
        return self

    async def __aexit__(self, *_exc: object) -> None:
        await self.close()

    async def close(self) -> None:
        """End every connection and stop every timer and task."""
        await self._close_everything()

    # -- opening connections ----------------------------------------------------------

    async def _open(
        self,
        *,
        url: str | None,
        token: str | None,
        authorization: Any,
        subprotocols: Any,
        headers: dict[str, str] | None,
    ) -> tuple[ClientConnection | None, UpgradeResponse]:
        extra: list[tuple[str, str]] = []
        if authorization is UNSET:
            authorization = f"Bearer {self.token if token is None else token}"
        if authorization is not None:
            extra.append(("Authorization", authorization))
        extra.extend((headers or {}).items())
        if subprotocols is UNSET:
            subprotocols = self.subprotocols
        try:
            websocket = await connect(
                url or self.url,
                additional_headers=extra,
                subprotocols=list(subprotocols) if subprotocols else None,
                compression=None,
                proxy=None,
                open_timeout=self.open_timeout,
                ping_interval=self._ping_interval,
                close_timeout=CLOSE_TIMEOUT,
                max_size=MAX_MESSAGE_BYTES,
                user_agent_header="fenwix-sim",
                create_connection=_ObservingClientConnection,
                logger=logging.getLogger("fenwix_sim.websockets"),
            )
        except InvalidStatus as refused:
            response = UpgradeResponse.from_response(refused.response)
            self._trace("dial", "!!", f"upgrade refused with HTTP {response.status}")
            return None, response
        assert websocket.response is not None
        return websocket, UpgradeResponse.from_response(websocket.response)

    def _adopt(self, websocket: ClientConnection, upgrade: UpgradeResponse) -> Connection:
        request = websocket.request
        connection = Connection(
            websocket,
            self._new_connection_id(),
            path=request.path if request else "",
            request_headers=list(request.headers.raw_items()) if request else [],
            subprotocol=upgrade.subprotocol,
        )
        connection.app = self.app
        self._trace(
            connection.id, "++", f"dialled {self.url} (HTTP {upgrade.status}, subprotocol {upgrade.subprotocol})"
        )
        self._spawn(self._serve(connection))
        return connection

    async def try_upgrade(
        self,
        *,
        url: str | None = None,
        token: str | None = None,
        authorization: Any = UNSET,
        subprotocols: Any = UNSET,
        headers: dict[str, str] | None = None,
    ) -> UpgradeResponse:
        """Attempt an upgrade and report the answer; a connection that opens is closed at once.

        ``authorization`` replaces the whole Authorization header (None sends
        none); ``subprotocols`` replaces what is requested (None requests none).
        """
        websocket, response = await self._open(
            url=url, token=token, authorization=authorization, subprotocols=subprotocols, headers=headers
        )
        if websocket is not None:
            await websocket.close()
        return response

    async def connect(
        self,
        *,
        url: str | None = None,
        token: str | None = None,
        authorization: Any = UNSET,
        subprotocols: Any = UNSET,
        headers: dict[str, str] | None = None,
    ) -> Connection:
        """Open a connection that carries no call: nothing is sent until the test sends it.

        Commands arriving on it are recorded and answered like any others.
        Raises UpgradeRefused when the application does not answer 101.
        """
        websocket, response = await self._open(
            url=url, token=token, authorization=authorization, subprotocols=subprotocols, headers=headers
        )
        if websocket is None:
            raise UpgradeRefused(response)
        return self._adopt(websocket, response)

    # -- calls -----------------------------------------------------------------------

    async def dial(
        self,
        channel: str | None = None,
        *,
        payload: dict[str, Any] | None = None,
        call_id: str | None = None,
        sip_call_id: str | None = None,
        caller: Caller | None = None,
        vars: dict[str, str] | None = None,
        headers: dict[str, str] | None = None,
        anchored: bool = True,
        from_uri: str = "sip:alice@sim.fenwix",
        to_uri: str = "sip:100@sim.fenwix",
        url: str | None = None,
        token: str | None = None,
        authorization: Any = UNSET,
        subprotocols: Any = UNSET,
        upgrade_headers: dict[str, str] | None = None,
    ) -> Channel:
        """Dial one call into the application: connect, then push its StasisStart.

        Returns the new channel; ``channel.connection`` is its connection and
        ``channel.upgrade`` the application's 101 answer.  Raises
        UpgradeRefused (with the answer) when the upgrade is refused.
        """
        if channel is not None and channel in self.model.channels:
            raise ValueError(f"channel {channel!r} is already in use")
        websocket, response = await self._open(
            url=url, token=token, authorization=authorization, subprotocols=subprotocols, headers=upgrade_headers
        )
        if websocket is None:
            raise UpgradeRefused(response)
        connection = self._adopt(websocket, response)
        created = self.model.create_channel(
            channel,
            app=self.app,
            call_id=call_id,
            sip_call_id=sip_call_id,
            vars=vars,
            headers=headers,
            anchored=anchored,
            caller=caller,
        )
        if headers is None:
            created.headers = inbound_headers(created, from_uri, to_uri)
        created.connection = connection
        created.upgrade = response
        connection.channel_id = created.id
        self.model.announce(created, payload if payload is not None else inbound_payload(created, from_uri, to_uri))
        return created

    async def push_event(self, event: str, payload: Any = None, *, channel: str, **members: Any) -> dict[str, Any]:
        """Push any event on a channel's connection (extra keywords become frame members,
        None removes one).  Returns the frame sent."""
        known = self.model.channels.get(channel) or self.model.ended.get(channel)
        if known is None or known.connection is None:
            raise KeyError(f"no connection carries channel {channel!r}")
        frame = self._frame(event, payload, known, members)
        known.frames.append(frame)
        await self._push(known.connection, frame)
        return frame

    # -- what the simulator core asks -------------------------------------------------------

    def _control_verb(self, command: Command) -> Any:
        if command.verb in ("hello", "resync"):
            raise Refusal("unsupported_verb", f"{command.verb} is not used on per-call connections")
        return NOT_CONTROL

    def _app_of(self, connection: Connection | None) -> str | None:
        return self.app

    def deliver(self, channel: Channel, frame: dict[str, Any]) -> None:
        if channel.connection is not None:
            self._push(channel.connection, frame)
            return
        if frame["event"] == "StasisStart":
            # A channel the switch made itself (an originate): it gets a call connection of its own.
            self._backlog[channel.id] = [frame]
            self._spawn(self._dial_for(channel))
        elif channel.id in self._backlog:
            self._backlog[channel.id].append(frame)
        else:
            self._trace(channel.id, "xx", f"{frame['event']} dropped: no connection carries this channel")

    async def _dial_for(self, channel: Channel) -> None:
        try:
            websocket, response = await self._open(
                url=None, token=None, authorization=UNSET, subprotocols=UNSET, headers=None
            )
        except (OSError, TimeoutError, ValueError, InvalidHandshake) as exc:
            log.warning("could not dial the application for channel %s: %s", channel.id, exc)
            websocket = None
        backlog = self._backlog.pop(channel.id, [])
        if websocket is None:
            self._trace(channel.id, "xx", "the application could not be dialled; hanging up")
            self.model.end(channel, "control_unreachable")
            return
        connection = self._adopt(websocket, response)
        channel.connection = connection
        channel.upgrade = response
        connection.channel_id = channel.id
        for frame in backlog:
            self._push(connection, frame)
        if not channel.alive and self.close_after_end:
            connection.post_close(1000, "call ended")

    def channel_ended(self, channel: Channel) -> None:
        if self.close_after_end and channel.connection is not None:
            channel.connection.post_close(1000, "call ended")

    def _connection_lost(self, connection: Connection) -> None:
        # Without its control connection the call cannot be steered any more: hang it up.
        if self._shutting_down:
            return
        channel = self.model.channels.get(connection.channel_id or "")
        if channel is not None and channel.connection is connection:
            self.model.end(
                channel, "control_lost", hangup_request={"initiator": "switch", "reason": "control connection lost"}
            )
