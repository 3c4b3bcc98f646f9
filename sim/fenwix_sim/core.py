"""What both simulators share: the command pipeline, scripting and records.

A message from an application is recorded, parsed into a ``Command`` and
answered: by the first matching scripted responder, or else by the simulated
switch (``fenwix_sim.verbs``).  Replies and the events they cause leave
through the connection's ordered outbox, reply first.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
from collections.abc import Awaitable, Callable, Coroutine
from dataclasses import dataclass
from functools import cached_property
from typing import Any

from .connection import Connection
from .model import Callee, CallModel, Channel, Refusal, Timing
from .protocol import (
    BadFrame,
    Command,
    ReceivedFrame,
    decode,
    encode,
    event_frame,
    parse_command,
    reply_error,
    reply_ok,
    with_members,
)
from .replies import DEFAULT, Outcome, Responder, ResponderFunction, as_reply, error
from .verbs import VERBS, VerbContext, describe

log = logging.getLogger("fenwix_sim")

TRANSCRIPT_WIDTH = 240
# How long a closing handshake may take before the simulator drops the connection.
CLOSE_TIMEOUT = 1.0


@dataclass(eq=False)
class SentMessage:
    """A message the simulator queued for an application."""

    connection: Connection
    data: str | bytes

    @cached_property
    def frame(self) -> Any:
        """The message parsed as JSON (None for binary or non-JSON messages)."""
        if isinstance(self.data, bytes):
            return None
        try:
            return decode(self.data)
        except ValueError:
            return None

    @cached_property
    def event(self) -> str | None:
        """The event name, when the message is an event frame."""
        if isinstance(self.data, str) and '"event"' in self.data:
            frame = self.frame
            if isinstance(frame, dict) and frame.get("type") == "event":
                return frame.get("event")
        return None


class Simulator:
    """Base of ``Switch`` and ``Dialer``: one simulated switch and its records.

    Records (all in arrival or sending order):
        frames: every message received, usable or not (``ReceivedFrame``).
        commands: every command parsed from them, hello and resync included.
        sent: every message sent to an application (``SentMessage``).
        connections: every connection, open or finished.
    """

    def __init__(
        self,
        *,
        timing: Timing | None = None,
        media_backend: str = "fenwix-rtp",
        transcript: Callable[[str], None] | None = None,
    ) -> None:
        self.model = CallModel(self, timing=timing, media_backend=media_backend)
        self.transcript = transcript
        self.frames: list[ReceivedFrame] = []
        self.commands: list[Command] = []
        self.sent: list[SentMessage] = []
        self.connections: list[Connection] = []
        self._responders: list[Responder] = []
        self._taken: set[int] = set()
        self._tasks: set[asyncio.Task[Any]] = set()
        self._connection_numbers = 0
        self._shutting_down = False

    # -- the call model, for tests -----------------------------------------------

    @property
    def timing(self) -> Timing:
        return self.model.timing

    @property
    def channels(self) -> dict[str, Channel]:
        """Live channels by id."""
        return self.model.channels

    def channel(self, channel_id: str) -> Channel:
        """A channel by id, live or ended (KeyError if the switch never had it)."""
        found = self.model.channels.get(channel_id) or self.model.ended.get(channel_id)
        if found is None:
            raise KeyError(f"no channel {channel_id!r}")
        return found

    @property
    def callees(self) -> dict[str, Callee]:
        """How each dialled URI answers; URIs not listed use ``default_callee``."""
        return self.model.callees

    @property
    def default_callee(self) -> Callee:
        return self.model.default_callee

    @default_callee.setter
    def default_callee(self, callee: Callee) -> None:
        self.model.default_callee = callee

    @property
    def registrar(self) -> dict[str, list[str]]:
        """Contacts registered at each address-of-record."""
        return self.model.registrar

    @property
    def live_connections(self) -> list[Connection]:
        return [c for c in self.connections if not c.closed]

    # -- scripting ----------------------------------------------------------------

    def respond(
        self,
        verb: str,
        answer: Outcome | ResponderFunction,
        *,
        times: int | None = None,
        channel: str | None = None,
        module: Any = ...,
    ) -> Responder:
        """Answer ``verb`` (or every verb, with "*") with ``answer`` instead of the default.

        ``answer`` is an outcome (see ``fenwix_sim.replies``) or a function,
        plain or async, that receives the ``Command`` and returns one.
        ``times`` limits how many commands it answers; ``channel`` and
        ``module`` narrow which commands it matches.  The most recently
        registered matching responder wins.
        """
        responder = Responder(verb, answer, channel=channel, module=module, remaining=times, _owner=self)
        self._responders.append(responder)
        return responder

    def fail_next(self, verb: str, code: str, message: str = "") -> Responder:
        """Refuse the next ``verb`` command with an error reply."""
        return self.respond(verb, error(code, message), times=1)

    def clear_responders(self) -> None:
        self._responders.clear()

    def _remove_responder(self, responder: Responder) -> None:
        if responder in self._responders:
            self._responders.remove(responder)

    async def next_command(
        self,
        verb: str | None = None,
        *,
        channel: str | None = None,
        timeout: float = 5.0,
        include_handshake: bool = False,
    ) -> Command:
        """The next command not yet returned by this method, waiting for it if needed.

        Commands come in arrival order; those that do not match ``verb`` or
        ``channel`` are left for later calls.  hello and resync are skipped
        unless asked for by name or with ``include_handshake``.
        """

        def find() -> Command | None:
            for command in self.commands:
                if id(command) in self._taken:
                    continue
                if verb is not None and command.verb != verb:
                    continue
                if verb is None and command.is_handshake and not include_handshake:
                    continue
                if channel is not None and command.channel != channel:
                    continue
                return command
            return None

        def what() -> str:
            seen = ", ".join(c.verb for c in self.commands) or "nothing"
            return f"a {verb or 'command'}{f' for {channel}' if channel else ''} (received so far: {seen})"

        command = await self.model.changes.wait_until(find, timeout, what)
        self._taken.add(id(command))
        return command

    async def next_pushed_event(
        self, event: str | None = None, *, channel: str | None = None, timeout: float = 5.0
    ) -> dict[str, Any]:
        """The next event frame sent to an application and not yet returned by this method."""

        def find() -> SentMessage | None:
            for message in self.sent:
                if id(message) in self._taken or message.event is None:
                    continue
                if event is not None and message.event != event:
                    continue
                if channel is not None and message.frame.get("channel") != channel:
                    continue
                return message
            return None

        def what() -> str:
            seen = ", ".join(m.event for m in self.sent if m.event) or "nothing"
            return f"event {event or 'of any kind'}{f' for {channel}' if channel else ''} (sent so far: {seen})"

        message = await self.model.changes.wait_until(find, timeout, what)
        self._taken.add(id(message))
        return message.frame

    async def wait_until(self, predicate: Callable[[], Any], *, timeout: float = 5.0, what: str = "a condition") -> Any:
        """Wait until ``predicate()`` is truthy (checked on every change) and return its value."""
        return await self.model.changes.wait_until(predicate, timeout, lambda: what)

    def events_sent(self, event: str | None = None, *, channel: str | None = None) -> list[dict[str, Any]]:
        """Event frames sent so far, optionally filtered by name and channel."""
        return [
            m.frame
            for m in self.sent
            if m.event is not None
            and (event is None or m.event == event)
            and (channel is None or m.frame.get("channel") == channel)
        ]

    # -- receiving -----------------------------------------------------------------

    def _new_connection_id(self) -> str:
        self._connection_numbers += 1
        return f"conn-{self._connection_numbers}"

    async def _serve(self, connection: Connection) -> None:
        """Read one connection until it ends."""
        self.connections.append(connection)
        self.model.changes.notify()
        try:
            while (message := await connection.receive()) is not None:
                try:
                    self._on_message(connection, message)
                except Exception:  # one bad message must not end the connection
                    log.exception("%s: failed to handle a message", connection.id)
        finally:
            await connection.shutdown()
            self._trace(connection.id, "--", f"closed ({connection.close_code})")
            self._connection_lost(connection)
            self.model.changes.notify()

    def _on_message(self, connection: Connection, message: str | bytes) -> None:
        received = ReceivedFrame(message, connection)
        self.frames.append(received)
        self.model.changes.notify()
        if isinstance(message, bytes):
            received.problem = "binary frame"
            log.warning("%s sent a binary frame of %d bytes; commands are text", connection.id, len(message))
            self._trace(connection.id, "!!", f"binary frame ({len(message)} bytes) ignored")
            return
        try:
            command = parse_command(message, connection)
        except BadFrame as bad:
            received.problem = bad.problem
            log.warning("%s sent an unusable frame: %s", connection.id, bad.problem)
            self._trace(connection.id, "!!", f"{bad.problem}: {_clip(message)}")
            if bad.reply_id is not None:
                self._post(connection, encode(reply_error(bad.reply_id, "protocol_error", bad.problem)))
            return
        received.command = command
        self.commands.append(command)
        addressed = self.model.channels.get(command.channel or "") or self.model.ended.get(command.channel or "")
        if addressed is not None:
            addressed.commands.append(command)
        self._dispatch(command)

    def _dispatch(self, command: Command) -> None:
        responder = next((r for r in reversed(self._responders) if r.matches(command)), None)
        if responder is None:
            self._answer(command, DEFAULT)
            return
        try:
            outcome = responder.take(command)
        except Exception as exc:
            log.exception("responder for %s failed", command.verb)
            outcome = error("unavailable", f"simulator responder for {command.verb} raised {exc!r}")
        if responder.remaining == 0:
            self._remove_responder(responder)
        if inspect.isawaitable(outcome):
            self._spawn(self._answer_when_ready(command, outcome))
        else:
            self._answer(command, outcome)

    async def _answer_when_ready(self, command: Command, pending: Awaitable[Outcome]) -> None:
        try:
            outcome = await pending
        except Exception as exc:
            log.exception("responder for %s failed", command.verb)
            outcome = error("unavailable", f"simulator responder for {command.verb} raised {exc!r}")
        self._answer(command, outcome)

    def _answer(self, command: Command, outcome: Outcome) -> None:
        reply = as_reply(outcome)
        held: list[Any] = []
        if reply.from_model:
            messages, held = self._execute(command)
            messages = messages * reply.times
        else:
            messages = reply.messages(command.id)
        if reply.delay > 0:
            self._spawn(self._send_reply_later(reply.delay, command, messages, held))
        else:
            self._send_reply(command, messages, held)

    async def _send_reply_later(
        self, delay: float, command: Command, messages: list[str | bytes], held: list[Any]
    ) -> None:
        await asyncio.sleep(delay)
        self._send_reply(command, messages, held)

    def _send_reply(self, command: Command, messages: list[str | bytes], held: list[Any]) -> None:
        connection = command.connection
        if self.transcript is not None:
            who = command.channel or (connection.id if connection else "-")
            summary = f"{command.id} {_verb_name(command)} {_clip(encode(command.args))}"
            for outcome in [_describe_reply(m) for m in messages] or ["(no reply)"]:
                self._trace(who, "<-", f"{summary} -> {outcome}")
        for message in messages:
            command.replies.append(message if isinstance(message, str) else message.decode("utf-8", "replace"))
            if connection is not None:
                self._post(connection, message)
        if messages:
            self._replied(command)
        self.model.release(held)

    def _execute(self, command: Command) -> tuple[list[str | bytes], list[Any]]:
        """Run the simulated switch for one command: its reply text and the events it caused."""
        self.model.hold_events()
        try:
            reply = reply_ok(command.id, self._run_verb(command))
        except Refusal as refusal:
            reply = reply_error(command.id, refusal.code, refusal.message)
        except Exception as exc:
            log.exception("simulated switch failed on %s", command.verb)
            reply = reply_error(command.id, "unavailable", f"simulator failure: {exc!r}")
        finally:
            held = self.model.take_held_events()
        return [encode(reply)], held

    def _run_verb(self, command: Command) -> Any:
        if command.module is None:
            if command.verb == "describe":
                return describe()
            handled = self._control_verb(command)
            if handled is not NOT_CONTROL:
                return handled
        self._before_verb(command)
        definition = VERBS.get(command.verb)
        if definition is None:
            raise Refusal("unsupported_verb", f"unknown verb {command.verb!r}")
        if command.module != definition.module:
            if definition.module is None:
                raise Refusal(
                    "unsupported_verb", f'{command.verb} is sent without a module, not in module "{command.module}"'
                )
            if command.module is None:
                raise Refusal(
                    "unsupported_verb",
                    f'{command.verb} belongs to module "{definition.module}"; the command named no module',
                )
            raise Refusal("unsupported_verb", f'no module "{command.module}" with a verb {command.verb}')
        context = VerbContext(self.model, command, self._app_of(command.connection), command.connection)
        return definition.run(context)

    # -- what the front ends decide --------------------------------------------------

    def _control_verb(self, command: Command) -> Any:
        """hello, resync and friends; return NOT_CONTROL for anything else."""
        return NOT_CONTROL

    def _before_verb(self, command: Command) -> None:
        """Refuse a call verb the connection is not ready for."""

    def _replied(self, command: Command) -> None:
        """A reply to ``command`` has just been queued (whoever produced it)."""

    def _app_of(self, connection: Connection | None) -> str | None:
        return connection.app if connection is not None else None

    def _connection_lost(self, connection: Connection) -> None:
        pass

    def deliver(self, channel: Channel, frame: dict[str, Any]) -> None:
        raise NotImplementedError

    def channel_ended(self, channel: Channel) -> None:
        pass

    def channels_changed(self) -> None:
        pass

    # -- sending ---------------------------------------------------------------------

    def _post(self, connection: Connection, message: str | bytes) -> asyncio.Future[bool]:
        self.sent.append(SentMessage(connection, message))
        self.model.changes.notify()
        return connection.post(message)

    def _push(self, connection: Connection, frame: dict[str, Any]) -> asyncio.Future[bool]:
        if self.transcript is not None:
            who = frame.get("channel") or connection.id
            if connection.closed:
                self._trace(who, "xx", f"{frame.get('event')} dropped: {connection.id} is closed")
            else:
                self._trace(who, "=>", f"{frame.get('event')} {_clip(encode(frame.get('payload')))}")
        message = SentMessage(connection, encode(frame))
        message.__dict__["frame"] = frame  # already parsed: spare the decode
        self.sent.append(message)
        self.model.changes.notify()
        return connection.post(message.data)

    def _trace(self, who: str, arrow: str, text: str) -> None:
        if self.transcript is not None:
            self.transcript(f"{who:<10} {arrow} {text}")

    @staticmethod
    def _frame(event: str, payload: Any, channel: Channel | None, members: dict[str, Any]) -> dict[str, Any]:
        if channel is not None:
            frame = event_frame(
                event,
                payload,
                channel=channel.id,
                call_id=channel.event_call_id,
                sip_call_id=channel.sip_call_id,
                app=channel.app,
            )
        else:
            frame = event_frame(event, payload)
        return with_members(frame, members)

    # -- tasks and shutdown ---------------------------------------------------------------

    def _spawn(self, coroutine: Coroutine[Any, Any, Any]) -> asyncio.Task[Any]:
        task = asyncio.get_running_loop().create_task(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._task_done)
        return task

    def _task_done(self, task: asyncio.Task[Any]) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            log.error("simulator task failed", exc_info=task.exception())

    async def _close_everything(self) -> None:
        """Close every connection (with a close frame while the peer cooperates), then
        cancel timers and tasks."""
        self._shutting_down = True
        self.model.cancel_timers()
        live = self.live_connections
        for connection in live:
            connection.post_close(1001, "simulator shutting down")
        try:
            async with asyncio.timeout(CLOSE_TIMEOUT):
                await asyncio.gather(*(connection.wait_closed() for connection in live))
        except TimeoutError:
            log.warning("connections did not close in time; dropping them")
        for connection in self.connections:
            if not connection.closed:
                connection.abort()
        tasks = list(self._tasks)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for connection in self.connections:
            await connection.shutdown()


class _NotControl:
    def __repr__(self) -> str:
        return "NOT_CONTROL"


NOT_CONTROL: Any = _NotControl()


def _verb_name(command: Command) -> str:
    return f"{command.module}.{command.verb}" if command.module else command.verb


def _describe_reply(message: str | bytes) -> str:
    if isinstance(message, bytes):
        return f"binary ({len(message)} bytes)"
    try:
        frame = decode(message)
    except ValueError:
        return f"raw {_clip(message)}"
    if isinstance(frame, dict) and frame.get("status") == "ok" and set(frame) <= {"id", "type", "status", "result"}:
        return f"ok {_clip(encode(frame.get('result')))}"
    if isinstance(frame, dict) and frame.get("status") == "error" and isinstance(frame.get("error"), dict):
        return f"error {frame['error'].get('code')}: {frame['error'].get('message')}"
    return f"raw {_clip(message)}"


def _clip(text: str) -> str:
    return text if len(text) <= TRANSCRIPT_WIDTH else text[: TRANSCRIPT_WIDTH - 1] + "…"
