"""Wire format of the fenwix control protocol, as the switch side sees it.

Every frame is one JSON object in one WebSocket text message.  The
application sends commands; the switch answers each with one reply carrying
the command's id, and pushes events at any time.  This module knows how to
read a command (leniently enough to describe what is wrong with a bad one)
and how to write replies and events.
"""

from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .connection import Connection

SUBPROTOCOL = "fenwix-control.v1"

# The error codes a switch puts in a reply's error body.  The simulator can
# send any other string too, to exercise a client's handling of codes it does
# not know.
ERROR_CODES = (
    "unauthorized",
    "forbidden",
    "not_found",
    "bad_request",
    "conflict",
    "invalid_state",
    "rate_limited",
    "originate_denied",
    "unsupported_verb",
    "unsupported_version",
    "protocol_error",
    "unavailable",
)

# Event names with a meaning of their own to clients.  Anything else may be
# pushed as well (for example the application-level "RegistrationChanged").
EVENT_KINDS = (
    "StasisStart",
    "StasisEnd",
    "ChannelStateChange",
    "ChannelHangupRequest",
    "ChannelDtmfReceived",
    "PlayStarted",
    "TransferRequested",
    "TransferTimedOut",
    "TransferProgress",
    "TransferCompleted",
    "TransferFailed",
    "ChannelBridged",
    "BridgeFailed",
    "ChannelUnbridged",
    "PeerReplaced",
    "ReplaceFailed",
    "PlayFinished",
    "WsTeeStarted",
    "WsTeeEnded",
    "WsBridgeStarted",
    "WsBridgeEnded",
    "MediaSummary",
    "MediaStarted",
    "DialBranch",
    "DialBranchFailed",
    "DialAnswered",
    "DialFailed",
    "DialogStateChanged",
)

# Verbs addressed to the control connection itself rather than to a call.
HANDSHAKE_VERBS = ("hello", "resync")


def encode(value: Any) -> str:
    """Compact JSON with sorted keys, the form every frame is written in."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON")


def decode(text: str) -> Any:
    """Parse one JSON text strictly: NaN, Infinity and trailing data are errors."""
    return json.loads(text, parse_constant=_refuse_constant)


def reply_ok(command_id: Any, result: Any = None) -> dict[str, Any]:
    return {"id": command_id, "type": "reply", "status": "ok", "result": result}


def reply_error(command_id: Any, code: str, message: str) -> dict[str, Any]:
    return {
        "id": command_id,
        "type": "reply",
        "status": "error",
        "error": {"code": code, "message": message},
    }


def event_frame(
    event: str,
    payload: Any = None,
    *,
    channel: str | None = None,
    call_id: str | None = None,
    sip_call_id: str | None = None,
    app: str | None = None,
) -> dict[str, Any]:
    """An event frame; members that are None are left out."""
    frame: dict[str, Any] = {"type": "event", "event": event, "payload": {} if payload is None else payload}
    for key, value in (("channel", channel), ("call_id", call_id), ("sip_call_id", sip_call_id), ("app", app)):
        if value is not None:
            frame[key] = value
    return frame


def with_members(frame: dict[str, Any], members: dict[str, Any]) -> dict[str, Any]:
    """Set extra members on a frame; a None value removes the member instead."""
    for key, value in members.items():
        if value is None:
            frame.pop(key, None)
        else:
            frame[key] = value
    return frame


@dataclass(eq=False)
class Command:
    """One command received from an application, as parsed and as raw text.

    ``module`` is None both when the frame had no "module" member and when it
    was null; ``has_module`` tells the two apart.  ``replies`` holds the raw
    text of every reply the simulator sent for it (none when withheld, two
    when duplicated).
    """

    id: str
    verb: str
    module: str | None
    has_module: bool
    target: Any
    args: Any
    raw: str
    connection: Connection | None
    frame: dict[str, Any]
    received_at: float = field(default_factory=time.monotonic)
    replies: list[str] = field(default_factory=list)

    @property
    def channel(self) -> str | None:
        """The channel id of the target {"channel": id}, if the target has one."""
        if isinstance(self.target, dict) and isinstance(self.target.get("channel"), str):
            return self.target["channel"]
        return None

    @property
    def is_handshake(self) -> bool:
        return self.verb in HANDSHAKE_VERBS and self.module is None

    @property
    def reply(self) -> Any:
        """The first reply sent for this command, parsed (None if none was sent)."""
        if not self.replies:
            return None
        try:
            return decode(self.replies[0])
        except ValueError:
            return self.replies[0]

    def __repr__(self) -> str:
        module = f"{self.module}." if self.module else ""
        return f"<Command {self.id} {module}{self.verb} target={encode(self.target)} args={encode(self.args)}>"


@dataclass(eq=False)
class ReceivedFrame:
    """Any message received from an application, whether it made sense or not."""

    data: str | bytes
    connection: Connection | None
    command: Command | None = None
    problem: str | None = None

    @property
    def is_binary(self) -> bool:
        return isinstance(self.data, bytes)


class BadFrame(Exception):
    """A received message that is not a usable command.

    ``reply_id`` is the frame's "id" when it is a string, so that the switch
    can still answer the sender with an error reply.
    """

    def __init__(self, problem: str, reply_id: str | None = None) -> None:
        super().__init__(problem)
        self.problem = problem
        self.reply_id = reply_id


def parse_command(text: str, connection: Connection | None) -> Command:
    """Read one text message as a command frame, or raise BadFrame saying why."""
    try:
        data = decode(text)
    except ValueError as exc:
        raise BadFrame(f"malformed JSON: {exc}") from None
    if not isinstance(data, dict):
        raise BadFrame(f"frame is a JSON {type(data).__name__}, not an object")
    raw_id = data.get("id")
    reply_id = raw_id if isinstance(raw_id, str) else None
    if "id" not in data:
        raise BadFrame('frame has no "id"')
    if reply_id is None:
        raise BadFrame(f'frame "id" must be a string, not {encode(raw_id)}')
    frame_type = data.get("type")
    if frame_type != "command":
        raise BadFrame(f'frame "type" must be "command", not {encode(frame_type)}', reply_id)
    verb = data.get("verb")
    if not isinstance(verb, str) or not verb:
        raise BadFrame(f'command "verb" must be a non-empty string, not {encode(verb)}', reply_id)
    module = data.get("module")
    if module is not None and not isinstance(module, str):
        raise BadFrame(f'command "module" must be a string, not {encode(module)}', reply_id)
    return Command(
        id=reply_id,
        verb=verb,
        module=module,
        has_module="module" in data,
        target=data.get("target"),
        args=data.get("args"),
        raw=text,
        connection=connection,
        frame=data,
    )
