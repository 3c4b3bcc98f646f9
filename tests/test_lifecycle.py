"""The module and a dying interpreter or a closed event loop: exiting with
commands and handlers in flight, the going-away flag, and work whose loop
has been closed."""

import asyncio
import sys
import textwrap

import pytest

from fenwix_control import ControlClient
from fenwix_sim import NO_REPLY, ok

from control_support import Calls, child_env, run_python  # noqa: F401

# ---------------------------------------------------------------------------
# Exiting with work in flight

# One application process: two clients (a plain and an async call handler,
# and an application-event handler) and a per-call server, commands that
# will never be answered, and handlers still running when the interpreter
# exits without closing anything.
EXIT_CHILD = textwrap.dedent(
    """
    import asyncio, sys, time
    import fenwix_control as fc

    url, name = sys.argv[1], sys.argv[2]

    def quiet(future):
        future.add_done_callback(lambda f: f.cancelled() or f.exception())
        return future

    async def main():
        loop = asyncio.get_running_loop()
        plain_started, async_started = asyncio.Event(), asyncio.Event()
        plain_client = fc.ControlClient(name + "-plain", "tok", url=url)
        async_client = fc.ControlClient(name + "-async", "tok", url=url)

        @plain_client.on_call
        def plain(call):
            quiet(call.command("never"))
            quiet(call.next_event())
            loop.call_soon_threadsafe(plain_started.set)
            deadline = time.monotonic() + 0.01
            while time.monotonic() < deadline:
                pass
            time.sleep(0.05)
            quiet(call.get_var("x"))

        @async_client.on_call
        async def handle(call):
            async_started.set()
            try:
                await asyncio.gather(call.command("never"), call.next_event(), call.get_var("k"))
            except Exception:
                pass

        @async_client.on_app_event
        async def on_event(event, payload):
            try:
                await async_client.command("never")
            except Exception:
                pass

        server = fc.ControlServer(name, "tok", bind="127.0.0.1:0")
        server_started = asyncio.Event()

        @server.on_call
        async def serve_call(call):
            server_started.set()
            try:
                await asyncio.gather(call.command("never"), call.next_event())
            except Exception:
                pass

        quiet(asyncio.ensure_future(server.serve()))
        for client in (plain_client, async_client):
            quiet(asyncio.ensure_future(client.run()))
            await client.connect()
        for _ in range(10):
            quiet(plain_client.command("never"))
            quiet(async_client.command("never"))
        await async_client.command("ready-" + name, args={"server": await server.bind()})
        await asyncio.wait_for(
            asyncio.gather(plain_started.wait(), async_started.wait(), server_started.wait()), 10
        )

    asyncio.run(main())
    print("exited")
    """
)


async def exit_once(switch, dialer_factory, env, name):
    switch.respond(f"ready-{name}", {})
    process = await asyncio.create_subprocess_exec(
        sys.executable, "-c", EXIT_CHILD, switch.url, name,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env,
    )
    ready = await switch.next_command(f"ready-{name}", timeout=20)
    dialer = dialer_factory(f"ws://{ready.args['server']}/", app=name)
    dialer.respond("never", NO_REPLY)
    await dialer.dial(f"{name}-served")
    for suffix in ("plain", "async"):
        await switch.offer_call(f"{name}-{suffix}-1", app=f"{name}-{suffix}")
    await switch.push_app_event("RegistrationChanged", {}, app=f"{name}-async")
    for suffix in ("plain", "async"):
        await switch.offer_call(f"{name}-{suffix}-2", app=f"{name}-{suffix}")
    stdout, stderr = await asyncio.wait_for(process.communicate(), 30)
    return process.returncode, stdout.decode(), stderr.decode()


async def test_exiting_with_work_in_flight_never_crashes(switch, dialer_factory, child_env):
    switch.respond("never", NO_REPLY)
    outcomes = []
    # Thirty exits, a few at a time.
    for batch in range(6):
        names = [f"p{batch}x{i}" for i in range(5)]
        outcomes += await asyncio.gather(
            *(exit_once(switch, dialer_factory, child_env, name) for name in names)
        )
    for returncode, stdout, stderr in outcomes:
        assert "Fatal Python error" not in stderr
        assert (returncode, stdout) == (0, "exited\n"), stderr


# ---------------------------------------------------------------------------
# The going-away flag

GOING_AWAY = """
import asyncio
import fenwix_control as fc
from fenwix_sim import Switch, ok

async def main():
    switch = Switch(token="tok")
    await switch.start()
    client = fc.ControlClient("app", "tok", url=switch.url)
    calls = []

    @client.on_call
    async def handle(call):
        calls.append(call)

    running = asyncio.ensure_future(client.run())
    await switch.wait_for_app("app")
    await client.connect()
    await switch.offer_call("ch-1")
    while not calls:
        await asyncio.sleep(0.005)
    call = calls[0]
    switch.respond("slow", ok({"x": 1}, delay=0.1))
    in_flight = {
        "client.command": client.command("slow"),
        "client.describe": client.describe(),
        "call.command": call.command("slow"),
        "call.get_var": call.get_var("k"),
        "call.get_header": call.get_header("To"),
        "call.next_event": call.next_event(),
        "call.set_var": call.set_var("k", "v"),
        "client.connect": client.connect(),
    }
    fc._mark_interpreter_going_away()
    await switch.push_event("ChannelStateChange", {}, channel="ch-1")
    results = await asyncio.gather(*in_flight.values(), return_exceptions=True)
    for name, result in zip(in_flight, results):
        if isinstance(result, Exception):
            print(name, type(result).__name__, str(result), hasattr(result, "code"))
        else:
            print(name, repr(result))
    await switch.offer_call("ch-2")
    await switch.push_app_event("RegistrationChanged", {})
    await asyncio.sleep(0.1)
    print("calls", len(calls))
    client.close()
    print("run", await running)
    await switch.close()

asyncio.run(main())
"""


def test_after_the_going_away_flag_nothing_converts_or_dispatches(child_env):
    result = run_python(GOING_AWAY, child_env)
    assert result.returncode == 0, result.stderr
    gone = "ControlError the Python interpreter shut down while this command was in flight False"
    assert result.stdout.splitlines() == [
        f"client.command {gone}",
        f"client.describe {gone}",
        f"call.command {gone}",
        f"call.get_var {gone}",
        f"call.get_header {gone}",
        f"call.next_event {gone}",
        "call.set_var None",
        "client.connect None",
        "calls 1",
        "run None",
    ]
    assert "Fatal Python error" not in result.stderr


# ---------------------------------------------------------------------------
# A loop closed with work in flight


@pytest.mark.parametrize("style", ["async", "plain"])
async def test_work_for_a_closed_loop_is_dropped_silently(switch, capfd, style):
    # Both replies come after that loop has closed: asyncio.run() keeps the
    # loop running for a moment while it shuts down.
    switch.respond("slow", ok({"x": 1}, delay=0.1))
    switch.respond("describe", ok({"verbs": []}, delay=0.1))
    main_loop = asyncio.get_running_loop()
    seen = Calls()
    made = {}

    if style == "async":

        async def on_call(call):
            seen.receive(call)

        async def on_event(event, payload):
            seen.receive(event)

    else:

        def on_call(call):
            seen.receive(call)

        def on_event(event, payload):
            seen.receive(event)

    def elsewhere():
        async def main():
            client = ControlClient("app", "tok", url=switch.url, reply_timeout_ms=2000)
            client.on_call(on_call)
            client.on_app_event(on_event)
            made["client"] = client
            made["run"] = asyncio.ensure_future(client.run())
            await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(switch.wait_for_app("app"), main_loop))
            await client.connect()
            made["pending"] = [client.command("slow"), client.describe()]

        asyncio.run(main())

    await asyncio.to_thread(elsewhere)
    client = made["client"]
    # That loop is closed; its run() still supervises the connection.
    await switch.offer_call("ch-1")
    await switch.push_app_event("RegistrationChanged", {})
    await switch.next_command("slow")
    await asyncio.sleep(0.2)  # the delayed reply comes and goes
    assert seen.calls == []
    assert not any(f.done() for f in made["pending"]) and not made["run"].done()
    client.close()
    out, err = capfd.readouterr()
    assert err == ""
