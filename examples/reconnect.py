"""Surviving a switch restart: the call comes back re-attached.

Run it against the simulator (one command; the runner kills the switch with
SIGKILL while the call is on hold and starts it again with the same state
file, so the call survives the restart):

    .venv/bin/python examples/run.py reconnect     # or: make example NAME=reconnect

What happens:

1. A call arrives; the application answers it, notes in a channel variable
   where the call stands (``step``) and plays music on hold.
2. The switch dies.  Commands in flight fail at once with ControlError
   ("control connection is closed", ``code`` None); the client reconnects by
   itself, every ``reconnect_backoff_ms``, for as long as it takes.
3. The switch is back: the client says hello again and asks with ``resync``
   which calls survived.  Each survivor reaches the ``on_call`` handler again
   as a new ``Call`` whose ``is_reattached`` is True and whose ``payload`` is
   the switch's snapshot of the channel (state and variables).  The old
   ``Call``'s event stream ends without a StasisEnd.
4. The re-attached handler picks the call up where the variable says it
   was: it stops waiting, apologises and hangs up.
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


def say(who: str, text: str) -> None:
    print(f"{time.monotonic() - STARTED:6.2f}s  {who:<22} {text}", flush=True)


def show(value: Any) -> str:
    return json.dumps(value, separators=(", ", ": "))


class Application:
    def __init__(self) -> None:
        self.finished = asyncio.Event()
        self.reattached = 0

    async def on_call(self, call: Call) -> None:
        who = f"{call.channel_id} ({'re-attached' if call.is_reattached else 'new'})"
        try:
            if call.is_reattached:
                await self.resume(call, who)
            else:
                await self.start(call, who)
        except ControlError as exc:
            say(who, f"gave up on the call: {exc} (code {exc.code})")
            self.finished.set()

    async def start(self, call: Call, who: str) -> None:
        say(who, f"incoming call: {show(call.payload)}")
        await call.answer()
        say(who, "answer() -> ok")
        # State that must survive a restart of the switch lives on the switch,
        # in channel variables: the resync snapshot carries them back.
        await call.set_var("step", "on_hold")
        say(who, 'set_var("step", "on_hold") -> ok')
        await call.play(file="music-on-hold", repeat="inf")
        say(who, 'play(file="music-on-hold", repeat="inf") -> ok; waiting')
        while (event := await call.next_event()) is not None:
            say(who, f"~ {event['kind']} {show(event['payload'])}")
            if event["kind"] == "StasisEnd":
                say(who, "the call ended")
                self.finished.set()
                return
        # No StasisEnd: this handle's stream was ended because the connection was
        # lost and a re-attached Call has replaced it.
        say(who, "event stream ended without StasisEnd: the call was handed over again")

    async def resume(self, call: Call, who: str) -> None:
        self.reattached += 1
        snapshot = call.payload if isinstance(call.payload, dict) else {}
        say(who, f"handed over again after the reconnect; snapshot {show(snapshot)}")
        step = snapshot.get("vars", {}).get("step")
        say(who, f"the call was at step {step!r} (also readable with get_var: {await call.get_var('step')!r})")
        # The switch restarted: nothing is playing any more, whatever was before.
        await call.play(file="sorry-we-were-cut-off")
        say(who, 'play(file="sorry-we-were-cut-off") -> ok')
        while (event := await call.next_event()) is not None:
            say(who, f"~ {event['kind']} {show(event['payload'])}")
            if event["kind"] == "PlayFinished":
                await call.hangup()
                say(who, "hangup() -> ok")
            elif event["kind"] == "StasisEnd":
                break
        self.finished.set()


async def main_async(url: str, token: str, wait: float) -> int:
    application = Application()
    # A short back-off so the demo is quick; the default is one second.
    async with ControlClient("reconnect-demo", token, url=url, reconnect_backoff_ms=200) as client:
        client.on_call(application.on_call)
        running = client.run()
        await client.connect()  # waits for the connection that run() makes
        say("app", f"connected to {url}; waiting for a call")
        try:
            await asyncio.wait_for(application.finished.wait(), wait)
        except TimeoutError:
            print(f"reconnect: the call was not finished within {wait:.0f} s", file=sys.stderr)
            return 1
    await asyncio.gather(running, return_exceptions=True)
    if application.reattached != 1:
        print(f"reconnect: expected the call back once, got it {application.reattached} times", file=sys.stderr)
        return 1
    say("app", "done: the call survived the restart and was finished after it")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Keep a call across a restart of the switch.")
    parser.add_argument("--url", default="ws://127.0.0.1:9090/control/ws", help="the switch's control URL")
    parser.add_argument("--token", default="tok", help="bearer token for the switch")
    parser.add_argument("--wait", type=float, default=30.0, help="give up after this many seconds")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(options.url, options.token, options.wait))
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
