"""ControlClient against the simulated switch: construction, connection on
demand, raw commands and their frames, the errors they raise, run() and its
supervision, shutdown() and close() in every state, and `async with`."""

import asyncio
import inspect
import json

import pytest

from fenwix_control import ControlClient, ControlError
from fenwix_sim import NO_REPLY, default, error

from control_support import APP, Calls, eventually, make_client, session, start_run  # noqa: F401

# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs, exception, fragment",
    [
        ((1, "tok"), {}, TypeError, "argument 'app' must be str, not int"),
        (("app",), {}, TypeError, "missing required argument 'token'"),
        (("app", "tok"), {"url": b"ws://x"}, TypeError, "argument 'url'"),
        (("app", "tok"), {"protocol": -1}, OverflowError, "argument 'protocol'"),
        (("app", "tok"), {"protocol": 2**32}, OverflowError, "argument 'protocol'"),
        (("app", "tok"), {"protocol": None}, TypeError, "argument 'protocol'"),
        (("app", "tok"), {"reply_timeout_ms": -1}, OverflowError, "argument 'reply_timeout_ms'"),
        (("app", "tok"), {"reconnect_backoff_ms": 1.5}, TypeError, "argument 'reconnect_backoff_ms'"),
        (("app", "tok"), {"bind": "x"}, TypeError, "unexpected keyword argument 'bind'"),
    ],
)
def test_constructor_refuses_bad_arguments(args, kwargs, exception, fragment):
    with pytest.raises(exception) as info:
        ControlClient(*args, **kwargs)
    assert str(info.value).startswith("ControlClient() ")
    assert fragment in str(info.value)


def test_constructor_accepts_what_it_does_not_validate():
    # Empty names, the widest ints and a zero time-out are all accepted; the
    # URL is parsed only when connecting.
    ControlClient("", "", url=None, protocol=2**32 - 1, reply_timeout_ms=0,
                  reconnect_backoff_ms=2**64 - 1)
    ControlClient("app", "tok", "not a url", 1, 10000, 1000)


async def test_an_unusable_url_fails_when_connecting():
    client = ControlClient("app", "tok", url="not a url")
    with pytest.raises(ControlError) as info:
        await client.connect()
    assert str(info.value).startswith('configuration error: invalid control url "not a url": ')
    assert info.value.code is None


# ---------------------------------------------------------------------------
# Errors, end to end


async def _rejected(switch, client):
    switch.respond("boom", error("not_found", "no such thing"))
    await client.command("boom")


async def _unknown_code(switch, client):
    # A code outside the protocol makes the reply unreadable: the command
    # then ends by its time-out.
    switch.respond("boom", error("teapot", "short and stout"))
    await client.command("boom")


async def _no_reply(switch, client):
    switch.respond("boom", NO_REPLY)
    await client.command("boom")


async def _closed(switch, client):
    await client.connect()
    client.shutdown()
    await client.command("boom")


async def _connect(switch, client):
    await client.connect()


def _refuse(status):
    async def action(switch, client):
        switch.refuse_upgrades(status)
        await client.connect()

    return action


def _hello(answer):
    async def action(switch, client):
        switch.respond("hello", answer)
        await client.describe()

    return action


@pytest.mark.parametrize(
    "action, options, message, code",
    [
        (_rejected, {}, "control command rejected (NotFound): no such thing", "not_found"),
        (_unknown_code, {"reply_timeout_ms": 50}, "timed out awaiting a reply after 50ms", None),
        (_no_reply, {"reply_timeout_ms": 1}, "timed out awaiting a reply after 1ms", None),
        (_no_reply, {"reply_timeout_ms": 1000}, "timed out awaiting a reply after 1s", None),
        (_closed, {}, "control connection is closed", None),
        (_connect, {"token": "wrong"}, "unauthorized: the control token was rejected (HTTP 401)", None),
        (_refuse(503), {}, "unauthorized: the control token was rejected (HTTP 503)", None),
        (
            _hello(error("unsupported_version", "protocol 7 is not spoken here")),
            {"protocol": 7},
            "control command rejected (UnsupportedVersion): protocol 7 is not spoken here",
            "unsupported_version",
        ),
        (
            _hello({"app": APP, "protocol": 1, "subprotocol": "fenwix-control.v2"}),
            {},
            'handshake failed: server negotiated subprotocol "fenwix-control.v2", '
            'expected "fenwix-control.v1"',
            None,
        ),
    ],
)
async def test_control_errors(switch, make_client, action, options, message, code):
    client = make_client(**options)
    with pytest.raises(ControlError) as info:
        await action(switch, client)
    assert str(info.value) == message
    assert info.value.code == code


async def test_a_malformed_hello_reply_is_a_handshake_error(switch, make_client):
    switch.respond("hello", {"app": APP, "subprotocol": "fenwix-control.v1"})
    with pytest.raises(ControlError) as info:
        await make_client().connect()
    assert str(info.value).startswith("handshake failed: bad hello reply: ")
    assert "protocol" in str(info.value)
    assert info.value.code is None


# ---------------------------------------------------------------------------
# Frames on the wire

HELLO = '{"id":"c-1","type":"command","verb":"hello","target":null,"args":{"app":"app","protocol":1}}'


@pytest.mark.parametrize(
    "send, raw",
    [
        (lambda c: c.describe(), '{"id":"c-2","type":"command","verb":"describe","target":null,"args":null}'),
        (lambda c: c.command("describe"), '{"id":"c-2","type":"command","verb":"describe","target":null,"args":null}'),
        (lambda c: c.command("x", args=None), '{"id":"c-2","type":"command","verb":"x","target":null,"args":null}'),
        (
            lambda c: c.command("x", "m", {"b": 1, "a": [1, 2.5]}, {"z": None, "y": "é", 1: (2, 3)}),
            '{"id":"c-2","type":"command","module":"m","verb":"x","target":{"a":[1,2.5],"b":1},'
            '"args":{"1":[2,3],"y":"é","z":null}}',
        ),
        (
            lambda c: c.command(verb="get_var", module=None, target={"channel": "c-9"}, args={}),
            '{"id":"c-2","type":"command","verb":"get_var","target":{"channel":"c-9"},"args":{}}',
        ),
    ],
)
async def test_command_frames(switch, make_client, send, raw):
    client = make_client()
    await asyncio.gather(send(client), return_exceptions=True)
    hello = await switch.next_command("hello", include_handshake=True)
    assert hello.raw == HELLO
    command = await switch.next_command()
    assert command.raw == raw


async def test_command_resolves_to_the_result(switch, make_client):
    client = make_client()
    switch.respond("sum", {"total": 3, "parts": [1, 2], "note": None})
    assert await client.command("sum") == {"note": None, "parts": [1, 2], "total": 3}
    switch.respond("sum", None)
    assert await client.command("sum") is None
    schema = await client.describe()
    assert set(schema["adapters"]) == {"control", "sip"}


@pytest.mark.parametrize(
    "kwargs, exception",
    [
        ({"args": {"x": float("nan")}}, ValueError),
        ({"target": {"x": object()}}, TypeError),
        ({"module": 5}, TypeError),
    ],
)
async def test_unconvertible_arguments_raise_before_anything_is_sent(switch, make_client, kwargs, exception):
    client = make_client()
    with pytest.raises(exception):
        client.command("x", **kwargs)
    with pytest.raises(TypeError, match="argument 'verb'"):
        client.command(None)
    await client.connect()
    await client.describe()
    assert [c.verb for c in switch.commands] == ["hello", "describe"]


def test_methods_need_a_running_loop():
    client = ControlClient("app", "tok")
    for method in (client.connect, client.describe, client.run, client.__aenter__):
        with pytest.raises(RuntimeError, match="no running event loop"):
            method()
    with pytest.raises(RuntimeError, match="no running event loop"):
        client.command("x")


# ---------------------------------------------------------------------------
# Connection on demand


async def test_concurrent_callers_share_one_connection(switch, make_client):
    client = make_client()
    results = await asyncio.gather(
        client.connect(), client.connect(), client.command("describe"), client.describe()
    )
    assert results[:2] == [None, None]
    assert results[2] == results[3]
    assert len(switch.upgrades) == 1
    assert [c.verb for c in switch.commands] == ["hello", "describe", "describe"]
    assert await client.connect() is None
    assert len(switch.upgrades) == 1


async def test_a_failed_attempt_leaves_the_client_idle(switch, make_client):
    switch.refuse_upgrades(503, times=1)
    client = make_client()
    with pytest.raises(ControlError, match=r"\(HTTP 503\)"):
        await client.connect()
    assert await client.connect() is None
    assert [u.status for u in switch.upgrades] == [503, 101]


async def test_a_command_cancelled_while_connecting_is_never_sent(switch, make_client):
    switch.respond("hello", default(delay=0.1))
    client = make_client()
    cancelled = client.command("cancelled")
    kept = client.command("describe")
    cancelled.cancel()
    assert "adapters" in await kept
    await client.command("describe")
    assert [c.verb for c in switch.commands] == ["hello", "describe", "describe"]


async def test_run_does_not_retry_its_first_connection(switch, make_client):
    switch.refuse_upgrades(401)
    client = make_client()
    with pytest.raises(ControlError, match=r"\(HTTP 401\)"):
        await client.run()
    assert len(switch.upgrades) == 1


# ---------------------------------------------------------------------------
# run(): handlers, supervision, re-attachment


async def test_run_hands_calls_over_until_shutdown(session):
    assert (await session.offer("ch-1")).channel_id == "ch-1"
    session.client.shutdown()
    assert await session.running is None


async def test_a_call_pushed_right_after_hello_reaches_the_handler(switch, make_client):
    # run() has its handlers in place by the time the switch can hand a call
    # over: here the StasisStart follows the hello reply back to back.
    client = make_client()
    calls = Calls()
    client.on_call(calls.receive)

    async def hello_then_call(command):
        reply = {"id": command.id, "type": "reply", "status": "ok",
                 "result": {"app": APP, "protocol": 1, "subprotocol": "fenwix-control.v1"}}
        start = {"type": "event", "event": "StasisStart", "channel": "ch-1", "app": APP, "payload": {}}
        await switch.send_raw(json.dumps(reply), connection=command.connection)
        await switch.send_raw(json.dumps(start), connection=command.connection)
        return NO_REPLY

    switch.respond("hello", hello_then_call)
    running = asyncio.ensure_future(client.run())
    assert (await calls.next()).channel_id == "ch-1"
    client.close()
    assert await running is None


async def test_handlers_registered_after_run_do_not_affect_it(switch, make_client):
    client = make_client()
    first, second = Calls(), Calls()
    client.on_call(first.receive)
    running = await start_run(client, switch)
    client.on_call(second.receive)
    await switch.offer_call("ch-1")
    assert (await first.next()).channel_id == "ch-1"
    assert second.calls == []
    client.shutdown()
    assert await running is None


async def test_reconnection_reattaches_surviving_calls(session):
    switch = session.switch
    before = await session.offer("ch-1", call_id="k-1", sip_call_id="s-1", vars={"lang": "fr"})
    assert (before.is_reattached, before.app, before.call_id) == (False, APP, "k-1")

    await switch.restart(keep_channels=True)
    after = await session.calls.next()
    assert after.is_reattached is True
    assert (after.channel_id, after.call_id, after.sip_call_id, after.app) == ("ch-1", "k-1", "s-1", None)
    assert after.payload == {
        "call_id": "k-1",
        "channel": "ch-1",
        "sip_call_id": "s-1",
        "state": "ringing",
        "vars": {"lang": "fr"},
    }
    assert list(after.payload) == ["call_id", "channel", "sip_call_id", "state", "vars"]
    # The handle from before the outage sees its stream end; verbs through
    # either object reach the same channel.
    assert await before.next_event() is None
    await before.set_var("seen", "yes")
    assert await after.get_var("seen") == "yes"
    assert [c.verb for c in switch.commands if c.is_handshake] == ["hello", "hello", "resync"]
    session.client.shutdown()
    assert await session.running is None


async def test_cancelling_run_stops_supervision_only(switch, make_client):
    client = make_client()
    calls = Calls()
    client.on_call(calls.receive)
    running = await start_run(client, switch)
    running.cancel()
    with pytest.raises(asyncio.CancelledError):
        await running
    # The connection and the installed handler stay.
    await switch.offer_call("ch-1")
    assert (await calls.next()).channel_id == "ch-1"
    assert "adapters" in await client.describe()
    # Nothing re-establishes a lost connection any more...
    await switch.disconnect("all")
    with pytest.raises(ControlError, match="control connection is closed"):
        await eventually_closed(client)
    await asyncio.sleep(0.1)  # several back-offs: no attempt may come
    assert len(switch.upgrades) == 1
    # ...until run() supervises again.
    again = asyncio.ensure_future(client.run())
    await eventually(lambda: len(switch.upgrades) == 2)
    await switch.wait_for_app(APP)
    client.close()
    assert await again is None


async def eventually_closed(client):
    """Raises the closed error once commands find no live connection."""
    for _ in range(500):
        try:
            await client.describe()
        except ControlError as e:
            if str(e) == "control connection is closed":
                raise
        await asyncio.sleep(0.01)


async def test_a_second_run_waits_for_the_first(switch, make_client):
    client = make_client()
    first = await start_run(client, switch)
    second = asyncio.ensure_future(client.run())
    # Cancelling the supervising run() hands supervision to the waiting one.
    first.cancel()
    await switch.disconnect("all")
    await eventually(lambda: len(switch.upgrades) == 2)
    assert not second.done()
    client.shutdown()
    assert await second is None


async def test_run_ends_with_the_error_that_stops_supervision(switch, make_client):
    client = make_client()
    running = await start_run(client, switch)
    switch.refuse_upgrades(401)
    await switch.disconnect("all")
    with pytest.raises(ControlError) as info:
        await running
    assert str(info.value) == "unauthorized: the control token was rejected (HTTP 401)"
    assert info.value.code is None


# ---------------------------------------------------------------------------
# Application events


@pytest.mark.parametrize("style", ["async", "plain"])
async def test_application_events_reach_their_handler(switch, make_client, style):
    client = make_client()
    loop = asyncio.get_running_loop()
    received = asyncio.Queue()

    if style == "async":

        async def on_event(event, payload):
            received.put_nowait((event, payload))

    else:

        def on_event(event, payload):
            loop.call_soon_threadsafe(received.put_nowait, (event, payload))

    assert client.on_app_event(on_event) is on_event
    running = await start_run(client, switch)
    await switch.push_app_event("RegistrationChanged", {"aor": "sip:a@b", "contacts": ["sip:a@1.2.3.4"]})
    await switch.push_app_event("SomethingNew", [1, 2])
    got = [await asyncio.wait_for(received.get(), 5) for _ in range(2)]
    assert sorted(got, key=lambda g: g[0]) == [
        ("RegistrationChanged", {"aor": "sip:a@b", "contacts": ["sip:a@1.2.3.4"]}),
        ("SomethingNew", [1, 2]),
    ]
    assert all(type(event) is str for event, _ in got)
    client.shutdown()
    assert await running is None


# ---------------------------------------------------------------------------
# shutdown() and close() in every state


async def _idle(switch, client):
    return None


async def _connected(switch, client):
    await client.connect()


async def _supervised(switch, client):
    return await start_run(client, switch)


async def _shut_down(switch, client):
    await client.connect()
    client.shutdown()


@pytest.mark.parametrize("stop", ["shutdown", "close"])
@pytest.mark.parametrize("state", [_idle, _connected, _supervised, _shut_down])
async def test_stopping_in_every_state(switch, make_client, stop, state):
    client = make_client()
    running = await state(switch, client)
    assert getattr(client, stop)() is None
    assert getattr(client, stop)() is None  # and again: nothing changes
    if running is not None:
        assert await running is None
    if state is _idle:
        # Never connected: nothing was stopped, and connecting still works.
        assert await client.connect() is None
        assert "adapters" in await client.describe()
        return
    upgrades = len(switch.upgrades)
    with pytest.raises(ControlError, match="^control connection is closed$"):
        await client.command("describe")
    assert await client.connect() is None  # at once: the slot stays filled
    assert await client.run() is None  # at once: the client is shut down
    assert len(switch.upgrades) == upgrades


async def test_shutdown_during_an_attempt_leaves_that_connection_up(switch, make_client):
    switch.respond("hello", default(delay=0.2))
    client = make_client()
    connecting = client.connect()
    await switch.next_command("hello", include_handshake=True)
    client.shutdown()
    assert await connecting is None
    assert "adapters" in await client.describe()


async def test_close_before_connecting_keeps_only_later_handlers(switch, make_client):
    client = make_client()
    dropped, kept = Calls(), Calls()
    client.on_call(dropped.receive)
    client.close()
    client.on_app_event(lambda event, payload: kept.receive(event))
    running = await start_run(client, switch)
    await switch.offer_call("ch-1")
    await switch.push_app_event("RegistrationChanged", {})
    assert await kept.next() == "RegistrationChanged"
    await asyncio.sleep(0.05)  # a call handler, had one been installed, would have run by now
    assert dropped.calls == []
    client.shutdown()
    assert await running is None


# ---------------------------------------------------------------------------
# async with


async def test_async_with_closes_on_the_way_out(switch, make_client):
    client = make_client()
    async with client as entered:
        assert entered is client
        await client.connect()
    with pytest.raises(ControlError, match="control connection is closed"):
        await client.describe()


async def test_async_with_propagates_exceptions(switch, make_client):
    client = make_client()
    with pytest.raises(KeyError):
        async with client:
            await client.connect()
            raise KeyError("boom")
    with pytest.raises(ControlError, match="control connection is closed"):
        await client.describe()
    assert await client.__aexit__(None, None, None) is False
    assert await client.__aexit__() is False
    with pytest.raises(TypeError):
        client.__aexit__(exc=None)


# ---------------------------------------------------------------------------
# Surface

SIGNATURES = [
    ("on_call", "($self, handler)"),
    ("on_app_event", "($self, handler)"),
    ("connect", "($self)"),
    ("describe", "($self)"),
    ("command", "($self, verb, module=None, target=None, args=None)"),
    ("run", "($self)"),
    ("shutdown", "($self)"),
    ("close", "($self)"),
    ("__aenter__", "($self)"),
    ("__aexit__", "($self, *_args)"),
]


def test_members_and_signatures():
    methods = [n for n, v in vars(ControlClient).items() if inspect.ismethoddescriptor(v)
               and (not n.startswith("__") or n in ("__aenter__", "__aexit__"))]
    # originate, defined with the call verbs, comes right after command.
    assert [n for n in methods if n != "originate"] == [name for name, _ in SIGNATURES]
    if "originate" in methods:
        assert methods.index("originate") == methods.index("command") + 1
    for name, signature in SIGNATURES:
        method = getattr(ControlClient, name)
        assert method.__text_signature__ == signature, name
        assert str(inspect.signature(method)) == signature.replace("$self", "self, /")
    assert "RegistrationChanged" in ControlClient.on_app_event.__doc__
    assert "unblock ``run``" in ControlClient.shutdown.__doc__
    assert "{module, verb, target, args}" in ControlClient.command.__doc__
    handler = object()
    client = ControlClient("app", "tok")
    assert client.on_call(handler) is handler
    assert client.on_app_event(handler) is handler
