"""Replies that come late, twice, for ids nobody sent, malformed, oversized
or as binary frames, on both connection shapes: every command settles, and
the connection survives everything but an oversized message, which closes
it with 1009 (the client then reconnects)."""

import asyncio
import json
import time

import pytest

import fenwix_control
from fenwix_sim import NO_REPLY, error, ok, raw

from faults_support import report

TIMEOUT = 0.3
CAP = 16 * 1024 * 1024
TIMED_OUT = "timed out awaiting a reply after 300ms"
CLOSED = "control connection is closed"


def reply_text(command_id, result):
    return json.dumps({"type": "reply", "id": command_id, "status": "ok", "result": result})


# (label, responder for "probe", expected outcome, does the connection survive)
# An outcome is ("result", value), ("error", text, code) or ("error", text).
CASES = [
    ("late", ok({"n": 1}, delay=TIMEOUT * 2), ("error", TIMED_OUT), True),
    ("duplicated", ok({"n": 1}, times=3), ("result", {"n": 1}), True),
    ("for an unknown id", ok({"n": 1}, id="c-999999"), ("error", TIMED_OUT), True),
    ("id as a number", lambda c: raw({"type": "reply", "id": int(c.id[2:]), "status": "ok"}),
     ("error", TIMED_OUT), True),
    ("not JSON", raw('{"type":"reply",'), ("error", TIMED_OUT), True),
    ("trailing garbage", lambda c: raw(reply_text(c.id, 1) + " x"), ("error", TIMED_OUT), True),
    ("status in capitals", lambda c: raw({"type": "reply", "id": c.id, "status": "OK"}),
     ("error", TIMED_OUT), True),
    ("unknown error code", error("teapot", "short and stout"), ("error", TIMED_OUT), True),
    ("error without a body", lambda c: raw({"type": "reply", "id": c.id, "status": "error"}),
     ("error", "control command rejected (ProtocolError): error reply without an error body",
      "protocol_error"), True),
    ("nested too deeply", lambda c: raw(reply_text(c.id, 0).replace("0}", "[" * 600 + "]" * 600 + "}")),
     ("error", TIMED_OUT), True),
    ("as a binary frame", lambda c: raw(reply_text(c.id, 1).encode()), ("error", TIMED_OUT), True),
    ("a NUL byte inside", lambda c: raw(reply_text(c.id, 1) + "\0"), ("error", TIMED_OUT), True),
    ("never", NO_REPLY, ("error", TIMED_OUT), True),
]
# Sixteen megabytes take the simulator a while to write: these two get a
# reply time-out that leaves room for that.
BIG_TIMEOUT = 10.0
BIG_CASES = [
    ("just under the cap", lambda c: raw(reply_text(c.id, "a" * (CAP - 200))),
     ("result", "a" * (CAP - 200)), True),
    ("over the cap", lambda c: raw(reply_text(c.id, "a" * CAP)), ("error", CLOSED), False),
]


def check_outcome(got, expected):
    if expected[0] == "result":
        assert not isinstance(got, BaseException), repr(got)
        assert got == expected[1]
    else:
        assert isinstance(got, fenwix_control.ControlError), repr(got)
        assert str(got) == expected[1]
        assert got.code == (expected[2] if len(expected) > 2 else None)


async def settle(future, timeout=TIMEOUT):
    started = time.monotonic()
    try:
        got = await asyncio.wait_for(future, timeout + 1.0)
    except fenwix_control.ControlError as exc:
        got = exc
    return got, time.monotonic() - started


@pytest.mark.parametrize("label, answer, expected, survives", CASES + BIG_CASES,
                         ids=[c[0] for c in CASES + BIG_CASES])
async def test_bad_replies_to_the_client(switch, label, answer, expected, survives):
    timeout = BIG_TIMEOUT if (label, answer, expected, survives) in BIG_CASES else TIMEOUT
    client = fenwix_control.ControlClient("faults", "tok", url=switch.url,
                                          reply_timeout_ms=int(timeout * 1000),
                                          reconnect_backoff_ms=20)
    running = asyncio.ensure_future(client.run())
    try:
        first = await switch.wait_for_app("faults")
        await client.connect()
        switch.respond("probe", answer)
        switch.respond("ping", {"pong": True})
        got, took = await settle(client.command("probe"), timeout)
        check_outcome(got, expected)
        if survives:
            assert not first.closed
        else:
            await switch.wait_until(lambda: first.closed, timeout=5)
            assert first.close_code == 1009
            # Supervision connects again at once; until it has, commands
            # fail at once with the closed error.
            await switch.wait_until(
                lambda: switch.app_connection("faults") not in (None, first), timeout=5)
            for _ in range(250):
                try:
                    await client.command("ping")
                    break
                except fenwix_control.ControlError as exc:
                    assert str(exc) == CLOSED
                    await asyncio.sleep(0.02)
        assert await client.command("ping") == {"pong": True}
        report(f"bad reply to the client, {label}: {type(got).__name__} after {took:.3f}s, "
               f"connection {'kept' if survives else 'closed with 1009 and re-established'}")
    finally:
        client.close()
        await asyncio.wait_for(running, 5)


UNSOLICITED = [
    "[1,2",
    '{"type":"event"}',
    '{"type":"event","event":5}',
    '{"type":"command","id":"c-1","verb":"x"}',
    '{"type":"reply","id":"c-424242","status":"ok"}',
    "\udcff".encode("utf-8", "surrogatepass"),
    b"\x00\x01binary",
    '{"type":"event","event":"StasisStart","channel":7}',
    '{"type":"event","event":"ChannelStateChange","channel":"nobody","payload":{"state":"up"}}',
]


async def test_unsolicited_garbage_leaves_the_client_working(switch):
    client = fenwix_control.ControlClient("faults", "tok", url=switch.url,
                                          reply_timeout_ms=2000, reconnect_backoff_ms=20)
    calls = []

    @client.on_call
    async def handle(call):
        calls.append(call.channel_id)

    running = asyncio.ensure_future(client.run())
    try:
        first = await switch.wait_for_app("faults")
        await client.connect()
        for message in UNSOLICITED:
            await switch.send_raw(message, connection=first)
        switch.respond("ping", {"pong": True})
        assert await client.command("ping") == {"pong": True}
        await switch.offer_call("ch-after")
        await switch.wait_until(lambda: calls == ["ch-after"], timeout=5)
        assert not first.closed and switch.app_connection("faults") is first
    finally:
        client.close()
        await asyncio.wait_for(running, 5)


SERVER_CASES = [
    ("duplicated", ok({"n": 1}, times=2), ("result", {"n": 1}), True),
    ("for an unknown id", ok({"n": 1}, id="c-999999"), ("error", TIMED_OUT), True),
    ("not JSON", raw("}{"), ("error", TIMED_OUT), True),
    ("as a binary frame", lambda c: raw(reply_text(c.id, 1).encode()), ("error", TIMED_OUT), True),
    BIG_CASES[1],
]


@pytest.mark.parametrize("label, answer, expected, survives", SERVER_CASES,
                         ids=[c[0] for c in SERVER_CASES])
async def test_bad_replies_on_a_per_call_connection(dialer_factory, label, answer, expected,
                                                    survives):
    timeout = BIG_TIMEOUT if (label, answer, expected, survives) in BIG_CASES else TIMEOUT
    server = fenwix_control.ControlServer("faults", "tok", bind="127.0.0.1:0",
                                          reply_timeout_ms=int(timeout * 1000))
    calls = asyncio.Queue()

    @server.on_call
    async def handle(call):
        calls.put_nowait(call)

    serving = asyncio.ensure_future(server.serve())
    try:
        dialer = dialer_factory(f"ws://{await server.bind()}/", app="faults")
        dialer.respond("probe", answer)
        dialer.respond("ping", {"pong": True})
        channel = await dialer.dial("ch-1")
        call = await asyncio.wait_for(calls.get(), 5)
        got, took = await settle(call.command("probe"), timeout)
        check_outcome(got, expected)
        if survives:
            assert await call.command("ping") == {"pong": True}
            assert not channel.connection.closed
        else:
            await dialer.wait_until(lambda: channel.connection.closed, timeout=5)
            assert channel.connection.close_code == 1009
        report(f"bad reply on a per-call connection, {label}: {type(got).__name__} after "
               f"{took:.3f}s, connection {'kept' if survives else 'closed with 1009'}")
    finally:
        server.close()
        serving.cancel()
