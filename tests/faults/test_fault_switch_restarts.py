"""The switch killed with SIGKILL and started again, over and over, with
commands in flight each time: every awaitable settles promptly, the
surviving call is handed back every time, and nothing is left behind."""

import asyncio
import time

import fenwix_control

from faults_support import Leftovers, SimProcess, report, scale

REPLY_TIMEOUT = 2.0


async def test_switch_killed_and_restarted_with_commands_in_flight(tmp_path):
    restarts = scale(3, 50)
    in_flight = scale(50, 200)
    sim = SimProcess(tmp_path)
    await sim.start("--calls", "1", "--first-call-after", "0.2")
    leftovers = Leftovers()

    client = fenwix_control.ControlClient(
        "faults", "tok", url=sim.url, reply_timeout_ms=int(REPLY_TIMEOUT * 1000),
        reconnect_backoff_ms=50)
    arrivals = asyncio.Queue()

    @client.on_call
    async def handle(call):
        arrivals.put_nowait((call.channel_id, call.is_reattached))

    running = asyncio.ensure_future(client.run())
    channel, reattached = await asyncio.wait_for(arrivals.get(), 20)
    assert not reattached
    outcomes = {"result": 0, "closed": 0, "other": 0}
    slowest = 0.0
    try:
        for round_ in range(restarts):
            # Commands on the connection that is about to die: a mix of call
            # verbs (through the call's channel) and raw commands.
            futures = []
            for i in range(in_flight):
                if i % 2:
                    futures.append(client.command("get_var", target={"channel": channel},
                                                  args={"key": f"k{i}"}))
                else:
                    futures.append(client.command("describe"))
            await asyncio.sleep(0)  # let some go out, and some be answered
            await sim.kill()
            killed = time.monotonic()
            results = await asyncio.wait_for(
                asyncio.gather(*futures, return_exceptions=True), REPLY_TIMEOUT + 1.0)
            slowest = max(slowest, time.monotonic() - killed)
            for result in results:
                if isinstance(result, fenwix_control.ControlError):
                    key = "closed" if str(result) == "control connection is closed" else "other"
                    outcomes[key] += 1
                elif isinstance(result, BaseException):
                    raise AssertionError(f"round {round_}: {result!r}")
                else:
                    outcomes["result"] += 1
            del futures, results

            await sim.start()
            again, reattached = await asyncio.wait_for(arrivals.get(), 20)
            assert (again, reattached) == (channel, True), f"round {round_}"
            # The new session works.
            assert await client.command("get_var", target={"channel": channel},
                                        args={"key": "x"}) is not None
    finally:
        client.close()
        await asyncio.wait_for(running, 10)
        await sim.stop()
    del client, handle, running
    before, after = await leftovers.check()
    report(f"switch restarts: {restarts} SIGKILLs, {restarts * in_flight} commands in flight: "
           f"{outcomes}; slowest settlement {slowest:.3f}s after the kill; "
           f"leftovers before {before} after {after}")
    assert outcomes["other"] == 0, outcomes
