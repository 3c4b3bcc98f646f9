"""Transfer verbs: refer, transfer, accept_refer in every mode, reject_refer,
complete_refer, replace_peer."""

import pytest

from fenwix_control import Call

from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, leg, no_result, signature_rows,
)

SIGNATURES = [
    "refer($self, to)",
    "transfer($self, to)",
    "accept_refer($self, target=None, next_hop=None, mode=None, profile=None, *, aor=None, "
    "from_uri=None, from_display=None, p_asserted_identity=None, privacy=None, headers=None, "
    "timeout=None, number_policy=None, format=None)",
    "reject_refer($self, code, reason=None)",
    "complete_refer($self, code, reason=None)",
    "replace_peer($self, target=None, next_hop=None, replace_a_leg=None, profile=None, timeout=None, "
    "*, aor=None, from_uri=None, from_display=None, p_asserted_identity=None, privacy=None, "
    "headers=None, number_policy=None, format=None)",
]

T = "sip:desk@pbx.example"
A = "sip:alice@pbx.example"
CONTROLLER = 'accept_refer mode "controller" dials no leg: it takes timeout only'
TIMEOUT = 'accept_refer timeout applies to mode "controller"'
HEADERS = "headers must be a dict of str -> str"


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


def test_transfer_is_documented_as_the_alias():
    assert Call.transfer.__doc__ == "Blind-transfer alias for `refer`."


FULL_DIAL = {
    "from": "sip:f@x", "from_display": "Front desk", "p_asserted_identity": "sip:pai@x",
    "privacy": "restricted", "headers": {"X-A": "1", "X-B": "2"}, "next_hop": "sip:sbc",
    "number_policy": "keep", "format": "e164",
}


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.refer(T), "refer", {"to": T}),
        (lambda c: c.transfer(T), "refer", {"to": T}),
        (lambda c: c.transfer(to=""), "refer", {"to": ""}),
        (lambda c: c.accept_refer(), "accept_refer", {}),
        (lambda c: c.accept_refer(aor=A), "accept_refer", {"target": {"aor": A}}),
        (lambda c: c.accept_refer(T, mode="terminate", from_uri="sip:f@x"),
         "accept_refer", {"from": "sip:f@x", "mode": "terminate", "target": T}),
        (lambda c: c.accept_refer(mode="transparent"), "accept_refer", {"mode": "transparent"}),
        # Any mode but "controller" is sent as written.
        (lambda c: c.accept_refer(mode="Controller"), "accept_refer", {"mode": "Controller"}),
        (lambda c: c.accept_refer(mode=""), "accept_refer", {"mode": ""}),
        (lambda c: c.accept_refer(headers={}), "accept_refer", {}),
        (lambda c: c.accept_refer(headers=None, timeout=None), "accept_refer", {}),
        (
            lambda c: c.accept_refer(T, "sip:sbc", "terminate", "rtp_passthrough",
                                     from_uri="sip:f@x", from_display="Front desk",
                                     p_asserted_identity="sip:pai@x", privacy="restricted",
                                     headers={"X-B": "2", "X-A": "1"}, number_policy="keep",
                                     format="e164"),
            "accept_refer",
            {**FULL_DIAL, "target": T, "mode": "terminate", "profile": "rtp_passthrough"},
        ),
        (lambda c: c.accept_refer(mode="controller"), "accept_refer", {"mode": "controller"}),
        (lambda c: c.accept_refer(mode="controller", timeout=90),
         "accept_refer", {"mode": "controller", "timeout": 90}),
        (lambda c: c.accept_refer(mode="controller", timeout=0, headers=None),
         "accept_refer", {"mode": "controller", "timeout": 0}),
        (lambda c: c.reject_refer(486), "reject_refer", {"code": 486}),
        (lambda c: c.reject_refer(486, ""), "reject_refer", {"code": 486, "reason": ""}),
        (lambda c: c.reject_refer(code=603, reason="Decline"),
         "reject_refer", {"code": 603, "reason": "Decline"}),
        # The range the switch accepts is its to check.
        (lambda c: c.complete_refer(100), "complete_refer", {"code": 100}),
        (lambda c: c.complete_refer(200, "OK"), "complete_refer", {"code": 200, "reason": "OK"}),
        (lambda c: c.complete_refer(65535), "complete_refer", {"code": 65535}),
    ],
)
async def test_sends(leg, invoke, verb, args):
    leg.reply(verb, {"channel": CHANNEL, "state": "referring"})
    assert await invoke(leg.call) is None
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, args",
    [
        (lambda c: c.replace_peer(T), {"target": T}),
        (lambda c: c.replace_peer(T, replace_a_leg=False, timeout=0),
         {"replace_a_leg": False, "target": T, "timeout": 0}),
        (lambda c: c.replace_peer(aor=A, replace_a_leg=True),
         {"replace_a_leg": True, "target": {"aor": A}}),
        (lambda c: c.replace_peer(T, headers={}), {"target": T}),
        (
            lambda c: c.replace_peer(T, "sip:sbc", None, "rtp_passthrough", 45, from_uri="sip:f@x",
                                     from_display="Front desk", p_asserted_identity="sip:pai@x",
                                     privacy="restricted", headers={"X-A": "1", "X-B": "2"},
                                     number_policy="keep", format="e164"),
            {**FULL_DIAL, "target": T, "profile": "rtp_passthrough", "timeout": 45},
        ),
    ],
)
async def test_replace_peer_sends(leg, invoke, args):
    leg.reply("replace_peer", {"channel": CHANNEL, "replacement": "dialing", "target": T})
    assert await invoke(leg.call) == {"channel": CHANNEL, "replacement": "dialing", "target": T}
    await leg.expect_args("replace_peer", args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.refer(), TypeError, ("refer()", "'to'")),
        (lambda c: c.refer(None), TypeError, ("refer()", "'to'", "None")),
        (lambda c: c.transfer(5), TypeError, ("transfer()", "'to'")),
        # Controller mode dials nothing, so every argument of a dialled leg
        # is refused, whatever its value.
        (lambda c: c.accept_refer(mode="controller", headers={}), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", headers=[]), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(T, mode="controller"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(None, "sip:sbc", "controller"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", profile=""), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", aor=A), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", from_uri="f"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", from_display="f"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", p_asserted_identity="p"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", privacy="bogus"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", number_policy="n"), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(mode="controller", format="e164", timeout=5), ValueError, CONTROLLER),
        (lambda c: c.accept_refer(timeout=30), ValueError, TIMEOUT),
        (lambda c: c.accept_refer(mode="Controller", timeout=30), ValueError, TIMEOUT),
        (lambda c: c.accept_refer(mode="terminate", timeout=0), ValueError, TIMEOUT),
        (lambda c: c.accept_refer(T, aor=A), ValueError,
         "accept_refer takes a target URI or aor=, not both"),
        (lambda c: c.accept_refer(privacy="Restricted"), ValueError,
         'accept_refer privacy must be "allowed" or "restricted", not "Restricted"'),
        (lambda c: c.accept_refer(headers="X: 1"), ValueError, HEADERS),
        (lambda c: c.accept_refer(headers={"X": 1}), TypeError, ("accept_refer()", "'headers'")),
        # timeout, then target, then privacy, then headers.
        (lambda c: c.accept_refer(T, aor=A, privacy="x", headers=5, timeout=5), ValueError, TIMEOUT),
        (lambda c: c.accept_refer(T, aor=A, privacy="x", headers=5), ValueError,
         "accept_refer takes a target URI or aor=, not both"),
        (lambda c: c.accept_refer(privacy="x", headers=5), ValueError,
         'accept_refer privacy must be "allowed" or "restricted", not "x"'),
        (lambda c: c.accept_refer(timeout=-1), OverflowError, ("accept_refer()", "'timeout'")),
        (lambda c: c.accept_refer(mode="controller", timeout=2**32), OverflowError,
         ("accept_refer()", "'timeout'")),
        (lambda c: c.accept_refer(mode=1), TypeError, ("accept_refer()", "'mode'")),
        (lambda c: c.accept_refer(T, None, None, None, A), TypeError,
         ("accept_refer()", "at most 4 positional")),
        (lambda c: c.reject_refer(65536), OverflowError, ("reject_refer()", "'code'")),
        (lambda c: c.reject_refer(-1), OverflowError, ("reject_refer()", "'code'")),
        (lambda c: c.reject_refer(), TypeError, ("reject_refer()", "'code'")),
        (lambda c: c.complete_refer("200"), TypeError, ("complete_refer()", "'code'")),
        (lambda c: c.complete_refer(200, 1), TypeError, ("complete_refer()", "'reason'")),
        (lambda c: c.replace_peer(), ValueError, "replace_peer requires a target URI or aor="),
        (lambda c: c.replace_peer(T, aor=A), ValueError,
         "replace_peer takes a target URI or aor=, not both"),
        (lambda c: c.replace_peer(T, privacy="Allowed"), ValueError,
         'replace_peer privacy must be "allowed" or "restricted", not "Allowed"'),
        (lambda c: c.replace_peer(T, headers=[]), ValueError, HEADERS),
        (lambda c: c.replace_peer(T, headers={"X": b"1"}), TypeError, ("replace_peer()", "'headers'")),
        # target, then privacy, then headers.
        (lambda c: c.replace_peer(privacy="x", headers=5), ValueError,
         "replace_peer requires a target URI or aor="),
        (lambda c: c.replace_peer(aor=A, privacy="x", headers=5), ValueError,
         'replace_peer privacy must be "allowed" or "restricted", not "x"'),
        (lambda c: c.replace_peer(T, replace_a_leg=1), TypeError, ("replace_peer()", "'replace_a_leg'")),
        (lambda c: c.replace_peer(T, timeout=2**32), OverflowError, ("replace_peer()", "'timeout'")),
        (lambda c: c.replace_peer(T, None, None, None, None, A), TypeError,
         ("replace_peer()", "at most 5 positional")),
    ],
)
async def test_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


@pytest.mark.parametrize(
    "reply, expected",
    [
        ({"channel": CHANNEL, "replacement": "dialing", "target": {"aor": A}, "leg": "b-9"},
         {"channel": CHANNEL, "replacement": "dialing", "target": {"aor": A}, "leg": "b-9"}),
        (no_result, None),
        (7, 7),
    ],
)
async def test_replace_peer_result(leg, reply, expected):
    leg.reply("replace_peer", reply)
    assert await leg.call.replace_peer(aor=A) == expected


async def test_inbound_refer_against_the_switch(leg):
    # A REFER the caller sends, taken over by the application.
    leg.switch.clear_responders()
    await leg.call.answer()
    await leg.switch.channel(CHANNEL).send_refer(T)
    while (event := await leg.call.next_event())["kind"] != "TransferRequested":
        pass
    await leg.call.accept_refer(mode="controller", timeout=90)
    await leg.call.complete_refer(200, "OK")
    command = await leg.switch.next_command("complete_refer", channel=CHANNEL)
    assert command.reply["status"] == "ok"
