"""Soak: thousands of calls through ControlServer and through ControlClient,
each answered and hung up by the application. After a warm-up, resident
memory must come back to within 10% of where it was, and the number of live
Python objects (and of Call objects) must not grow. The simulator runs as a
process of its own, so that its records do not count."""

import asyncio
import gc
import sys
import time

import fenwix_control

from faults_support import SimProcess, child_env, live_instances, report, rss_bytes, scale

WARM_UP = scale(150, 1000)
CALLS = scale(400, 10000)


def measure():
    gc.collect()
    return {"rss": rss_bytes(), "objects": len(gc.get_objects()),
            "calls": live_instances(fenwix_control.Call)}


async def settled(baseline, timeout=10.0):
    """Measures until the figures are back at the baseline, or the time is up
    (the module lets go of a call's objects on its own threads)."""
    deadline = time.monotonic() + timeout
    while True:
        now = measure()
        if (now["rss"] <= baseline["rss"] * 1.10 and now["objects"] <= baseline["objects"] + 1000
                and now["calls"] <= baseline["calls"]) or time.monotonic() > deadline:
            return now
        await asyncio.sleep(0.2)


def check(label, baseline, after, calls, seconds):
    report(f"soak {label}: {calls} calls in {seconds:.1f}s ({calls / seconds:.0f}/s); "
           f"RSS {baseline['rss'] / 2**20:.1f} MiB after {WARM_UP} warm-up calls -> "
           f"{after['rss'] / 2**20:.1f} MiB ({(after['rss'] / baseline['rss'] - 1) * 100:+.1f}%); "
           f"GC objects {baseline['objects']} -> {after['objects']}; "
           f"Call objects {baseline['calls']} -> {after['calls']} (type refcount)")
    assert after["rss"] <= baseline["rss"] * 1.10
    assert after["objects"] <= baseline["objects"] + 1000
    assert after["calls"] <= baseline["calls"]


async def run_dialer(address, calls):
    process = await asyncio.create_subprocess_exec(
        sys.executable, "-m", "fenwix_sim", "dial", f"ws://{address}/", "--quiet",
        "--calls", str(calls), "--call-interval", "0", "--timeout", "600",
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT, env=child_env())
    output, _ = await asyncio.wait_for(process.communicate(), 900)
    assert process.returncode == 0, output.decode()[-2000:]


async def test_soak_through_the_server():
    server = fenwix_control.ControlServer("soak", "tok", bind="127.0.0.1:0")
    handled = 0

    @server.on_call
    async def handle(call):
        nonlocal handled
        await call.answer()
        await call.hangup()
        handled += 1

    serving = asyncio.ensure_future(server.serve())
    try:
        address = await server.bind()
        await run_dialer(address, WARM_UP)
        baseline = await settled(measure(), timeout=1.0)
        started = time.monotonic()
        await run_dialer(address, CALLS)
        seconds = time.monotonic() - started
        after = await settled(baseline)
    finally:
        server.close()
        serving.cancel()
    assert handled == WARM_UP + CALLS
    check("through ControlServer", baseline, after, CALLS, seconds)


async def test_soak_through_the_client(tmp_path):
    sim = SimProcess(tmp_path, "--app", "soak", "--first-call-after", "0.1",
                     "--call-interval", "0", "--exit-after-calls", state_file=False)
    handled = 0

    async def handle(call):
        nonlocal handled
        await call.answer()
        await call.hangup()
        handled += 1

    client = running = None
    try:
        await sim.start("--calls", str(WARM_UP))
        # The port is known once the first simulator listens; every later one
        # listens on the same port, and supervision reconnects by itself.
        client = fenwix_control.ControlClient("soak", "tok", url=sim.url,
                                              reply_timeout_ms=5000, reconnect_backoff_ms=50)
        client.on_call(handle)
        running = asyncio.ensure_future(client.run())
        await sim.wait(300)
        baseline = await settled(measure(), timeout=1.0)
        started = time.monotonic()
        await sim.start("--calls", str(CALLS))
        await sim.wait(900)
        seconds = time.monotonic() - started
        after = await settled(baseline)
    finally:
        if client is not None:
            client.close()
        if running is not None:
            await asyncio.wait_for(running, 10)
        await sim.stop()
    assert handled == WARM_UP + CALLS
    check("through ControlClient", baseline, after, CALLS, seconds)
