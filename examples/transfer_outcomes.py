"""Blind transfers and their outcomes: is_transfer_final and transfer_outcome.

Run it against the simulator (one command; three callers arrive and each is
transferred: to a desk that answers, to a line that is busy, to a line that
never answers):

    .venv/bin/python examples/run.py transfer_outcomes   # or: make example NAME=transfer_outcomes

``call.transfer(to)`` (the same as ``call.refer(to)``) resolves once the
REFER is on the wire, which says nothing about how the transfer ends.  The
verdict arrives on the call's event stream: zero or more "TransferProgress"
events, then exactly one "TransferCompleted" or "TransferFailed".
``is_transfer_final(kind)`` says when to stop waiting and
``transfer_outcome(event)`` gives the payload of a verdict ("stage",
"refer_to", "status", "reason", "attempt"), or None for any other event,
"TransferRequested" (somebody else's REFER) included.  A transfer that never
reaches a verdict needs a time-out of the application's own.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import time
from typing import TYPE_CHECKING, Any

from fenwix_control import Call, ControlClient, ControlError, is_transfer_final, transfer_outcome

if TYPE_CHECKING:
    from fenwix_control import CallEvent

STARTED = time.monotonic()
DOMAIN = "sim.fenwix"
VERDICT_SECONDS = 2.0


def say(who: str, text: str) -> None:
    print(f"{time.monotonic() - STARTED:6.2f}s  {who:<6} {text}", flush=True)


def show(value: Any) -> str:
    return json.dumps(value, separators=(", ", ": "))


class Forwarder:
    """Answers every call and transfers it to the extension the caller dialled."""

    def __init__(self, calls: int) -> None:
        self.expected = calls
        self.outcomes: dict[str, str] = {}
        self.all_done = asyncio.Event()

    async def on_call(self, call: Call) -> None:
        who = call.channel_id
        extension = call.payload.get("called", "operator")
        try:
            self.outcomes[who] = await self.forward(call, f"sip:{extension}@{DOMAIN}")
        except ControlError as exc:
            self.outcomes[who] = f"refused: {exc.code}: {exc}"
        say(who, self.outcomes[who])
        if len(self.outcomes) >= self.expected:
            self.all_done.set()

    async def forward(self, call: Call, target: str) -> str:
        who = call.channel_id
        await call.answer()
        await call.transfer(target)
        say(who, f'answer(); transfer("{target}") -> ok: the REFER is on the wire')
        events = Events(call)
        try:
            while True:
                event = await events.next(VERDICT_SECONDS)
                if event is None:
                    return "the call ended before the transfer reached a verdict"
                outcome = transfer_outcome(event)
                say(who, f"~ {event['kind']}" + (f" outcome {show(outcome)}" if outcome is not None else ""))
                if is_transfer_final(event["kind"]):
                    assert outcome is not None  # every final event is a verdict
                    break
        except TimeoutError:
            # No verdict in time: the far end may ring for ever.  Take the call back.
            await call.hangup()
            return f"no verdict within {VERDICT_SECONDS:.0f} s; hung up"
        finally:
            events.close()
        summary = f"transfer to {outcome['refer_to']}: {outcome['status']} {outcome['reason']}"
        if event["kind"] == "TransferCompleted":
            return summary + "; the call is theirs now"  # StasisEnd (transferred) follows
        # A failed transfer leaves the caller with us, still answered.
        await call.hangup()
        return summary + "; hung up"


class Events:
    """A call's events read by one task, so that a time-out never loses one."""

    def __init__(self, call: Call) -> None:
        self._queue: asyncio.Queue[CallEvent | None] = asyncio.Queue()
        self._reader = asyncio.ensure_future(self._read(call))

    async def _read(self, call: Call) -> None:
        while (event := await call.next_event()) is not None:
            self._queue.put_nowait(event)
        self._queue.put_nowait(None)

    async def next(self, timeout: float) -> CallEvent | None:
        return await asyncio.wait_for(self._queue.get(), timeout)

    def close(self) -> None:
        self._reader.cancel()


async def main_async(url: str, token: str, calls: int) -> int:
    forwarder = Forwarder(calls)
    async with ControlClient("forwarder", token, url=url) as client:
        client.on_call(forwarder.on_call)
        running = client.run()
        await client.describe()  # a first command: the switch offers calls once it sees one
        say("app", f"connected to {url}; waiting for {calls} calls")
        await asyncio.wait_for(forwarder.all_done.wait(), 30)
    await asyncio.gather(running, return_exceptions=True)
    for channel, outcome in sorted(forwarder.outcomes.items()):
        say("app", f"{channel}: {outcome}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Transfer calls and follow each transfer to its verdict.")
    parser.add_argument("--url", default="ws://127.0.0.1:9090/control/ws", help="the switch's control URL")
    parser.add_argument("--token", default="tok", help="bearer token for the switch")
    parser.add_argument("--calls", type=int, default=3, help="stop after this many calls")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(options.url, options.token, options.calls))
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
