"""The switch as a WebSocket listener: applications dial it and say hello.

Each accepted connection must present "Authorization: Bearer <token>" in
its upgrade and then identify its application with ``hello``; from then on
the calls of that application are handed to it with StasisStart events and
its commands are answered.  Calls outlive connections: after a reconnection,
``resync`` lists the channels still alive for the application.
"""

from __future__ import annotations

import asyncio
import http
import json
import logging
import os
import weakref
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.datastructures import Headers
from websockets.http11 import Request, Response

from .connection import Connection
from .core import CLOSE_TIMEOUT, NOT_CONTROL, Simulator
from .model import Caller, Channel, Refusal, Timing, inbound_headers, inbound_payload
from .protocol import SUBPROTOCOL, Command

log = logging.getLogger("fenwix_sim")

DEFAULT_PATH = "/control/ws"
MAX_MESSAGE_BYTES = 64 * 1024 * 1024
_NEGOTIATE = object()


@dataclass
class UpgradeRecord:
    """One upgrade request the switch received, and the HTTP status it answered."""

    path: str
    headers: list[tuple[str, str]]
    status: int = 101
    subprotocol: str | None = None

    def header(self, name: str) -> str | None:
        lowered = name.lower()
        return next((value for key, value in self.headers if key.lower() == lowered), None)


@dataclass
class _Refusing:
    status: int
    body: str
    remaining: int | None
    headers: dict[str, str] = field(default_factory=dict)


class Switch(Simulator):
    """A simulated switch that applications connect to.

    Example::

        async with Switch(token="tok") as switch:
            ...  # point the application at switch.url
            call = await switch.offer_call("ch-1")
            answer = await switch.next_command("answer")
            assert answer.channel == "ch-1"

    Args:
        token: the bearer token applications must present.
        host, port: where to listen; port 0 picks a free port (see ``port``).
        path: the path ``url`` names (requests to other paths are served too).
        protocols: protocol numbers ``hello`` accepts; others are refused
            with unsupported_version.
        timing: how long simulated things take.
        media_backend: "fenwix-rtp" (everything works) or another name, on
            which anchored answers, recording and streaming are refused.
        announce_originated: push StasisStart for channels the application
            originates, so they reach its call handler like inbound calls.
        state_file: keep the live channels in this JSON file, and take them up
            again when started with it (a control plane restart that calls
            survived).
        transcript: called with one readable line per command, event and
            connection change.
    """

    def __init__(
        self,
        token: str = "tok",
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        path: str = DEFAULT_PATH,
        protocols: tuple[int, ...] = (1,),
        timing: Timing | None = None,
        media_backend: str = "fenwix-rtp",
        announce_originated: bool = True,
        state_file: str | os.PathLike[str] | None = None,
        transcript: Callable[[str], None] | None = None,
        ping_interval: float | None = None,
    ) -> None:
        super().__init__(timing=timing, media_backend=media_backend, transcript=transcript)
        self.token = token
        self.host = host
        self.path = path
        self.protocols = tuple(protocols)
        self.announce_originated = announce_originated
        self.state_file = Path(state_file) if state_file is not None else None
        self.upgrades: list[UpgradeRecord] = []
        self._port = port
        self._ping_interval = ping_interval
        self._server: Server | None = None
        self._refusing: _Refusing | None = None
        self._answer_subprotocol: Any = _NEGOTIATE
        self._upgrade_of: weakref.WeakKeyDictionary[ServerConnection, UpgradeRecord] = weakref.WeakKeyDictionary()
        self._loaded_state = False

    # -- lifecycle ---------------------------------------------------------------

    async def __aenter__(self) -> Switch:
        await self.start()
        return self

    async def __aexit__(self, *_exc: object) -> None:
        await self.close()

    @property
    def port(self) -> int:
        """The listening port (the one the system chose when started with port 0)."""
        return self._port

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self._port}{self.path}"

    @property
    def running(self) -> bool:
        return self._server is not None

    async def start(self) -> None:
        """Start listening (again, on the same port, after ``stop``)."""
        if self._server is not None:
            return
        if self.state_file is not None and not self._loaded_state:
            self._load_state()
        self._loaded_state = True
        self._server = await serve(
            self._handle,
            self.host,
            self._port,
            select_subprotocol=self._select_subprotocol,
            process_request=self._check_upgrade,
            process_response=self._shape_upgrade_answer,
            compression=None,
            max_size=MAX_MESSAGE_BYTES,
            ping_interval=self._ping_interval,
            close_timeout=CLOSE_TIMEOUT,
            server_header="fenwix-sim",
            logger=logging.getLogger("fenwix_sim.websockets"),
        )
        self._port = self._server.sockets[0].getsockname()[1]
        self._trace("switch", "**", f"listening on {self.url}")

    async def stop(
        self, *, keep_channels: bool = False, abort: bool = False, code: int = 1001, reason: str = ""
    ) -> None:
        """Stop listening and end every connection.

        ``keep_channels`` keeps the calls alive (a control plane that went
        away while the calls stayed up); otherwise they are forgotten.
        ``abort`` drops the TCP connections instead of closing them with a
        close frame carrying ``code``.
        """
        server, self._server = self._server, None
        if server is None:
            return
        if abort:
            for connection in self.live_connections:
                connection.abort()
        server.close(close_connections=not abort, code=code, reason=reason)
        await server.wait_closed()
        if not keep_channels:
            self.model.drop_all()
        self._trace("switch", "**", "stopped" + (" (channels kept)" if keep_channels else ""))

    async def restart(self, *, keep_channels: bool = True, abort: bool = False, downtime: float = 0.0) -> None:
        """``stop``, wait ``downtime`` seconds, and listen again on the same port."""
        await self.stop(keep_channels=keep_channels, abort=abort)
        if downtime:
            await asyncio.sleep(downtime)
        await self.start()

    async def close(self) -> None:
        """Stop everything: the listener, every connection, timers and tasks."""
        await self.stop(keep_channels=True)
        await self._close_everything()

    # -- the upgrade ---------------------------------------------------------------

    def refuse_upgrades(
        self, status: int = 503, body: str = "", *, times: int | None = None, headers: dict[str, str] | None = None
    ) -> None:
        """Answer upgrade requests with this HTTP status instead of 101.

        ``times`` limits how many are refused; None refuses until
        ``accept_upgrades``.
        """
        phrase = _phrase(status)
        self._refusing = _Refusing(status, body or phrase.lower(), times, dict(headers or {}))

    def accept_upgrades(self) -> None:
        """Go back to checking tokens normally."""
        self._refusing = None

    def answer_subprotocol(self, value: str | None) -> None:
        """Put ``value`` in the 101 answer's Sec-WebSocket-Protocol (None: leave it out),
        whatever the application asked for."""
        self._answer_subprotocol = value

    def negotiate_subprotocol(self) -> None:
        """Go back to selecting "fenwix-control.v1" when the application offers it."""
        self._answer_subprotocol = _NEGOTIATE

    def _select_subprotocol(self, _connection: ServerConnection, offered: Any) -> str | None:
        return SUBPROTOCOL if SUBPROTOCOL in offered else None

    def _check_upgrade(self, connection: ServerConnection, request: Request) -> Response | None:
        record = UpgradeRecord(request.path, list(request.headers.raw_items()))
        self.upgrades.append(record)
        self._upgrade_of[connection] = record
        self.model.changes.notify()
        refusing = self._refusing
        if refusing is not None:
            if refusing.remaining is not None:
                refusing.remaining -= 1
                if refusing.remaining <= 0:
                    self._refusing = None
            record.status = refusing.status
            self._trace("upgrade", "!!", f"refused with HTTP {refusing.status} (scripted)")
            return _response(refusing.status, refusing.body, refusing.headers)
        values = request.headers.get_all("Authorization")
        if values != [f"Bearer {self.token}"]:
            record.status = 401
            log.warning("upgrade refused: bad or missing bearer token")
            self._trace("upgrade", "!!", "refused with HTTP 401: bad or missing bearer token")
            return _response(401, "unauthorized")
        return None

    def _shape_upgrade_answer(
        self, connection: ServerConnection, request: Request, response: Response
    ) -> Response | None:
        if response.status_code == 101 and self._answer_subprotocol is not _NEGOTIATE:
            del response.headers["Sec-WebSocket-Protocol"]
            if self._answer_subprotocol is not None:
                response.headers["Sec-WebSocket-Protocol"] = self._answer_subprotocol
        record = self._upgrade_of.get(connection)
        if record is not None and response.status_code == 101:
            record.subprotocol = response.headers.get("Sec-WebSocket-Protocol")
        return None

    async def _handle(self, websocket: ServerConnection) -> None:
        request = websocket.request
        connection = Connection(
            websocket,
            self._new_connection_id(),
            path=request.path if request else "",
            request_headers=list(request.headers.raw_items()) if request else [],
            subprotocol=websocket.response.headers.get("Sec-WebSocket-Protocol") if websocket.response else None,
        )
        self._trace(connection.id, "++", f"connected from {_peer(websocket)}")
        await self._serve(connection)

    # -- the control verbs ------------------------------------------------------------

    def _control_verb(self, command: Command) -> Any:
        if command.verb == "hello":
            return self._hello(command)
        if command.verb == "resync":
            return self._resync(command)
        return NOT_CONTROL

    def _before_verb(self, command: Command) -> None:
        if command.connection is not None and command.connection.app is None:
            raise Refusal("protocol_error", f"{command.verb} before hello: say hello first")

    def _hello(self, command: Command) -> dict[str, Any]:
        args = command.args
        if not isinstance(args, dict) or not isinstance(args.get("app"), str) or not args["app"]:
            raise Refusal("bad_request", 'hello needs args {"app": <name>, "protocol": <number>}')
        protocol = args.get("protocol")
        if isinstance(protocol, bool) or not isinstance(protocol, int):
            raise Refusal("bad_request", 'hello: "protocol" must be an integer')
        if protocol not in self.protocols:
            supported = ", ".join(str(p) for p in self.protocols)
            raise Refusal(
                "unsupported_version", f"protocol {protocol} is not supported (this switch speaks {supported})"
            )
        return {"app": args["app"], "protocol": protocol, "subprotocol": SUBPROTOCOL}

    def _replied(self, command: Command) -> None:
        # The application is known once its hello has been answered ok, whether by
        # the switch itself or by a scripted responder.
        connection = command.connection
        if command.verb != "hello" or command.module is not None or connection is None:
            return
        reply = command.reply
        app = command.args.get("app") if isinstance(command.args, dict) else None
        if isinstance(reply, dict) and reply.get("status") == "ok" and isinstance(app, str) and app:
            connection.app = app
            self._trace(connection.id, "++", f"application {app} said hello")

    def _resync(self, command: Command) -> dict[str, Any]:
        connection = command.connection
        if connection is None or connection.app is None:
            raise Refusal("protocol_error", "resync before hello: say hello first")
        return {"channels": [c.snapshot() for c in self.model.channels.values() if c.app == connection.app]}

    # -- routing events ------------------------------------------------------------------

    def app_connection(self, app: str | None = None) -> Connection | None:
        """The live connection that said hello most recently (for ``app``, if given)."""
        for connection in reversed(self.connections):
            if connection.closed or connection.app is None:
                continue
            if app is None or connection.app == app:
                return connection
        return None

    async def wait_for_app(self, app: str | None = None, *, timeout: float = 5.0) -> Connection:
        """Wait until an application (``app``, if given) has connected and said hello."""
        return await self.model.changes.wait_until(
            lambda: self.app_connection(app), timeout, lambda: f"application {app or '(any)'} to connect and say hello"
        )

    def deliver(self, channel: Channel, frame: dict[str, Any]) -> None:
        if (
            not self.announce_originated
            and frame["event"] == "StasisStart"
            and isinstance(frame.get("payload"), dict)
            and frame["payload"].get("originated")
        ):
            return
        connection = self.app_connection(channel.app)
        if connection is None:
            self._trace(channel.id, "xx", f"{frame['event']} dropped: application {channel.app} is not connected")
            return
        self._push(connection, frame)

    # -- calls ------------------------------------------------------------------------

    async def offer_call(
        self,
        channel: str | None = None,
        *,
        app: str | None = None,
        payload: dict[str, Any] | None = None,
        call_id: str | None = None,
        sip_call_id: str | None = None,
        caller: Caller | None = None,
        vars: dict[str, str] | None = None,
        headers: dict[str, str] | None = None,
        anchored: bool = True,
        from_uri: str = "sip:alice@sim.fenwix",
        to_uri: str = "sip:100@sim.fenwix",
        timeout: float = 5.0,
    ) -> Channel:
        """Offer an inbound call: push StasisStart for a new channel to the application.

        Waits up to ``timeout`` for an application (``app``, if given) to be
        connected.  ``payload`` replaces the default StasisStart payload;
        ``caller`` scripts what the calling party does; ``anchored`` False
        makes a call whose media the switch only relays (no playback, no
        recording, no hold).
        """
        connection = await self.wait_for_app(app, timeout=timeout)
        created = self.model.create_channel(
            channel,
            app=connection.app,
            call_id=call_id,
            sip_call_id=sip_call_id,
            vars=vars,
            headers=headers,
            anchored=anchored,
            caller=caller,
        )
        if headers is None:
            created.headers = inbound_headers(created, from_uri, to_uri)
        self.model.announce(created, payload if payload is not None else inbound_payload(created, from_uri, to_uri))
        return created

    async def push_event(
        self,
        event: str,
        payload: Any = None,
        *,
        channel: str | None = None,
        app: str | None = None,
        connection: Connection | None = None,
        **members: Any,
    ) -> dict[str, Any]:
        """Push any event, for a channel or (without one) for the whole application.

        A known channel's event carries its call ids and goes where its
        events go; otherwise the frame goes to ``connection`` or to the
        application's connection.  Extra keywords become frame members
        (None removes one).  Returns the frame sent.
        """
        known = self.model.channels.get(channel) if channel is not None else None
        frame = self._frame(event, payload, known, members)
        if channel is not None and known is None:
            frame["channel"] = channel
        target = connection or (self.app_connection(known.app) if known else None) or self.app_connection(app)
        if target is None:
            raise RuntimeError("no application is connected to receive the event")
        if known is not None:
            known.frames.append(frame)
        await self._push(target, frame)
        return frame

    async def push_app_event(self, event: str, payload: Any = None, *, app: str | None = None) -> None:
        """Push an application-level event (no channel) to every connected application, or to ``app``."""
        targets = [c for c in self.live_connections if c.app is not None and (app is None or c.app == app)]
        for connection in targets:
            frame = self._frame(event, payload, None, {"app": connection.app})
            await self._push(connection, frame)

    async def send_raw(
        self, message: str | bytes, *, connection: Connection | None = None, app: str | None = None
    ) -> None:
        """Send any text (or, as bytes, a binary frame) to a connection."""
        target = (
            connection or self.app_connection(app) or (self.live_connections[-1] if self.live_connections else None)
        )
        if target is None:
            raise RuntimeError("no connection to send to")
        self._trace(target.id, "=>", f"raw {message!r:.200}")
        await self._post(target, message)

    async def disconnect(
        self, connection: Connection | str | None = None, *, code: int = 1000, reason: str = "", abort: bool = False
    ) -> None:
        """End one connection (default: the latest application connection), or all with ``connection="all"``."""
        if connection == "all":
            targets = self.live_connections
        else:
            target = (
                connection or self.app_connection() or (self.live_connections[-1] if self.live_connections else None)
            )
            targets = [target] if target is not None else []
        for target in targets:
            if abort:
                target.abort()
            else:
                target.post_close(code, reason)
        for target in targets:
            await target.wait_closed()

    # -- registrations ----------------------------------------------------------------------

    async def register(self, aor: str, *contacts: str, expires: int = 3600, notify: bool = True) -> None:
        """Register contacts at an address-of-record (dial/originate with aor ring them).

        With ``notify`` a RegistrationChanged event goes to every connected application.
        """
        known = self.model.registrar.setdefault(aor, [])
        for contact in contacts or (aor,):
            if contact not in known:
                known.append(contact)
            if notify:
                await self.push_app_event(
                    "RegistrationChanged", {"aor": aor, "contact": contact, "state": "registered", "expires": expires}
                )

    async def unregister(self, aor: str, contact: str | None = None, *, notify: bool = True) -> None:
        known = self.model.registrar.get(aor, [])
        gone = [c for c in known if contact is None or c == contact]
        self.model.registrar[aor] = [c for c in known if c not in gone]
        if notify:
            for item in gone:
                await self.push_app_event(
                    "RegistrationChanged", {"aor": aor, "contact": item, "state": "unregistered", "expires": 0}
                )

    # -- surviving a restart ---------------------------------------------------------------

    def channels_changed(self) -> None:
        if self.state_file is None or not self._loaded_state:
            return
        saved = []
        for channel in self.model.channels.values():
            snapshot = channel.snapshot()
            snapshot.update(
                app=channel.app,
                direction=channel.direction,
                headers=channel.headers,
                anchored=channel.anchored,
                payload=channel.payload,
            )
            saved.append(snapshot)
        temporary = self.state_file.with_name(self.state_file.name + ".tmp")
        temporary.write_text(json.dumps({"channels": saved}, indent=1, sort_keys=True))
        os.replace(temporary, self.state_file)

    def _load_state(self) -> None:
        assert self.state_file is not None
        try:
            saved = json.loads(self.state_file.read_text())
        except FileNotFoundError:
            return
        except (OSError, ValueError) as exc:
            raise ValueError(f"state file {self.state_file} is unreadable: {exc}") from None
        channels = saved.get("channels") if isinstance(saved, dict) else None
        if not isinstance(channels, list):
            raise ValueError(f'state file {self.state_file} has no "channels" list')
        for snapshot in channels:
            if isinstance(snapshot, dict) and isinstance(snapshot.get("channel"), str):
                self.model.restore_channel(snapshot)
                self._trace(snapshot["channel"], "**", f"survived the restart ({snapshot.get('state')})")


def _phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Refused"


def _response(status: int, body: str, headers: dict[str, str] | None = None) -> Response:
    data = body.encode()
    response_headers = Headers(
        [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(data))), ("Connection", "close")]
    )
    for name, value in (headers or {}).items():
        response_headers[name] = value
    return Response(status, _phrase(status), response_headers, data)


def _peer(websocket: ServerConnection) -> str:
    address = websocket.remote_address
    return f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
