"""A small IVR: ring, answer, greet, and act on the digit the caller presses.

Run it against the simulator, with four scripted callers (one command starts
the switch, runs the IVR until the calls are done and stops the switch):

    make demo                                  # set-up and build first, then the demo
    .venv/bin/python examples/run.py ivr       # the same, once built

Against a switch of your own (runs until Ctrl-C):

    PYTHONPATH=build/python .venv/bin/python examples/ivr.py \\
        --url ws://switch.example:9090/control/ws --token SECRET

The menu: 1 leaves a voicemail (recorded until the switch reports
"RecordingFinished"), 2 transfers the caller to sales (a REFER whose outcome
arrives as events, recognised with is_transfer_final / transfer_outcome), 3
rings the operator and bridges the caller to whoever answers (dial with
on_answer="bridge").  A caller who hangs up, and a verb the switch refuses,
end that call's handling cleanly; every other call goes on.

The transcript is the application's view: for each call, every verb it sent
and what came back ("->"), and every event that arrived ("~").
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import sys
import time
import traceback
from collections.abc import Awaitable, Container
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from fenwix_control import Call, ControlClient, ControlError, is_transfer_final, transfer_outcome

if TYPE_CHECKING:
    from fenwix_control import CallEvent

RING_SECONDS = 0.3  # let the caller hear ringing before the greeting
MENU_SECONDS = 5.0  # how long to wait for a digit once the menu has been played
VOICEMAIL_MS = 1500  # the longest message a caller may leave
TRANSFER_SECONDS = 10.0  # how long a transfer may take to reach its verdict
DIAL_SECONDS = 20  # how long the operator's phone may ring
TALK_SECONDS = 60.0  # the longest conversation the demo waits for

STARTED = time.monotonic()


def say(who: str, text: str) -> None:
    print(f"{time.monotonic() - STARTED:6.2f}s  {who:<12} {text}", flush=True)


def show(value: Any, width: int = 110) -> str:
    """A value as compact JSON, clipped to one readable line."""
    text = "None" if value is None else json.dumps(value, separators=(", ", ": "))
    return text if len(text) <= width else text[: width - 1] + "…"


class CallerGone(Exception):
    """The call ended (or its control was lost) while the IVR was still talking to it."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class Session:
    """One call being handled: its transcript, and its events read by one task.

    ``Call.next_event()`` is read by a single reader task into a queue, so
    that waiting for a particular event with a time-out never cancels a read
    half-way (an event taken by a cancelled read would be lost).
    """

    def __init__(self, call: Call, label: str) -> None:
        self.call = call
        self.label = label
        self.ended: str | None = None  # why the call ended, once it has
        self._queue: asyncio.Queue[CallEvent | None] = asyncio.Queue()
        self._reader = asyncio.ensure_future(self._read())

    def say(self, text: str) -> None:
        say(self.label, text)

    async def _read(self) -> None:
        while (event := await self.call.next_event()) is not None:
            self.say(f"~ {event['kind']} {show(event['payload'], 80)}")
            if event["kind"] == "StasisEnd":
                payload = event["payload"]
                self.ended = payload.get("reason", "ended") if isinstance(payload, dict) else "ended"
            self._queue.put_nowait(event)
        if self.ended is None:
            # The stream ends without StasisEnd when the control connection was
            # lost: the call may still be up and come back re-attached.
            self.ended = "control_lost"
        self._queue.put_nowait(None)

    async def verb[T](self, text: str, pending: Awaitable[T]) -> T:
        """Await one verb, writing it and its outcome to the transcript."""
        try:
            result = await pending
        except ControlError as exc:
            self.say(f"{text} -> refused: {exc.code or 'no code'} ({exc})")
            raise
        self.say(f"{text} -> {show(result)}")
        return result

    async def next(self, timeout: float) -> CallEvent:
        """The next event of the call; CallerGone once the call has ended, TimeoutError after ``timeout``."""
        if self.ended is not None and self._queue.empty():
            raise CallerGone(self.ended)
        event = await asyncio.wait_for(self._queue.get(), timeout)
        if event is None or event["kind"] == "StasisEnd":
            self._queue.put_nowait(None)  # every later wait ends at once too
            raise CallerGone(self.ended or "ended")
        return event

    async def wait_for(self, kinds: Container[str], timeout: float) -> CallEvent:
        """Skip events until one of ``kinds`` arrives."""
        deadline = asyncio.get_running_loop().time() + timeout
        while True:
            remaining = deadline - asyncio.get_running_loop().time()
            event = await self.next(max(remaining, 0.0))
            if event["kind"] in kinds:
                return event

    async def pause(self, seconds: float) -> None:
        """Let ``seconds`` pass, noticing a hang-up meanwhile (CallerGone)."""
        try:
            await self.wait_for((), seconds)
        except TimeoutError:
            pass

    async def play(self, text: str, pending: Awaitable[None]) -> None:
        """Start an announcement and wait until it has finished playing."""
        await self.verb(text, pending)
        await self.wait_for(("PlayFinished",), 30.0)

    async def finish(self) -> None:
        """Let the reader see the call's end (StasisEnd) for the transcript, then stop it."""
        try:
            await asyncio.wait_for(asyncio.shield(self._reader), 2.0)
        except TimeoutError:
            self._reader.cancel()
        except Exception as exc:  # a conversion failure in next_event()
            self.say(f"event stream failed: {exc!r}")


@dataclass
class Outcome:
    number: int
    channel: str
    caller: str
    digit: str = "-"
    result: str = "(still running)"
    failed: bool = False


class Ivr:
    def __init__(self, *, sales: str, operator: str, calls: int) -> None:
        self.sales = sales
        self.operator = operator
        self.expected = calls
        self.outcomes: list[Outcome] = []
        self.all_done = asyncio.Event()
        self._numbers = itertools.count(1)

    async def on_call(self, call: Call) -> None:
        """The on_call handler: one coroutine per call, run on the application's event loop."""
        if call.is_reattached:
            await self.end_reattached(call)
            return
        number = next(self._numbers)
        payload = call.payload if isinstance(call.payload, dict) else {}
        caller = str(payload.get("caller", "?"))
        outcome = Outcome(number, call.channel_id, caller)
        self.outcomes.append(outcome)
        session = Session(call, f"call {number} {call.channel_id}")
        session.say(f"incoming call from {payload.get('from', '?')} to {payload.get('to', '?')} ({call!r})")
        try:
            outcome.result = await self.serve(session, outcome)
        except CallerGone as gone:
            if gone.reason == "control_lost":
                outcome.result = "lost the connection to the switch (the call is handed over again if it survived)"
            else:
                outcome.result = f"caller hung up ({gone.reason})"
        except ControlError as exc:
            if exc.code == "not_found":
                # The switch no longer knows the call: the caller hung up between two verbs.
                outcome.result = "caller hung up (the switch refused a verb: not_found)"
            else:
                outcome.result = f"the switch refused a verb: {exc.code or 'no code'}: {exc}"
                outcome.failed = exc.code is None  # a lost connection or a time-out, not a refusal
        except Exception as exc:
            outcome.result = f"failed: {exc!r}"
            outcome.failed = True
            traceback.print_exc()
        finally:
            if session.ended != "control_lost":
                await self.hang_up_if_still_up(session)
            await session.finish()
            session.say(f"done: {outcome.result}")
            if self.expected and sum(o.result != "(still running)" for o in self.outcomes) >= self.expected:
                self.all_done.set()

    async def end_reattached(self, call: Call) -> None:
        """A call handed over again after the connection to the switch was lost.

        Its first handler has seen the event stream end and given up on it; this
        IVR keeps no state that would let it resume a menu half-way, so it
        apologises and ends the call (examples/reconnect.py resumes instead).
        """
        session = Session(call, f"call {call.channel_id}")
        session.say("handed over again after a reconnection; ending it")
        try:
            await session.play('play(file="ivr/technical-difficulties")', call.play(file="ivr/technical-difficulties"))
        except (ControlError, CallerGone):
            pass
        await self.hang_up_if_still_up(session)
        await session.finish()

    async def hang_up_if_still_up(self, session: Session) -> None:
        if session.ended is not None:
            return
        try:
            await session.verb("hangup()", session.call.hangup())
        except ControlError as exc:
            if exc.code != "not_found":  # not_found: it had ended already
                session.say(f"could not hang up: {exc}")

    async def serve(self, session: Session, outcome: Outcome) -> str:
        call = session.call
        await session.verb("ring()", call.ring())
        await session.pause(RING_SECONDS)
        # Anchored: the switch's media engine terminates the caller's audio, which
        # announcements, recordings and a bridging dial all need.
        await session.verb("answer_anchored()", call.answer_anchored())
        await session.verb('play(file="ivr/main-menu")', call.play(file="ivr/main-menu"))
        event = await session.wait_for(("PlayFinished", "ChannelDtmfReceived"), 30.0)
        if event["kind"] == "PlayFinished":
            try:
                event = await session.wait_for(("ChannelDtmfReceived",), MENU_SECONDS)
            except TimeoutError:
                await session.play('play(file="ivr/goodbye")', call.play(file="ivr/goodbye"))
                return "no digit pressed; said goodbye"
        else:  # pressed during the menu: stop it (its PlayFinished says "stopped") and act at once
            await session.verb("stop()", call.stop())
            await session.wait_for(("PlayFinished",), 5.0)
        outcome.digit = digit = str(event["payload"]["digit"])
        if digit == "1":
            return await self.voicemail(session)
        if digit == "2":
            return await self.transfer(session)
        if digit == "3":
            return await self.operator_desk(session)
        await session.play('play(file="ivr/invalid-choice")', call.play(file="ivr/invalid-choice"))
        return f"pressed {digit}, which the menu does not offer"

    async def voicemail(self, session: Session) -> str:
        call = session.call
        await session.play('play(file="ivr/leave-a-message")', call.play(file="ivr/leave-a-message"))
        await session.play('play(tone="1000/250")', call.play(tone="1000/250"))
        recording = await session.verb(
            f"record_start(max_duration_ms={VOICEMAIL_MS}, silence_ms=3000)",
            call.record_start(max_duration_ms=VOICEMAIL_MS, silence_ms=3000),
        )
        # The reply only says that recording started; the file is complete once
        # RecordingFinished names it.
        while True:
            event = await session.wait_for(("RecordingFinished",), VOICEMAIL_MS / 1000 + 10)
            finished = event["payload"]
            if finished.get("recording_id") == recording["recording_id"]:
                break
        saved = f"voicemail {finished.get('path')} ({finished.get('duration_ms')} ms, {finished.get('reason')})"
        if finished.get("reason") != "call_ended":
            await session.play('play(file="ivr/thank-you")', call.play(file="ivr/thank-you"))
        return saved

    async def transfer(self, session: Session) -> str:
        call = session.call
        await session.play('play(file="ivr/transferring")', call.play(file="ivr/transferring"))
        await session.verb(f'transfer("{self.sales}")', call.transfer(self.sales))
        # The reply only says that the REFER is on the wire.  Zero or more
        # TransferProgress events follow, then exactly one final verdict.
        while True:
            try:
                event = await session.next(TRANSFER_SECONDS)
            except TimeoutError:
                return f"no verdict on the transfer to {self.sales} within {TRANSFER_SECONDS:.0f} s"
            verdict = transfer_outcome(event)
            if verdict is not None and is_transfer_final(event["kind"]):
                break
        if event["kind"] == "TransferCompleted":
            session.ended = "transferred"  # the call is the sales desk's now; StasisEnd follows
            return f"transferred to {verdict['refer_to']} ({verdict['status']} {verdict['reason']})"
        await session.play('play(file="ivr/sales-unavailable")', call.play(file="ivr/sales-unavailable"))
        return f"transfer failed ({verdict['status']} {verdict['reason']}); " + await self.voicemail(session)

    async def operator_desk(self, session: Session) -> str:
        call = session.call
        summary = await session.verb(
            f'dial([{{"uri": "{self.operator}"}}], on_answer="bridge", ringback="ringback_eu")',
            call.dial([{"uri": self.operator}], timeout=DIAL_SECONDS, on_answer="bridge", ringback="ringback_eu"),
        )
        event = await session.wait_for(("DialAnswered", "DialFailed"), DIAL_SECONDS + 5)
        if event["kind"] == "DialFailed":
            failure = event["payload"]
            await session.play('play(file="ivr/operator-busy")', call.play(file="ivr/operator-busy"))
            return f"operator unavailable ({failure.get('code')} {failure.get('reason')}); " + await self.voicemail(
                session
            )
        phone = event["payload"].get("channel")
        bridged = await session.wait_for(("ChannelBridged", "BridgeFailed"), 10.0)
        if bridged["kind"] == "BridgeFailed":
            return f"operator answered on {phone} but the bridge failed"
        session.say(f"caller and operator are talking (dial group {summary.get('group_id')})")
        started = time.monotonic()
        try:
            await session.wait_for((), TALK_SECONDS)
        except TimeoutError:
            return f"still talking to the operator on {phone} after {TALK_SECONDS:.0f} s"
        except CallerGone as gone:
            who = {"caller_hangup": "the caller", "peer_hangup": "the operator"}.get(gone.reason, gone.reason)
            return f"talked to the operator on {phone} for {time.monotonic() - started:.1f} s, then {who} hung up"
        raise AssertionError("unreachable")

    def print_summary(self, elapsed: float) -> None:
        print(f"\nSummary: {len(self.outcomes)} call(s) handled in {elapsed:.1f} s", flush=True)
        print(f"  {'#':>2}  {'channel':<8} {'caller':<8} {'digit':<6} outcome")
        for o in self.outcomes:
            print(f"  {o.number:>2}  {o.channel:<8} {o.caller:<8} {o.digit:<6} {o.result}")


async def serve_calls(ivr: Ivr, client: ControlClient, running: asyncio.Future[None], url: str) -> int:
    try:
        schema = await client.describe()  # the first command also shows the IVR is ready for calls
    except ControlError as exc:
        print(f"ivr: cannot use the switch at {url}: {exc}", file=sys.stderr)
        return 1
    verbs = schema.get("adapters", {}).get("sip", {}).get("verbs", {}) if isinstance(schema, dict) else {}
    say("ivr", f"connected; the switch's sip module offers {len(verbs)} verbs; waiting for calls")
    waiting = asyncio.ensure_future(ivr.all_done.wait())
    either: set[asyncio.Future[Any]] = {running, waiting}
    await asyncio.wait(either, return_when=asyncio.FIRST_COMPLETED)
    if not waiting.done():
        waiting.cancel()
        print(f"ivr: the connection to the switch ended: {running.exception() or 'shut down'}", file=sys.stderr)
        return 1
    return 0


async def main_async(options: argparse.Namespace) -> int:
    ivr = Ivr(sales=options.sales, operator=options.operator, calls=options.calls)
    say("ivr", f"connecting to {options.url} as {options.app!r}")
    async with ControlClient(options.app, options.token, url=options.url) as client:
        client.on_call(ivr.on_call)
        running = client.run()  # an asyncio future: connects, then supervises the connection
        status = await serve_calls(ivr, client, running, options.url)
    # Leaving the block closed the client: run() resolves and no handler runs any more.
    await asyncio.gather(running, return_exceptions=True)
    if status == 0:
        ivr.print_summary(time.monotonic() - STARTED)
        status = 1 if any(o.failed for o in ivr.outcomes) else 0
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A small IVR on fenwix_control.")
    parser.add_argument("--url", default="ws://127.0.0.1:9090/control/ws", help="the switch's control URL")
    parser.add_argument("--token", default="tok", help="bearer token for the switch")
    parser.add_argument("--app", default="ivr", help="application name to say hello with")
    parser.add_argument("--calls", type=int, default=0, help="stop after this many calls (default: run until Ctrl-C)")
    parser.add_argument("--sales", default="sip:sales@sim.fenwix", help="where 2 transfers the caller")
    parser.add_argument("--operator", default="sip:operator@sim.fenwix", help="the phone 3 rings")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(options))
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
