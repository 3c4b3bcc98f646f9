"""Helpers of the fault suite: its size, child processes, the simulator as a
subprocess, and counts of what a run may leave behind."""

import asyncio
import gc
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import fenwix_control

FULL = os.environ.get("FENWIX_FAULTS") == "full"


def scale(short, full):
    """The iteration count of the suite's current size."""
    return full if FULL else short


def report(line):
    """One figure for the run's summary (shown with -s, and by scripts/faults)."""
    print(f"[faults] {line}", file=sys.__stdout__, flush=True)


def child_env():
    """The environment for child interpreters: the same module path."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


# ---------------------------------------------------------------------------
# The simulator's command line, as a process of its own


class SimProcess:
    """`python -m fenwix_sim listen` in a subprocess. The first start picks a
    free port; every restart listens on the same one, so a client's URL stays
    valid. With a state file, channels outlive a SIGKILL."""

    def __init__(self, workdir, *extra, state_file=True, token="tok"):
        self.workdir = Path(workdir)
        self.extra = list(extra)
        self.state_file = self.workdir / "switch-state.json" if state_file else None
        self.token = token
        self.port = 0
        self.process = None
        self.starts = 0

    @property
    def url(self):
        return f"ws://127.0.0.1:{self.port}/control/ws"

    async def start(self, *extra, timeout=20.0):
        port_file = self.workdir / f"port-{self.starts}"
        args = [sys.executable, "-m", "fenwix_sim", "listen", "--quiet",
                "--listen", f"127.0.0.1:{self.port}", "--token", self.token,
                "--port-file", str(port_file), *self.extra, *extra]
        if self.state_file is not None:
            args += ["--state-file", str(self.state_file)]
        self.starts += 1
        self.process = await asyncio.create_subprocess_exec(
            *args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=asyncio.subprocess.PIPE, env=child_env())
        deadline = time.monotonic() + timeout
        while not port_file.exists():
            if self.process.returncode is not None or time.monotonic() > deadline:
                err = await self.process.stderr.read() if self.process.returncode is not None else b""
                raise RuntimeError(f"the simulator did not start: {err.decode(errors='replace')}")
            await asyncio.sleep(0.01)
        self.port = int(port_file.read_text())

    async def kill(self):
        """SIGKILL: no close frame, no goodbye."""
        if self.process is not None and self.process.returncode is None:
            self.process.send_signal(signal.SIGKILL)
            await self.process.wait()

    async def wait(self, timeout):
        return await asyncio.wait_for(self.process.wait(), timeout)

    async def stop(self):
        if self.process is not None and self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                await asyncio.wait_for(self.process.wait(), 10)
            except TimeoutError:
                await self.kill()


# ---------------------------------------------------------------------------
# What a run leaves behind


def live_instances(cls):
    """Live instances of one of the module's classes. Every instance of a heap
    type holds a reference to its type, so the type's reference count moves
    by one per instance, whether or not the type is tracked by the GC."""
    return sys.getrefcount(cls)


def live_futures():
    return sum(1 for o in gc.get_objects() if isinstance(o, asyncio.Future))


class Leftovers:
    """Counts taken before a scenario and compared after it: asyncio tasks,
    futures, Call objects, and every object the GC tracks."""

    def __init__(self):
        gc.collect()
        self.tasks = len(asyncio.all_tasks())
        self.futures = live_futures()
        self.calls = live_instances(fenwix_control.Call)
        self.objects = len(gc.get_objects())

    async def check(self, slack_objects=2000, extra_tasks=0, timeout=5.0):
        """Waits (briefly) for the module's threads to let go, then checks that
        nothing that was made during the scenario is still alive."""
        deadline = asyncio.get_running_loop().time() + timeout
        while True:
            await asyncio.sleep(0.02)
            gc.collect()
            now = {
                "tasks": len(asyncio.all_tasks()) - extra_tasks,
                "futures": live_futures(),
                "calls": live_instances(fenwix_control.Call),
                "objects": len(gc.get_objects()),
            }
            ok = (now["tasks"] <= self.tasks and now["futures"] <= self.futures
                  and now["calls"] <= self.calls
                  and now["objects"] <= self.objects + slack_objects)
            if ok or asyncio.get_running_loop().time() > deadline:
                break
        before = {"tasks": self.tasks, "futures": self.futures, "calls": self.calls,
                  "objects": self.objects}
        assert ok, f"left behind: before {before}, after {now}"
        return before, now


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))
