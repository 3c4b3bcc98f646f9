"""Command line of the simulator: ``python -m fenwix_sim listen|dial ...``.

``listen`` runs a switch that applications connect to and, once one has
said hello, offers it simulated inbound calls.  ``dial`` plays the switch
that dials an application's per-call server, one connection per call.  Both
print a one-line transcript of every command, reply, event and connection.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import sys
from collections.abc import Sequence
from pathlib import Path

from websockets.exceptions import InvalidHandshake

from .dialer import Dialer, UpgradeRefused
from .model import Caller, Channel, Timing
from .switch import DEFAULT_PATH, Switch

EXAMPLES = """\
examples:
  # a switch on port 9090 that offers two calls; each caller presses 1 then #
  # after the greeting and hangs up 5 s after the answer
  python -m fenwix_sim listen --listen 127.0.0.1:9090 --token secret \\
      --calls 2 --dtmf 1# --dtmf-after play --hangup-after 5

  # an ephemeral port, learnt from a file; channels survive a kill -9
  python -m fenwix_sim listen --listen 127.0.0.1:0 --port-file /tmp/port \\
      --state-file /tmp/channels.json

  # dial three calls into an application's per-call server
  python -m fenwix_sim dial ws://127.0.0.1:8790/ --token secret --calls 3 --dtmf 42
"""


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT (such as 127.0.0.1:9090), not {text!r}")
    return host.strip("[]"), int(port)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative number of seconds, not {text!r}")
    return value


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}")
    return int(text)


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--token", default="tok", help="bearer token of the upgrade (default: %(default)s)")
    parser.add_argument(
        "--calls", type=_count, default=0, metavar="N", help="number of simulated calls to place (default: %(default)s)"
    )
    parser.add_argument(
        "--call-interval",
        type=_seconds,
        default=0.2,
        metavar="SEC",
        help="pause between two calls (default: %(default)s)",
    )
    caller = parser.add_argument_group("caller behaviour (every simulated call)")
    caller.add_argument(
        "--dtmf", default="", metavar="DIGITS", help="digits the caller presses, as ChannelDtmfReceived events"
    )
    caller.add_argument(
        "--dtmf-after",
        choices=("answer", "play"),
        default="answer",
        help="press them once the call is answered or once the first announcement has finished (default: %(default)s)",
    )
    caller.add_argument(
        "--dtmf-delay",
        type=_seconds,
        default=0.1,
        metavar="SEC",
        help="wait before the first digit (default: %(default)s)",
    )
    caller.add_argument(
        "--hangup-after", type=_seconds, metavar="SEC", help="hang up this long after the answer (default: never)"
    )
    caller.add_argument(
        "--abandon-after",
        type=_seconds,
        metavar="SEC",
        help="give up this long after the offer if nobody answered (default: never)",
    )
    caller.add_argument(
        "--from",
        dest="from_uri",
        default="sip:alice@sim.fenwix",
        metavar="URI",
        help="calling party (default: %(default)s)",
    )
    caller.add_argument(
        "--to", dest="to_uri", default="sip:100@sim.fenwix", metavar="URI", help="called party (default: %(default)s)"
    )
    timing = parser.add_argument_group("timing")
    timing.add_argument(
        "--play-seconds",
        type=_seconds,
        default=0.2,
        metavar="SEC",
        help="length of every announcement (default: %(default)s)",
    )
    timing.add_argument(
        "--ring-seconds",
        type=_seconds,
        default=0.2,
        metavar="SEC",
        help="how long dialled parties ring before answering (default: %(default)s)",
    )
    timing.add_argument(
        "--dtmf-gap", type=_seconds, default=0.1, metavar="SEC", help="pause between two digits (default: %(default)s)"
    )
    output = parser.add_argument_group("output")
    output.add_argument("--quiet", action="store_true", help="print no transcript, only the essentials")
    output.add_argument(
        "--log-level",
        default="WARNING",
        choices=("DEBUG", "INFO", "WARNING", "ERROR"),
        help="level of the simulator's log on stderr (default: %(default)s)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m fenwix_sim",
        description="Simulate the fenwix switch's control plane (the fenwix-control.v1 WebSocket protocol) "
        "for testing and demonstrating applications without a switch.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="{listen,dial}")

    listen = commands.add_parser(
        "listen",
        help="run a switch that applications connect to",
        description="Listen for applications (Authorization: Bearer <token>, subprotocol fenwix-control.v1), "
        "answer hello/resync/describe and every call verb, and offer simulated inbound calls to the "
        "application once it has said hello.  Runs until interrupted (SIGINT/SIGTERM), or with --exit-after-calls "
        "until the offered calls have ended.",
    )
    listen.add_argument(
        "--listen",
        type=_address,
        default=("127.0.0.1", 9090),
        metavar="HOST:PORT",
        help="address to listen on; port 0 picks a free one (default: 127.0.0.1:9090)",
    )
    listen.add_argument("--path", default=DEFAULT_PATH, help="path of the printed URL (default: %(default)s)")
    listen.add_argument(
        "--port-file", type=Path, metavar="PATH", help="write the listening port to this file once listening"
    )
    listen.add_argument(
        "--state-file",
        type=Path,
        metavar="PATH",
        help="keep live channels in this JSON file and resume them at start-up, so that resync after a restart reports them",
    )
    listen.add_argument(
        "--app", metavar="NAME", help="offer calls only to this application (default: whichever has said hello)"
    )
    listen.add_argument(
        "--first-call-after",
        type=_seconds,
        default=0.5,
        metavar="SEC",
        help="wait this long after the application's hello before the first call, so that it has "
        "registered its call handler (default: %(default)s)",
    )
    listen.add_argument("--exit-after-calls", action="store_true", help="exit once every offered call has ended")
    _add_common(listen)

    dial = commands.add_parser(
        "dial",
        help="dial calls into an application's per-call server",
        description="Open one WebSocket connection per call to URL, presenting the bearer token, push the "
        "call's StasisStart as the first frame and answer its verbs.  Exits once every call has ended "
        "(status 0), or with status 1 when an upgrade is refused or calls outlast --timeout.",
    )
    dial.add_argument("url", metavar="URL", help="the application's per-call server, such as ws://127.0.0.1:8790/")
    dial.add_argument("--app", default="sim", help="application name written into event frames (default: %(default)s)")
    dial.add_argument(
        "--subprotocol",
        action="append",
        metavar="NAME",
        help='subprotocol to request (repeatable; "none" requests none; default: fenwix-control.v1)',
    )
    dial.add_argument(
        "--timeout",
        type=_seconds,
        default=60.0,
        metavar="SEC",
        help="give up when the calls have not ended after this long (default: %(default)s)",
    )
    _add_common(dial)
    return parser


def _caller(options: argparse.Namespace) -> Caller:
    return Caller(
        dtmf=options.dtmf,
        dtmf_after=options.dtmf_after,
        dtmf_delay=options.dtmf_delay,
        hangup_after=options.hangup_after,
        abandon_after=options.abandon_after,
    )


def _timing(options: argparse.Namespace) -> Timing:
    return Timing(play=options.play_seconds, ring=options.ring_seconds, dtmf_gap=options.dtmf_gap)


def _say(line: str) -> None:
    print(line, flush=True)


def _write_port(path: Path, port: int) -> None:
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(f"{port}\n")
    os.replace(temporary, path)


async def _until_signalled(stop: asyncio.Event) -> None:
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    try:
        await stop.wait()
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(signum)


async def _offer_calls(switch: Switch, options: argparse.Namespace, offered: list[Channel]) -> None:
    while len(offered) < options.calls:
        connection = await switch.wait_for_app(options.app, timeout=365 * 24 * 3600)
        await asyncio.sleep(options.call_interval if offered else options.first_call_after)
        if connection.closed:
            continue
        offered.append(
            await switch.offer_call(
                app=connection.app,
                caller=_caller(options),
                from_uri=options.from_uri,
                to_uri=options.to_uri,
            )
        )


async def run_listen(options: argparse.Namespace) -> int:
    host, port = options.listen
    switch = Switch(
        options.token,
        host=host,
        port=port,
        path=options.path,
        timing=_timing(options),
        state_file=options.state_file,
        transcript=None if options.quiet else _say,
    )
    try:
        await switch.start()
    except OSError as exc:
        print(f"fenwix-sim: cannot listen on {host}:{port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except ValueError as exc:
        print(f"fenwix-sim: {exc}", file=sys.stderr)
        return 1
    _say(f"listening on {switch.url}")
    if options.port_file is not None:
        _write_port(options.port_file, switch.port)
    stop = asyncio.Event()
    offered: list[Channel] = []
    tasks = []
    if options.calls:
        offering = asyncio.create_task(_offer_calls(switch, options, offered))
        tasks.append(offering)
        if options.exit_after_calls:

            async def finish_when_done() -> None:
                await offering
                await switch.wait_until(
                    lambda: all(not c.alive for c in offered), timeout=365 * 24 * 3600, what="the calls to end"
                )
                stop.set()

            tasks.append(asyncio.create_task(finish_when_done()))
    try:
        await _until_signalled(stop)
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        await switch.close()
    _say(f"stopped after {len(offered)} offered call(s)")
    return 0


async def run_dial(options: argparse.Namespace) -> int:
    subprotocols: Sequence[str] | None
    if options.subprotocol is None:
        subprotocols = ("fenwix-control.v1",)
    elif options.subprotocol == ["none"]:
        subprotocols = None
    else:
        subprotocols = tuple(options.subprotocol)
    dialer = Dialer(
        options.url,
        options.token,
        app=options.app,
        subprotocols=subprotocols,
        timing=_timing(options),
        transcript=None if options.quiet else _say,
    )
    failures = 0
    calls: list[Channel] = []
    try:
        for number in range(options.calls):
            if number:
                await asyncio.sleep(options.call_interval)
            try:
                call = await dialer.dial(caller=_caller(options), from_uri=options.from_uri, to_uri=options.to_uri)
            except UpgradeRefused as refused:
                failures += 1
                _say(
                    f"call {number + 1}: upgrade refused with HTTP {refused.response.status} {refused.response.text!r}"
                )
                continue
            except (OSError, TimeoutError, InvalidHandshake) as exc:
                failures += 1
                _say(f"call {number + 1}: cannot reach {options.url}: {exc}")
                continue
            calls.append(call)
            _say(f"{call.id}: dialled, HTTP {call.upgrade.status}, subprotocol {call.upgrade.subprotocol}")
        try:
            await dialer.wait_until(
                lambda: all(not c.alive for c in calls), timeout=options.timeout, what="the calls to end"
            )
        except TimeoutError:
            still = [c.id for c in calls if c.alive]
            _say(f"calls still up after {options.timeout}s: {', '.join(still)}")
            failures += len(still)
    finally:
        await dialer.close()
    _say(f"{len(calls)} call(s) dialled, {failures} failure(s)")
    return 1 if failures else 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.command == "listen" and options.exit_after_calls and not options.calls:
        parser.error("--exit-after-calls needs --calls N")
    logging.basicConfig(level=options.log_level, format="%(levelname)s %(name)s: %(message)s", stream=sys.stderr)
    runner = run_listen if options.command == "listen" else run_dial
    try:
        return asyncio.run(runner(options))
    except KeyboardInterrupt:
        return 130
