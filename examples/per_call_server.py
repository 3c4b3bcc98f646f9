"""The switch dials the application: one WebSocket connection per call (ControlServer).

Run it against the simulator (the runner starts this server on an ephemeral
port, then the simulator's ``dial`` mode dials three calls into it, each
caller keying in 1234#):

    .venv/bin/python examples/run.py per_call_server   # or: make example NAME=per_call_server

By hand, in two terminals:

    PYTHONPATH=build/python .venv/bin/python examples/per_call_server.py --bind 127.0.0.1:8790 --calls 3
    .venv/bin/python -m fenwix_sim dial ws://127.0.0.1:8790/ --calls 3 --dtmf 1234# --dtmf-after play

Every accepted connection carries exactly one call, announced by its first
frame; the handler and the ``Call`` it receives are the same as with
``ControlClient``.  There is no hello, no resync and no reconnection: when a
call's connection goes, that call's control goes with it.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time
from pathlib import Path
from typing import Any

from fenwix_control import Call, ControlError, ControlServer

STARTED = time.monotonic()
PIN_SECONDS = 5.0


def say(who: str, text: str) -> None:
    print(f"{time.monotonic() - STARTED:6.2f}s  {who:<10} {text}", flush=True)


class PinCheck:
    """Answer, ask for a PIN ended by #, read it back as DTMF, hang up."""

    def __init__(self, calls: int) -> None:
        self.expected = calls
        self.results: dict[str, str] = {}
        self.all_done = asyncio.Event()

    async def on_call(self, call: Call) -> None:
        who = call.channel_id
        say(who, f"connection accepted; call from {call.payload.get('from')} (sip_call_id {call.sip_call_id})")
        try:
            self.results[who] = await self.collect_pin(call, who)
        except ControlError as exc:
            # code is the switch's refusal ("not_found": the call has gone); None
            # for a failure of the call's connection or a time-out.
            self.results[who] = f"failed: {exc} (code {exc.code})"
        say(who, self.results[who])
        if self.expected and len(self.results) >= self.expected:
            self.all_done.set()

    async def collect_pin(self, call: Call, who: str) -> str:
        await call.answer()
        await call.play(file="enter-your-pin")
        say(who, 'answer(); play(file="enter-your-pin")')
        digits = ""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + PIN_SECONDS + 5.0
        while not digits.endswith("#"):
            try:
                # Cancelling a next_event() can lose the event it was taking; that
                # is harmless here, because a time-out ends the call anyway.
                event = await asyncio.wait_for(call.next_event(), deadline - loop.time())
            except TimeoutError:
                await call.hangup()
                return f"no PIN within {PIN_SECONDS:.0f} s; hung up"
            if event is None or event["kind"] == "StasisEnd":
                return f"caller hung up after keying {digits!r}"
            if event["kind"] == "ChannelDtmfReceived":
                digits += event["payload"]["digit"]
        pin = digits.removesuffix("#")
        await call.dtmf(pin, duration_ms=80)  # read the PIN back as tones
        await call.hangup()
        say(who, f"dtmf({pin!r}); hangup()")
        return f"PIN {pin} received and read back"


def write_address(path: Path, address: str) -> None:
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(address + "\n")
    os.replace(temporary, path)


async def main_async(bind: str, token: str, calls: int, addr_file: Path | None) -> int:
    app = PinCheck(calls)
    async with ControlServer("pin-check", token, bind=bind) as server:
        server.on_call(app.on_call)
        address = await server.bind()  # learn the port before the switch dials in
        serving = server.serve()  # an asyncio future; runs until cancelled
        say("server", f"listening on ws://{address}/")
        if addr_file is not None:
            write_address(addr_file, address)
        waiting = asyncio.ensure_future(app.all_done.wait())
        either: set[asyncio.Future[Any]] = {serving, waiting}
        await asyncio.wait(either, return_when=asyncio.FIRST_COMPLETED)
        if serving.done():
            waiting.cancel()
            print(f"per_call_server: the listener failed: {serving.exception()}", file=sys.stderr)
            return 1
        serving.cancel()  # stop accepting; close() (on leaving the block) stops dispatching
    await asyncio.gather(serving, return_exceptions=True)
    say("server", f"{len(app.results)} call(s): " + "; ".join(f"{k}: {v}" for k, v in sorted(app.results.items())))
    return 0 if all(result.startswith("PIN") for result in app.results.values()) else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A per-call control server that asks callers for a PIN.")
    parser.add_argument("--bind", default="127.0.0.1:8790", help="listen address, HOST:PORT (port 0: ephemeral)")
    parser.add_argument("--token", default="tok", help="bearer token the switch must present")
    parser.add_argument("--calls", type=int, default=3, help="stop after this many calls (0: run until Ctrl-C)")
    parser.add_argument("--addr-file", type=Path, help="write the bound address here once listening")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(options.bind, options.token, options.calls, options.addr_file))
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
