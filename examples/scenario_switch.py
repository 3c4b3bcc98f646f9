"""The simulated switch the examples run against: fenwix_sim with scripted parties.

    .venv/bin/python examples/scenario_switch.py ivr --port-file /tmp/demo/port

``examples/run.py`` starts it for you; run it by hand to point an example (or
your own application) at it.  It listens on 127.0.0.1 (an ephemeral port
unless ``--port`` is given), writes the port to ``--port-file`` once it
listens, and runs until SIGINT or SIGTERM.  Each scenario decides who calls
in once an application has connected, and what the parties do:

    ivr          four callers, one after another: alice presses 1 (voicemail),
                 bob presses 2 (transfer to sales), carol presses 3 (operator)
                 and hangs up while connected, dave hangs up as soon as he is
                 answered
    originate    nobody calls in; bob@sim.fenwix is registered on a desk phone
                 that is busy and a mobile that answers
    transfers    three callers to be transferred: to a desk that answers, to a
                 line that is busy, to a line that never answers

The switch prints its transcript, one line per command, reply, event and
connection (``--quiet``: only its start, the calls it offers and its stop).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from fenwix_sim import Callee, Caller, Switch, Timing

DOMAIN = "sim.fenwix"


@dataclass(frozen=True)
class InboundCall:
    """One caller the scenario puts through, and what the caller does."""

    caller: Caller
    from_user: str
    to_user: str = "100"
    after: float = 0.0  # pause before this call is offered


@dataclass(frozen=True)
class Scenario:
    description: str
    calls: tuple[InboundCall, ...] = ()
    callees: dict[str, Callee] = field(default_factory=dict)
    registrations: dict[str, tuple[str, ...]] = field(default_factory=dict)
    timing: Timing = Timing(play=0.4, ring=0.4, reinvite=0.05, dtmf_gap=0.15)


SCENARIOS: dict[str, Scenario] = {
    "ivr": Scenario(
        "four callers for the IVR: 1 voicemail, 2 transfer, 3 operator, one who hangs up at once",
        calls=(
            InboundCall(Caller(dtmf="1", dtmf_after="play", dtmf_delay=0.2), "alice"),
            InboundCall(Caller(dtmf="2", dtmf_after="play", dtmf_delay=0.2), "bob", after=0.8),
            InboundCall(Caller(dtmf="3", dtmf_after="play", dtmf_delay=0.2, hangup_after=3.0), "carol", after=0.8),
            InboundCall(Caller(hangup_after=0.0), "dave", after=0.8),
        ),
        callees={
            f"sip:sales@{DOMAIN}": Callee.answers(after=0.5),
            f"sip:operator@{DOMAIN}": Callee.answers(after=0.6),
        },
    ),
    "originate": Scenario(
        "outbound calls: a number that answers, and bob's two registered phones",
        callees={
            f"sip:+15550100@carrier.{DOMAIN}": Callee.answers(after=0.3),
            f"sip:bob@desk.{DOMAIN}": Callee.rejects(486, "Busy Here", after=0.2),
            f"sip:bob@mobile.{DOMAIN}": Callee.answers(after=0.5),
        },
        registrations={f"sip:bob@{DOMAIN}": (f"sip:bob@desk.{DOMAIN}", f"sip:bob@mobile.{DOMAIN}")},
    ),
    "transfers": Scenario(
        "three callers, each to be transferred somewhere else",
        calls=(
            InboundCall(Caller(), "alice", to_user="desk"),
            InboundCall(Caller(), "bob", to_user="busy", after=0.3),
            InboundCall(Caller(), "carol", to_user="nobody", after=0.3),
        ),
        callees={
            f"sip:desk@{DOMAIN}": Callee.answers(after=0.3),
            f"sip:busy@{DOMAIN}": Callee.rejects(486, "Busy Here", after=0.3),
            f"sip:nobody@{DOMAIN}": Callee.no_answer(),
        },
    ),
}


def _write_port(path: Path, port: int) -> None:
    # Written under another name and renamed, so a reader never sees half a number.
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(f"{port}\n")
    os.replace(temporary, path)


async def _wait_until_ready(switch: Switch, patience: float) -> None:
    """Wait until the application has said hello and then sent a command of its own.

    A client that has only just said hello may not have registered its call
    handler yet; its first command of its own shows it is ready (the examples
    send one).  An application that sends none gets the calls after
    ``patience`` seconds.
    """
    await switch.wait_for_app(timeout=365 * 24 * 3600)
    try:
        await switch.wait_until(
            lambda: any(not c.is_handshake for c in switch.commands), timeout=patience, what="a first command"
        )
    except TimeoutError:
        pass


async def _offer_calls(switch: Switch, scenario: Scenario, say: Callable[[str], None]) -> None:
    await _wait_until_ready(switch, patience=1.0)
    for number, call in enumerate(scenario.calls, start=1):
        if call.after:
            await asyncio.sleep(call.after)
        channel = await switch.offer_call(
            f"in-{number}",  # apart from the ids the switch mints itself (ch-N), such as a dialled phone's
            caller=call.caller,
            from_uri=f"sip:{call.from_user}@{DOMAIN}",
            to_uri=f"sip:{call.to_user}@{DOMAIN}",
            timeout=30,
        )
        say(f"offered call {number} on {channel.id} from {call.from_user}")


async def serve(name: str, *, port: int, port_file: Path | None, token: str, quiet: bool) -> int:
    scenario = SCENARIOS[name]

    def say(line: str) -> None:
        print(line, flush=True)

    switch = Switch(token, port=port, timing=scenario.timing, transcript=None if quiet else say)
    for uri, callee in scenario.callees.items():
        switch.callees[uri] = callee
    switch.registrar.update({aor: list(contacts) for aor, contacts in scenario.registrations.items()})
    try:
        await switch.start()
    except OSError as exc:
        print(f"scenario_switch: cannot listen on 127.0.0.1:{port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    say(f"scenario {name}: {scenario.description}; listening on {switch.url}")
    if port_file is not None:
        _write_port(port_file, switch.port)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    offering = asyncio.create_task(_offer_calls(switch, scenario, say))
    stopping = asyncio.create_task(stop.wait())
    try:
        await asyncio.wait({offering, stopping}, return_when=asyncio.FIRST_COMPLETED)
        if offering.done() and offering.exception() is not None:
            print(f"scenario_switch: offering calls failed: {offering.exception()}", file=sys.stderr)
            return 1
        await stopping
    finally:
        for task in (offering, stopping):
            task.cancel()
        await asyncio.gather(offering, stopping, return_exceptions=True)
        await switch.close()
    say("stopped")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Run the simulated fenwix switch with one of the examples' scripted scenarios.",
        epilog="scenarios: " + "; ".join(f"{name}: {s.description}" for name, s in SCENARIOS.items()),
    )
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: an ephemeral one)")
    parser.add_argument("--port-file", type=Path, help="write the listening port here once listening")
    parser.add_argument("--token", default="tok", help="bearer token applications must present (default: tok)")
    parser.add_argument("--quiet", action="store_true", help="print no transcript")
    options = parser.parse_args(argv)
    try:
        return asyncio.run(
            serve(
                options.scenario,
                port=options.port,
                port_file=options.port_file,
                token=options.token,
                quiet=options.quiet,
            )
        )
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
