"""Type information for fenwix_control, the module through which an asyncio
application controls telephone calls on the fenwix switch.

Every method that talks to the switch returns an ``asyncio.Future`` that is
already running on the caller's event loop; awaiting it gives the result,
or raises ``ControlError``.  The dictionaries that the module builds itself
(events, recordings, dial summaries, originate results) are described by the
TypedDicts below; replies that the module passes through as the switch sent
them (``command``, ``describe``, ``bridge``, ``route`` ...) are ``Any``.

The TypedDicts exist for type checkers only: import them under
``if TYPE_CHECKING:``.  Enumerated arguments are typed with their canonical
(lower-case) spellings; where the module also accepts other letter cases
(stream and record options, dial strategies, ``repeat="inf"``) it sends the
canonical one anyway.
"""

import asyncio
from collections.abc import Buffer, Callable, Sequence
from typing import Any, Literal, NotRequired, Self, TypedDict, TypeIs, final, overload, type_check_only

__all__ = ["ControlClient", "ControlServer", "Call", "ControlError", "is_transfer_final", "transfer_outcome"]

# -- enumerations ------------------------------------------------------------------------------------

type _ErrorCode = Literal[
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
]
type _Privacy = Literal["allowed", "restricted"]
type _PeerHangup = Literal["hangup", "hold"]
type _StreamMode = Literal["tee", "bridge"]
type _StreamDirection = Literal["both", "caller", "callee"]
type _StreamChannels = Literal[1, 2]
type _RecordDirection = Literal["ingress", "egress", "both"]
type _RecordChannels = Literal["mono", "stereo"]
type _DialStrategy = Literal["parallel", "sequential"]
type _OnAnswer = Literal["connect", "bridge"]
type _RouteStrategy = Literal["sequential", "single"]
type _ReferMode = Literal["terminate", "transparent", "controller"]
type _NumberFormat = Literal["e164", "plain", "international", "national"]
type _Refresher = Literal["uac", "uas", "b2bua"]
type _TransferVerdict = Literal["TransferCompleted", "TransferFailed"]

# -- what the module hands to the application ------------------------------------------------------------

@type_check_only
class CallEvent(TypedDict):
    """One event of a call, as ``Call.next_event()`` resolves to it."""

    kind: str  # the event's name as the switch sent it, such as "PlayFinished"
    payload: Any  # the event's payload: a JSON value, normally a dict

@type_check_only
class Recording(TypedDict):
    """What ``Call.record_start()`` resolves to."""

    channel: str
    recording_id: str | None

@type_check_only
class DialBranch(TypedDict):
    """One phone a dial or an address-of-record originate rings."""

    leg_id: str
    leg_sip_call_id: str
    target: str
    aor: NotRequired[str]

@type_check_only
class DialSummary(TypedDict):
    """What ``Call.dial()`` resolves to; a bridging dial (``on_answer="bridge"``)
    also carries the last five keys."""

    channel: str
    targets: int | None
    strategy: str | None
    timeout: int | None
    on_answer: NotRequired[str]
    group_id: NotRequired[str | None]
    total_timeout: NotRequired[int | None]
    ringback: NotRequired[str | bool | None]
    branches: NotRequired[list[DialBranch]]

@type_check_only
class Originated(TypedDict):
    """What ``ControlClient.originate(channel, to=...)`` resolves to."""

    channel: str
    call_id: str | None
    sip_call_id: str | None

@type_check_only
class OriginatedGroup(TypedDict):
    """What ``ControlClient.originate(channel, aor=...)`` resolves to."""

    channel: str
    group_id: str | None
    aor: str | None
    strategy: str | None
    total_timeout: int | None
    branches: list[DialBranch]

@type_check_only
class TransferPayload(TypedDict):
    """The payload of "TransferProgress", "TransferCompleted" and "TransferFailed"."""

    stage: str
    refer_to: str
    status: int
    reason: str
    attempt: int

# -- what the application hands to the module --------------------------------------------------------------

@type_check_only
class DialUri(TypedDict):
    """A dial target dialled as written."""

    uri: str
    next_hop: NotRequired[str | None]
    to: NotRequired[str | None]
    headers: NotRequired[dict[str, str] | None]

@type_check_only
class DialAor(TypedDict):
    """A dial target that rings every contact registered at an address-of-record."""

    aor: str
    to: NotRequired[str | None]
    headers: NotRequired[dict[str, str] | None]

@type_check_only
class RouteTarget(TypedDict):
    """A carrier for ``Call.route()``; a bare URI string works too."""

    uri: str
    next_hop: NotRequired[str | None]
    headers: NotRequired[dict[str, str] | None]
    timeout: NotRequired[int | None]
    reroute_after_progress: NotRequired[bool | None]

@type_check_only
class SessionTimer(TypedDict, total=False):
    """``originate(session_timer=...)``: an RFC 4028 session timer; a key left out takes the switch's default."""

    expires: int
    min_se: int
    refresher: _Refresher

type _CallHandler = Callable[[Call], object]
type _AppEventHandler = Callable[[str, Any], object]

# -- the module ----------------------------------------------------------------------------------------------

class ControlError(Exception):
    """Raised when a control command is rejected (carrying a stable `.code`) or the connection fails."""

    # The switch's error code for a command it rejected; None for every other
    # failure (connection, time-out, handshake).  An instance made by
    # application code has no ``code`` attribute.
    code: _ErrorCode | None

@final
class ControlClient:
    def __new__(
        cls,
        app: str,
        token: str,
        url: str | None = None,
        protocol: int = 1,
        reply_timeout_ms: int = 10000,
        reconnect_backoff_ms: int = 1000,
    ) -> Self: ...
    def on_call[H: _CallHandler](self, handler: H) -> H: ...
    def on_app_event[H: _AppEventHandler](self, handler: H) -> H: ...
    def connect(self) -> asyncio.Future[None]: ...
    def describe(self) -> asyncio.Future[Any]: ...
    def command(
        self, verb: str, module: str | None = None, target: object = None, args: object = None
    ) -> asyncio.Future[Any]: ...
    @overload
    def originate(
        self,
        channel: str,
        to: str,
        *,
        aor: None = None,
        strategy: None = None,
        total_timeout: None = None,
        media: bool = False,
        profile: str | None = None,
        ws_uri: str | None = None,
        sdp: str | None = None,
        body: str | None = None,
        content_type: str | None = None,
        from_uri: str | None = None,
        from_display: str | None = None,
        to_display: str | None = None,
        next_hop: str | None = None,
        p_asserted_identity: str | None = None,
        privacy: _Privacy | None = None,
        headers: dict[str, str] | None = None,
        timeout: int | None = None,
        on_lost: str | None = None,
        vars: dict[str, str] | None = None,
        session_timer: SessionTimer | None = None,
    ) -> asyncio.Future[Originated]: ...
    @overload
    def originate(
        self,
        channel: str,
        to: None = None,
        *,
        aor: str,
        strategy: _DialStrategy | None = None,
        total_timeout: int | None = None,
        media: bool = False,
        profile: str | None = None,
        ws_uri: str | None = None,
        sdp: str | None = None,
        body: str | None = None,
        content_type: str | None = None,
        from_uri: str | None = None,
        from_display: str | None = None,
        to_display: str | None = None,
        next_hop: str | None = None,
        p_asserted_identity: str | None = None,
        privacy: _Privacy | None = None,
        headers: dict[str, str] | None = None,
        timeout: int | None = None,
        on_lost: str | None = None,
        vars: dict[str, str] | None = None,
        session_timer: SessionTimer | None = None,
    ) -> asyncio.Future[OriginatedGroup]: ...
    def run(self) -> asyncio.Future[None]: ...
    def shutdown(self) -> None: ...
    def close(self) -> None: ...
    def __aenter__(self) -> asyncio.Future[Self]: ...
    def __aexit__(self, *_args: object) -> asyncio.Future[Literal[False]]: ...

@final
class ControlServer:
    def __new__(cls, app: str, token: str, bind: str | None = None, reply_timeout_ms: int = 10000) -> Self: ...
    def on_call[H: _CallHandler](self, handler: H) -> H: ...
    def bind(self) -> asyncio.Future[str]: ...
    @property
    def local_addr(self) -> str | None: ...
    def serve(self) -> asyncio.Future[None]: ...
    def run(self) -> asyncio.Future[None]: ...
    def close(self) -> None: ...
    def __aenter__(self) -> asyncio.Future[Self]: ...
    def __aexit__(self, *_args: object) -> asyncio.Future[Literal[False]]: ...

@final
class Call:
    """A handed-over SIP call. Async methods return awaitables."""

    @property
    def channel_id(self) -> str: ...
    @property
    def call_id(self) -> str | None: ...
    @property
    def sip_call_id(self) -> str | None: ...
    @property
    def app(self) -> str | None: ...
    @property
    def is_reattached(self) -> bool: ...
    @property
    def payload(self) -> Any: ...
    # Answering and ending.
    def answer(self) -> asyncio.Future[None]: ...
    def answer_with(
        self, code: int, reason: str | None = None, body: str | None = None, content_type: str | None = None
    ) -> asyncio.Future[None]: ...
    def answer_anchored(self, profile: str | None = None, ws_uri: str | None = None) -> asyncio.Future[None]: ...
    def ring(self, reason: str | None = None) -> asyncio.Future[None]: ...
    def progress(self) -> asyncio.Future[None]: ...
    def reject(self, code: int, reason: str | None = None) -> asyncio.Future[None]: ...
    def hangup(self, reason: str | None = None) -> asyncio.Future[None]: ...
    def drop(self, reason: str | None = None, *, ban: bool = False) -> asyncio.Future[None]: ...
    def hold(self) -> asyncio.Future[None]: ...
    def unhold(self) -> asyncio.Future[None]: ...
    # Dialling and routing.
    def dial(
        self,
        targets: Sequence[DialUri | DialAor],
        strategy: _DialStrategy | None = None,
        timeout: int | None = None,
        headers: dict[str, str] | None = None,
        profile: str | None = None,
        from_uri: str | None = None,
        from_display: str | None = None,
        p_asserted_identity: str | None = None,
        privacy: _Privacy | None = None,
        on_answer: _OnAnswer | None = None,
        ringback: str | bool | None = None,
    ) -> asyncio.Future[DialSummary]: ...
    def cancel_dial(self, reason: str | None = None) -> asyncio.Future[None]: ...
    def route(
        self,
        targets: Sequence[str | RouteTarget],
        strategy: _RouteStrategy = ...,  # "sequential"
        headers: dict[str, str] | None = None,
    ) -> asyncio.Future[Any]: ...
    # Bridging.
    def bridge(self, with_channel: str, on_peer_hangup: _PeerHangup | None = None) -> asyncio.Future[Any]: ...
    def unbridge(self, reason: str | None = None) -> asyncio.Future[Any]: ...
    # Transfers.
    def refer(self, to: str) -> asyncio.Future[None]: ...
    def transfer(self, to: str) -> asyncio.Future[None]: ...
    @overload
    def accept_refer(self, *, mode: Literal["controller"], timeout: int | None = None) -> asyncio.Future[None]: ...
    @overload
    def accept_refer(
        self,
        target: str | None = None,
        next_hop: str | None = None,
        mode: Literal["terminate", "transparent"] | None = None,
        profile: str | None = None,
        *,
        aor: str | None = None,
        from_uri: str | None = None,
        from_display: str | None = None,
        p_asserted_identity: str | None = None,
        privacy: _Privacy | None = None,
        headers: dict[str, str] | None = None,
        number_policy: str | None = None,
        format: _NumberFormat | None = None,
    ) -> asyncio.Future[None]: ...
    def reject_refer(self, code: int, reason: str | None = None) -> asyncio.Future[None]: ...
    def complete_refer(self, code: int, reason: str | None = None) -> asyncio.Future[None]: ...
    def replace_peer(
        self,
        target: str | None = None,
        next_hop: str | None = None,
        replace_a_leg: bool | None = None,
        profile: str | None = None,
        timeout: int | None = None,
        *,
        aor: str | None = None,
        from_uri: str | None = None,
        from_display: str | None = None,
        p_asserted_identity: str | None = None,
        privacy: _Privacy | None = None,
        headers: dict[str, str] | None = None,
        number_policy: str | None = None,
        format: _NumberFormat | None = None,
    ) -> asyncio.Future[Any]: ...
    # Headers and variables.
    def set_header(self, name: str, value: str) -> asyncio.Future[None]: ...
    def get_header(self, name: str) -> asyncio.Future[str | None]: ...
    def remove_header(self, name: str) -> asyncio.Future[None]: ...
    def set_var(self, key: str, value: str) -> asyncio.Future[None]: ...
    def get_var(self, key: str) -> asyncio.Future[str | None]: ...
    # Playback and DTMF.
    def play(
        self,
        file: str | None = None,
        db_id: int | None = None,
        blob: Buffer | Sequence[int] | None = None,
        repeat: int | Literal["inf"] | None = None,
        start_ms: int | None = None,
        duration_ms: int | None = None,
        to_tag: str | None = None,
        *,
        tone: str | None = None,
        url: str | None = None,
        gain_decibels: int | None = None,
    ) -> asyncio.Future[None]: ...
    def play_file(self, file: str) -> asyncio.Future[None]: ...
    def stop(self) -> asyncio.Future[None]: ...
    def dtmf(
        self,
        digits: str,
        duration_ms: int | None = None,
        volume_dbm0: int | None = None,
        pause_ms: int | None = None,
        to_tag: str | None = None,
    ) -> asyncio.Future[None]: ...
    # Recording and streaming.
    def record_start(
        self,
        direction: _RecordDirection | None = None,
        channels: _RecordChannels | None = None,
        max_duration_ms: int | None = None,
        silence_ms: int | None = None,
        path: str | None = None,
    ) -> asyncio.Future[Recording]: ...
    def record_stop(self, recording_id: str | None = None) -> asyncio.Future[None]: ...
    def stream_start(
        self,
        ws_uri: str,
        direction: _StreamDirection | None = None,
        channels: _StreamChannels | None = None,
        *,
        mode: _StreamMode = "tee",
        sample_rate: int | None = None,
        profile: str | None = None,
    ) -> asyncio.Future[None]: ...
    def stream_stop(self, *, mode: _StreamMode = "tee") -> asyncio.Future[None]: ...
    # Events and raw commands.
    def next_event(self) -> asyncio.Future[CallEvent | None]: ...
    def command(self, verb: str, args: object = None) -> asyncio.Future[Any]: ...

def is_transfer_final(kind: str) -> TypeIs[_TransferVerdict]: ...
def transfer_outcome(event: object) -> TransferPayload | None: ...
def _mark_interpreter_going_away() -> None: ...
