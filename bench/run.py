"""Benchmark driver: fenwix_control against a plain-Python baseline and the C++ limit.

Run from the repository root with the project's interpreter (`make bench`
builds everything in build-bench/ and runs this):

    .venv/bin/python bench/run.py [--quick] [--build-dir DIR] [--only commands,events,memory]

It needs `fenwix_bench_peer` and `fenwix_bench_cpp` from a CMake build with
FENWIX_BUILD_BENCH=ON (see --build-dir); the module is imported from that
build's python/ directory when it is there. Every measurement runs in a fresh
interpreter of its own (this file with --worker), which starts its own peer,
so no workload inherits another's memory, tasks or loop. Results go to
bench/results/ as JSON and as the printed table.

Implementations compared:
  module    fenwix_control (skipped, shown as "n/a", when it cannot be imported)
  baseline  bench/baseline.py on the websockets library
  limit     bench/cpp_client_bench.cpp on the C++ client library (commands only)
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
TOKEN = "bench-token"
APP = "bench"


# ---------------------------------------------------------------------------
# The peer process.


class Peer:
    """A running fenwix_bench_peer, steered through its stdin and stdout."""

    def __init__(self, exe: Path) -> None:
        self.exe = exe
        self.messages: list[dict[str, Any]] = []
        self._arrived = asyncio.Event()
        self._proc: asyncio.subprocess.Process | None = None
        self._reader: asyncio.Task[None] | None = None

    async def start(self, *args: str) -> None:
        self._proc = await asyncio.create_subprocess_exec(
            str(self.exe), "--token", TOKEN, "--app", APP, *args,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        )
        self._reader = asyncio.create_task(self._read())

    async def listen(self) -> str:
        await self.start("--listen", "127.0.0.1:0")
        return (await self.wait_for("listening"))["url"]

    async def _read(self) -> None:
        assert self._proc and self._proc.stdout
        async for line in self._proc.stdout:
            try:
                self.messages.append(json.loads(line))
            except ValueError:
                continue
            self._arrived.set()

    async def wait_for(self, event: str, timeout: float = 60.0, since: int = 0, **match: Any) -> dict[str, Any]:
        """The first message `event` (with the given members) from index `since` on."""
        async with asyncio.timeout(timeout):
            seen = since
            while True:
                for message in self.messages[seen:]:
                    if message.get("event") == event and all(message.get(k) == v for k, v in match.items()):
                        return message
                seen = len(self.messages)
                self._arrived.clear()
                await self._arrived.wait()

    def send(self, line: str) -> int:
        """Sends one control line; returns the index to wait from for its answer."""
        assert self._proc and self._proc.stdin
        mark = len(self.messages)
        self._proc.stdin.write(line.encode() + b"\n")
        return mark

    async def stats(self) -> dict[str, Any]:
        return await self.wait_for("stats", since=self.send("stats"))

    async def stop(self) -> None:
        if self._proc is None:
            return
        try:
            self.send("quit")
            await asyncio.wait_for(self._proc.wait(), 5)
        except (TimeoutError, ConnectionError):
            self._proc.kill()
            await self._proc.wait()
        if self._reader:
            self._reader.cancel()


# ---------------------------------------------------------------------------
# The implementations under test. Each gives the workloads the same four
# operations: dial the switch, listen for per-call connections, and read an
# event's payload; calls offer `command(verb, args)`, `play(**args)` and
# `next_event()`.


class BaselineImpl:
    name = "baseline"

    async def connect(self, url: str, on_call: Any) -> Any:
        import baseline

        return await baseline.connect_client(url, APP, TOKEN, on_call=on_call)

    async def close(self, handle: Any) -> None:
        await handle.close()

    async def serve(self, on_call: Any) -> tuple[Any, str]:
        import baseline

        server = await baseline.serve_calls("127.0.0.1", 0, TOKEN, on_call)
        port = next(iter(server.sockets)).getsockname()[1]
        return server, f"ws://127.0.0.1:{port}/"

    async def stop_serving(self, server: Any) -> None:
        server.close()
        await server.wait_closed()

    @staticmethod
    def payload(event: Any) -> Any:
        return event.get("payload")


class ModuleImpl:
    """fenwix_control: `run()` and `serve()` return futures (not coroutines);
    `next_event()` resolves to a dict `{"kind", "payload"}`; `bind()` to
    "host:port"."""

    name = "module"

    async def connect(self, url: str, on_call: Any) -> Any:
        import fenwix_control

        client = fenwix_control.ControlClient(APP, TOKEN, url=url)
        client.on_call(on_call)
        return client, asyncio.ensure_future(client.run())

    async def close(self, handle: Any) -> None:
        client, running = handle
        client.close()
        await asyncio.wait_for(running, 10)

    async def serve(self, on_call: Any) -> tuple[Any, str]:
        import fenwix_control

        server = fenwix_control.ControlServer(APP, TOKEN, bind="127.0.0.1:0")
        server.on_call(on_call)
        address = await server.bind()
        serving = asyncio.ensure_future(server.serve())
        return (server, serving), f"ws://{address}/"

    async def stop_serving(self, handle: Any) -> None:
        server, serving = handle
        server.close()
        serving.cancel()

    @staticmethod
    def payload(event: Any) -> Any:
        return event["payload"]


IMPLS = {"baseline": BaselineImpl, "module": ModuleImpl}


def module_available() -> bool:
    try:
        import fenwix_control  # noqa: F401
    except ImportError:
        return False
    return True


def uvloop_available() -> bool:
    try:
        import uvloop  # noqa: F401
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------
# Measuring.


def percentiles_us(samples_ns: list[int]) -> dict[str, float]:
    if not samples_ns:
        return {"p50_us": 0.0, "p99_us": 0.0}
    ordered = sorted(samples_ns)

    def at(q: float) -> float:
        return ordered[min(len(ordered) - 1, int(q * len(ordered)))] / 1000.0

    return {"p50_us": at(0.50), "p90_us": at(0.90), "p99_us": at(0.99), "max_us": ordered[-1] / 1000.0}


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def first_call(calls: asyncio.Queue[Any], peer: Peer, count: int = 1) -> list[Any]:
    """Announces `count` calls once the application has said hello; returns them."""
    await peer.wait_for("hello")
    # A client that has just said hello may not have installed its call
    # handler yet; a call announced before that would be lost.
    await asyncio.sleep(0.2)
    peer.send(f"announce {count}")
    async with asyncio.timeout(60):
        return [await calls.get() for _ in range(count)]


# How a workload sends its command: through the generic `Call.command` (verb
# and args passed as they are), or through a typical verb method (`play`),
# which binds and checks its arguments and builds the args itself. Both put
# the same frame on the wire.
VERBS = ("command", "play")


def issuer(call: Any, verb: str) -> Any:
    if verb == "command":
        args = {"file": "welcome"}
        return lambda: call.command("play", args)
    if verb == "play":
        return lambda: call.play(file="welcome")
    raise ValueError(f"unknown verb {verb!r}")


async def closed_loop(issue: Any, inflight: int, warmup: float, duration: float) -> dict[str, Any]:
    """`inflight` tasks, each issuing the next command when its last one is answered."""
    state = {"stop": False, "measuring": False, "count": 0}
    latencies: list[int] = []

    async def chain() -> None:
        while not state["stop"]:
            started = time.perf_counter_ns()
            await issue()
            if state["measuring"]:
                latencies.append(time.perf_counter_ns() - started)
                state["count"] += 1

    tasks = [asyncio.create_task(chain()) for _ in range(inflight)]
    await asyncio.sleep(warmup)
    state["measuring"] = True
    cpu0, t0 = time.process_time(), time.perf_counter()
    await asyncio.sleep(duration)
    state["measuring"] = False
    cpu1, t1 = time.process_time(), time.perf_counter()
    count = state["count"]
    state["stop"] = True
    await asyncio.gather(*tasks)
    return {
        "inflight": inflight,
        "per_second": count / (t1 - t0),
        "completed": count,
        "cpu_us_per_command": (cpu1 - cpu0) * 1e6 / count if count else 0.0,
        **percentiles_us(latencies),
    }


async def open_loop(issue: Any, rate: float, duration: float) -> dict[str, Any]:
    """Commands issued on a fixed schedule from one task, whatever the replies do.

    The loop's timers fire with about a millisecond's granularity, so at high
    rates the commands that fell due leave together, as they would from an
    application woken by its own timers.
    """
    loop = asyncio.get_running_loop()
    total = max(1, int(rate * duration))
    latencies: list[int] = []
    pending: set[asyncio.Task[None]] = set()

    async def one() -> None:
        started = time.perf_counter_ns()
        await issue()
        latencies.append(time.perf_counter_ns() - started)

    start = loop.time()
    for i in range(total):
        delay = start + i / rate - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        task = asyncio.create_task(one())
        pending.add(task)
        task.add_done_callback(pending.discard)
    issued = loop.time() - start
    await asyncio.gather(*list(pending))
    return {"target_per_second": rate, "achieved_per_second": total / issued if issued else 0.0,
            "commands": total, **percentiles_us(latencies)}


# ---------------------------------------------------------------------------
# Workloads. Each runs inside a worker process and returns one JSON object.


async def workload_commands(impl: Any, peer_exe: Path, verb: str, inflight: list[int], warmup: float,
                            duration: float, latency_duration: float) -> dict[str, Any]:
    """Round trips of a command (`Call.command` or `play`, see `issuer`) with
    1/16/256 in flight from one loop, then latency at half the best rate."""
    peer = Peer(peer_exe)
    url = await peer.listen()
    calls: asyncio.Queue[Any] = asyncio.Queue()

    async def on_call(call: Any) -> None:
        calls.put_nowait(call)

    handle = await impl.connect(url, on_call)
    try:
        (call,) = await first_call(calls, peer)
        issue = issuer(call, verb)
        runs = []
        for n in inflight:
            before = await peer.stats()
            run = await closed_loop(issue, n, warmup, duration)
            after = await peer.stats()
            commands = after["commands"] - before["commands"]
            run["peer_cpu_us_per_command"] = (after["cpu_s"] - before["cpu_s"]) * 1e6 / commands if commands else 0.0
            runs.append(run)
        best = max(r["per_second"] for r in runs)
        latency = await open_loop(issue, best / 2, latency_duration) if latency_duration > 0 else None
        return {"verb": verb, "runs": runs, "latency": latency}
    finally:
        await impl.close(handle)
        await peer.stop()


async def workload_events(impl: Any, peer_exe: Path, calls_count: int, events_total: int,
                          latency_duration: float) -> dict[str, Any]:
    """Events pushed to `next_event()` consumers, one per call: a burst as fast as
    the application takes them, then latency at half that rate."""
    peer = Peer(peer_exe)
    url = await peer.listen()
    per_call = max(1, events_total // calls_count)
    target = per_call * calls_count
    state = {"received": 0, "target": target, "recording": False}
    done = asyncio.Event()
    latencies: list[int] = []
    calls: asyncio.Queue[Any] = asyncio.Queue()

    async def on_call(call: Any) -> None:
        calls.put_nowait(call)
        while (event := await call.next_event()) is not None:
            if state["recording"]:
                payload = impl.payload(event)
                latencies.append(time.monotonic_ns() - payload["sent_ns"])
            state["received"] += 1
            if state["received"] == state["target"]:
                done.set()

    handle = await impl.connect(url, on_call)
    try:
        await first_call(calls, peer, calls_count)
        t0 = time.perf_counter()
        peer.send(f"burst {per_call}")
        await asyncio.wait_for(done.wait(), 300)
        elapsed = time.perf_counter() - t0
        rate = target / elapsed
        result: dict[str, Any] = {"calls": calls_count, "events": target, "seconds": elapsed, "per_second": rate}
        if latency_duration > 0:
            state["received"] = 0
            state["target"] = -1
            state["recording"] = True
            peer.send(f"rate {rate / 2:.0f}")
            await asyncio.sleep(latency_duration)
            peer.send("stop")
            state["recording"] = False
            result["latency"] = {"target_per_second": rate / 2, "events": len(latencies), **percentiles_us(latencies)}
        return result
    finally:
        await impl.close(handle)
        await peer.stop()


async def workload_idle_memory(impl: Any, peer_exe: Path, connections: int) -> dict[str, Any]:
    """Resident memory per idle per-call connection: the peer dials `connections`
    calls into the application's per-call server and leaves them idle."""
    calls: list[Any] = []
    arrived = asyncio.Event()
    want = [1]

    async def on_call(call: Any) -> None:
        calls.append(call)
        if len(calls) == want[0]:
            arrived.set()

    server, url = await impl.serve(on_call)
    peer = Peer(peer_exe)
    await peer.start("--dial", url, "--calls", "0")
    try:
        # One call first, so that everything a first connection loads or
        # allocates once is in the starting figure.
        await peer.wait_for("dialled", since=peer.send("dial 1"), connections=1)
        await asyncio.wait_for(arrived.wait(), 30)
        await asyncio.sleep(0.5)
        gc.collect()
        before = rss_kib()
        want[0] = 1 + connections
        arrived.clear()
        dialled = await peer.wait_for("dialled", since=peer.send(f"dial {connections}"), timeout=300)
        await asyncio.wait_for(arrived.wait(), 120)
        await asyncio.sleep(1.0)
        gc.collect()
        after = rss_kib()
        return {"connections": connections, "dialled": dialled["connections"] - 1, "failed": dialled["failed"],
                "rss_before_kib": before, "rss_after_kib": after,
                "kib_per_connection": (after - before) / connections}
    finally:
        peer.send("close")
        await asyncio.sleep(0.2)
        await peer.stop()
        await impl.stop_serving(server)


WORKLOADS = {"commands": workload_commands, "events": workload_events, "idle_memory": workload_idle_memory}


def run_worker(job: dict[str, Any]) -> None:
    """Entry point of a worker process: one workload, one JSON line out."""
    sys.path.insert(0, str(ROOT / "bench"))
    impl = IMPLS[job["impl"]]()
    workload = WORKLOADS[job["workload"]]
    coroutine = workload(impl, Path(job["peer"]), **job["args"])
    if job.get("loop") == "uvloop":
        import uvloop

        result = asyncio.run(coroutine, loop_factory=uvloop.new_event_loop)
    else:
        result = asyncio.run(coroutine)
    print("RESULT " + json.dumps(result), flush=True)


# ---------------------------------------------------------------------------
# The driver.


@dataclass
class Settings:
    verbs: list[str]
    inflight: list[int]
    calls: list[int]
    duration: float
    warmup: float
    latency_duration: float
    events_total: int
    idle_connections: int
    repeat: int


def worker(job: dict[str, Any], timeout: float = 900) -> dict[str, Any] | None:
    label = f"{job['impl']}{'+uvloop' if job.get('loop') == 'uvloop' else ''} {job['workload']} {job['args']}"
    print(f"  running {label}", file=sys.stderr, flush=True)
    proc = subprocess.run([sys.executable, __file__, "--worker", json.dumps(job)],
                          capture_output=True, text=True, timeout=timeout)
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    print(f"  {label} failed (exit {proc.returncode}):\n{proc.stderr[-2000:]}", file=sys.stderr)
    return None


def run_limit(build: Path, settings: Settings) -> dict[str, Any] | None:
    """The C++ client library's command workload against its own peer."""
    print("  running limit commands", file=sys.stderr, flush=True)
    peer = subprocess.Popen([str(build / "bench" / "fenwix_bench_peer"), "--listen", "127.0.0.1:0",
                             "--token", TOKEN], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert peer.stdout
        url = json.loads(peer.stdout.readline())["url"]
        proc = subprocess.run([str(build / "bench" / "fenwix_bench_cpp"), "--url", url, "--token", TOKEN,
                               "--inflight", ",".join(map(str, settings.inflight)),
                               "--duration", str(settings.duration), "--warmup", str(settings.warmup),
                               "--latency-duration", str(settings.latency_duration)],
                              capture_output=True, text=True, timeout=600)
        lines = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
        if proc.returncode != 0 or not lines:
            print(f"  limit failed (exit {proc.returncode}): {proc.stderr[-2000:]}", file=sys.stderr)
            return None
        assert peer.stdin
        peer.stdin.write("stats\n")
        peer.stdin.flush()
        stats = next(m for m in map(json.loads, peer.stdout) if m.get("event") == "stats")
        return {"runs": [line for line in lines if line["workload"] == "commands"],
                "latency": next((line for line in lines if line["workload"] == "latency"), None),
                # Averaged over every run: how much of a core the peer needed per command.
                "peer_cpu_us_per_command": stats["cpu_s"] * 1e6 / max(1, stats["commands"])}
    finally:
        if peer.stdin:
            peer.stdin.close()
        peer.wait(timeout=10)


def run_all(build: Path, settings: Settings, impls: list[tuple[str, str | None]], only: set[str],
            with_limit: bool) -> dict[str, Any]:
    """Every selected workload, `settings.repeat` times; each entry is the list of repetitions."""
    peer = str(build / "bench" / "fenwix_bench_peer")

    def repeated(job: dict[str, Any]) -> list[dict[str, Any]]:
        return [r for r in (worker(job) for _ in range(settings.repeat)) if r is not None]

    results: dict[str, Any] = {}
    for impl, loop in impls:
        key = impl + ("+uvloop" if loop else "")
        mine: dict[str, Any] = {}
        base = {"impl": impl, "loop": loop, "peer": peer}
        if "commands" in only:
            mine["commands"] = {verb: repeated({**base, "workload": "commands", "args": {
                "verb": verb, "inflight": settings.inflight, "warmup": settings.warmup,
                "duration": settings.duration, "latency_duration": settings.latency_duration}})
                for verb in settings.verbs}
        if "events" in only:
            mine["events"] = {str(n): repeated({**base, "workload": "events", "args": {
                "calls_count": n, "events_total": settings.events_total,
                "latency_duration": settings.latency_duration}}) for n in settings.calls}
        if "memory" in only:
            mine["idle_memory"] = repeated({**base, "workload": "idle_memory", "args": {
                "connections": settings.idle_connections}})
        results[key] = mine
    if with_limit and "commands" in only:
        limit = (run_limit(build, settings) for _ in range(settings.repeat))
        results["limit"] = {"commands": [r for r in limit if r is not None]}
    return results


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def median(values: list[float]) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def table(results: dict[str, Any], settings: Settings) -> str:
    """Medians over the repetitions, one column per implementation, then the ratios."""
    columns = ("module", "module+uvloop", "baseline", "baseline+uvloop", "limit")
    # (numerator, denominator): each loop compared with the same loop, and the
    # module with the C++ client library.
    ratios = (("module", "baseline"), ("module+uvloop", "baseline+uvloop"),
              ("module", "limit"), ("module+uvloop", "limit"))

    def repetitions(impl: str, workload: str, key: int | str | None = None) -> list[dict[str, Any]]:
        found = (results.get(impl) or {}).get(workload) or []
        if key is not None:
            found = (found.get(str(key)) or []) if isinstance(found, dict) else []
        return found

    def command_reps(impl: str, verb: str) -> list[dict[str, Any]]:
        # The C++ limit sends the same frame whichever Python method it stands for.
        return repetitions(impl, "commands") if impl == "limit" else repetitions(impl, "commands", verb)

    def commands_rate(impl: str, verb: str, n: int) -> float | None:
        return median([r["per_second"] for rep in command_reps(impl, verb)
                       for r in rep["runs"] if r["inflight"] == n])

    def commands_latency(impl: str, verb: str, key: str) -> float | None:
        return median([rep["latency"][key] for rep in command_reps(impl, verb) if rep.get("latency")])

    def events_rate(impl: str, n: int) -> float | None:
        return median([rep["per_second"] for rep in repetitions(impl, "events", n)])

    def events_latency(impl: str, n: int, key: str) -> float | None:
        return median([rep["latency"][key] for rep in repetitions(impl, "events", n) if rep.get("latency")])

    def memory(impl: str) -> float | None:
        return median([rep["kib_per_connection"] for rep in repetitions(impl, "idle_memory")])

    def calls_label(n: int) -> str:
        return f"{n} call" if n == 1 else f"{n} calls"

    verb_label = {"command": "Call.command", "play": "play()"}
    rows: list[tuple[str, Any]] = []  # label, value of an implementation's column
    for verb in settings.verbs:
        for n in settings.inflight:
            rows.append((f"{verb_label[verb]}/s, {n} in flight", lambda i, v=verb, n=n: commands_rate(i, v, n)))
        rows.append((f"{verb_label[verb]} p50 us at half peak", lambda i, v=verb: commands_latency(i, v, "p50_us")))
        rows.append((f"{verb_label[verb]} p99 us at half peak", lambda i, v=verb: commands_latency(i, v, "p99_us")))
    for n in settings.calls:
        rows.append((f"events/s, {calls_label(n)}", lambda i, n=n: events_rate(i, n)))
    for n in settings.calls:
        rows.append((f"event p50 us at half peak, {calls_label(n)}",
                     lambda i, n=n: events_latency(i, n, "p50_us")))
        rows.append((f"event p99 us at half peak, {calls_label(n)}",
                     lambda i, n=n: events_latency(i, n, "p99_us")))
    rows.append((f"KiB per idle call connection ({settings.idle_connections})", memory))

    def fmt(v: float | None) -> str:
        return "n/a" if v is None else (f"{v:,.0f}" if v >= 100 else f"{v:,.1f}")

    def ratio(a: float | None, b: float | None) -> str:
        return "n/a" if a is None or b is None or b == 0 else f"{a / b:.2f}x"

    shown = [c for c in columns if c in results]
    shown_ratios = [(a, b) for a, b in ratios if a in shown and b in shown]
    header = ["", *shown, *(f"{a}/{b}".replace("+uvloop", "+uv") for a, b in shown_ratios)]
    lines = [header]
    for label, get in rows:
        values = {c: get(c) for c in shown}
        if all(v is None for v in values.values()):
            continue
        lines.append([label, *(fmt(values[c]) for c in shown),
                      *(ratio(values[a], values[b]) for a, b in shown_ratios)])
    widths = [max(len(row[i]) for row in lines) for i in range(len(header))]
    legend = ("\nRatios are module / other: above 1 is better for rates, below 1 is better for "
              "latencies and memory.\nlimit: the C++ client library sending the same frame (no Python), "
              "shown against both Python methods.\nn/a: not measured or not available.")
    return "\n".join("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))) for row in lines) + legend


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="a short smoke run")
    parser.add_argument("--build-dir", type=Path, default=Path(os.environ.get("FENWIX_BENCH_BUILD", ROOT / "build")),
                        help="CMake build directory holding bench/fenwix_bench_peer (default: build, or $FENWIX_BENCH_BUILD)")
    parser.add_argument("--only", default="commands,events,memory", help="comma-separated: commands,events,memory")
    parser.add_argument("--impl", default="module,baseline", help="comma-separated: module,baseline")
    parser.add_argument("--no-limit", action="store_true", help="skip the C++ client library run")
    parser.add_argument("--uvloop", action="store_true", help="also run each implementation on uvloop, if installed")
    parser.add_argument("--verbs", default=",".join(VERBS), help="comma-separated: command,play")
    parser.add_argument("--inflight", default="1,16,256")
    parser.add_argument("--calls", default="1,100,1000")
    parser.add_argument("--duration", type=float, help="seconds per closed-loop measurement (default 5, quick 1)")
    parser.add_argument("--latency-duration", type=float, help="seconds per latency measurement (default 5, quick 1)")
    parser.add_argument("--events", type=int, help="events per events run (default 200000, quick 20000)")
    parser.add_argument("--idle-connections", type=int, help="per-call connections kept idle (default 2000, quick 200)")
    parser.add_argument("--repeat", type=int, help="repetitions of every measurement; the table shows medians "
                        "(default 3, quick 1)")
    args = parser.parse_args()

    if args.worker:
        run_worker(json.loads(args.worker))
        return

    quick = args.quick
    settings = Settings(
        verbs=args.verbs.split(","),
        inflight=[int(x) for x in args.inflight.split(",")],
        calls=[int(x) for x in args.calls.split(",")],
        duration=args.duration or (1.0 if quick else 5.0),
        warmup=0.3 if quick else 1.0,
        latency_duration=args.latency_duration if args.latency_duration is not None else (1.0 if quick else 5.0),
        events_total=args.events or (20_000 if quick else 200_000),
        idle_connections=args.idle_connections or (200 if quick else 2000),
        repeat=args.repeat or (1 if quick else 3),
    )
    build = args.build_dir.resolve()
    for exe in ("fenwix_bench_peer", "fenwix_bench_cpp"):
        if not (build / "bench" / exe).exists():
            sys.exit(f"{build / 'bench' / exe} is missing: build it (ninja -C {build} {exe}) or pass --build-dir")
    # The module from the same build, for this process and every worker.
    if (build / "python").is_dir():
        sys.path.insert(0, str(build / "python"))
        os.environ["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(build / "python"), os.environ.get("PYTHONPATH")) if p)

    wanted = args.impl.split(",")
    impls: list[tuple[str, str | None]] = []
    for impl in wanted:
        if impl == "module" and not module_available():
            print("fenwix_control cannot be imported: module columns show n/a", file=sys.stderr)
            continue
        impls.append((impl, None))
        if args.uvloop:
            if uvloop_available():
                impls.append((impl, "uvloop"))
            else:
                print("uvloop cannot be imported: no uvloop runs (pip install uvloop, or put it on "
                      "PYTHONPATH)", file=sys.stderr)
    only = set(args.only.split(","))
    results = run_all(build, settings, impls, only, with_limit=not args.no_limit)
    if "module" in wanted and not module_available():
        results.setdefault("module", {})

    stamp = datetime.now(timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    text = (f"{stamp}: {os.cpu_count()} CPUs ({cpu_model()}); {'quick run' if quick else 'full run'}, "
            f"medians of {settings.repeat}\n" + table(results, settings))
    print(text)
    RESULTS.mkdir(parents=True, exist_ok=True)
    record = {"when": stamp, "quick": quick, "settings": settings.__dict__, "host": os.uname().nodename,
              "cpus": os.cpu_count(), "cpu_model": cpu_model(), "results": results}
    (RESULTS / f"run-{stamp}.json").write_text(json.dumps(record, indent=2))
    (RESULTS / f"run-{stamp}.txt").write_text(text + "\n")
    print(f"\nresults in {RESULTS / f'run-{stamp}.json'}", file=sys.stderr)


if __name__ == "__main__":
    main()
