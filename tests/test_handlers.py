"""The handler bridges: where and how the application's handlers run, what
becomes of their exceptions, and the closed flag's hold on handler
coroutines."""

import asyncio
import contextvars
import gc
import threading

import pytest

from control_support import Calls, make_client, printed, start_run  # noqa: F401

VAR = contextvars.ContextVar("VAR", default="unset")


async def started(switch, make_client, handler):
    client = make_client()
    client.on_call(handler)
    return client, await start_run(client, switch)


async def stop(client, running):
    client.shutdown()
    assert await running is None


# ---------------------------------------------------------------------------
# Where handlers run


async def test_an_async_handler_runs_on_the_loop_in_a_copy_of_the_run_context(switch, make_client):
    loop = asyncio.get_running_loop()
    calls = Calls()
    seen = []

    async def handle(call):
        seen.append((threading.get_ident(), asyncio.get_running_loop(), VAR.get()))
        VAR.set("changed by " + call.channel_id)
        await call.set_var("k", "v")
        calls.receive(call)

    VAR.set("at run()")
    client, running = await started(switch, make_client, handle)
    VAR.set("after run()")
    await switch.offer_call("ch-1")
    await calls.next()
    await switch.offer_call("ch-2")
    await calls.next()
    assert seen == [(threading.get_ident(), loop, "at run()")] * 2
    assert VAR.get() == "after run()"
    await stop(client, running)


async def test_a_plain_handler_runs_on_a_worker_and_its_verbs_use_the_loop(switch, make_client):
    loop = asyncio.get_running_loop()
    calls = Calls()
    futures = []

    def handle(call):
        assert VAR.get() == "at run()"
        futures.append(call.set_var("from", "worker"))
        calls.receive(call)

    VAR.set("at run()")
    client, running = await started(switch, make_client, handle)
    await switch.offer_call("ch-1")
    await calls.next()
    assert calls.threads[0] != threading.get_ident()
    assert futures[0].get_loop() is loop
    assert await futures[0] is None
    command = await switch.next_command("set_var")
    assert command.args == {"key": "from", "value": "worker"}
    await stop(client, running)


async def test_a_plain_handler_gets_queued_events_through_the_loop(switch, make_client):
    # The event is already queued when the worker asks for it: the future,
    # made on the worker for the loop, comes back already holding it.
    queued = threading.Event()
    futures = []

    def handle(call):
        queued.wait(5)
        futures.append(call.next_event())

    client, running = await started(switch, make_client, handle)
    await switch.offer_call("ch-1")
    await switch.push_event("ChannelStateChange", {"state": "Up"}, channel="ch-1")
    await asyncio.sleep(0.1)
    queued.set()
    while not futures:
        await asyncio.sleep(0.01)
    assert futures[0].done()
    assert futures[0].result() == {"kind": "ChannelStateChange", "payload": {"state": "Up"}}
    await stop(client, running)


async def test_a_plain_handler_that_blocks_does_not_stall_the_connection(switch, make_client):
    release = threading.Event()
    calls = Calls()

    def handle(call):
        calls.receive(call)
        if call.channel_id == "ch-1":
            release.wait(5)

    client, running = await started(switch, make_client, handle)
    await switch.offer_call("ch-1")
    await calls.next()
    await switch.offer_call("ch-2")
    assert (await calls.next()).channel_id == "ch-2"
    assert "adapters" in await client.describe()
    release.set()
    await stop(client, running)


async def test_what_a_plain_handler_returns_is_awaited_on_the_loop(switch, make_client):
    calls = Calls()
    loop_thread = threading.get_ident()

    async def work(call):
        assert threading.get_ident() == loop_thread
        calls.receive(call)

    client, running = await started(switch, make_client, lambda call: work(call))
    await switch.offer_call("ch-1")
    assert (await calls.next()).channel_id == "ch-1"
    await stop(client, running)


# ---------------------------------------------------------------------------
# Exceptions


def _async_raiser(calls, exception):
    async def handle(call):
        calls.receive(call)
        await asyncio.sleep(0)
        raise exception(call.channel_id)

    return handle


def _plain_raiser(calls, exception):
    def handle(call):
        calls.receive(call)
        raise exception(call.channel_id)

    return handle


def _plain_returning_a_raiser(calls, exception):
    return lambda call: _async_raiser(calls, exception)(call)


@pytest.mark.parametrize("make", [_async_raiser, _plain_raiser, _plain_returning_a_raiser])
async def test_handler_exceptions_are_printed_and_dispatch_goes_on(switch, make_client, printed, make):
    calls = Calls()
    client, running = await started(switch, make_client, make(calls, LookupError))
    await switch.offer_call("ch-1")
    await calls.next()
    await switch.offer_call("ch-2")
    await calls.next()
    exceptions = await printed.wait(2)
    assert sorted((type(e), str(e)) for e in exceptions) == [(LookupError, "ch-1"), (LookupError, "ch-2")]
    await stop(client, running)


@pytest.mark.parametrize("make", [_async_raiser, _plain_raiser])
async def test_cancelled_error_is_not_printed(switch, make_client, printed, make):
    calls = Calls()
    cancelling = make(calls, asyncio.CancelledError)
    failing = make(calls, RuntimeError)
    client, running = await started(
        switch, make_client, lambda call: (cancelling if call.channel_id == "ch-1" else failing)(call)
    )
    await switch.offer_call("ch-1")
    await calls.next()
    await switch.offer_call("ch-2")
    await calls.next()
    exceptions = await printed.wait(1)
    await asyncio.sleep(0.05)  # time enough for a wrongly printed CancelledError to show up
    assert [(type(e), str(e)) for e in exceptions] == [(RuntimeError, "ch-2")]
    await stop(client, running)


async def test_a_handler_that_is_not_callable_is_reported(switch, make_client, printed):
    client, running = await started(switch, make_client, 42)
    await switch.offer_call("ch-1")
    (exception,) = await printed.wait(1)
    assert isinstance(exception, TypeError)
    await stop(client, running)


async def test_handler_exceptions_go_through_the_standard_printing(switch, make_client, capfd, caplog):
    calls = Calls()
    client, running = await started(switch, make_client, _async_raiser(calls, KeyError))
    await switch.offer_call("ch-1")
    await calls.next()
    err = ""
    for _ in range(200):
        err += capfd.readouterr().err
        if "KeyError: 'ch-1'" in err:
            break
        await asyncio.sleep(0.01)
    else:
        pytest.fail("the traceback never reached stderr")
    assert "Traceback (most recent call last)" in err
    # The task's exception was retrieved: asyncio has nothing to complain about.
    gc.collect()
    await asyncio.sleep(0)
    assert "never retrieved" not in err + capfd.readouterr().err
    assert not [r for r in caplog.records if "never retrieved" in r.getMessage()]
    await stop(client, running)


# ---------------------------------------------------------------------------
# The closed flag


async def test_a_handler_coroutine_made_before_close_never_runs(switch, make_client, printed, recwarn):
    calls = Calls()
    ran = []
    proceed = threading.Event()

    async def body(call):
        ran.append(call.channel_id)

    def handle(call):
        coroutine = body(call)  # made before close()...
        calls.receive(call)
        proceed.wait(5)
        return coroutine  # ...and handed over after it

    client, running = await started(switch, make_client, handle)
    await switch.offer_call("ch-1")
    await calls.next()
    client.close()
    proceed.set()
    assert await running is None
    await asyncio.sleep(0.05)  # the task would have run by now
    assert ran == []
    assert printed.exceptions == []
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


async def test_run_after_close_dispatches_again(switch, make_client):
    client = make_client()
    calls = Calls()
    client.on_call(calls.receive)
    client.close()
    client.on_call(calls.receive)
    running = await start_run(client, switch)
    await switch.offer_call("ch-1")
    assert (await calls.next()).channel_id == "ch-1"
    await stop(client, running)
