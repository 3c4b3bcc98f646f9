"""The simulated switch's calls: channels, their state, and how they evolve.

The model is synchronous and transport-agnostic.  It is driven by verbs
(``fenwix_sim.verbs``), by scripted callers and callees, and by timers on the
running event loop; whatever happens to a channel is reported as event
frames handed to its host (the listening ``Switch`` or the per-call
``Dialer``), which decides which connection carries them.

While a command is being executed the events it causes are held back, so
that the host can send the command's reply first and the events after it.
"""

from __future__ import annotations

import asyncio
import itertools
import logging
import secrets
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from .protocol import event_frame, with_members

if TYPE_CHECKING:
    from .connection import Connection
    from .protocol import Command

log = logging.getLogger("fenwix_sim")

LIVE_STATES = ("ringing", "progress", "answered", "dialing")


@dataclass(frozen=True)
class Timing:
    """How long simulated things take, in seconds.

    The defaults keep tests fast; a demo may want human-scale values.
    """

    play: float = 0.05  # one play-through of an announcement
    ring: float = 0.05  # a dialled party that answers picks up after this long
    reinvite: float = 0.01  # re-INVITE round trip: bridging, transfer progress steps
    dtmf_gap: float = 0.05  # between two digits a caller presses


@dataclass(frozen=True)
class Callee:
    """How a party the switch dials behaves: a dial branch, an originated call,
    a transfer or replacement target.

    ``answer_after`` None means "after Timing.ring".  A callee that rejects
    answers ``reject`` (a SIP status such as 486) after the same delay.  One
    that never answers rings until a time-out or a cancel ends it.
    """

    answer_after: float | None = None
    reject: int | None = None
    reason: str = ""
    never_answers: bool = False

    @classmethod
    def answers(cls, after: float | None = None) -> Callee:
        return cls(answer_after=after)

    @classmethod
    def rejects(cls, code: int = 486, reason: str = "Busy Here", after: float | None = None) -> Callee:
        return cls(answer_after=after, reject=code, reason=reason)

    @classmethod
    def no_answer(cls) -> Callee:
        return cls(never_answers=True)


@dataclass(frozen=True)
class Caller:
    """Scripted behaviour of the party that placed an inbound call.

    ``dtmf`` digits are pressed (as ChannelDtmfReceived events) once the call
    is answered (``dtmf_after="answer"``) or once the first announcement has
    finished playing (``dtmf_after="play"``), ``dtmf_delay`` seconds later.
    ``hangup_after`` hangs up that many seconds after the answer;
    ``abandon_after`` gives up that many seconds after the offer if nobody
    has answered by then.
    """

    dtmf: str = ""
    dtmf_after: str = "answer"
    dtmf_delay: float = 0.05
    dtmf_gap: float | None = None
    hangup_after: float | None = None
    abandon_after: float | None = None

    def __post_init__(self) -> None:
        if self.dtmf_after not in ("answer", "play"):
            raise ValueError(f'dtmf_after must be "answer" or "play", not {self.dtmf_after!r}')


class Changes:
    """Wakes waiters whenever something happens in a simulator."""

    def __init__(self) -> None:
        self._event = asyncio.Event()

    def notify(self) -> None:
        self._event.set()
        self._event = asyncio.Event()

    async def wait_until(self, predicate: Callable[[], Any], timeout: float, what: Callable[[], str]) -> Any:
        """Wait until ``predicate()`` returns something truthy and return it.

        Raises TimeoutError describing ``what()``.  The predicate is re-checked
        on every notification and at least every 50 ms, which also catches
        changes a test makes directly.
        """
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while not (found := predicate()):
            remaining = deadline - loop.time()
            if remaining <= 0:
                raise TimeoutError(f"timed out after {timeout}s waiting for {what()}")
            event = self._event
            try:
                await asyncio.wait_for(event.wait(), min(remaining, 0.05))
            except TimeoutError:
                pass
        return found


class Refusal(Exception):
    """A verb the switch refuses; becomes an error reply with this code."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message


class ModelHost(Protocol):
    """What the model needs from the simulator that runs it."""

    def deliver(self, channel: Channel, frame: dict[str, Any]) -> None: ...

    def channel_ended(self, channel: Channel) -> None: ...

    def channels_changed(self) -> None: ...


@dataclass(eq=False)
class Branch:
    """One leg a dial (or an address-of-record originate) rings."""

    leg_id: str
    leg_sip_call_id: str
    target: str
    callee: Callee
    aor: str | None = None
    state: str = "pending"  # pending, ringing, failed, answered
    code: int | None = None
    cause: str | None = None
    reason: str | None = None

    def payload(self) -> dict[str, Any]:
        data: dict[str, Any] = {"leg_id": self.leg_id, "leg_sip_call_id": self.leg_sip_call_id, "target": self.target}
        if self.aor is not None:
            data["aor"] = self.aor
        return data

    def outcome(self) -> dict[str, Any]:
        data = self.payload()
        if self.code is not None:
            data.update(code=self.code, cause=self.cause, reason=self.reason)
        return data


@dataclass(eq=False)
class Channel:
    """One channel (call leg) the switch holds for an application.

    The attributes are the simulator's view of the call and can be read (and,
    with care, changed) by tests.  ``frames`` holds every event frame pushed
    for the channel and ``commands`` every command addressed to it.
    """

    id: str
    call_id: str
    sip_call_id: str
    app: str | None
    state: str
    direction: str = "inbound"
    vars: dict[str, str] = field(default_factory=dict)
    headers: dict[str, str] = field(default_factory=dict)
    anchored: bool = True
    profile: str | None = None
    payload: dict[str, Any] = field(default_factory=dict)
    caller: Caller | None = None
    held: bool = False
    banned: bool = False
    end_reason: str | None = None
    playback: dict[str, Any] | None = None
    recordings: dict[str, dict[str, Any]] = field(default_factory=dict)
    tee: dict[str, Any] | None = None
    ws_bridge: dict[str, Any] | None = None
    bridge: dict[str, Any] | None = None  # {"with", "bridge_id", "on_peer_hangup"}
    peer_leg: dict[str, Any] | None = None  # the far leg of a connected dial or an originate
    ringer: Ringer | None = None
    pending_refer: dict[str, Any] | None = None
    controller_transfer: dict[str, Any] | None = None
    transfer: dict[str, Any] | None = None
    replacing: dict[str, Any] | None = None
    group_id: str | None = None  # an address-of-record originate's calls carry it until answered
    connection: Connection | None = None  # the per-call connection (dialer shape)
    upgrade: Any = None  # the per-call connection's upgrade answer (dialer shape)
    frames: list[dict[str, Any]] = field(default_factory=list)
    commands: list[Command] = field(default_factory=list)
    _model: CallModel | None = field(default=None, repr=False)
    _timers: set[asyncio.TimerHandle] = field(default_factory=set, repr=False)
    _dtmf_sent: bool = field(default=False, repr=False)

    def __repr__(self) -> str:
        return f"<Channel {self.id} {self.state} app={self.app}>"

    @property
    def alive(self) -> bool:
        return self.state in LIVE_STATES

    @property
    def event_call_id(self) -> str:
        return self.group_id or self.call_id

    def snapshot(self) -> dict[str, Any]:
        """The channel as a resync reply lists it."""
        return {
            "channel": self.id,
            "call_id": self.call_id,
            "sip_call_id": self.sip_call_id,
            "state": self.state,
            "vars": dict(self.vars),
        }

    def header(self, name: str) -> str | None:
        """A header of the stored A-leg INVITE (names are case-insensitive)."""
        key = _find_header(self.headers, name)
        return None if key is None else self.headers[key]

    def events(self, name: str | None = None) -> list[dict[str, Any]]:
        """Event frames pushed for this channel, optionally only those named ``name``."""
        return [f for f in self.frames if name is None or f["event"] == name]

    # -- things the far party does -----------------------------------------

    async def press(self, digits: str, *, gap: float | None = None) -> None:
        """The caller presses DTMF digits: one ChannelDtmfReceived event each."""
        model = self._require_model()
        gap = model.timing.dtmf_gap if gap is None else gap
        for index, digit in enumerate(digits):
            if index:
                await asyncio.sleep(gap)
            if not self.alive:
                return
            model.emit(self, "ChannelDtmfReceived", {"digit": digit, "duration_ms": 100})

    async def hangup(self, reason: str = "normal_clearing") -> None:
        """The caller (or, for an originated channel, the called party) hangs up."""
        model = self._require_model()
        if self.alive:
            model.hangup_from_far_end(self, reason)

    async def send_refer(self, refer_to: str, *, referrer_leg: str = "a") -> None:
        """The far party sends a REFER, announced to the application as TransferRequested."""
        model = self._require_model()
        if not self.alive:
            raise RuntimeError(f"channel {self.id} has ended")
        self.pending_refer = {"refer_to": refer_to, "referrer_leg": referrer_leg}
        model.emit(self, "TransferRequested", {"refer_to": refer_to, "referrer_leg": referrer_leg})

    async def push_event(self, event: str, payload: Any = None, **members: Any) -> None:
        """Push any event for this channel (extra keywords become frame members, None removes one)."""
        model = self._require_model()
        model.emit(self, event, payload, **members)

    async def wait_state(self, state: str, timeout: float = 5.0) -> None:
        """Wait until the channel is in ``state`` (raises TimeoutError)."""
        model = self._require_model()
        await model.changes.wait_until(
            lambda: self.state == state, timeout, lambda: f"channel {self.id} to be {state} (it is {self.state})"
        )

    async def wait_ended(self, timeout: float = 5.0) -> None:
        """Wait until the channel has ended."""
        await self.wait_state("ended", timeout)

    def _require_model(self) -> CallModel:
        if self._model is None:
            raise RuntimeError("channel is not attached to a simulator")
        return self._model


def inbound_headers(channel: Channel, from_uri: str, to_uri: str) -> dict[str, str]:
    """The stored INVITE headers of a simulated inbound call."""
    return {
        "From": f"<{from_uri}>;tag=tag-{channel.id}",
        "To": f"<{to_uri}>",
        "Call-ID": channel.sip_call_id,
        "User-Agent": "fenwix-sim caller",
    }


def inbound_payload(channel: Channel, from_uri: str, to_uri: str) -> dict[str, Any]:
    """The StasisStart payload of a simulated inbound call."""

    def user(uri: str) -> str:
        return uri.split(":", 1)[-1].split("@", 1)[0]

    return {
        "direction": "inbound",
        "state": channel.state,
        "from": from_uri,
        "to": to_uri,
        "caller": user(from_uri),
        "called": user(to_uri),
        "headers": dict(channel.headers),
    }


def _find_header(headers: dict[str, str], name: str) -> str | None:
    lowered = name.lower()
    for key in headers:
        if key.lower() == lowered:
            return key
    return None


class Ringer:
    """Rings a set of branches in parallel or one after another.

    The first branch to answer wins and the others are cancelled; when every
    branch has failed (or the time-out passes) the ring fails.  Branch events
    (DialBranch, DialBranchFailed) are emitted here; the owner decides what an
    answer or a failure means through ``on_answer`` and ``on_fail``.
    """

    def __init__(
        self,
        model: CallModel,
        channel: Channel,
        branches: list[Branch],
        *,
        strategy: str,
        timeout: float,
        on_answer: Callable[[Branch], None],
        on_fail: Callable[[int, str, str], None],
    ) -> None:
        self.model = model
        self.channel = channel
        self.branches = branches
        self.strategy = strategy
        self.timeout = timeout
        self.on_answer = on_answer
        self.on_fail = on_fail
        self.active = False
        self._timers: list[asyncio.TimerHandle] = []
        self._next = 0

    def start(self) -> None:
        self.active = True
        if self.strategy == "sequential":
            self._ring_next()
            return
        for branch in self.branches:
            self._ring(branch)
        if self.timeout > 0:
            self._later(self.timeout, self._time_out_all)

    @property
    def ringing(self) -> list[Branch]:
        return [b for b in self.branches if b.state in ("pending", "ringing")]

    def cancel(self, cause: str = "cancelled") -> int:
        """CANCEL every ringing branch; the ring fails with 487.  Returns how many rang."""
        ringing = [b for b in self.branches if b.state == "ringing"]
        for branch in ringing:
            self._fail_branch(branch, 487, "Request Terminated", "cancelled", continue_ring=False)
        self._finish_failed(487, "Request Terminated", cause)
        return len(ringing)

    def stop(self) -> None:
        """End silently (the channel itself went away)."""
        self.active = False
        self._cancel_timers()

    def _later(self, delay: float, fn: Callable[[], None]) -> None:
        self._timers.append(self.model.later(delay, fn, self.channel))

    def _cancel_timers(self) -> None:
        for handle in self._timers:
            handle.cancel()
        self._timers.clear()

    def _ring_next(self) -> None:
        if self._next >= len(self.branches):
            last = self.branches[-1]
            self._finish_failed(last.code or 480, last.reason or "Temporarily Unavailable", last.cause or "rejected")
            return
        branch = self.branches[self._next]
        self._next += 1
        self._ring(branch)
        if self.timeout > 0:
            self._later(self.timeout, lambda: self._time_out(branch))

    def _ring(self, branch: Branch) -> None:
        branch.state = "ringing"
        self.model.emit(self.channel, "DialBranch", branch.payload())
        callee = branch.callee
        if callee.never_answers:
            return
        delay = self.model.timing.ring if callee.answer_after is None else callee.answer_after
        if callee.reject is not None:
            self._later(
                delay, lambda: self._fail_branch(branch, callee.reject, callee.reason or "Rejected", "rejected")
            )
        else:
            self._later(delay, lambda: self._answer(branch))

    def _answer(self, branch: Branch) -> None:
        if not self.active or branch.state != "ringing":
            return
        self.active = False
        self._cancel_timers()
        branch.state = "answered"
        for other in self.branches:
            if other.state == "ringing":
                self._fail_branch(other, 487, "Request Terminated", "cancelled", continue_ring=False)
        self.on_answer(branch)

    def _time_out(self, branch: Branch) -> None:
        if self.active and branch.state == "ringing":
            self._fail_branch(branch, 408, "Request Timeout", "timeout")

    def _time_out_all(self) -> None:
        if not self.active:
            return
        for branch in self.ringing:
            self._fail_branch(branch, 408, "Request Timeout", "timeout", continue_ring=False)
        self._finish_failed(408, "Request Timeout", "timeout")

    def _fail_branch(self, branch: Branch, code: int, reason: str, cause: str, *, continue_ring: bool = True) -> None:
        if branch.state != "ringing":
            return
        branch.state = "failed"
        branch.code, branch.reason, branch.cause = code, reason, cause
        self.model.emit(self.channel, "DialBranchFailed", branch.outcome())
        if not continue_ring or not self.active:
            return
        if self.strategy == "sequential":
            self._ring_next()
        elif not self.ringing:
            self._finish_failed(code, reason, cause)

    def _finish_failed(self, code: int, reason: str, cause: str) -> None:
        if not self.active:
            return
        self.active = False
        self._cancel_timers()
        self.on_fail(code, reason, cause)


class CallModel:
    """Every channel of one simulator, and the machinery that moves them.

    ``callees`` maps a dialled URI to the Callee that answers it (others get
    ``default_callee``); ``registrar`` maps an address-of-record to the
    contact URIs registered at it.
    """

    def __init__(self, host: ModelHost, *, timing: Timing | None = None, media_backend: str = "fenwix-rtp") -> None:
        self.host = host
        self.timing = timing or Timing()
        self.media_backend = media_backend
        self.channels: dict[str, Channel] = {}
        self.ended: dict[str, Channel] = {}
        self.registrar: dict[str, list[str]] = {}
        self.callees: dict[str, Callee] = {}
        self.default_callee = Callee()
        self._counters: dict[str, itertools.count[int]] = {}
        self._tag = secrets.token_hex(3)
        self._held: list[tuple[Any, ...]] | None = None
        self._timers: set[asyncio.TimerHandle] = set()
        self.changes = Changes()

    # -- identifiers -----------------------------------------------------------

    def next_number(self, kind: str) -> int:
        return next(self._counters.setdefault(kind, itertools.count(1)))

    def new_id(self, prefix: str) -> str:
        while True:
            candidate = f"{prefix}-{self.next_number(prefix)}"
            if candidate not in self.channels and candidate not in self.ended:
                return candidate

    def new_sip_call_id(self) -> str:
        return f"{self._tag}-{self.next_number('sip')}@sim.fenwix"

    def callee_for(self, uri: str) -> Callee:
        return self.callees.get(uri, self.default_callee)

    # -- channels ----------------------------------------------------------------

    def create_channel(
        self,
        channel_id: str | None = None,
        *,
        app: str | None,
        state: str = "ringing",
        direction: str = "inbound",
        call_id: str | None = None,
        sip_call_id: str | None = None,
        vars: dict[str, str] | None = None,
        headers: dict[str, str] | None = None,
        anchored: bool = True,
        caller: Caller | None = None,
    ) -> Channel:
        channel_id = channel_id or self.new_id("ch")
        if channel_id in self.channels:
            raise ValueError(f"channel {channel_id!r} is already in use")
        channel = Channel(
            id=channel_id,
            call_id=call_id or f"call-{self.next_number('call')}",
            sip_call_id=sip_call_id or self.new_sip_call_id(),
            app=app,
            state=state,
            direction=direction,
            vars=dict(vars or {}),
            headers=dict(headers or {}),
            anchored=anchored,
            caller=caller,
            _model=self,
        )
        self.ended.pop(channel_id, None)
        self.channels[channel_id] = channel
        self.host.channels_changed()
        return channel

    def restore_channel(self, snapshot: dict[str, Any]) -> Channel:
        """Bring back a channel saved by a previous run (its calls outlived the control plane)."""
        channel = self.create_channel(
            snapshot["channel"],
            app=snapshot.get("app"),
            state=snapshot.get("state") or "answered",
            direction=snapshot.get("direction", "inbound"),
            call_id=snapshot.get("call_id"),
            sip_call_id=snapshot.get("sip_call_id"),
            vars=snapshot.get("vars"),
            headers=snapshot.get("headers"),
            anchored=snapshot.get("anchored", True),
        )
        channel.payload = snapshot.get("payload") or {}
        return channel

    def find(self, channel_id: str) -> Channel:
        """The live channel with this id, or a not_found refusal."""
        channel = self.channels.get(channel_id)
        if channel is not None:
            return channel
        if channel_id in self.ended:
            raise Refusal("not_found", f"channel {channel_id} has ended")
        raise Refusal("not_found", f"no channel {channel_id}")

    def set_state(self, channel: Channel, state: str, **extra: Any) -> None:
        previous = channel.state
        if previous == state:
            return
        channel.state = state
        self.emit(channel, "ChannelStateChange", {"state": state, "previous": previous, **extra})
        self.host.channels_changed()
        if state == "answered":
            self._caller_answered(channel)

    def announce(self, channel: Channel, payload: dict[str, Any]) -> None:
        """Hand the channel to its application with StasisStart, then start its caller's script."""
        channel.payload = payload
        self.emit(channel, "StasisStart", payload)
        caller = channel.caller
        if caller is not None and caller.abandon_after is not None:
            self.later(caller.abandon_after, lambda: self._abandon(channel), channel)

    def end(
        self,
        channel: Channel,
        reason: str,
        *,
        hangup_request: dict[str, Any] | None = None,
        **details: Any,
    ) -> None:
        """End a channel: stop its media, tell the application, then deal with a bridged peer."""
        if not channel.alive:
            return
        for handle in list(channel._timers):
            handle.cancel()
        channel._timers.clear()
        if channel.ringer is not None:
            channel.ringer.stop()
            channel.ringer = None
        if channel.playback is not None:
            self.finish_playback(channel, "call_ended")
        for recording_id in list(channel.recordings):
            self.finish_recording(channel, recording_id, "call_ended")
        if channel.tee is not None:
            self.emit(channel, "WsTeeEnded", {"ws_uri": channel.tee["ws_uri"], "reason": "call_ended"})
            channel.tee = None
        if channel.ws_bridge is not None:
            self.emit(channel, "WsBridgeEnded", {"ws_uri": channel.ws_bridge["ws_uri"], "reason": "call_ended"})
            channel.ws_bridge = None
        if hangup_request is not None:
            self.emit(channel, "ChannelHangupRequest", hangup_request)
        self.emit(channel, "StasisEnd", {"reason": reason, **details})
        channel.state = "ended"
        channel.end_reason = reason
        self.channels.pop(channel.id, None)
        self.ended[channel.id] = channel
        self.host.channels_changed()
        bridge = channel.bridge
        channel.bridge = None
        if bridge is not None:
            self._peer_left(bridge["with"], channel.id)
        self.after_events(lambda: self.host.channel_ended(channel))

    def hangup_from_far_end(self, channel: Channel, reason: str = "normal_clearing") -> None:
        initiator = "caller" if channel.direction == "inbound" else "callee"
        self.end(
            channel,
            f"{initiator}_hangup",
            hangup_request={"initiator": initiator, "cause": 16, "reason": reason},
        )

    def drop_all(self) -> None:
        """Forget every channel without telling anyone (a switch that lost its calls)."""
        for channel in list(self.channels.values()):
            for handle in channel._timers:
                handle.cancel()
            channel._timers.clear()
            channel.state = "ended"
            channel.end_reason = "switch_restart"
            self.ended[channel.id] = channel
        self.channels.clear()
        self.host.channels_changed()

    def _peer_left(self, peer_id: str, gone_id: str) -> None:
        peer = self.channels.get(peer_id)
        if peer is None or peer.bridge is None:
            return
        policy = peer.bridge.get("on_peer_hangup", "hangup")
        peer.bridge = None
        self.emit(peer, "ChannelUnbridged", {"with": gone_id, "reason": "peer_hangup"})
        if policy == "hold":
            peer.held = True
        else:
            self.end(peer, "peer_hangup", hangup_request={"initiator": "peer", "cause": 16, "reason": "peer_hangup"})

    # -- media -----------------------------------------------------------------

    def finish_playback(self, channel: Channel, reason: str) -> None:
        playback = channel.playback
        if playback is None:
            return
        channel.playback = None
        if playback.get("timer") is not None:
            playback["timer"].cancel()
        self.emit(channel, "PlayFinished", {"playback_id": playback["playback_id"], "reason": reason})
        if reason == "finished":
            self._caller_heard_announcement(channel)

    def finish_recording(self, channel: Channel, recording_id: str, reason: str) -> None:
        recording = channel.recordings.pop(recording_id, None)
        if recording is None:
            return
        if recording.get("timer") is not None:
            recording["timer"].cancel()
        loop = asyncio.get_running_loop()
        duration_ms = int((loop.time() - recording["started"]) * 1000)
        self.emit(
            channel,
            "RecordingFinished",
            {"recording_id": recording_id, "path": recording["path"], "reason": reason, "duration_ms": duration_ms},
        )

    # -- the caller's script -------------------------------------------------------

    def _caller_answered(self, channel: Channel) -> None:
        caller = channel.caller
        if caller is None:
            return
        if caller.dtmf and caller.dtmf_after == "answer":
            self._start_dtmf(channel)
        if caller.hangup_after is not None:
            self.later(caller.hangup_after, lambda: self.hangup_from_far_end(channel), channel)

    def _caller_heard_announcement(self, channel: Channel) -> None:
        caller = channel.caller
        if caller is not None and caller.dtmf and caller.dtmf_after == "play":
            self._start_dtmf(channel)

    def _start_dtmf(self, channel: Channel) -> None:
        caller = channel.caller
        if caller is None or channel._dtmf_sent:
            return
        channel._dtmf_sent = True
        gap = self.timing.dtmf_gap if caller.dtmf_gap is None else caller.dtmf_gap
        for index, digit in enumerate(caller.dtmf):
            self.later(
                caller.dtmf_delay + index * gap,
                lambda digit=digit: self.emit(channel, "ChannelDtmfReceived", {"digit": digit, "duration_ms": 100}),
                channel,
            )

    def _abandon(self, channel: Channel) -> None:
        if channel.state in ("ringing", "progress"):
            self.hangup_from_far_end(channel, "abandoned")

    # -- events and time ---------------------------------------------------------

    def emit(self, channel: Channel, event: str, payload: Any = None, **members: Any) -> None:
        """Report an event of ``channel`` to its application (after the current reply)."""
        frame = event_frame(
            event,
            payload,
            channel=channel.id,
            call_id=channel.event_call_id,
            sip_call_id=channel.sip_call_id,
            app=channel.app,
        )
        self._enqueue(("event", channel, with_members(frame, members)))

    def after_events(self, action: Callable[[], None]) -> None:
        """Run ``action`` once the events emitted so far have been handed over."""
        self._enqueue(("call", action))

    def _enqueue(self, item: tuple[Any, ...]) -> None:
        if self._held is not None:
            self._held.append(item)
        else:
            self._run(item)

    def _run(self, item: tuple[Any, ...]) -> None:
        if item[0] == "event":
            _, channel, frame = item
            channel.frames.append(frame)
            self.host.deliver(channel, frame)
        else:
            item[1]()
        self.changes.notify()

    def hold_events(self) -> None:
        """Start holding back emitted events (while a command is executed)."""
        self._held = []

    def take_held_events(self) -> list[tuple[Any, ...]]:
        held, self._held = self._held or [], None
        return held

    def release(self, held: list[tuple[Any, ...]]) -> None:
        for item in held:
            self._run(item)

    def later(self, delay: float, action: Callable[[], None], channel: Channel | None = None) -> asyncio.TimerHandle:
        """Run ``action`` after ``delay`` seconds; cancelled with the channel or the simulator."""
        loop = asyncio.get_running_loop()

        def fire() -> None:
            self._timers.discard(handle)
            if channel is not None:
                channel._timers.discard(handle)
            try:
                action()
            except Exception:
                log.exception("simulated switch: timer action failed")

        handle = loop.call_later(max(0.0, delay), fire)
        self._timers.add(handle)
        if channel is not None:
            channel._timers.add(handle)
        return handle

    def cancel_timers(self) -> None:
        for handle in self._timers:
            handle.cancel()
        self._timers.clear()
        for channel in self.channels.values():
            channel._timers.clear()
