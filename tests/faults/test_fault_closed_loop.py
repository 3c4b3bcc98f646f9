"""The application's event loop closed while the module still has work for
it: replies on their way, run() supervising, a plain handler still running
on its worker thread, and calls and application events that arrive only
after the close. Nothing may crash, and nothing may be printed."""

import asyncio
import sys
import textwrap

from fenwix_sim import NO_REPLY, ok

from faults_support import child_env, report, scale

CHILD = textwrap.dedent(
    """
    import asyncio, sys, time
    import fenwix_control as fc

    url, rounds = sys.argv[1], int(sys.argv[2])
    for i in range(rounds):
        loop = asyncio.new_event_loop()
        client = fc.ControlClient(f"loop{i}", "tok", url=url, reply_timeout_ms=1000)
        plain_client = fc.ControlClient(f"loop{i}-plain", "tok", url=url, reply_timeout_ms=1000)
        busy = []

        @client.on_call
        async def handle(call):
            await call.answer()
            await call.command("slow")

        @client.on_app_event
        async def on_event(event, payload):
            await client.command("slow")

        @plain_client.on_call
        def plain(call):
            busy.append(call.channel_id)
            time.sleep(0.15)           # the loop closes meanwhile
            call.command("slow")       # a verb whose loop is gone
            call.next_event()

        async def start():
            for c in (client, plain_client):
                asyncio.ensure_future(c.run())
                await c.connect()
            for _ in range(100):
                client.command("slow")
            client.command("never")
            client.describe()
            await client.command("ready", args={"round": i})
            while not busy:
                await asyncio.sleep(0.005)

        loop.run_until_complete(start())
        loop.close()
        time.sleep(0.4)                # replies, calls and events arrive for the closed loop
        client.close()
        plain_client.close()
        time.sleep(0.05)
    print("done", flush=True)
    """
)


async def test_closing_the_loop_with_work_in_flight(switch):
    rounds = scale(4, 40)
    switch.respond("slow", ok({"late": True}, delay=0.1))
    switch.respond("never", NO_REPLY)
    switch.respond("ready", {})
    process = await asyncio.create_subprocess_exec(
        sys.executable, "-c", CHILD, switch.url, str(rounds),
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=child_env())
    try:
        for i in range(rounds):
            await switch.next_command("ready", timeout=30)
            # The plain handler is running when the loop closes.
            await switch.offer_call(f"p{i}", app=f"loop{i}-plain")
            await asyncio.sleep(0.1)
            # These arrive after the close.
            await switch.offer_call(f"a{i}", app=f"loop{i}")
            await switch.push_app_event("RegistrationChanged", {"aor": "x"}, app=f"loop{i}")
        stdout, stderr = await asyncio.wait_for(process.communicate(), 60)
    finally:
        if process.returncode is None:
            process.kill()
            await process.wait()
    assert (process.returncode, stdout.decode(), stderr.decode()) == (0, "done\n", "")
    report(f"closed loop: {rounds} loops closed with 102 commands, run(), a running plain "
           "handler, a call and an application event in flight: exit 0, nothing printed")
