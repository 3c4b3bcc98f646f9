"""What the simulated switch does for each verb an application sends.

Every verb checks its target and arguments first and refuses with a
``Refusal`` (an error reply) before it changes anything, then changes the
model and returns its result; the events it emits go out after the reply.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .model import Branch, Callee, CallModel, Channel, Refusal, Ringer

if TYPE_CHECKING:
    from .connection import Connection
    from .protocol import Command

SIP = "sip"
DTMF_DIGITS = re.compile(r"^[0-9*#A-Da-d]+$")
PRIVACY = ("allowed", "restricted")
DEFAULT_DIAL_TIMEOUT = 30
DEFAULT_ORIGINATE_TIMEOUT = 30
DEFAULT_CONTROLLER_TIMEOUT = 60
MAX_CONTROLLER_TIMEOUT = 180


@dataclass
class VerbContext:
    """One command being executed, with the application it came from."""

    model: CallModel
    command: Command
    app: str | None
    connection: Connection | None

    @property
    def verb(self) -> str:
        return self.command.verb

    def args(self) -> Args:
        return Args(self.verb, self.command.args)

    def channel(self) -> Channel:
        """The channel named by the command's target {"channel": id}."""
        target = self.command.target
        if not isinstance(target, dict) or not isinstance(target.get("channel"), str):
            raise Refusal("bad_request", f'{self.verb} needs the target {{"channel": <id>}}')
        channel = self.model.find(target["channel"])
        if self.app is not None and channel.app is not None and channel.app != self.app:
            raise Refusal("forbidden", f"channel {channel.id} belongs to application {channel.app}")
        return channel


class Args:
    """Typed access to a command's args object, refusing bad members with bad_request."""

    def __init__(self, verb: str, value: Any) -> None:
        if value is None:
            value = {}
        if not isinstance(value, dict):
            raise Refusal("bad_request", f"{verb} args must be an object")
        self.verb = verb
        self.data: dict[str, Any] = value

    def __contains__(self, key: str) -> bool:
        return key in self.data

    def _bad(self, key: str, expected: str) -> Refusal:
        return Refusal("bad_request", f'{self.verb}: "{key}" must be {expected}')

    def string(
        self, key: str, *, required: bool = False, choices: tuple[str, ...] | None = None, default: str | None = None
    ) -> str | None:
        value = self.data.get(key)
        if value is None:
            if required:
                raise Refusal("bad_request", f'{self.verb} needs "{key}"')
            return default
        if not isinstance(value, str) or (required and not value):
            raise self._bad(key, "a non-empty string" if required else "a string")
        if choices is not None and value not in choices:
            raise self._bad(key, " or ".join(f'"{c}"' for c in choices))
        return value

    def integer(
        self,
        key: str,
        *,
        minimum: int = 0,
        maximum: int | None = None,
        required: bool = False,
        default: int | None = None,
    ) -> int | None:
        value = self.data.get(key)
        if value is None:
            if required:
                raise Refusal("bad_request", f'{self.verb} needs "{key}"')
            return default
        if (
            isinstance(value, bool)
            or not isinstance(value, int)
            or value < minimum
            or (maximum is not None and value > maximum)
        ):
            upper = f" to {maximum}" if maximum is not None else " or more"
            raise self._bad(key, f"an integer from {minimum}{upper}")
        return value

    def boolean(self, key: str, default: bool | None = None) -> bool | None:
        value = self.data.get(key)
        if value is None:
            return default
        if not isinstance(value, bool):
            raise self._bad(key, "true or false")
        return value

    def string_map(self, key: str) -> dict[str, str]:
        value = self.data.get(key)
        if value is None:
            return {}
        if not isinstance(value, dict) or not all(isinstance(v, str) for v in value.values()):
            raise self._bad(key, "an object of strings")
        return dict(value)

    def transfer_target(self, key: str = "target", *, required: bool = False) -> tuple[str, str | None] | None:
        """A target written as a URI string or {"aor": ...}: (uri, aor)."""
        value = self.data.get(key)
        if value is None:
            if required:
                raise Refusal("bad_request", f'{self.verb} needs "{key}"')
            return None
        if isinstance(value, str) and value:
            return value, None
        if isinstance(value, dict) and isinstance(value.get("aor"), str) and value["aor"]:
            return value["aor"], value["aor"]
        raise self._bad(key, 'a URI string or {"aor": <address-of-record>}')


@dataclass(frozen=True)
class Verb:
    """One verb the switch understands, with the description ``describe`` reports."""

    name: str
    module: str | None
    run: Callable[[VerbContext], Any]
    args: dict[str, str] = field(default_factory=dict)
    events: tuple[str, ...] = ()
    channel_target: bool = True


VERBS: dict[str, Verb] = {}


def verb(
    name: str,
    *,
    module: str | None = SIP,
    args: dict[str, str] | None = None,
    events: tuple[str, ...] = (),
    channel_target: bool = True,
) -> Callable[[Callable[[VerbContext], Any]], Callable[[VerbContext], Any]]:
    def register(run: Callable[[VerbContext], Any]) -> Callable[[VerbContext], Any]:
        VERBS[name] = Verb(name, module, run, dict(args or {}), events, channel_target)
        return run

    return register


def describe() -> dict[str, Any]:
    """The adapter schema a ``describe`` command returns."""
    modules: dict[str, Any] = {}
    for definition in VERBS.values():
        entry = modules.setdefault(definition.module or "control", {"verbs": {}})
        entry["verbs"][definition.name] = {
            "target": {"channel": "string"} if definition.channel_target else None,
            "args": definition.args,
            "events": list(definition.events),
        }
    modules["control"]["verbs"].update(
        {
            "hello": {"target": None, "args": {"app": "string", "protocol": "integer"}, "events": []},
            "resync": {"target": None, "args": None, "events": []},
            "describe": {"target": None, "args": None, "events": []},
        }
    )
    return {"adapters": modules}


def _refuse_unless_live_unanswered(channel: Channel, verb_name: str) -> None:
    if channel.state == "answered":
        raise Refusal("invalid_state", f"{verb_name}: channel {channel.id} is already answered")
    if channel.state == "dialing":
        raise Refusal("invalid_state", f"{verb_name}: channel {channel.id} is an outbound call still dialling")


def _require_media(channel: Channel, verb_name: str) -> None:
    if not channel.anchored:
        raise Refusal("not_found", f"{verb_name}: channel {channel.id} has no anchored media session")


def _require_fenwix_rtp(model: CallModel, verb_name: str, code: str = "unsupported_verb") -> None:
    if model.media_backend != "fenwix-rtp":
        raise Refusal(code, f"{verb_name} needs the fenwix-rtp media backend (this switch runs {model.media_backend})")


def _identity(args: Args) -> dict[str, Any]:
    """The calling-identity members of a dial, transfer or replacement, checked."""
    identity = {
        key: args.string(key)
        for key in ("from", "from_display", "p_asserted_identity", "next_hop", "number_policy", "format")
    }
    identity["privacy"] = args.string("privacy", choices=PRIVACY)
    if identity["number_policy"] is not None and identity["format"] is not None:
        raise Refusal("bad_request", f'{args.verb}: "number_policy" and "format" cannot be given together')
    identity["headers"] = args.string_map("headers")
    return {k: v for k, v in identity.items() if v}


# -- answering and ending ---------------------------------------------------------


@verb(
    "answer",
    args={
        "code": "integer 100-299",
        "reason": "string",
        "body": "string",
        "content_type": "string",
        "anchor": "true",
        "profile": "string",
        "ws_uri": "string",
    },
    events=("ChannelStateChange", "MediaStarted"),
)
def answer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    _refuse_unless_live_unanswered(channel, "answer")
    model = ctx.model
    if "anchor" in args:
        if args.data["anchor"] is not True:
            raise Refusal("bad_request", 'answer: "anchor" must be true')
        if "code" in args:
            raise Refusal("bad_request", 'answer: "anchor" and "code" do not go together')
        profile = args.string("profile", default="voice_ai")
        ws_uri = args.string("ws_uri")
        _require_fenwix_rtp(model, "answer with anchor", code="unavailable")
        channel.anchored = True
        channel.profile = profile
        model.set_state(channel, "answered", code=200)
        media = {"profile": profile}
        if ws_uri is not None:
            media["ws_uri"] = _expand_uri(ws_uri, channel)
        model.emit(channel, "MediaStarted", media)
        return {"channel": channel.id, "state": "answered", "anchored": True, "profile": profile}
    code = args.integer("code", minimum=100, maximum=299, default=200)
    args.string("reason")
    args.string("body")
    args.string("content_type")
    if code < 200:
        model.set_state(channel, "ringing" if code == 180 else "progress", code=code)
        return {"channel": channel.id, "state": channel.state, "code": code}
    model.set_state(channel, "answered", code=code)
    return {"channel": channel.id, "state": "answered", "code": code}


@verb("ring", args={"reason": "string"}, events=("ChannelStateChange",))
def ring(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    ctx.args().string("reason")
    _refuse_unless_live_unanswered(channel, "ring")
    ctx.model.set_state(channel, "ringing", code=180)
    return {"channel": channel.id, "state": "ringing"}


@verb("progress", events=("ChannelStateChange",))
def progress(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    ctx.args()
    _refuse_unless_live_unanswered(channel, "progress")
    ctx.model.set_state(channel, "progress", code=183)
    return {"channel": channel.id, "state": "progress"}


@verb("reject", args={"code": "integer 300-699", "reason": "string"}, events=("StasisEnd",))
def reject(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    code = args.integer("code", minimum=300, maximum=699, required=True)
    reason = args.string("reason")
    _refuse_unless_live_unanswered(channel, "reject")
    details = {"code": code} if reason is None else {"code": code, "sip_reason": reason}
    ctx.model.end(channel, "rejected", **details)
    return {"channel": channel.id, "state": "ended", "code": code}


@verb("hangup", args={"reason": "string"}, events=("ChannelHangupRequest", "StasisEnd"))
def hangup(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    reason = ctx.args().string("reason")
    request = {"initiator": "control"}
    if reason is not None:
        request["reason"] = reason
    ctx.model.end(channel, "hangup", hangup_request=request)
    return {"channel": channel.id, "state": "ended"}


@verb("drop", args={"reason": "string", "ban": "boolean"}, events=("StasisEnd",))
def drop(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    reason = args.string("reason")
    ban = args.boolean("ban", default=False)
    if channel.state == "answered":
        raise Refusal("invalid_state", f"drop: channel {channel.id} is answered and is owed a BYE; use hangup")
    if channel.state == "dialing":
        raise Refusal("invalid_state", f"drop: channel {channel.id} is ringing phones; use hangup to cancel them")
    channel.banned = bool(ban)
    details = {} if reason is None else {"sip_reason": reason}
    ctx.model.end(channel, "dropped", **details)
    return {"channel": channel.id, "state": "ended", "banned": channel.banned}


@verb("hold")
def hold(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    ctx.args()
    if not channel.anchored:
        raise Refusal("invalid_state", f"hold: the media of channel {channel.id} is only relayed")
    channel.held = True
    return {"channel": channel.id, "held": True}


@verb("unhold")
def unhold(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    ctx.args()
    if not channel.anchored:
        raise Refusal("invalid_state", f"unhold: the media of channel {channel.id} is only relayed")
    channel.held = False
    return {"channel": channel.id, "held": False}


# -- playback and DTMF ---------------------------------------------------------------

PLAY_SOURCES = ("file", "db_id", "blob", "tone", "url")


@verb(
    "play",
    args={
        "file": "string",
        "db_id": "integer",
        "blob": "base64",
        "tone": "string",
        "url": "string",
        "repeat": 'integer or "inf"',
        "start_ms": "integer",
        "duration_ms": "integer",
        "gain_decibels": "integer",
        "to_tag": "string",
    },
    events=("PlayStarted", "PlayFinished"),
)
def play(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    given = [key for key in PLAY_SOURCES if args.data.get(key) is not None]
    if len(given) != 1:
        raise Refusal("bad_request", "play needs exactly one of file, db_id, blob, tone or url")
    source = given[0]
    if source == "db_id":
        args.integer("db_id")
    else:
        args.string(source)
    if source == "blob":
        try:
            base64.b64decode(args.data["blob"], validate=True)
        except (binascii.Error, ValueError):
            raise Refusal("bad_request", 'play: "blob" must be standard base64') from None
    repeat = args.data.get("repeat")
    if repeat is not None and not (isinstance(repeat, str) and repeat.lower() == "inf"):
        args.integer("repeat")
    args.integer("start_ms")
    duration_ms = args.integer("duration_ms")
    args.integer("gain_decibels", minimum=-(2**31), maximum=2**31 - 1)
    args.string("to_tag")
    _require_media(channel, "play")
    model = ctx.model
    if channel.playback is not None:
        model.finish_playback(channel, "replaced")
    playback_id = f"pb-{model.next_number('playback')}"
    channel.playback = {"playback_id": playback_id, "source": {source: args.data[source]}}
    started = {"playback_id": playback_id, "source": {source: args.data[source]}}
    if repeat is not None:
        started["repeat"] = repeat
    model.emit(channel, "PlayStarted", started)
    if not isinstance(repeat, str):  # "inf" plays until stopped
        plays = 1 if repeat is None else repeat
        length = model.timing.play if duration_ms is None else duration_ms / 1000
        channel.playback["timer"] = model.later(
            plays * length, lambda: _playback_done(model, channel, playback_id), channel
        )
    return {"channel": channel.id, "playback_id": playback_id}


def _playback_done(model: CallModel, channel: Channel, playback_id: str) -> None:
    if channel.playback is not None and channel.playback["playback_id"] == playback_id:
        channel.playback["timer"] = None
        model.finish_playback(channel, "finished")


@verb("stop", events=("PlayFinished",))
def stop(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    ctx.args()
    playing = channel.playback is not None
    if playing:
        ctx.model.finish_playback(channel, "stopped")
    return {"channel": channel.id, "stopped": playing}


@verb(
    "dtmf",
    args={
        "digits": "string of 0-9 * # A-D",
        "duration_ms": "integer",
        "volume_dbm0": "integer",
        "pause_ms": "integer",
        "to_tag": "string",
    },
)
def dtmf(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    digits = args.string("digits", required=True)
    if not DTMF_DIGITS.match(digits):
        raise Refusal("bad_request", f'dtmf: "digits" may hold only 0-9, *, # and A-D, not {digits!r}')
    args.integer("duration_ms")
    args.integer("volume_dbm0", minimum=-(2**63))
    args.integer("pause_ms")
    args.string("to_tag")
    _require_media(channel, "dtmf")
    return {"channel": channel.id, "digits": digits}


# -- recording and streaming ------------------------------------------------------------


@verb(
    "record_start",
    args={
        "direction": "ingress|egress|both",
        "channels": "mono|stereo",
        "max_duration_ms": "integer",
        "silence_ms": "integer",
        "path": "string",
    },
    events=("RecordingFinished",),
)
def record_start(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    direction = args.string("direction", choices=("ingress", "egress", "both"), default="ingress")
    layout = args.string("channels", choices=("mono", "stereo"), default="mono")
    max_duration_ms = args.integer("max_duration_ms")
    args.integer("silence_ms")
    path = args.string("path")
    model = ctx.model
    _require_fenwix_rtp(model, "record_start")
    _require_media(channel, "record_start")
    recording_id = f"rec-{model.next_number('recording')}"
    path = path or f"/var/spool/fenwix/recordings/{recording_id}.wav"
    loop_time = _loop_time()
    recording: dict[str, Any] = {
        "path": path,
        "direction": direction,
        "channels": layout,
        "started": loop_time,
        "timer": None,
    }
    channel.recordings[recording_id] = recording
    if max_duration_ms is not None:
        recording["timer"] = model.later(
            max_duration_ms / 1000, lambda: model.finish_recording(channel, recording_id, "max_duration"), channel
        )
    return {"channel": channel.id, "recording_id": recording_id, "path": path}


@verb("record_stop", args={"recording_id": "string"}, events=("RecordingFinished",))
def record_stop(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    recording_id = ctx.args().string("recording_id")
    if recording_id is not None and recording_id not in channel.recordings:
        raise Refusal("not_found", f"record_stop: no recording {recording_id} on channel {channel.id}")
    stopping = [recording_id] if recording_id is not None else list(channel.recordings)
    for rid in stopping:
        ctx.model.finish_recording(channel, rid, "stopped")
    return {"channel": channel.id, "stopped": stopping}


@verb(
    "stream_start",
    args={
        "ws_uri": "string",
        "mode": "tee|bridge",
        "direction": "both|caller|callee",
        "channels": "1|2",
        "sample_rate": "integer 8000-48000, multiple of 1000",
        "profile": "string",
    },
    events=("WsTeeStarted", "WsBridgeStarted"),
)
def stream_start(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    ws_uri = args.string("ws_uri", required=True)
    mode = args.string("mode", choices=("tee", "bridge"), default="tee")
    direction = args.string("direction", choices=("both", "caller", "callee"))
    layout = args.integer("channels", minimum=1, maximum=2)
    sample_rate = args.integer("sample_rate", minimum=8000, maximum=48000)
    profile = args.string("profile")
    if sample_rate is not None and sample_rate % 1000:
        raise Refusal("bad_request", 'stream_start: "sample_rate" must be a multiple of 1000')
    if mode == "bridge" and (direction or layout or sample_rate):
        raise Refusal("bad_request", "stream_start: direction, channels and sample_rate shape a tee, not a bridge")
    if mode == "tee" and profile is not None:
        raise Refusal("bad_request", "stream_start: profile shapes a bridge, not a tee")
    if layout == 2 and direction not in (None, "both"):
        raise Refusal("bad_request", 'stream_start: stereo needs direction "both"')
    model = ctx.model
    _require_fenwix_rtp(model, "stream_start")
    _require_media(channel, "stream_start")
    expanded = _expand_uri(ws_uri, channel)
    if mode == "tee":
        if channel.tee is not None:
            raise Refusal("invalid_state", f"stream_start: channel {channel.id} already has a tee; stop it first")
        channel.tee = {"ws_uri": expanded}
        model.emit(
            channel,
            "WsTeeStarted",
            {
                "ws_uri": expanded,
                "direction": direction or "both",
                "channels": layout or 1,
                "sample_rate": sample_rate or 16000,
            },
        )
    else:
        repointed = channel.ws_bridge is not None
        channel.ws_bridge = {"ws_uri": expanded, "profile": profile}
        started = {"ws_uri": expanded, "repointed": repointed}
        if profile is not None:
            started["profile"] = profile
        model.emit(channel, "WsBridgeStarted", started)
    return {"channel": channel.id, "mode": mode, "ws_uri": expanded}


@verb("stream_stop", args={"mode": "tee|bridge"}, events=("WsTeeEnded", "WsBridgeEnded"))
def stream_stop(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    mode = ctx.args().string("mode", choices=("tee", "bridge"), default="tee")
    model = ctx.model
    if mode == "tee":
        stopped = channel.tee is not None
        if stopped:
            model.emit(channel, "WsTeeEnded", {"ws_uri": channel.tee["ws_uri"], "reason": "stopped"})
            channel.tee = None
        return {"channel": channel.id, "mode": "tee", "stopped": stopped}
    if channel.ws_bridge is None:
        raise Refusal("invalid_state", f"stream_stop: channel {channel.id} has no WebSocket bridge to detach")
    model.emit(channel, "WsBridgeEnded", {"ws_uri": channel.ws_bridge["ws_uri"], "reason": "stopped"})
    channel.ws_bridge = None
    return {"channel": channel.id, "mode": "bridge", "stopped": True}


def _expand_uri(uri: str, channel: Channel) -> str:
    """Expand the placeholders a switch fills into stream URIs ({call_id} is the SIP Call-ID)."""
    values = {
        "call_id": channel.sip_call_id,
        "from_tag": f"tag-{channel.id}",
        "from_user": str(channel.payload.get("caller", "")),
        "to_user": str(channel.payload.get("called", "")),
    }
    return re.sub(r"\{(call_id|from_tag|from_user|to_user)\}", lambda m: values[m.group(1)], uri)


def _loop_time() -> float:
    return asyncio.get_running_loop().time()


# -- dialling and routing ---------------------------------------------------------------


def _branches(ctx: VerbContext, targets: list[tuple[str, str | None]]) -> list[Branch]:
    """One branch per URI target and per contact registered at an address-of-record."""
    model = ctx.model
    branches = []
    for uri, aor in targets:
        contacts = model.registrar.get(uri, []) if aor is not None else [uri]
        for contact in contacts:
            branches.append(
                Branch(
                    leg_id=f"leg-{model.next_number('leg')}",
                    leg_sip_call_id=model.new_sip_call_id(),
                    target=contact,
                    aor=aor,
                    callee=model.callee_for(contact),
                )
            )
    return branches


def _dial_targets(args: Args) -> list[tuple[str, str | None]]:
    targets = args.data.get("targets")
    if not isinstance(targets, list) or not targets:
        raise Refusal("bad_request", f'{args.verb}: "targets" must be a non-empty array')
    parsed = []
    for target in targets:
        if isinstance(target, str) and target:
            parsed.append((target, None))
            continue
        if not isinstance(target, dict):
            raise Refusal("bad_request", f"{args.verb}: each target is a URI string or an object")
        uri, aor = target.get("uri"), target.get("aor")
        if uri is not None and aor is not None:
            raise Refusal("bad_request", f'{args.verb}: a target names "uri" or "aor", not both')
        if aor is not None:
            if not isinstance(aor, str) or not aor:
                raise Refusal("bad_request", f'{args.verb}: "aor" must be a non-empty string')
            if "next_hop" in target:
                raise Refusal("bad_request", f'{args.verb}: an aor target takes no "next_hop"')
            parsed.append((aor, aor))
        elif isinstance(uri, str) and uri:
            parsed.append((uri, None))
        else:
            raise Refusal("bad_request", f'{args.verb}: a target needs a string "uri" or "aor"')
        headers = target.get("headers")
        if headers is not None and (
            not isinstance(headers, dict) or not all(isinstance(v, str) for v in headers.values())
        ):
            raise Refusal("bad_request", f'{args.verb}: target "headers" must be an object of strings')
    return parsed


@verb(
    "dial",
    args={
        "targets": "array of URI strings or {uri|aor, to, next_hop, headers}",
        "strategy": "parallel|sequential",
        "timeout": "integer seconds",
        "headers": "object",
        "profile": "string",
        "from": "string",
        "from_display": "string",
        "p_asserted_identity": "string",
        "privacy": "allowed|restricted",
        "on_answer": "connect|bridge",
        "ringback": "boolean or tone string",
    },
    events=("DialBranch", "DialBranchFailed", "DialAnswered", "DialFailed", "ChannelStateChange", "ChannelBridged"),
)
def dial(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    targets = _dial_targets(args)
    strategy = args.string("strategy", choices=("parallel", "sequential"), default="parallel")
    timeout = args.integer("timeout", maximum=2**32 - 1, default=DEFAULT_DIAL_TIMEOUT)
    on_answer = args.string("on_answer", choices=("connect", "bridge"), default="connect")
    ringback = args.data.get("ringback")
    if ringback is not None:
        if on_answer != "bridge":
            raise Refusal("bad_request", 'dial: "ringback" needs on_answer "bridge"')
        if not (isinstance(ringback, bool) or (isinstance(ringback, str) and ringback)):
            raise Refusal("bad_request", 'dial: "ringback" must be a boolean or a tone string')
    args.string("profile")
    _identity(args)
    model = ctx.model
    if channel.ringer is not None:
        raise Refusal("invalid_state", f"dial: a dial is already in progress on channel {channel.id}")
    if on_answer == "connect":
        _refuse_unless_live_unanswered(channel, "dial")
    else:
        if channel.state != "answered":
            raise Refusal("invalid_state", f'dial with on_answer "bridge": channel {channel.id} is not answered')
        if not channel.anchored:
            raise Refusal("invalid_state", f'dial with on_answer "bridge": channel {channel.id} is not anchored')
        if channel.bridge is not None:
            raise Refusal("invalid_state", f'dial with on_answer "bridge": channel {channel.id} is already bridged')
    branches = _branches(ctx, targets)
    if not branches:
        raise Refusal("not_found", "dial: no target yielded a branch (nobody registered)")
    result: dict[str, Any] = {"channel": channel.id, "targets": len(branches), "strategy": strategy, "timeout": timeout}
    if on_answer == "bridge":
        result.update(
            on_answer="bridge",
            group_id=f"grp-{model.next_number('group')}",
            total_timeout=timeout,
            ringback="ringback_eu" if ringback is None or ringback is True else ringback,
            branches=[b.payload() for b in branches],
        )

    def answered(branch: Branch) -> None:
        channel.ringer = None
        if on_answer == "connect":
            channel.peer_leg = branch.payload()
            model.emit(channel, "DialAnswered", {**branch.payload(), "code": 200})
            model.set_state(channel, "answered", code=200)
            return
        phone = model.create_channel(
            app=channel.app, state="answered", direction="outbound", sip_call_id=branch.leg_sip_call_id
        )
        bridge_id = f"br-{model.next_number('bridge')}"
        channel.bridge = {"with": phone.id, "bridge_id": bridge_id, "on_peer_hangup": "hangup"}
        phone.bridge = {"with": channel.id, "bridge_id": bridge_id, "on_peer_hangup": "hangup"}
        model.emit(channel, "DialAnswered", {**branch.payload(), "code": 200, "channel": phone.id})
        model.emit(channel, "ChannelBridged", {"with": phone.id, "bridge_id": bridge_id})

    def failed(code: int, reason: str, cause: str) -> None:
        channel.ringer = None
        model.emit(
            channel,
            "DialFailed",
            {"code": code, "reason": reason, "cause": cause, "branches": [b.outcome() for b in branches]},
        )

    channel.ringer = Ringer(
        model, channel, branches, strategy=strategy, timeout=timeout, on_answer=answered, on_fail=failed
    )
    channel.ringer.start()
    return result


@verb("cancel_dial", args={"reason": "string"}, events=("DialBranchFailed", "DialFailed"))
def cancel_dial(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    reason = ctx.args().string("reason")
    ringer = channel.ringer
    if ringer is None or not ringer.active or channel.state == "dialing":
        raise Refusal("invalid_state", f"cancel_dial: nothing is ringing for channel {channel.id}")
    cancelled = ringer.cancel(reason or "cancelled")
    return {"channel": channel.id, "cancelled": cancelled}


@verb(
    "route",
    args={
        "targets": "array of URI strings or {uri, next_hop, headers, timeout, reroute_after_progress}",
        "strategy": "sequential|single",
        "headers": "object",
    },
    events=("StasisEnd",),
)
def route(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    targets = args.data.get("targets")
    if not isinstance(targets, list) or not targets:
        raise Refusal("bad_request", 'route: "targets" must be a non-empty array')
    for target in targets:
        if isinstance(target, str) and target:
            continue
        if not isinstance(target, dict) or not isinstance(target.get("uri"), str) or not target["uri"]:
            raise Refusal("bad_request", 'route: each target is a URI string or an object with a string "uri"')
        flag = target.get("reroute_after_progress")
        if flag is not None and not isinstance(flag, bool):
            raise Refusal("bad_request", 'route: "reroute_after_progress" must be a boolean')
        timeout = target.get("timeout")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, int) or timeout < 0):
            raise Refusal("bad_request", 'route: a target "timeout" must be a non-negative integer')
    strategy = args.data.get("strategy", "sequential")
    if strategy not in ("sequential", "single"):
        raise Refusal("unsupported_verb", f"route: strategy {strategy!r} is not supported (sequential or single)")
    if strategy == "single" and len(targets) != 1:
        raise Refusal("bad_request", 'route: strategy "single" takes exactly one target')
    args.string_map("headers")
    if channel.state == "dialing":
        raise Refusal("invalid_state", f"route: channel {channel.id} is an outbound call still dialling")
    ctx.model.end(channel, "routed")
    return {"channel": channel.id, "state": "routing", "targets": len(targets)}


# -- bridging --------------------------------------------------------------------------


@verb("bridge", args={"with": "channel id", "on_peer_hangup": "hangup|hold"}, events=("ChannelBridged",))
def bridge(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    other_id = args.string("with", required=True)
    policy = args.string("on_peer_hangup", choices=("hangup", "hold"), default="hangup")
    if other_id == channel.id:
        raise Refusal("bad_request", f"bridge: channel {channel.id} named twice")
    model = ctx.model
    other = model.find(other_id)
    if ctx.app is not None and other.app is not None and other.app != ctx.app:
        raise Refusal("forbidden", f"bridge: channel {other.id} belongs to application {other.app}")
    for leg in (channel, other):
        if leg.state != "answered":
            raise Refusal("invalid_state", f"bridge: channel {leg.id} is not answered")
        if leg.bridge is not None:
            raise Refusal("invalid_state", f"bridge: channel {leg.id} is already bridged")
    bridge_id = f"br-{model.next_number('bridge')}"
    channel.bridge = {"with": other.id, "bridge_id": bridge_id, "on_peer_hangup": policy}
    other.bridge = {"with": channel.id, "bridge_id": bridge_id, "on_peer_hangup": policy}
    other.held = channel.held = False

    def bridged() -> None:
        for leg, peer in ((channel, other), (other, channel)):
            if leg.alive and leg.bridge is not None and leg.bridge["bridge_id"] == bridge_id:
                model.emit(leg, "ChannelBridged", {"with": peer.id, "bridge_id": bridge_id})

    model.later(model.timing.reinvite, bridged, channel)
    return {
        "channel": channel.id,
        "with": other.id,
        "call_id": channel.call_id,
        "peer_call_id": other.call_id,
        "anchored": channel.anchored,
        "on_peer_hangup": policy,
        "state": "bridging",
    }


@verb("unbridge", args={"reason": "string"}, events=("ChannelUnbridged",))
def unbridge(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    reason = ctx.args().string("reason", default="unbridged")
    if channel.bridge is None:
        raise Refusal("invalid_state", f"unbridge: channel {channel.id} is not bridged")
    model = ctx.model
    other_id = channel.bridge["with"]
    channel.bridge = None
    channel.held = True
    model.emit(channel, "ChannelUnbridged", {"with": other_id, "reason": reason})
    other = model.channels.get(other_id)
    if other is not None and other.bridge is not None:
        other.bridge = None
        other.held = True
        model.emit(other, "ChannelUnbridged", {"with": channel.id, "reason": reason})
    return {"channel": channel.id, "with": other_id, "reason": reason, "state": "unbridged"}


# -- transfers ----------------------------------------------------------------------------


def _run_transfer(model: CallModel, channel: Channel, refer_to: str, *, end_after: bool) -> None:
    """REFER progress for ``refer_to``, then its verdict; a completed transfer takes the call away."""
    callee = model.callee_for(refer_to)
    step = model.timing.reinvite
    transfer = {"refer_to": refer_to}
    channel.transfer = transfer

    def report(event: str, stage: str, status: int, reason: str) -> None:
        if channel.transfer is transfer and channel.alive:
            model.emit(
                channel, event, {"stage": stage, "refer_to": refer_to, "status": status, "reason": reason, "attempt": 1}
            )

    def verdict() -> None:
        if channel.transfer is not transfer or not channel.alive:
            return
        if callee.reject is not None:
            report("TransferFailed", "failed", callee.reject, callee.reason or "Rejected")
            channel.transfer = None
            return
        report("TransferProgress", "ringing", 180, "Ringing")
        report("TransferCompleted", "completed", 200, "OK")
        channel.transfer = None
        if end_after:
            model.end(channel, "transferred", refer_to=refer_to)

    model.later(step, lambda: report("TransferProgress", "trying", 100, "Trying"), channel)
    if not callee.never_answers:
        delay = model.timing.ring if callee.answer_after is None else callee.answer_after
        model.later(step + delay, verdict, channel)


@verb(
    "refer", args={"to": "URI string"}, events=("TransferProgress", "TransferCompleted", "TransferFailed", "StasisEnd")
)
def refer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    to = ctx.args().string("to", required=True)
    if channel.state != "answered":
        raise Refusal("invalid_state", f"refer: channel {channel.id} is not answered")
    if channel.transfer is not None:
        raise Refusal("invalid_state", f"refer: a transfer is already running on channel {channel.id}")
    _run_transfer(ctx.model, channel, to, end_after=True)
    return {"channel": channel.id, "to": to, "state": "referring"}


@verb(
    "accept_refer",
    args={
        "target": 'URI string or {"aor"}',
        "mode": "terminate|transparent|controller",
        "next_hop": "string",
        "profile": "string",
        "timeout": "integer seconds (controller)",
        "from": "string",
        "from_display": "string",
        "p_asserted_identity": "string",
        "privacy": "allowed|restricted",
        "headers": "object",
        "number_policy": "string",
        "format": "e164|plain|international|national",
    },
    events=("TransferProgress", "TransferCompleted", "TransferFailed", "TransferTimedOut"),
)
def accept_refer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    mode = args.string("mode", choices=("terminate", "transparent", "controller"), default="terminate")
    model = ctx.model
    if mode == "controller":
        extra = sorted(set(args.data) - {"mode", "timeout"})
        if extra:
            raise Refusal(
                "bad_request",
                f'accept_refer mode "controller" dials no leg: it takes timeout only, not {", ".join(extra)}',
            )
        timeout = args.integer("timeout", minimum=1, maximum=MAX_CONTROLLER_TIMEOUT, default=DEFAULT_CONTROLLER_TIMEOUT)
    else:
        if "timeout" in args:
            raise Refusal("bad_request", 'accept_refer: "timeout" applies to mode "controller"')
        target = args.transfer_target()
        args.string("profile")
        identity = _identity(args)
        if mode == "transparent" and (identity.keys() - {"next_hop", "headers"} or (target and target[1])):
            raise Refusal(
                "bad_request",
                "accept_refer: a transparent transfer dials no leg of its own; identity and aor apply to terminate",
            )
        if target is not None and target[1] is not None and not model.registrar.get(target[1]):
            raise Refusal("not_found", f"accept_refer: nobody is registered at {target[1]}")
    pending = channel.pending_refer
    if pending is None:
        raise Refusal("not_found", f"accept_refer: no REFER is pending on channel {channel.id}")
    channel.pending_refer = None
    if mode == "controller":
        controller: dict[str, Any] = {"referrer_leg": pending["referrer_leg"], "refer_to": pending["refer_to"]}
        channel.controller_transfer = controller

        def timed_out() -> None:
            if channel.controller_transfer is controller:
                channel.controller_transfer = None
                model.emit(
                    channel,
                    "TransferTimedOut",
                    {"reason": "timeout", "code": 503, "referrer_leg": controller["referrer_leg"]},
                )

        controller["timer"] = model.later(timeout, timed_out, channel)
        return {"channel": channel.id, "mode": "controller", "timeout": timeout, "refer_to": pending["refer_to"]}
    refer_to = target[0] if target is not None else pending["refer_to"]
    _run_transfer(model, channel, refer_to, end_after=True)
    return {"channel": channel.id, "mode": mode, "target": refer_to, "state": "transferring"}


@verb("reject_refer", args={"code": "integer 300-699", "reason": "string"})
def reject_refer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    code = args.integer("code", minimum=300, maximum=699, required=True)
    args.string("reason")
    if channel.pending_refer is None:
        raise Refusal("not_found", f"reject_refer: no REFER is pending on channel {channel.id}")
    channel.pending_refer = None
    return {"channel": channel.id, "code": code}


@verb("complete_refer", args={"code": "integer 200-699", "reason": "string"})
def complete_refer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    code = args.integer("code", minimum=200, maximum=699, required=True)
    args.string("reason")
    controller = channel.controller_transfer
    if controller is None:
        raise Refusal("invalid_state", f"complete_refer: no controller transfer is open on channel {channel.id}")
    channel.controller_transfer = None
    controller["timer"].cancel()
    return {"channel": channel.id, "code": code}


@verb(
    "replace_peer",
    args={
        "target": 'URI string or {"aor"}',
        "replace_a_leg": "boolean",
        "profile": "string",
        "timeout": "integer seconds",
        "next_hop": "string",
        "from": "string",
        "from_display": "string",
        "p_asserted_identity": "string",
        "privacy": "allowed|restricted",
        "headers": "object",
        "number_policy": "string",
        "format": "string",
    },
    events=("PeerReplaced", "ReplaceFailed"),
)
def replace_peer(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    target_uri, aor = args.transfer_target(required=True)
    replace_a_leg = args.boolean("replace_a_leg", default=False)
    args.string("profile")
    timeout = args.integer("timeout", maximum=2**32 - 1, default=0)
    _identity(args)
    model = ctx.model
    if aor is not None and not model.registrar.get(aor):
        raise Refusal("not_found", f"replace_peer: nobody is registered at {aor}")
    if channel.state != "answered":
        raise Refusal("invalid_state", f"replace_peer: channel {channel.id} is not answered")
    if not replace_a_leg and channel.peer_leg is None and channel.bridge is None:
        raise Refusal("invalid_state", f"replace_peer: channel {channel.id} has no peer leg")
    if channel.replacing is not None:
        raise Refusal("invalid_state", f"replace_peer: a replacement is already in flight on channel {channel.id}")
    contact = model.registrar[aor][0] if aor is not None else target_uri
    callee = model.callee_for(contact)
    attempt: dict[str, Any] = {"target": target_uri}
    channel.replacing = attempt
    leg = {"leg_id": f"leg-{model.next_number('leg')}", "leg_sip_call_id": model.new_sip_call_id(), "target": contact}

    def finish(event: str, payload: dict[str, Any]) -> None:
        if channel.replacing is attempt and channel.alive:
            channel.replacing = None
            model.emit(channel, event, payload)

    def answered() -> None:
        if channel.replacing is attempt and not replace_a_leg:
            channel.peer_leg = leg
        finish("PeerReplaced", {**leg, "replaced": "a" if replace_a_leg else "b"})

    if callee.reject is not None:
        delay = model.timing.ring if callee.answer_after is None else callee.answer_after
        model.later(
            delay,
            lambda: finish(
                "ReplaceFailed", {"target": target_uri, "code": callee.reject, "reason": callee.reason or "Rejected"}
            ),
            channel,
        )
    elif not callee.never_answers:
        delay = model.timing.ring if callee.answer_after is None else callee.answer_after
        model.later(delay, answered, channel)
    if timeout:
        model.later(
            timeout,
            lambda: finish("ReplaceFailed", {"target": target_uri, "code": 408, "reason": "Request Timeout"}),
            channel,
        )
    return {"channel": channel.id, "replacement": "dialing", "target": target_uri}


# -- headers and variables ----------------------------------------------------------------


def _header_name(args: Args) -> str:
    return args.string("name", required=True)


@verb("set_header", args={"name": "string", "value": "string"})
def set_header(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    name = _header_name(args)
    value = args.string("value")
    if value is None:
        raise Refusal("bad_request", 'set_header needs a string "value"')
    existing = next((key for key in channel.headers if key.lower() == name.lower()), None)
    if existing is not None:
        del channel.headers[existing]
    channel.headers[name] = value
    return {"channel": channel.id, "name": name, "value": value}


@verb("get_header", args={"name": "string"})
def get_header(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    name = _header_name(ctx.args())
    return {"channel": channel.id, "name": name, "value": channel.header(name)}


@verb("remove_header", args={"name": "string"})
def remove_header(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    name = _header_name(ctx.args())
    existing = next((key for key in channel.headers if key.lower() == name.lower()), None)
    if existing is not None:
        del channel.headers[existing]
    return {"channel": channel.id, "name": name, "removed": existing is not None}


@verb("get_var", module=None, args={"key": "string"})
def get_var(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    key = ctx.args().string("key", required=True)
    return {"channel": channel.id, "key": key, "value": channel.vars.get(key)}


@verb("set_var", module=None, args={"key": "string", "value": "string"})
def set_var(ctx: VerbContext) -> Any:
    channel = ctx.channel()
    args = ctx.args()
    key = args.string("key", required=True)
    value = args.string("value")
    if value is None:
        raise Refusal("bad_request", 'set_var needs a string "value"')
    channel.vars[key] = value
    ctx.model.host.channels_changed()
    return {"channel": channel.id, "key": key, "value": value}


# -- placing calls ---------------------------------------------------------------------------


@verb(
    "originate",
    channel_target=False,
    args={
        "channel": "string (the new channel's id)",
        "to": "URI string",
        "aor": "address-of-record",
        "media": "true",
        "profile": "string",
        "ws_uri": "string",
        "sdp": "string",
        "body": "string",
        "content_type": "string",
        "from": "string",
        "from_display": "string",
        "to_display": "string",
        "next_hop": "string",
        "p_asserted_identity": "string",
        "privacy": "allowed|restricted",
        "headers": "object",
        "timeout": "integer seconds",
        "on_lost": "string",
        "vars": "object",
        "session_timer": "{expires, min_se, refresher}",
        "strategy": "parallel|sequential (aor)",
        "total_timeout": "integer seconds (aor)",
    },
    events=(
        "StasisStart",
        "ChannelStateChange",
        "DialBranch",
        "DialBranchFailed",
        "DialAnswered",
        "DialFailed",
        "StasisEnd",
    ),
)
def originate(ctx: VerbContext) -> Any:
    if ctx.command.target is not None:
        raise Refusal("bad_request", "originate takes no target")
    args = ctx.args()
    channel_id = args.string("channel", required=True)
    to = args.string("to")
    aor = args.string("aor")
    if (to is None) == (aor is None):
        raise Refusal("bad_request", 'originate needs exactly one of "to" and "aor"')
    media = args.boolean("media", default=False)
    sdp, body = args.string("sdp"), args.string("body")
    content_type = args.string("content_type")
    if [bool(media), sdp is not None, body is not None].count(True) != 1:
        raise Refusal("bad_request", 'originate needs exactly one media plan: "media": true, "sdp" or "body"')
    if content_type is not None and body is None:
        raise Refusal("bad_request", 'originate: "content_type" goes with "body"')
    if not media and ("profile" in args or "ws_uri" in args):
        raise Refusal("bad_request", 'originate: "profile" and "ws_uri" go with "media": true')
    args.string("profile")
    args.string("ws_uri")
    for key in ("from", "from_display", "to_display", "next_hop", "p_asserted_identity", "on_lost"):
        args.string(key)
    args.string("privacy", choices=PRIVACY)
    headers = args.string_map("headers")
    variables = args.string_map("vars")
    timeout = args.integer("timeout", maximum=2**32 - 1, default=DEFAULT_ORIGINATE_TIMEOUT)
    _session_timer(args)
    if to is not None and ("strategy" in args or "total_timeout" in args):
        raise Refusal("bad_request", 'originate: "strategy" and "total_timeout" go with "aor"')
    strategy = args.string("strategy", choices=("parallel", "sequential"), default="parallel")
    total_timeout = args.integer("total_timeout", maximum=2**32 - 1, default=0)
    model = ctx.model
    if channel_id in model.channels:
        raise Refusal("conflict", f"originate: channel id {channel_id} is in use")
    branches: list[Branch] = []
    if aor is not None:
        branches = _branches(ctx, [(aor, aor)])
        if not branches:
            raise Refusal("not_found", f"originate: nobody is registered at {aor}")

    channel = model.create_channel(
        channel_id,
        app=ctx.app,
        state="dialing",
        direction="outbound",
        vars=variables,
        headers=headers,
        anchored=bool(media),
    )
    start_payload = {
        "direction": "outbound",
        "state": "dialing",
        "originated": True,
        "from": args.data.get("from", "sip:fenwix@sim.fenwix"),
    }
    if to is not None:
        start_payload["to"] = to
        model.announce(channel, start_payload)
        _ring_originated(model, channel, to, timeout)
        return {"channel": channel.id, "call_id": channel.call_id, "sip_call_id": channel.sip_call_id}

    channel.group_id = f"grp-{model.next_number('group')}"
    start_payload["aor"] = aor
    model.announce(channel, start_payload)

    def answered(branch: Branch) -> None:
        channel.ringer = None
        channel.peer_leg = branch.payload()
        model.emit(channel, "DialAnswered", {**branch.payload(), "code": 200})
        channel.group_id = None  # from the answer on, events carry the call's own id
        model.set_state(channel, "answered", code=200)

    def failed(code: int, reason: str, cause: str) -> None:
        channel.ringer = None
        model.emit(
            channel,
            "DialFailed",
            {"code": code, "reason": reason, "cause": cause, "branches": [b.outcome() for b in branches]},
        )
        model.end(channel, "failed", code=code, cause=cause)

    channel.ringer = Ringer(
        model, channel, branches, strategy=strategy, timeout=total_timeout, on_answer=answered, on_fail=failed
    )
    channel.ringer.start()
    return {
        "channel": channel.id,
        "group_id": channel.group_id,
        "aor": aor,
        "strategy": strategy,
        "total_timeout": total_timeout,
        "branches": [b.payload() for b in branches],
    }


def _session_timer(args: Args) -> None:
    timer = args.data.get("session_timer")
    if timer is None:
        return
    if not isinstance(timer, dict):
        raise Refusal("bad_request", 'originate: "session_timer" must be an object')
    nested = Args("originate session_timer", timer)
    unknown = sorted(set(timer) - {"expires", "min_se", "refresher"})
    if unknown:
        raise Refusal(
            "bad_request", f"originate: session_timer takes expires, min_se and refresher, not {', '.join(unknown)}"
        )
    nested.integer("expires", maximum=2**32 - 1)
    nested.integer("min_se", maximum=2**32 - 1)
    nested.string("refresher", choices=("uac", "uas", "b2bua"))


def _ring_originated(model: CallModel, channel: Channel, to: str, timeout: int) -> None:
    """The far end of a placed call answers, refuses or lets the time-out pass."""
    callee: Callee = model.callee_for(to)

    def while_dialing(action: Callable[[], None]) -> Callable[[], None]:
        return lambda: action() if channel.state == "dialing" else None

    delay = model.timing.ring if callee.answer_after is None else callee.answer_after
    if callee.reject is not None:
        model.later(
            delay, while_dialing(lambda: model.end(channel, "failed", code=callee.reject, cause="rejected")), channel
        )
    elif not callee.never_answers:
        model.later(delay, while_dialing(lambda: _far_end_answered(model, channel, to)), channel)
    if timeout:
        model.later(timeout, while_dialing(lambda: model.end(channel, "failed", code=408, cause="timeout")), channel)


def _far_end_answered(model: CallModel, channel: Channel, to: str) -> None:
    channel.peer_leg = {
        "leg_id": f"leg-{model.next_number('leg')}",
        "leg_sip_call_id": channel.sip_call_id,
        "target": to,
    }
    model.set_state(channel, "answered", code=200)
