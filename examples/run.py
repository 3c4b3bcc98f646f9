"""Run an example against the simulated switch: start the switch, run the example, stop the switch.

    .venv/bin/python examples/run.py NAME [--show-switch] [--timeout SEC]
    make example NAME=originate                 # the same, after the set-up and the build

NAME is one of: ivr, originate, per_call_server, reconnect, transfer_outcomes.

Each run gets its own temporary directory (port file, state file), an
ephemeral port and a fresh token, so several runs can go on at once.  The
example's own output is the transcript; the switch's lines are prefixed
"switch |" and are limited to the essentials unless --show-switch is given;
this runner's own lines are prefixed "run    |".  The switch is stopped on
every way out (success, failure, time-out, Ctrl-C or SIGTERM), and the exit
status is the example's: 0 when it completed, non-zero with a message saying
what went wrong otherwise.

When fenwix_control cannot be imported as it is, the runner uses the module
built into build/python.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ctypes
import importlib.util
import json
import os
import secrets
import signal
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PYTHON = sys.executable
EXAMPLES = ("ivr", "originate", "per_call_server", "reconnect", "transfer_outcomes")
START_SECONDS = 15.0  # how long the switch (or a listening example) may take to come up


class Failure(Exception):
    """What went wrong, in words for the person who ran the example."""


def note(text: str) -> None:
    print(f"run    | {text}", flush=True)


def _die_with_parent() -> None:
    # Run in the child between fork and exec: should the runner itself be
    # killed outright, the kernel sends the child SIGTERM instead of leaving it
    # behind (PR_SET_PDEATHSIG).
    with contextlib.suppress(Exception):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


@dataclass
class Child:
    """A process this runner started, with its output relayed line by line."""

    label: str
    argv: list[str]
    prefix: str
    watched: bool = False  # its exit while an example runs is a failure (a switch)
    process: asyncio.subprocess.Process | None = None
    relays: list[asyncio.Task[None]] = field(default_factory=list)

    async def start(self, env: dict[str, str]) -> None:
        self.process = await asyncio.create_subprocess_exec(
            *self.argv,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
            env=env,
            # A session of its own: Ctrl-C reaches the runner only, which then
            # stops its children in order; and the whole group can be signalled.
            start_new_session=True,
            preexec_fn=_die_with_parent,
            limit=1 << 20,  # the longest line relayed
        )
        assert self.process.stdout is not None and self.process.stderr is not None
        self.relays = [
            asyncio.create_task(self._relay(self.process.stdout, sys.stdout)),
            asyncio.create_task(self._relay(self.process.stderr, sys.stderr)),
        ]

    async def _relay(self, stream: asyncio.StreamReader, sink: TextIO) -> None:
        while line := await stream.readline():
            sink.write(self.prefix + line.decode("utf-8", "replace").rstrip("\n") + "\n")
            sink.flush()

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.returncode is None

    async def wait(self) -> int:
        assert self.process is not None
        status = await self.process.wait()
        if self.relays:
            await asyncio.wait(self.relays)  # unlike gather, a cancelled wait leaves the relays running
        return status

    def signal(self, signum: int) -> None:
        if self.running:
            assert self.process is not None
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signum)  # the group this runner created for it

    async def stop(self, grace: float = 3.0) -> None:
        """SIGTERM, then SIGKILL if it has not exited after ``grace`` seconds."""
        if self.process is None:
            return
        self.signal(signal.SIGTERM)
        try:
            await asyncio.wait_for(self.wait(), grace)
        except TimeoutError:
            note(f"{self.label} did not stop within {grace:.0f} s of SIGTERM; killing it")
            self.signal(signal.SIGKILL)
            await self.wait()


@dataclass
class Run:
    """One run of one example: its directory, token, children and options."""

    name: str
    workdir: Path
    show_switch: bool
    env: dict[str, str]
    token: str = field(default_factory=lambda: secrets.token_hex(8))
    children: list[Child] = field(default_factory=list)

    async def spawn(self, label: str, argv: Sequence[str], *, switch: bool = False) -> Child:
        child = Child(label, list(argv), "switch | " if switch else "", watched=switch)
        await child.start(self.env)
        self.children.append(child)
        return child

    def example(self, name: str, *args: str) -> list[str]:
        return [PYTHON, str(HERE / f"{name}.py"), "--token", self.token, *args]

    async def start_switch(self, argv: Sequence[str], port_file: Path) -> tuple[Child, int]:
        """Start a switch process and wait until it has written its port."""
        port_file.unlink(missing_ok=True)
        switch = await self.spawn("the simulated switch", argv, switch=True)
        port = await wait_for_file(port_file, switch, "the simulated switch")
        return switch, int(port)

    async def scenario_switch(self, scenario: str, port_file: Path) -> tuple[Child, int]:
        argv = [PYTHON, str(HERE / "scenario_switch.py"), scenario, "--port-file", str(port_file)]
        argv += ["--token", self.token] + ([] if self.show_switch else ["--quiet"])
        return await self.start_switch(argv, port_file)

    async def finish(self, app: Child, *, what: str = "the example") -> None:
        """Wait for ``app`` to exit, and fail unless it exits with 0.

        A switch that exits meanwhile (it crashed, or was stopped by someone
        else) fails the run at once instead of leaving the example waiting
        for calls until the time limit.
        """
        exited = asyncio.ensure_future(app.wait())
        watched = {
            asyncio.ensure_future(child.wait()): child
            for child in self.children
            if child.watched and child.running and child is not app
        }
        try:
            await asyncio.wait({exited, *watched}, return_when=asyncio.FIRST_COMPLETED)
            if not exited.done():
                child, status = next((c, t.result()) for t, c in watched.items() if t.done())
                raise Failure(f"{child.label} exited unexpectedly with status {status} (its output is above)")
        finally:
            for task in (exited, *watched):
                task.cancel()
        status = exited.result()
        if status != 0:
            raise Failure(f"{what} exited with status {status} (its output is above)")


async def wait_for_file(path: Path, child: Child, what: str) -> str:
    """The contents of ``path`` once ``child`` has written it (it must not exit first)."""
    deadline = time.monotonic() + START_SECONDS
    while True:
        with contextlib.suppress(FileNotFoundError):
            text = path.read_text().strip()
            if text:
                return text
        if not child.running:
            status = await child.wait()
            raise Failure(f"{what} exited with status {status} before it was ready (its output is above)")
        if time.monotonic() > deadline:
            raise Failure(f"{what} was not ready after {START_SECONDS:.0f} s")
        await asyncio.sleep(0.02)


def url_for(port: int) -> str:
    return f"ws://127.0.0.1:{port}/control/ws"


# -- the recipes -----------------------------------------------------------------------------------


async def run_ivr(run: Run) -> None:
    _, port = await run.scenario_switch("ivr", run.workdir / "port")
    app = await run.spawn("the IVR", run.example("ivr", "--url", url_for(port), "--calls", "4"))
    await run.finish(app, what="the IVR")


async def run_originate(run: Run) -> None:
    _, port = await run.scenario_switch("originate", run.workdir / "port")
    await run.finish(await run.spawn("originate", run.example("originate", "--url", url_for(port))))


async def run_transfer_outcomes(run: Run) -> None:
    _, port = await run.scenario_switch("transfers", run.workdir / "port")
    argv = run.example("transfer_outcomes", "--url", url_for(port), "--calls", "3")
    await run.finish(await run.spawn("transfer_outcomes", argv))


async def run_per_call_server(run: Run) -> None:
    # Here the application listens and the switch dials in, one connection per call.
    addr_file = run.workdir / "addr"
    app = await run.spawn(
        "per_call_server", run.example("per_call_server", "--bind", "127.0.0.1:0", "--addr-file", str(addr_file))
    )
    address = await wait_for_file(addr_file, app, "per_call_server")
    dial = [PYTHON, "-m", "fenwix_sim", "dial", f"ws://{address}/", "--token", run.token, "--calls", "3"]
    dial += ["--dtmf", "1234#", "--dtmf-after", "play", "--play-seconds", "0.3", "--timeout", "30"]
    dialler = await run.spawn("the dialling switch", dial + ([] if run.show_switch else ["--quiet"]), switch=True)
    await run.finish(dialler, what="the dialling switch")
    await run.finish(app)


async def run_reconnect(run: Run) -> None:
    port_file, state_file = run.workdir / "port", run.workdir / "channels.json"
    listen = [PYTHON, "-m", "fenwix_sim", "listen", "--port-file", str(port_file), "--state-file", str(state_file)]
    listen += ["--token", run.token] + ([] if run.show_switch else ["--quiet"])
    switch, port = await run.start_switch(
        listen + ["--listen", "127.0.0.1:0", "--calls", "1", "--first-call-after", "0.3"], port_file
    )
    app = await run.spawn("reconnect", run.example("reconnect", "--url", url_for(port)))
    # Once the call is answered and the example has put it on hold, the switch
    # dies without a word (SIGKILL) and comes back on the same port with the
    # same state file, so the call survives.
    await wait_until(lambda: _on_hold(state_file), app, "the call to be answered and put on hold")
    await asyncio.sleep(0.3)
    note("killing the switch (SIGKILL) while the call is on hold")
    switch.watched = False
    switch.signal(signal.SIGKILL)
    await switch.wait()
    await asyncio.sleep(0.5)
    note("starting the switch again on the same port with the same state file")
    await run.start_switch(listen + ["--listen", f"127.0.0.1:{port}", "--calls", "0"], port_file)
    await run.finish(app)


def _on_hold(state_file: Path) -> bool:
    """Whether the switch's state file shows an answered call that the example put on hold."""
    try:
        saved = json.loads(state_file.read_text())
    except (OSError, ValueError):
        return False
    for channel in saved.get("channels", []) if isinstance(saved, dict) else []:
        variables = channel.get("vars") if isinstance(channel, dict) else None
        if channel.get("state") == "answered" and isinstance(variables, dict) and "step" in variables:
            return True
    return False


async def wait_until(predicate: Callable[[], bool], child: Child, what: str, timeout: float = 15.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        if not child.running:
            raise Failure(f"{child.label} exited (status {await child.wait()}) before {what}")
        if time.monotonic() > deadline:
            raise Failure(f"gave up waiting {timeout:.0f} s for {what}")
        await asyncio.sleep(0.05)


RECIPES: dict[str, Callable[[Run], Awaitable[None]]] = {
    "ivr": run_ivr,
    "originate": run_originate,
    "per_call_server": run_per_call_server,
    "reconnect": run_reconnect,
    "transfer_outcomes": run_transfer_outcomes,
}


# -- the frame ---------------------------------------------------------------------------------------


def module_env() -> dict[str, str]:
    """The environment for the children, with build/python on the path if it is needed."""
    env = dict(os.environ)
    env["PYTHONUNBUFFERED"] = "1"
    if importlib.util.find_spec("fenwix_control") is not None:
        return env
    built = ROOT / "build" / "python"
    if not any(built.glob("fenwix_control.*.so")):
        raise Failure("fenwix_control is not built: run `make build` (or put the module on PYTHONPATH)")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(built), env.get("PYTHONPATH")]))
    return env


async def execute(name: str, *, timeout: float, show_switch: bool) -> int:
    loop = asyncio.get_running_loop()
    stopped = asyncio.Event()
    received: list[str] = []

    def on_signal(signum: int) -> None:
        received.append(signal.Signals(signum).name)
        stopped.set()

    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, on_signal, signum)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=f"fenwix-{name}-") as workdir:
        run = Run(name, Path(workdir), show_switch, module_env())
        recipe = asyncio.ensure_future(RECIPES[name](run))
        interrupted = asyncio.ensure_future(stopped.wait())
        try:
            done, _ = await asyncio.wait({recipe, interrupted}, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
            if recipe in done:
                recipe.result()  # raises the recipe's Failure, if any
                status, outcome = 0, f"{name} finished in {time.monotonic() - started:.1f} s"
            elif interrupted in done:
                note(f"interrupted ({received[0]}); stopping {name}")
                status, outcome = 130, f"{name} interrupted"
            else:
                raise Failure(f"{name} did not finish within {timeout:.0f} s")
        except Failure as failure:
            status, outcome = 1, f"FAILED: {failure}"
        finally:
            for task in (recipe, interrupted):
                task.cancel()
            await asyncio.gather(recipe, interrupted, return_exceptions=True)
            for child in reversed(run.children):  # the example first, then the switch
                await child.stop()
    print(f"run    | {outcome}", file=sys.stderr if status == 1 else sys.stdout, flush=True)
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Run an example against the simulated switch (started and stopped for it)."
    )
    parser.add_argument("name", choices=EXAMPLES, help="the example to run")
    parser.add_argument("--show-switch", action="store_true", help="also print the switch's own transcript")
    parser.add_argument(
        "--timeout", type=float, default=60.0, help="fail if the example has not finished after this many seconds"
    )
    options = parser.parse_args(argv)
    try:
        return asyncio.run(execute(options.name, timeout=options.timeout, show_switch=options.show_switch))
    except Failure as failure:  # raised before anything was started
        print(f"run    | FAILED: {failure}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
