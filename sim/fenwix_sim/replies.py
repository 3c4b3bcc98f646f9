"""What a scripted responder can make the simulator answer.

A responder registered with ``Simulator.respond`` returns (or is) one of:

* a plain JSON value: an ok reply with that value as its result (None gives
  a null result);
* ``ok(result)`` / ``error(code, message)``: the same, with options to delay
  the reply, send it several times or under another id;
* ``raw(text_or_bytes_or_dict)``: sent verbatim instead of a reply, for
  malformed or unparseable answers;
* ``NO_REPLY``: the command is never answered;
* ``DEFAULT`` or ``default(delay=..., times=...)``: the simulated switch's own
  behaviour (result and follow-up events), optionally delayed or repeated.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .protocol import encode, reply_error, reply_ok

if TYPE_CHECKING:
    from .protocol import Command


@dataclass(frozen=True)
class Reply:
    """A scripted answer to one command.

    Exactly one of ``result``/``error``/``raw``/``from_model``/``withhold``
    decides what is sent:

    * ``error`` (code, message) gives an error reply;
    * ``raw`` is sent as it is (a dict is JSON-encoded first);
    * ``from_model`` runs the simulated switch's own behaviour;
    * ``withhold`` sends nothing at all;
    * otherwise an ok reply carrying ``result``.

    ``delay`` postpones the reply by that many seconds, ``times`` sends it
    that many times (2 gives a duplicate reply), and ``id`` replaces the
    command's id in the reply (an answer to a command that was never sent).
    """

    result: Any = None
    error: tuple[str, str] | None = None
    raw: str | bytes | dict[str, Any] | None = None
    from_model: bool = False
    withhold: bool = False
    delay: float = 0.0
    times: int = 1
    id: Any = None

    def __post_init__(self) -> None:
        if self.times < 0:
            raise ValueError("times must not be negative")
        if self.delay < 0:
            raise ValueError("delay must not be negative")

    def messages(self, command_id: str) -> list[str | bytes]:
        """The messages to send for a command with this id (model replies excluded)."""
        if self.withhold:
            return []
        if self.raw is not None:
            message: str | bytes = encode(self.raw) if isinstance(self.raw, dict) else self.raw
        else:
            reply_id = command_id if self.id is None else self.id
            if self.error is not None:
                message = encode(reply_error(reply_id, *self.error))
            else:
                message = encode(reply_ok(reply_id, self.result))
        return [message] * self.times


def ok(result: Any = None, *, delay: float = 0.0, times: int = 1, id: Any = None) -> Reply:
    """An ok reply with ``result``."""
    return Reply(result=result, delay=delay, times=times, id=id)


def error(code: str, message: str = "", *, delay: float = 0.0, times: int = 1, id: Any = None) -> Reply:
    """An error reply; ``code`` may be any string, known to clients or not."""
    return Reply(error=(code, message or f"refused by the simulator ({code})"), delay=delay, times=times, id=id)


def raw(message: str | bytes | dict[str, Any], *, delay: float = 0.0, times: int = 1) -> Reply:
    """Send ``message`` verbatim in place of a reply (bytes go out as a binary frame)."""
    return Reply(raw=message, delay=delay, times=times)


def default(*, delay: float = 0.0, times: int = 1) -> Reply:
    """The simulated switch's own answer, postponed by ``delay`` or sent ``times`` times.

    Follow-up events of the command are held back until the reply has gone out.
    """
    return Reply(from_model=True, delay=delay, times=times)


DEFAULT = Reply(from_model=True)
NO_REPLY = Reply(withhold=True)

# A Reply, or any other value: an ok reply carrying that value as its result.
Outcome = Any
ResponderFunction = Callable[["Command"], Outcome | Awaitable[Outcome]]


def as_reply(outcome: Outcome) -> Reply:
    return outcome if isinstance(outcome, Reply) else ok(outcome)


@dataclass(eq=False)
class Responder:
    """A registered override for one verb (or every verb, with "*").

    ``remaining`` counts down from ``times`` and the responder retires at
    zero; None means it stays until ``remove()``.  ``calls`` counts the
    commands it has answered.
    """

    verb: str
    answer: Outcome | ResponderFunction
    channel: str | None = None
    module: Any = ...
    remaining: int | None = None
    calls: int = 0
    _owner: Any = None

    def matches(self, command: Command) -> bool:
        if self.remaining == 0:
            return False
        if self.verb != "*" and self.verb != command.verb:
            return False
        if self.channel is not None and command.channel != self.channel:
            return False
        if self.module is not ... and command.module != self.module:
            return False
        return True

    def take(self, command: Command) -> Outcome | Awaitable[Outcome]:
        """Consume one use and produce the outcome (possibly an awaitable)."""
        self.calls += 1
        if self.remaining is not None:
            self.remaining -= 1
        answer = self.answer
        if callable(answer) and not isinstance(answer, Reply):
            return answer(command)
        return answer

    def remove(self) -> None:
        """Stop using this responder."""
        if self._owner is not None:
            self._owner._remove_responder(self)
