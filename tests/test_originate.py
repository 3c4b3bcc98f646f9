"""ControlClient.originate: every argument rule in its order, the args object
on the wire, both result shapes, and connection on demand."""

import asyncio
import threading

import pytest
import pytest_asyncio

from fenwix_control import ControlClient, ControlError
from fenwix_sim import error, ok

from verbs_support import (  # noqa: F401
    assert_raises, check_signature, close_client, connected_client, no_result, raw_args, wire,
)

SIGNATURE = (
    "($self, channel, to=None, *, aor=None, strategy=None, total_timeout=None, media=False, "
    "profile=None, ws_uri=None, sdp=None, body=None, content_type=None, from_uri=None, "
    "from_display=None, to_display=None, next_hop=None, p_asserted_identity=None, privacy=None, "
    "headers=None, timeout=None, on_lost=None, vars=None, session_timer=None)"
)

TO = "sip:bob@example.com"
AOR = "sip:alice@pbx.example"
ONE_DESTINATION = "originate needs exactly one of to= and aor="
RING_WITH_TO = "originate strategy and total_timeout go with aor=, not to"
ONE_PLAN = (
    "originate takes exactly one media plan: media=True, sdp=... or body=... "
    "(content_type goes with body)"
)
NO_PLAN = "originate needs a media plan: media=True (fenwix anchors the leg), sdp=... or body=..."
ANCHOR_ONLY = "originate profile and ws_uri go with media=True, where fenwix anchors the leg"
TIMER_TYPE = 'session_timer must be a dict: {"expires", "min_se", "refresher"}'


def test_signature():
    check_signature(ControlClient, "originate", SIGNATURE)


@pytest_asyncio.fixture
async def client(switch):
    client, _calls, running = await connected_client(switch)
    yield client
    await close_client(client, running)


async def nothing_originated(switch, client):
    # Anything sent before this command would have reached the switch first.
    await client.describe()
    assert [c for c in switch.commands if c.verb == "originate"] == []


class Timer(dict):
    """A dict subclass whose own iteration must not be used."""

    def items(self):
        raise AssertionError("items() consulted")

    def __iter__(self):
        raise AssertionError("__iter__ consulted")


class Growing:
    """An int-like value whose conversion adds a key to the dict being read."""

    def __init__(self, timer):
        self.timer = timer

    def __index__(self):
        self.timer["refresher"] = "uac"
        return 90


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("ch-9", TO), {"media": True}, {"channel": "ch-9", "media": True, "to": TO}),
        (("ch-9",), {"to": TO, "media": True, "profile": "voice_ai", "ws_uri": "wss://ai/{call_id}"},
         {"channel": "ch-9", "media": True, "profile": "voice_ai", "to": TO,
          "ws_uri": "wss://ai/{call_id}"}),
        (("ch-9", TO), {"sdp": "v=0\r\n"}, {"channel": "ch-9", "sdp": "v=0\r\n", "to": TO}),
        (("ch-9", TO), {"body": "b"},
         {"body": "b", "channel": "ch-9", "content_type": "application/sdp", "to": TO}),
        (("ch-9", TO), {"body": "", "content_type": "text/plain"},
         {"body": "", "channel": "ch-9", "content_type": "text/plain", "to": TO}),
        (("",), {"to": "", "sdp": ""}, {"channel": "", "sdp": "", "to": ""}),
        (("ch-9",), {"aor": AOR, "media": True}, {"aor": AOR, "channel": "ch-9", "media": True}),
        (("ch-9",), {"aor": AOR, "media": True, "strategy": "Sequential", "total_timeout": 0},
         {"aor": AOR, "channel": "ch-9", "media": True, "strategy": "sequential", "total_timeout": 0}),
        (("ch-9",), {"aor": AOR, "sdp": "s", "strategy": "PARALLEL", "total_timeout": 2**64 - 1},
         {"aor": AOR, "channel": "ch-9", "sdp": "s", "strategy": "parallel",
          "total_timeout": 2**64 - 1}),
        (("ch-9", TO), {"media": True, "privacy": "restricted"},
         {"channel": "ch-9", "media": True, "privacy": "restricted", "to": TO}),
        (("ch-9", TO), {"media": True, "headers": {}, "vars": {}},
         {"channel": "ch-9", "media": True, "to": TO}),
        (("ch-9", TO), {"media": True, "headers": {"X-B": "2", "X-A": "1"}, "vars": {"k": "v"}},
         {"channel": "ch-9", "headers": {"X-A": "1", "X-B": "2"}, "media": True, "to": TO,
          "vars": {"k": "v"}}),
        (("ch-9", TO), {"media": True, "session_timer": {}},
         {"channel": "ch-9", "media": True, "session_timer": {}, "to": TO}),
        (("ch-9", TO), {"media": True,
                        "session_timer": {"expires": 1800, "min_se": 90, "refresher": "B2BUA"}},
         {"channel": "ch-9", "media": True, "to": TO,
          "session_timer": {"expires": 1800, "min_se": 90, "refresher": "b2bua"}}),
        (("ch-9", TO), {"media": True, "session_timer": Timer(refresher="UAS", expires=2**32 - 1)},
         {"channel": "ch-9", "media": True, "to": TO,
          "session_timer": {"expires": 2**32 - 1, "refresher": "uas"}}),
        (
            ("ch-9", TO),
            {"media": True, "from_uri": "sip:f@x", "from_display": "Front", "to_display": "Bob",
             "next_hop": "sip:sbc", "p_asserted_identity": "sip:pai@x", "on_lost": "hangup",
             "timeout": 0, "privacy": "allowed"},
            {"channel": "ch-9", "from": "sip:f@x", "from_display": "Front", "media": True,
             "next_hop": "sip:sbc", "on_lost": "hangup", "p_asserted_identity": "sip:pai@x",
             "privacy": "allowed", "timeout": 0, "to": TO, "to_display": "Bob"},
        ),
        (("ch-9", TO), {"media": True, "to_display": None, "timeout": None, "session_timer": None},
         {"channel": "ch-9", "media": True, "to": TO}),
    ],
)
async def test_sends(switch, client, args, kwargs, expected):
    switch.respond("originate", ok({"channel": args[0]}), times=1)
    await client.originate(*args, **kwargs)
    command = await switch.next_command("originate")
    assert (command.module, command.target) == ("sip", None)
    assert '"target":null' in command.raw
    assert command.args == expected
    assert raw_args(command) == wire(expected)


def _growing_timer():
    timer = {"expires": 1800}
    timer["min_se"] = Growing(timer)
    return timer


@pytest.mark.parametrize(
    "args, kwargs, exception, message",
    [
        # The destination comes first, before the missing media plan.
        (("c",), {}, ValueError, ONE_DESTINATION),
        (("c", TO), {"aor": AOR, "media": True}, ValueError, ONE_DESTINATION),
        (("c", TO), {"strategy": "parallel", "media": True}, ValueError, RING_WITH_TO),
        (("c", TO), {"total_timeout": 0, "media": True}, ValueError, RING_WITH_TO),
        # With to, the strategy is refused without being read.
        (("c", TO), {"strategy": "bogus"}, ValueError, RING_WITH_TO),
        (("c",), {"aor": AOR, "strategy": "", "media": True}, ValueError,
         'originate strategy must be "parallel" or "sequential", not ""'),
        (("c",), {"aor": AOR, "strategy": "round robin"}, ValueError,
         'originate strategy must be "parallel" or "sequential", not "round robin"'),
        (("c", TO), {"media": True, "content_type": "x"}, ValueError, ONE_PLAN),
        (("c", TO), {"media": True, "sdp": "s"}, ValueError, ONE_PLAN),
        (("c", TO), {"media": True, "body": "b"}, ValueError, ONE_PLAN),
        (("c", TO), {"sdp": "s", "content_type": "application/sdp"}, ValueError, ONE_PLAN),
        (("c", TO), {"sdp": "s", "body": "b"}, ValueError, ONE_PLAN),
        (("c", TO), {"content_type": "application/sdp"}, ValueError, NO_PLAN),
        (("c", TO), {"profile": "voice_ai"}, ValueError, NO_PLAN),
        (("c", TO), {"sdp": "s", "profile": "voice_ai"}, ValueError, ANCHOR_ONLY),
        (("c", TO), {"body": "b", "ws_uri": "ws://x"}, ValueError, ANCHOR_ONLY),
        (("c", TO), {"media": True, "privacy": "Allowed"}, ValueError,
         'originate privacy must be "allowed" or "restricted", not "Allowed"'),
        (("c", TO), {"media": True, "headers": [("X", "1")]}, ValueError,
         "headers must be a dict of str -> str"),
        (("c", TO), {"media": True, "vars": "k=v"}, ValueError, "vars must be a dict of str -> str"),
        (("c", TO), {"media": True, "headers": {"X": 1}}, TypeError, ("originate()", "'headers'")),
        (("c", TO), {"media": True, "vars": {1: "v"}}, TypeError, ("originate()", "'vars'")),
        (("c", TO), {"media": True, "session_timer": []}, TypeError, TIMER_TYPE),
        (("c", TO), {"media": True, "session_timer": 1800}, TypeError, TIMER_TYPE),
        (("c", TO), {"media": True, "session_timer": {"expire": 1800}}, ValueError,
         'session_timer takes expires, min_se and refresher, not "expire"'),
        (("c", TO), {"media": True, "session_timer": {"Expires": 1800}}, ValueError,
         'session_timer takes expires, min_se and refresher, not "Expires"'),
        (("c", TO), {"media": True, "session_timer": {"min_se": -1}}, OverflowError,
         ("originate()", "session_timer", "min_se")),
        (("c", TO), {"media": True, "session_timer": {"expires": 2**32}}, OverflowError,
         ("originate()", "session_timer", "expires")),
        (("c", TO), {"media": True, "session_timer": {"expires": "1800"}}, TypeError,
         ("originate()", "session_timer", "expires", "str")),
        (("c", TO), {"media": True, "session_timer": {"refresher": "proxy"}}, ValueError,
         'session_timer refresher must be "uac", "uas" or "b2bua", not "proxy"'),
        (("c", TO), {"media": True, "session_timer": {"refresher": None}}, TypeError,
         ("originate()", "session_timer", "refresher", "None")),
        (("c", TO), {"media": True, "session_timer": {1: 2}}, TypeError,
         ("originate()", "'session_timer'", "int")),
        # The dict's items are visited in its own order.
        (("c", TO), {"media": True, "session_timer": {"bogus": 1, "min_se": -1}}, ValueError,
         'session_timer takes expires, min_se and refresher, not "bogus"'),
        (("c", TO), {"media": True, "session_timer": _growing_timer()}, RuntimeError,
         "dictionary changed size during iteration"),
        # Binding errors come before every rule.
        (("c",), {"media": 1}, TypeError, ("originate()", "'media'", "int")),
        (("c", TO), {"media": None}, TypeError, ("originate()", "'media'")),
        ((None, TO), {"media": True}, TypeError, ("originate()", "'channel'")),
        (("c", 5), {"media": True}, TypeError, ("originate()", "'to'")),
        (("c",), {"total_timeout": -1}, OverflowError, ("originate()", "'total_timeout'")),
        (("c", TO), {"media": True, "timeout": 2**64}, OverflowError, ("originate()", "'timeout'")),
        (("c", TO, AOR), {}, TypeError, ("originate()", "at most 2 positional")),
        (("c", TO), {"media": True, "from": "x"}, TypeError, ("originate()", "'from'")),
        # The rules' order: ring options, media plan, privacy, headers, vars,
        # session_timer.
        (("c", TO), {"strategy": "x", "sdp": "s", "body": "b"}, ValueError, RING_WITH_TO),
        (("c", TO), {"sdp": "s", "body": "b", "privacy": "x"}, ValueError, ONE_PLAN),
        (("c", TO), {"sdp": "s", "profile": "p", "privacy": "x"}, ValueError, ANCHOR_ONLY),
        (("c", TO), {"sdp": "s", "privacy": "x", "headers": 1}, ValueError,
         'originate privacy must be "allowed" or "restricted", not "x"'),
        (("c", TO), {"sdp": "s", "headers": 1, "vars": 1}, ValueError,
         "headers must be a dict of str -> str"),
        (("c", TO), {"sdp": "s", "vars": 1, "session_timer": 1}, ValueError,
         "vars must be a dict of str -> str"),
    ],
)
async def test_refuses(switch, client, args, kwargs, exception, message):
    assert_raises(lambda: client.originate(*args, **kwargs), exception, message)
    await nothing_originated(switch, client)


BRANCH = {"leg_id": "b-1", "leg_sip_call_id": "sip-1", "target": "sip:alice@10.0.0.1", "aor": AOR}


@pytest.mark.parametrize(
    "reply, expected",
    [
        ({}, {"channel": "ch-9", "call_id": None, "sip_call_id": None}),
        (no_result, {"channel": "ch-9", "call_id": None, "sip_call_id": None}),
        ({"channel": "ch-x", "call_id": "c-1", "sip_call_id": "s-1", "state": "dialing"},
         {"channel": "ch-x", "call_id": "c-1", "sip_call_id": "s-1"}),
        ({"channel": 9, "call_id": 1, "sip_call_id": ["s"]},
         {"channel": "ch-9", "call_id": None, "sip_call_id": None}),
        ("ch-x", {"channel": "ch-9", "call_id": None, "sip_call_id": None}),
    ],
)
async def test_to_result(switch, client, reply, expected):
    switch.respond("originate", reply if callable(reply) else ok(reply), times=1)
    result = await client.originate("ch-9", TO, media=True)
    assert result == expected
    assert sorted(result) == ["call_id", "channel", "sip_call_id"]


GROUP_NONE = {"channel": "ch-9", "group_id": None, "aor": None, "strategy": None,
              "total_timeout": None, "branches": []}


@pytest.mark.parametrize(
    "reply, expected",
    [
        ({}, GROUP_NONE),
        (no_result, GROUP_NONE),
        (
            {"channel": "ch-9", "group_id": "g-1", "aor": AOR, "strategy": "parallel",
             "total_timeout": 30, "extra": 1,
             "branches": [BRANCH, {"target": "no leg id"}, "b-2", {"leg_id": "b-3"}]},
            {"channel": "ch-9", "group_id": "g-1", "aor": AOR, "strategy": "parallel",
             "total_timeout": 30,
             "branches": [BRANCH, {"leg_id": "b-3", "leg_sip_call_id": "", "target": ""}]},
        ),
        ({"total_timeout": -1, "branches": {"leg_id": "b-1"}}, GROUP_NONE),
        ({"total_timeout": 2.5, "strategy": 1, "group_id": None}, GROUP_NONE),
        ({"total_timeout": 2**64 - 1}, {**GROUP_NONE, "total_timeout": 2**64 - 1}),
    ],
)
async def test_aor_result(switch, client, reply, expected):
    switch.respond("originate", reply if callable(reply) else ok(reply), times=1)
    result = await client.originate("ch-9", aor=AOR, media=True)
    assert result == expected
    assert sorted(result) == sorted(GROUP_NONE)


async def test_a_refusal_reaches_the_awaitable(switch, client):
    switch.respond("originate", error("conflict", "channel id in use"), times=1)
    with pytest.raises(ControlError) as info:
        await client.originate("ch-9", TO, media=True)
    assert info.value.code == "conflict"


async def test_against_the_switch(switch, client):
    placed = await client.originate("ch-out", TO, media=True, session_timer={"expires": 1800})
    assert placed["channel"] == "ch-out"
    assert isinstance(placed["call_id"], str) and isinstance(placed["sip_call_id"], str)

    await switch.register(AOR, "sip:alice@10.0.0.1", "sip:alice@10.0.0.2")
    group = await client.originate("ch-grp", aor=AOR, sdp="v=0\r\n", strategy="Sequential")
    assert (group["channel"], group["aor"], group["strategy"]) == ("ch-grp", AOR, "sequential")
    assert isinstance(group["group_id"], str)
    assert all(set(branch) >= {"leg_id", "leg_sip_call_id", "target"} for branch in group["branches"])


async def test_connects_on_demand(switch):
    client = ControlClient("verbs", "tok", url=switch.url, reply_timeout_ms=2000)
    try:
        placed = await client.originate("ch-9", TO, media=True)
        assert placed["channel"] == "ch-9"
        assert [c.verb for c in switch.commands] == ["hello", "originate"]
    finally:
        client.close()


async def test_after_shutdown_the_awaitable_fails(switch, client):
    client.shutdown()
    future = client.originate("ch-9", TO, media=True)
    with pytest.raises(ControlError) as info:
        await future
    assert str(info.value) == "control connection is closed"
    assert info.value.code is None


async def test_cancelled_before_connecting_places_no_call(switch):
    client = ControlClient("verbs", "tok", url=switch.url, reply_timeout_ms=2000)
    try:
        future = client.originate("ch-9", TO, media=True)
        future.cancel()
        await client.connect()
        await client.describe()
        await asyncio.sleep(0.05)
        assert "originate" not in [c.verb for c in switch.commands]
    finally:
        client.close()


async def test_without_a_loop_the_checks_still_come_first(switch, client):
    outcome = []

    def worker():
        for kwargs in ({}, {"media": True}):
            try:
                client.originate("ch-9", TO, **kwargs)
            except BaseException as e:  # noqa: BLE001 (recorded for the assertion)
                outcome.append(type(e))

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert outcome == [ValueError, RuntimeError]
    await nothing_originated(switch, client)
