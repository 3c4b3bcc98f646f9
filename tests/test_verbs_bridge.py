"""Bridging: bridge and unbridge, with their results."""

import asyncio

import pytest

from fenwix_control import Call

from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, close_client, connected_client, leg, no_result,
    signature_rows,
)

SIGNATURES = [
    "bridge($self, with_channel, on_peer_hangup=None)",
    "unbridge($self, reason=None)",
]


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.bridge("ch-2"), "bridge", {"with": "ch-2"}),
        (lambda c: c.bridge("ch-2", "hold"), "bridge", {"on_peer_hangup": "hold", "with": "ch-2"}),
        (lambda c: c.bridge(with_channel="ch-2", on_peer_hangup="hangup"),
         "bridge", {"on_peer_hangup": "hangup", "with": "ch-2"}),
        (lambda c: c.bridge("ch-2", None), "bridge", {"with": "ch-2"}),
        # The other leg is not checked: the switch refuses what it must.
        (lambda c: c.bridge(""), "bridge", {"with": ""}),
        (lambda c: c.bridge(CHANNEL), "bridge", {"with": CHANNEL}),
        (lambda c: c.unbridge(), "unbridge", {}),
        (lambda c: c.unbridge("to the queue"), "unbridge", {"reason": "to the queue"}),
        (lambda c: c.unbridge(reason=""), "unbridge", {"reason": ""}),
    ],
)
async def test_sends(leg, invoke, verb, args):
    leg.reply(verb, {"state": "ok"})
    assert await invoke(leg.call) == {"state": "ok"}
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.bridge(), TypeError, ("bridge()", "'with_channel'")),
        (lambda c: c.bridge(None), TypeError, ("bridge()", "'with_channel'", "None")),
        (lambda c: c.bridge(with_channel=None), TypeError, ("bridge()", "'with_channel'")),
        (lambda c: c.bridge(**{"with": "ch-2"}), TypeError, ("bridge()", "'with'")),
        (lambda c: c.bridge("ch-2", "HOLD"), ValueError,
         'on_peer_hangup must be "hangup" or "hold", got "HOLD"'),
        (lambda c: c.bridge("ch-2", "Hold"), ValueError,
         'on_peer_hangup must be "hangup" or "hold", got "Hold"'),
        (lambda c: c.bridge("ch-2", ""), ValueError, 'on_peer_hangup must be "hangup" or "hold", got ""'),
        (lambda c: c.bridge("ch-2", 'ho"ld'), ValueError,
         'on_peer_hangup must be "hangup" or "hold", got "ho\\"ld"'),
        (lambda c: c.bridge("ch-2", True), TypeError, ("bridge()", "'on_peer_hangup'")),
        (lambda c: c.unbridge(5), TypeError, ("unbridge()", "'reason'")),
    ],
)
async def test_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


@pytest.mark.parametrize("verb", ["bridge", "unbridge"])
@pytest.mark.parametrize(
    "reply, expected",
    [
        ({"channel": CHANNEL, "with": "ch-2", "state": "bridging", "x": [1, None]},
         {"channel": CHANNEL, "with": "ch-2", "state": "bridging", "x": [1, None]}),
        (no_result, None),
        (None, None),
        ("bridging", "bridging"),
    ],
)
async def test_result(leg, verb, reply, expected):
    leg.reply(verb, reply)
    invoke = leg.call.bridge("ch-2") if verb == "bridge" else leg.call.unbridge()
    assert await invoke == expected


async def test_against_the_switch(switch):
    # Two answered legs of the application, joined and separated again.
    client, calls, running = await connected_client(switch)
    try:
        await switch.offer_call("ch-1")
        first = await asyncio.wait_for(calls.get(), 5)
        await switch.offer_call("ch-2")
        second = await asyncio.wait_for(calls.get(), 5)
        await asyncio.gather(first.answer(), second.answer())
        bridged = await first.bridge("ch-2", "hold")
        assert {k: bridged[k] for k in ("channel", "with", "on_peer_hangup", "state")} == {
            "channel": "ch-1", "with": "ch-2", "on_peer_hangup": "hold", "state": "bridging"}
        assert set(bridged) == {"channel", "with", "call_id", "peer_call_id", "anchored",
                                "on_peer_hangup", "state"}
        unbridged = await first.unbridge("done")
        assert unbridged == {"channel": "ch-1", "with": "ch-2", "reason": "done", "state": "unbridged"}
    finally:
        await close_client(client, running)
