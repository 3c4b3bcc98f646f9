"""Dialing and routing: dial (its targets, options, checks in their order and
the summary it resolves to), cancel_dial, route."""

import pytest

from fenwix_control import Call

from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, leg, no_result, signature_rows,
)

SIGNATURES = [
    "dial($self, targets, strategy=None, timeout=None, headers=None, profile=None, from_uri=None, "
    "from_display=None, p_asserted_identity=None, privacy=None, on_answer=None, ringback=None)",
    "cancel_dial($self, reason=None)",
    "route($self, targets, strategy=..., headers=None)",
]

U = "sip:100@carrier.example"
A = "sip:alice@pbx.example"
UA = [{"uri": U}]

NOT_A_DICT = (
    'each dial target must be a dict: {"uri": ...} to dial it as written, or {"aor": ...} to fork '
    "to every registered contact over its own flow"
)
NO_URI_OR_AOR = 'a dial target requires a string "uri" or "aor"'
AOR_NEXT_HOP = (
    'an aor target takes no "next_hop": each of its branches routes over its own contact\'s '
    "captured flow"
)
URI_AND_AOR = (
    'a dial target names "uri" or "aor", never both \u2014 fenwix reads the aor and ignores the '
    "uri beside it"
)
RINGBACK_TYPE = "dial ringback must be a non-empty tone string or a bool"
RINGBACK_NEEDS_BRIDGE = (
    'dial ringback needs on_answer="bridge": a connecting dial\'s caller hears the phones\' own '
    "ringing"
)
HEADERS = "headers must be a dict of str -> str"
ROUTE_TARGET = "each route target must be a URI str or a dict {uri, next_hop, headers, timeout}"


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


@pytest.mark.parametrize(
    "invoke, args",
    [
        (lambda c: c.dial(UA), {"targets": [U]}),
        (lambda c: c.dial([]), {"targets": []}),
        (lambda c: c.dial(({"uri": U}, {"aor": A})), {"targets": [U, {"aor": A}]}),
        (lambda c: c.dial([{"uri": U, "to": "sip:200@x"}]), {"targets": [{"to": "sip:200@x", "uri": U}]}),
        (lambda c: c.dial([{"uri": U, "next_hop": "sip:sbc"}]),
         {"targets": [{"next_hop": "sip:sbc", "uri": U}]}),
        (lambda c: c.dial([{"uri": U, "headers": {"X-B": "2", "X-A": "1"}}]),
         {"targets": [{"headers": {"X-A": "1", "X-B": "2"}, "uri": U}]}),
        # Nothing beyond the URI: the bare string.
        (lambda c: c.dial([{"uri": U, "headers": {}}]), {"targets": [U]}),
        (lambda c: c.dial([{"uri": U, "headers": None, "to": None, "aor": None}]), {"targets": [U]}),
        (lambda c: c.dial([{"uri": U, "timeout": 5, "ringback": 1}]), {"targets": [U]}),
        (lambda c: c.dial([{"aor": A}]), {"targets": [{"aor": A}]}),
        (lambda c: c.dial([{"aor": A, "to": "sip:bob@x", "headers": {"X": ""}, "next_hop": None}]),
         {"targets": [{"aor": A, "headers": {"X": ""}, "to": "sip:bob@x"}]}),
        (lambda c: c.dial(UA, strategy="PARALLEL"), {"strategy": "parallel", "targets": [U]}),
        (lambda c: c.dial(UA, "Sequential"), {"strategy": "sequential", "targets": [U]}),
        (lambda c: c.dial(UA, timeout=0), {"targets": [U], "timeout": 0}),
        (lambda c: c.dial(UA, timeout=2**32 - 1), {"targets": [U], "timeout": 2**32 - 1}),
        (lambda c: c.dial(UA, headers={"X-Tag": "v"}), {"headers": {"X-Tag": "v"}, "targets": [U]}),
        (lambda c: c.dial(UA, headers={}), {"targets": [U]}),
        (lambda c: c.dial(UA, from_uri="sip:f@x"), {"from": "sip:f@x", "targets": [U]}),
        (lambda c: c.dial(UA, privacy="restricted"), {"privacy": "restricted", "targets": [U]}),
        (lambda c: c.dial(UA, on_answer="bridge"), {"on_answer": "bridge", "targets": [U]}),
        (lambda c: c.dial(UA, on_answer="bridge", ringback=True),
         {"on_answer": "bridge", "ringback": True, "targets": [U]}),
        (lambda c: c.dial(UA, on_answer="bridge", ringback=False),
         {"on_answer": "bridge", "ringback": False, "targets": [U]}),
        (lambda c: c.dial(UA, on_answer="bridge", ringback="ringback_eu"),
         {"on_answer": "bridge", "ringback": "ringback_eu", "targets": [U]}),
        (lambda c: c.dial(UA, on_answer="connect"), {"on_answer": "connect", "targets": [U]}),
        (
            lambda c: c.dial(UA, "parallel", 30, {"X": "1"}, "rtp_passthrough", "sip:f@x", "Front",
                             "sip:pai@x", "allowed", "bridge", "425/1000,0/4000*inf"),
            {"from": "sip:f@x", "from_display": "Front", "headers": {"X": "1"},
             "on_answer": "bridge", "p_asserted_identity": "sip:pai@x", "privacy": "allowed",
             "profile": "rtp_passthrough", "ringback": "425/1000,0/4000*inf", "strategy": "parallel",
             "targets": [U], "timeout": 30},
        ),
    ],
)
async def test_dial_sends(leg, invoke, args):
    leg.reply("dial", {"channel": CHANNEL})
    await invoke(leg.call)
    await leg.expect_args("dial", args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        # A single URI is not a target list.
        (lambda c: c.dial(U), TypeError, ("dial()", "'targets'", "str")),
        (lambda c: c.dial(None), TypeError, ("dial()", "'targets'")),
        (lambda c: c.dial({"uri": U}), TypeError, ("dial()", "'targets'")),
        (lambda c: c.dial(), TypeError, ("dial()", "'targets'")),
        (lambda c: c.dial([U]), ValueError, NOT_A_DICT),
        (lambda c: c.dial([{"uri": U}, [("uri", U)]]), ValueError, NOT_A_DICT),
        (lambda c: c.dial([{}]), ValueError, NO_URI_OR_AOR),
        (lambda c: c.dial([{"uri": None, "next_hop": "n"}]), ValueError, NO_URI_OR_AOR),
        (lambda c: c.dial([{"aor": A, "next_hop": "sip:sbc"}]), ValueError, AOR_NEXT_HOP),
        (lambda c: c.dial([{"uri": U, "aor": A}]), ValueError, URI_AND_AOR),
        # Both names win over the next_hop check.
        (lambda c: c.dial([{"uri": U, "aor": A, "next_hop": "n"}]), ValueError, URI_AND_AOR),
        (lambda c: c.dial([{"uri": 5}]), TypeError, ("dial()", "'targets'", "int")),
        (lambda c: c.dial([{"aor": b"a"}]), TypeError, ("dial()", "'targets'", "bytes")),
        (lambda c: c.dial([{"uri": U, "to": 5}]), TypeError, ("dial()", "'targets'")),
        # Member types are read before the target's shape is judged.
        (lambda c: c.dial([{"uri": U, "aor": A, "to": 5}]), TypeError, ("dial()", "'targets'")),
        (lambda c: c.dial([{"uri": U, "headers": [("X", "1")]}]), ValueError, HEADERS),
        (lambda c: c.dial([{"uri": U, "headers": {"X": 1}}]), TypeError, ("dial()", "'targets'")),
        (lambda c: c.dial([{"headers": "x"}]), ValueError, HEADERS),
        (lambda c: c.dial(UA, strategy="random"), ValueError,
         'dial strategy must be "parallel" or "sequential", not "random"'),
        (lambda c: c.dial(UA, strategy=""), ValueError,
         'dial strategy must be "parallel" or "sequential", not ""'),
        (lambda c: c.dial(UA, timeout=-1), OverflowError, ("dial()", "'timeout'")),
        (lambda c: c.dial(UA, timeout=2**32), OverflowError, ("dial()", "'timeout'")),
        (lambda c: c.dial(UA, headers=[("X", "1")]), ValueError, HEADERS),
        (lambda c: c.dial(UA, headers={"X": 1}), TypeError, ("dial()", "'headers'", "int")),
        (lambda c: c.dial(UA, headers={1: "x"}), TypeError, ("dial()", "'headers'", "int")),
        (lambda c: c.dial(UA, from_uri=1), TypeError, ("dial()", "'from_uri'")),
        (lambda c: c.dial(UA, privacy="Restricted"), ValueError,
         'dial privacy must be "allowed" or "restricted", not "Restricted"'),
        (lambda c: c.dial(UA, ringback=""), TypeError, RINGBACK_TYPE),
        (lambda c: c.dial(UA, on_answer="bridge", ringback=5), TypeError, RINGBACK_TYPE),
        (lambda c: c.dial(UA, on_answer="bridge", ringback=b"tone"), TypeError, RINGBACK_TYPE),
        # The ringback's type is checked before anything about on_answer.
        (lambda c: c.dial(UA, on_answer="nope", ringback=5), TypeError, RINGBACK_TYPE),
        (lambda c: c.dial(UA, ringback=True), ValueError, RINGBACK_NEEDS_BRIDGE),
        (lambda c: c.dial(UA, on_answer="connect", ringback=False), ValueError,
         RINGBACK_NEEDS_BRIDGE),
        (lambda c: c.dial(UA, on_answer="Bridge"), ValueError,
         'dial on_answer must be "connect" or "bridge", not "Bridge"'),
        (lambda c: c.dial(UA, on_answer="ring", ringback="tone"), ValueError,
         'dial on_answer must be "connect" or "bridge", not "ring"'),
        # The order of the checks: strategy, headers, privacy, answer policy,
        # targets.
        (lambda c: c.dial([U], strategy="random", headers=5, privacy="x", on_answer="x"),
         ValueError, 'dial strategy must be "parallel" or "sequential", not "random"'),
        (lambda c: c.dial([U], headers=5, privacy="x", on_answer="x"), ValueError, HEADERS),
        (lambda c: c.dial([U], privacy="x", on_answer="x"), ValueError,
         'dial privacy must be "allowed" or "restricted", not "x"'),
        (lambda c: c.dial([U], on_answer="x"), ValueError,
         'dial on_answer must be "connect" or "bridge", not "x"'),
        # Binding errors come before all of them.
        (lambda c: c.dial([U], strategy="random", timeout=-1), OverflowError,
         ("dial()", "'timeout'")),
    ],
)
async def test_dial_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


BRANCH = {"leg_id": "b-1", "leg_sip_call_id": "sip-b-1", "target": U, "aor": A}
BASIC_NONE = {"channel": CHANNEL, "targets": None, "strategy": None, "timeout": None}


@pytest.mark.parametrize(
    "reply, expected",
    [
        (
            {"channel": CHANNEL, "targets": 3, "strategy": "parallel", "timeout": 30, "state": "dialing"},
            {"channel": CHANNEL, "targets": 3, "strategy": "parallel", "timeout": 30},
        ),
        (no_result, BASIC_NONE),
        (None, BASIC_NONE),
        ([1, 2], BASIC_NONE),
        ({"targets": -1}, BASIC_NONE),
        ({"targets": 2.5}, BASIC_NONE),
        ({"targets": "3", "strategy": 1, "timeout": -30}, BASIC_NONE),
        ({"timeout": 2**32}, BASIC_NONE),
        ({"timeout": 2**32 - 1, "targets": 2**64 - 1, "channel": "other"},
         {"channel": "other", "targets": 2**64 - 1, "strategy": None, "timeout": 2**32 - 1}),
        (
            {"channel": CHANNEL, "targets": 2, "strategy": "parallel", "timeout": 30,
             "on_answer": "bridge", "group_id": "g-1", "total_timeout": 60,
             "ringback": "ringback_eu", "extra": True,
             "branches": [BRANCH, {"leg_sip_call_id": "s", "target": U}]},
            {"channel": CHANNEL, "targets": 2, "strategy": "parallel", "timeout": 30,
             "on_answer": "bridge", "group_id": "g-1", "total_timeout": 60,
             "ringback": "ringback_eu", "branches": [BRANCH]},
        ),
        (
            {"on_answer": "bridge", "ringback": "", "branches": "none"},
            {**BASIC_NONE, "on_answer": "bridge", "group_id": None, "total_timeout": None,
             "ringback": "", "branches": []},
        ),
        (
            {"on_answer": "bridge", "ringback": False, "total_timeout": -1,
             "branches": [{"leg_id": 5}, {"leg_id": "b-2"}, 7]},
            {**BASIC_NONE, "on_answer": "bridge", "group_id": None, "total_timeout": None,
             "ringback": False, "branches": [{"leg_id": "b-2", "leg_sip_call_id": "", "target": ""}]},
        ),
        (
            {"on_answer": "connect", "ringback": 5, "group_id": 1},
            {**BASIC_NONE, "on_answer": "connect", "group_id": None, "total_timeout": None,
             "ringback": None, "branches": []},
        ),
        # The extra members of a bridging dial only when the switch reports one.
        ({"group_id": "g-1", "branches": [BRANCH]}, BASIC_NONE),
    ],
)
async def test_dial_summary(leg, reply, expected):
    leg.reply("dial", reply)
    assert await leg.call.dial(UA) == expected


async def test_dial_against_the_switch(leg):
    # Ringing every phone registered at an address-of-record.
    leg.switch.clear_responders()
    await leg.switch.register(A, "sip:alice@10.0.0.1", "sip:alice@10.0.0.2")
    summary = await leg.call.dial([{"aor": A}], strategy="parallel", timeout=20)
    assert summary == {"channel": CHANNEL, "targets": 2, "strategy": "parallel", "timeout": 20}


@pytest.mark.parametrize(
    "invoke, args",
    [
        (lambda c: c.cancel_dial(), {}),
        (lambda c: c.cancel_dial("caller pressed 0"), {"reason": "caller pressed 0"}),
        (lambda c: c.cancel_dial(reason=""), {"reason": ""}),
    ],
)
async def test_cancel_dial_sends(leg, invoke, args):
    leg.reply("cancel_dial", {"channel": CHANNEL, "cancelled": 2})
    assert await invoke(leg.call) is None
    await leg.expect_args("cancel_dial", args)


async def test_cancel_dial_refuses(leg):
    await assert_refused(leg, lambda c: c.cancel_dial(5), TypeError, ("cancel_dial()", "'reason'"))


@pytest.mark.parametrize(
    "invoke, args",
    [
        (lambda c: c.route(["u1", {"uri": "u2", "timeout": 5}]),
         {"strategy": "sequential", "targets": ["u1", {"timeout": 5, "uri": "u2"}]}),
        (lambda c: c.route([]), {"strategy": "sequential", "targets": []}),
        (lambda c: c.route(("u",)), {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": False}]),
         {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": None, "next_hop": None,
                              "headers": None, "timeout": None, "weight": 3}]),
         {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route([{"uri": "u", "headers": {}}]), {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": True}]),
         {"strategy": "sequential", "targets": [{"reroute_after_progress": True, "uri": "u"}]}),
        (
            lambda c: c.route([{"uri": "u", "next_hop": "n", "headers": {"X": "1"}, "timeout": 0}]),
            {"strategy": "sequential",
             "targets": [{"headers": {"X": "1"}, "next_hop": "n", "timeout": 0, "uri": "u"}]},
        ),
        (lambda c: c.route([{"uri": "u", "timeout": 2**32 - 1}]),
         {"strategy": "sequential", "targets": [{"timeout": 2**32 - 1, "uri": "u"}]}),
        # The strategy goes out exactly as given: the switch decides.
        (lambda c: c.route(["u"], "parallel"), {"strategy": "parallel", "targets": ["u"]}),
        (lambda c: c.route(["u"], strategy="Single"), {"strategy": "Single", "targets": ["u"]}),
        (lambda c: c.route(["u"], strategy=""), {"strategy": "", "targets": ["u"]}),
        (lambda c: c.route(["u"], headers={"X-A": "1"}),
         {"headers": {"X-A": "1"}, "strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route(["u"], headers={}), {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.route(["u"], headers=None), {"strategy": "sequential", "targets": ["u"]}),
    ],
)
async def test_route_sends(leg, invoke, args):
    leg.reply("route", {"channel": CHANNEL, "state": "routing", "targets": 1})
    assert await invoke(leg.call) == {"channel": CHANNEL, "state": "routing", "targets": 1}
    await leg.expect_args("route", args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.route("u"), TypeError, ("route()", "'targets'", "str")),
        (lambda c: c.route(None), TypeError, ("route()", "'targets'")),
        (lambda c: c.route(["u"], strategy=None), TypeError, ("route()", "'strategy'", "None")),
        (lambda c: c.route(["u"], 5), TypeError, ("route()", "'strategy'")),
        (lambda c: c.route([42]), ValueError, ROUTE_TARGET),
        (lambda c: c.route([None]), ValueError, ROUTE_TARGET),
        (lambda c: c.route([["u"]]), ValueError, ROUTE_TARGET),
        (lambda c: c.route(["u", b"u"]), ValueError, ROUTE_TARGET),
        (lambda c: c.route([{"next_hop": "n"}]), ValueError, "route target dict requires a string 'uri'"),
        (lambda c: c.route([{"uri": None}]), TypeError, ("route()", "'targets'", "None")),
        (lambda c: c.route([{"uri": 5}]), TypeError, ("route()", "'targets'", "int")),
        (lambda c: c.route([{"uri": "u", "next_hop": 5}]), TypeError, ("route()", "'targets'")),
        (lambda c: c.route([{"uri": "u", "headers": "x"}]), ValueError, HEADERS),
        (lambda c: c.route([{"uri": "u", "headers": {"X": None}}]), TypeError, ("route()", "'targets'")),
        (lambda c: c.route([{"uri": "u", "timeout": -1}]), OverflowError, ("route()", "'targets'")),
        (lambda c: c.route([{"uri": "u", "timeout": 2**32}]), OverflowError, ("route()", "'targets'")),
        (lambda c: c.route([{"uri": "u", "timeout": "5"}]), TypeError, ("route()", "'targets'")),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": 1}]), TypeError,
         "route target 'reroute_after_progress' must be a bool"),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": 0}]), TypeError,
         "route target 'reroute_after_progress' must be a bool"),
        (lambda c: c.route([{"uri": "u", "reroute_after_progress": "yes"}]), TypeError,
         "route target 'reroute_after_progress' must be a bool"),
        (lambda c: c.route(["u"], headers=[("X", "1")]), ValueError, HEADERS),
        (lambda c: c.route(["u"], headers={"X": 1}), TypeError, ("route()", "'headers'")),
        # Targets are checked, in order, before the headers.
        (lambda c: c.route(["u", 42, {"next_hop": "n"}], headers=5), ValueError, ROUTE_TARGET),
        (lambda c: c.route([{"next_hop": "n"}, 42], headers=5), ValueError,
         "route target dict requires a string 'uri'"),
    ],
)
async def test_route_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


@pytest.mark.parametrize(
    "reply, expected",
    [
        # The reply's result, whole and as the switch gave it.
        ({"channel": CHANNEL, "state": "routing", "targets": 2, "lcr": {"cheapest": "u1"}},
         {"channel": CHANNEL, "state": "routing", "targets": 2, "lcr": {"cheapest": "u1"}}),
        (no_result, None),
        ([1, "two"], [1, "two"]),
    ],
)
async def test_route_result(leg, reply, expected):
    leg.reply("route", reply)
    assert await leg.call.route(["u1", "u2"]) == expected


async def test_route_against_the_switch(leg):
    leg.switch.clear_responders()
    result = await leg.call.route(["sip:a@c1", {"uri": "sip:a@c2", "timeout": 3}])
    assert result == {"channel": CHANNEL, "state": "routing", "targets": 2}
    while (event := await leg.call.next_event()) is not None:
        last = event
    assert last["kind"] == "StasisEnd"
