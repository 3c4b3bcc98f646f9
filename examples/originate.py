"""Placing calls of your own with ControlClient.originate, in both destination forms.

Run it against the simulator (one command: it starts a switch on which
bob@sim.fenwix is registered on a busy desk phone and a mobile that answers,
runs this example and stops the switch):

    .venv/bin/python examples/run.py originate      # or: make example NAME=originate

The two forms:

* ``to=URI`` dials the URI as written (a carrier, a SIP trunk, a fixed address);
* ``aor=ADDRESS`` rings every phone registered at an address-of-record, each
  over its own registered flow, the only way to reach a phone behind NAT; the
  first to answer wins and the others are cancelled.

``originate`` resolves as soon as the INVITE is on the wire.  The new channel
then reaches the ``on_call`` handler like an inbound call (its StasisStart
says ``"originated": true``), and its events tell the rest: the answer
(ChannelStateChange to "answered"), or a failure (StasisEnd with reason
"failed"); with ``aor=`` also every phone that rang (DialBranch,
DialBranchFailed, DialAnswered).  The switch's refusals arrive as ControlError
with a ``code`` ("not_found" for nobody registered, "conflict" for a channel
id in use); argument mistakes raise at once, before anything is sent.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import time
from typing import Any

from fenwix_control import Call, ControlClient, ControlError

STARTED = time.monotonic()
DOMAIN = "sim.fenwix"


def say(who: str, text: str) -> None:
    print(f"{time.monotonic() - STARTED:6.2f}s  {who:<8} {text}", flush=True)


def show(value: Any) -> str:
    return json.dumps(value, separators=(", ", ": "))


class Calls:
    """Hands each originated channel's Call to whoever placed it.

    The channel's StasisStart may be handled before or after ``originate``'s
    own reply resolves, so the placer registers its interest first.
    """

    def __init__(self) -> None:
        self._waiting: dict[str, asyncio.Future[Call]] = {}

    def expect(self, channel: str) -> asyncio.Future[Call]:
        return self._waiting.setdefault(channel, asyncio.get_running_loop().create_future())

    async def on_call(self, call: Call) -> None:
        say(call.channel_id, f"handed over: {show(call.payload)}")
        waiting = self._waiting.get(call.channel_id)
        if waiting is not None and not waiting.done():
            waiting.set_result(call)


async def talk(call: Call) -> str:
    """Follow a placed call until it is answered (then greet and hang up) or fails."""
    who = call.channel_id
    while (event := await call.next_event()) is not None:
        kind, payload = event["kind"], event["payload"]
        say(who, f"~ {kind} {show(payload)}")
        if kind == "ChannelStateChange" and payload.get("state") == "answered":
            await call.play(file="appointment-reminder")
            say(who, 'play(file="appointment-reminder") -> ok')
        elif kind == "PlayFinished":
            await call.hangup()
            say(who, "hangup() -> ok")
        elif kind == "StasisEnd":
            return f"ended ({payload.get('reason')})"
    return "event stream ended"


async def main_async(url: str, token: str) -> int:
    calls = Calls()
    async with ControlClient("reminders", token, url=url) as client:
        client.on_call(calls.on_call)
        running = client.run()

        # 1. To a URI, with media anchored on the switch (so that it can play to the callee).
        answered = calls.expect("out-1")
        placed = await client.originate(
            "out-1", f"sip:+15550100@carrier.{DOMAIN}", media=True, from_uri=f"sip:reminders@{DOMAIN}", timeout=20
        )
        say("app", f"originate(to=...) -> {show(placed)}")
        first = await talk(await asyncio.wait_for(answered, 10))

        # 2. To an address-of-record: every registered phone rings at once.
        answered = calls.expect("out-2")
        group = await client.originate(
            "out-2", aor=f"sip:bob@{DOMAIN}", media=True, strategy="parallel", total_timeout=20
        )
        say("app", f"originate(aor=...) -> {show(group)}")
        say("app", f"ringing {len(group['branches'])} phone(s): {', '.join(b['target'] for b in group['branches'])}")
        second = await talk(await asyncio.wait_for(answered, 10))

        # 3. What goes wrong, and how it is reported.
        try:
            # A type checker flags this one already: no overload takes both to= and aor=.
            client.originate("out-3", "sip:x@example.com", aor="sip:y@example.com", media=True)  # type: ignore[call-overload]
        except ValueError as exc:
            say("app", f"an argument mistake raises at once, nothing is sent: {exc}")
        try:
            await client.originate("out-3", aor=f"sip:carol@{DOMAIN}", media=True)
        except ControlError as exc:
            say("app", f"the switch refused: code {exc.code!r}: {exc}")
            refused = exc.code
        else:
            refused = None

    await asyncio.gather(running, return_exceptions=True)
    say("app", f"out-1: {first}; out-2: {second}; out-3: refused with {refused!r}")
    ok = first == second == "ended (hangup)" and refused == "not_found"
    return 0 if ok else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Place outbound calls with originate (to= and aor=).")
    parser.add_argument("--url", default="ws://127.0.0.1:9090/control/ws", help="the switch's control URL")
    parser.add_argument("--token", default="tok", help="bearer token for the switch")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(options.url, options.token))
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
