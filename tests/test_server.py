"""ControlServer: construction and its bind address, binding on demand, the
bound address, serve() with and without a handler, close() while serving,
cancellation and `async with`."""

import asyncio
import inspect
import socket

import pytest

from fenwix_control import ControlError, ControlServer
from fenwix_sim import UpgradeRefused

from control_support import Calls

# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "bind",
    ["localhost:9000", "127.0.0.1", "::1:9000", "[::1]", "1.2.3.4:", "", " 127.0.0.1:1", 'a"b\n'],
)
def test_a_bind_that_is_not_a_literal_address_is_refused(bind):
    from fenwix_control import ControlServer as Server

    with pytest.raises(ValueError) as info:
        Server("app", "tok", bind=bind)
    quoted = '"' + bind.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'
    assert str(info.value) == f"invalid bind address {quoted}: invalid socket address syntax"


@pytest.mark.parametrize(
    "kwargs, exception, fragment",
    [
        ({"bind": 8790}, TypeError, "ControlServer() argument 'bind' must be str or None, not int"),
        ({"reply_timeout_ms": -5}, OverflowError, "ControlServer() argument 'reply_timeout_ms'"),
        ({"url": "ws://x"}, TypeError, "unexpected keyword argument 'url'"),
    ],
)
def test_constructor_refuses_bad_arguments(kwargs, exception, fragment):
    with pytest.raises(exception) as info:
        ControlServer("app", "tok", **kwargs)
    assert fragment in str(info.value)


def test_nothing_is_bound_at_construction():
    server = ControlServer("app", "tok")
    assert server.local_addr is None
    # The default address is not taken: another socket can still have it.
    probe = socket.socket()
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("0.0.0.0", 8790))
    except OSError:
        pytest.skip("port 8790 is in use on this machine")
    finally:
        probe.close()


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize("host, bracketed", [("127.0.0.1", "127.0.0.1"), ("::1", "[::1]")])
async def test_bind_resolves_to_the_bound_address(host, bracketed):
    if ":" in host and not socket.has_ipv6:
        pytest.skip("no IPv6")
    server = ControlServer("app", "tok", bind=f"{bracketed}:0")
    try:
        address = await server.bind()
    except ControlError as e:
        if ":" in host:
            pytest.skip(f"IPv6 loopback unavailable: {e}")
        raise
    prefix = f"{bracketed}:"
    assert address.startswith(prefix)
    port = int(address[len(prefix):])
    assert port != 0
    assert server.local_addr == address
    # Idempotent: the same listener, whoever asks.
    assert await asyncio.gather(server.bind(), server.bind()) == [address, address]
    with socket.create_connection((host, port), timeout=2):
        pass


async def test_a_port_in_use_fails_and_leaves_the_server_unbound():
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    port = taken.getsockname()[1]
    server = ControlServer("app", "tok", bind=f"127.0.0.1:{port}")
    try:
        with pytest.raises(ControlError) as info:
            await server.bind()
        assert str(info.value).startswith(f"configuration error: bind 127.0.0.1:{port}: ")
        assert info.value.code is None
        assert server.local_addr is None
        with pytest.raises(ControlError):
            await server.serve()
    finally:
        taken.close()
    # Nothing was stored: the next attempt binds.
    assert await server.bind() == f"127.0.0.1:{port}"


def test_methods_need_a_running_loop():
    server = ControlServer("app", "tok", bind="127.0.0.1:0")
    for method in (server.bind, server.serve, server.run, server.__aenter__):
        with pytest.raises(RuntimeError, match="no running event loop"):
            method()
    assert server.local_addr is None


# ---------------------------------------------------------------------------
# Serving


async def serving(handler=None, serve="serve"):
    server = ControlServer("app", "tok", bind="127.0.0.1:0")
    if handler is not None:
        server.on_call(handler)
    address = await server.bind()
    task = asyncio.ensure_future(getattr(server, serve)())
    return server, task, f"ws://{address}/"


async def finish(task):
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def serving_a_call(dialer_factory):
    """A server whose handler collects its calls, a dialler for it, and the
    first call it handed over (dialled as ch-1)."""
    calls = Calls()
    server, task, url = await serving(calls.receive)
    dialer = dialer_factory(url)
    await dialer.dial("ch-1")
    first = await calls.next()
    assert first.channel_id == "ch-1"
    return server, task, dialer, calls, first


@pytest.mark.parametrize("serve", ["serve", "run"])
async def test_serve_hands_each_dialled_call_to_the_handler(dialer_factory, serve):
    calls = Calls()

    async def handle(call):
        calls.receive(call)
        await call.command("answer", {})

    server, task, url = await serving(handle, serve)
    dialer = dialer_factory(url)
    first = await dialer.dial("ch-1", sip_call_id="s-1")
    assert first.upgrade.status == 101
    assert first.upgrade.subprotocol == "fenwix-control.v1"
    await dialer.dial("ch-2")
    got = sorted([(await calls.next()).channel_id, (await calls.next()).channel_id])
    assert got == ["ch-1", "ch-2"]
    commands = [await dialer.next_command("answer") for _ in range(2)]
    # Each call's verbs go over its own connection; ids are unique across them.
    assert sorted(c.channel for c in commands) == ["ch-1", "ch-2"]
    assert len({c.id for c in commands}) == 2
    assert {c.connection.channel_id for c in commands} == {"ch-1", "ch-2"}
    await finish(task)


async def test_serve_binds_on_demand(dialer_factory):
    calls = Calls()
    server = ControlServer("app", "tok", bind="127.0.0.1:0")
    server.on_call(calls.receive)
    task = asyncio.ensure_future(server.serve())
    while server.local_addr is None:
        await asyncio.sleep(0.005)
    await dialer_factory(f"ws://{server.local_addr}/").dial("ch-1")
    assert (await calls.next()).channel_id == "ch-1"
    await finish(task)


async def test_serve_without_a_handler_accepts_but_dispatches_nothing(dialer_factory):
    server, task, url = await serving()
    dialer = dialer_factory(url)
    call = await dialer.dial("ch-1")
    assert call.upgrade.status == 101
    with pytest.raises(UpgradeRefused) as info:
        await dialer.dial("ch-2", token="wrong")
    assert info.value.response.status == 401
    assert (await dialer.dial("ch-3")).upgrade.status == 101
    await finish(task)


async def test_close_while_serving_keeps_accepting_but_stops_dispatch(dialer_factory):
    server, task, dialer, calls, _first = await serving_a_call(dialer_factory)
    assert server.close() is None
    accepted = await dialer.dial("ch-2")
    assert accepted.upgrade.status == 101
    await asyncio.sleep(0.05)  # time enough for a wrong dispatch to happen
    assert [c.channel_id for c in calls.calls] == ["ch-1"]
    assert not task.done()
    # serve() again clears the flag; the handler registered since is used.
    later = Calls()
    server.on_call(later.receive)
    again = asyncio.ensure_future(server.serve())
    await asyncio.sleep(0.05)  # let the new serve() install its bridge
    await dialer.dial("ch-3")
    assert (await later.next()).channel_id == "ch-3"
    await finish(again)
    await finish(task)


async def test_cancelling_serve_keeps_accepted_calls(dialer_factory):
    server, task, dialer, calls, call = await serving_a_call(dialer_factory)
    await finish(task)
    assert await call.set_var("k", "v") is None
    assert await call.get_var("k") == "v"
    # And the server can serve again.
    again = asyncio.ensure_future(server.serve())
    await dialer.dial("ch-2")
    assert (await calls.next()).channel_id == "ch-2"
    await finish(again)


async def test_async_with_closes_on_the_way_out(dialer_factory):
    calls = Calls()
    async with ControlServer("app", "tok", bind="127.0.0.1:0") as server:
        assert isinstance(server, ControlServer)
        server.on_call(calls.receive)
        address = await server.bind()
        task = asyncio.ensure_future(server.serve())
        await dialer_factory(f"ws://{address}/").dial("ch-1")
        await calls.next()
    await dialer_factory(f"ws://{address}/").dial("ch-2")
    await asyncio.sleep(0.05)  # time enough for a wrong dispatch to happen
    assert [c.channel_id for c in calls.calls] == ["ch-1"]
    await finish(task)
    with pytest.raises(ZeroDivisionError):
        async with server:
            1 / 0
    assert await server.__aexit__(1, 2, 3) is False


# ---------------------------------------------------------------------------
# Surface

SIGNATURES = [
    ("on_call", "($self, handler)"),
    ("bind", "($self)"),
    ("serve", "($self)"),
    ("run", "($self)"),
    ("close", "($self)"),
    ("__aenter__", "($self)"),
    ("__aexit__", "($self, *_args)"),
]


def test_members_and_signatures():
    methods = [n for n, v in vars(ControlServer).items() if inspect.ismethoddescriptor(v)
               and (not n.startswith("__") or n in ("__aenter__", "__aexit__"))]
    assert methods == [name for name, _ in SIGNATURES]
    assert inspect.isgetsetdescriptor(vars(ControlServer)["local_addr"])
    for missing in ("on_app_event", "connect", "command", "describe", "originate", "shutdown"):
        assert not hasattr(ControlServer, missing)
    for name, signature in SIGNATURES:
        method = getattr(ControlServer, name)
        assert method.__text_signature__ == signature, name
        assert str(inspect.signature(method)) == signature.replace("$self", "self, /")
    assert "alias" in ControlServer.run.__doc__
    assert "port 0" in ControlServer.bind.__doc__ or "port-0" in ControlServer.local_addr.__doc__
    handler = object()
    assert ControlServer("app", "tok").on_call(handler) is handler
