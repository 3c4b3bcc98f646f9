"""What the simulated switch does behind the verbs: results, refusals and follow-up events."""

from __future__ import annotations

import pytest

from fenwix_sim import Callee, Caller


@pytest.fixture
async def answered_call(switch, app_client):
    """Channel "ch-1", offered to the application and answered by it."""
    await switch.offer_call("ch-1")
    await app_client.command("answer", "ch-1", {})
    return "ch-1"


async def _offer(switch, app_client, channel, **options):
    await switch.offer_call(channel, **options)
    await app_client.event("StasisStart", channel)


REFUSALS = [
    # (what happens first, verb, module, args, code)
    ("answer", "drop", "sip", {}, "invalid_state"),
    ("relayed", "hold", "sip", {}, "invalid_state"),
    ("relayed", "play", "sip", {"file": "x"}, "not_found"),
    ("hangup", "answer", "sip", {}, "not_found"),
    (None, "reject", "sip", {"code": 200}, "bad_request"),
    (None, "play", "sip", {"file": "x", "tone": "ringback_eu"}, "bad_request"),
    (None, "teleport", "sip", {}, "unsupported_verb"),
    (None, "get_var", "sip", {"key": "x"}, "unsupported_verb"),
    (None, "answer", None, {}, "unsupported_verb"),
    (None, "cancel_dial", "sip", {}, "invalid_state"),
    ("answer", "complete_refer", "sip", {"code": 200}, "invalid_state"),
    (None, "accept_refer", "sip", {}, "not_found"),
    ("answer", "unbridge", "sip", {}, "invalid_state"),
    (None, "route", "sip", {"targets": ["sip:a@x"], "strategy": "parallel"}, "unsupported_verb"),
    (None, "dial", "sip", {"targets": [{"aor": "sip:nobody@x"}]}, "not_found"),
]


@pytest.mark.parametrize(
    ("before", "verb", "module", "args", "code"), REFUSALS, ids=[f"{r[1]}-{r[4]}" for r in REFUSALS]
)
async def test_refusals_carry_the_code_a_switch_would_use(switch, app_client, before, verb, module, args, code):
    await _offer(switch, app_client, "ch-1", anchored=before != "relayed")
    if before in ("answer", "hangup"):
        await app_client.command(before, "ch-1", {})
    reply = await app_client.command(verb, "ch-1", args, module=module)
    assert reply["status"] == "error" and reply["error"]["code"] == code, reply


async def test_unknown_channel_is_not_found(app_client):
    reply = await app_client.command("answer", "ch-404", {})
    assert reply["error"] == {"code": "not_found", "message": "no channel ch-404"}


async def test_variables_and_headers_round_trip(switch, app_client):
    await _offer(switch, app_client, "ch-1")
    assert (await app_client.command("set_var", "ch-1", {"key": "lang", "value": "fr"}, module=None))["status"] == "ok"
    assert (await app_client.command("get_var", "ch-1", {"key": "lang"}, module=None))["result"]["value"] == "fr"
    assert (await app_client.command("get_var", "ch-1", {"key": "nope"}, module=None))["result"]["value"] is None
    assert (await app_client.command("get_header", "ch-1", {"name": "call-id"}))["result"]["value"] == switch.channel(
        "ch-1"
    ).sip_call_id
    await app_client.command("remove_header", "ch-1", {"name": "User-Agent"})
    assert (await app_client.command("get_header", "ch-1", {"name": "user-agent"}))["result"]["value"] is None


async def test_originate_to_a_uri_announces_the_channel_and_reports_the_answer(switch, app_client):
    reply = await app_client.command("originate", None, {"channel": "out-1", "to": "sip:bob@x", "media": True})
    channel = switch.channel("out-1")
    assert reply["result"] == {"channel": "out-1", "call_id": channel.call_id, "sip_call_id": channel.sip_call_id}
    start = await app_client.event("StasisStart", "out-1")
    assert start["payload"]["originated"] is True
    change = await app_client.event("ChannelStateChange", "out-1")
    assert change["payload"]["state"] == "answered"
    conflict = await app_client.command("originate", None, {"channel": "out-1", "to": "sip:bob@x", "media": True})
    assert conflict["error"]["code"] == "conflict"


async def test_originate_to_an_address_of_record_rings_every_contact(switch, app_client):
    await switch.register("sip:bob@x", "sip:bob@10.0.0.1", "sip:bob@10.0.0.2")
    switch.callees["sip:bob@10.0.0.1"] = Callee.no_answer()
    reply = await app_client.command("originate", None, {"channel": "out-1", "aor": "sip:bob@x", "sdp": "v=0"})
    result = reply["result"]
    assert [b["target"] for b in result["branches"]] == ["sip:bob@10.0.0.1", "sip:bob@10.0.0.2"]
    assert (result["aor"], result["strategy"], result["total_timeout"]) == ("sip:bob@x", "parallel", 0)
    answered = await app_client.event("DialAnswered", "out-1")
    assert answered["payload"]["target"] == "sip:bob@10.0.0.2"
    assert answered["call_id"] == result["group_id"]
    cancelled = await app_client.event("DialBranchFailed", "out-1")
    assert (cancelled["payload"]["target"], cancelled["payload"]["cause"]) == ("sip:bob@10.0.0.1", "cancelled")


async def test_dial_reports_every_branch_and_connects_the_winner(switch, app_client):
    switch.callees["sip:busy@x"] = Callee.rejects(486, after=0.01)
    switch.callees["sip:bob@x"] = Callee.answers(after=0.05)
    await _offer(switch, app_client, "ch-1")
    reply = await app_client.command("dial", "ch-1", {"targets": ["sip:busy@x", {"uri": "sip:bob@x"}], "timeout": 5})
    assert reply["result"] == {"channel": "ch-1", "targets": 2, "strategy": "parallel", "timeout": 5}
    await app_client.event("ChannelStateChange", "ch-1")
    assert app_client.event_names("ch-1")[1:] == [
        "DialBranch",
        "DialBranch",
        "DialBranchFailed",
        "DialAnswered",
        "ChannelStateChange",
    ]
    failed = next(f for f in app_client.events if f["event"] == "DialBranchFailed")
    assert (failed["payload"]["code"], failed["payload"]["cause"]) == (486, "rejected")
    assert switch.channel("ch-1").state == "answered"


@pytest.mark.parametrize(
    ("callee", "cancel", "code", "cause"),
    [(Callee.no_answer(), True, 487, "caller_gave_up"), (Callee.rejects(486, after=0.01), False, 486, "rejected")],
    ids=["cancelled", "every-branch-rejects"],
)
async def test_failed_dial_leaves_the_caller_ringing_and_parked(switch, app_client, callee, cancel, code, cause):
    switch.default_callee = callee
    await _offer(switch, app_client, "ch-1")
    await app_client.command("dial", "ch-1", {"targets": ["sip:a@x", "sip:b@x"], "strategy": "sequential"})
    if cancel:
        assert (await app_client.command("cancel_dial", "ch-1", {"reason": "caller_gave_up"}))["result"][
            "cancelled"
        ] == 1
    failed = await app_client.event("DialFailed", "ch-1")
    assert (failed["payload"]["code"], failed["payload"]["cause"]) == (code, cause)
    assert [b["target"] for b in failed["payload"]["branches"] if "code" in b] == (
        ["sip:a@x"] if cancel else ["sip:a@x", "sip:b@x"]
    )
    assert switch.channel("ch-1").state == "ringing"
    assert (await app_client.command("cancel_dial", "ch-1", {}))["error"]["code"] == "invalid_state"


async def test_bridging_dial_answers_with_the_group_keys(switch, app_client, answered_call):
    reply = await app_client.command(
        "dial", answered_call, {"targets": ["sip:bob@x"], "on_answer": "bridge", "ringback": False}
    )
    result = reply["result"]
    assert set(result) == {
        "channel",
        "targets",
        "strategy",
        "timeout",
        "on_answer",
        "group_id",
        "total_timeout",
        "ringback",
        "branches",
    }
    assert result["ringback"] is False and len(result["branches"]) == 1
    answered = await app_client.event("DialAnswered", answered_call)
    bridged = await app_client.event("ChannelBridged", answered_call)
    assert bridged["payload"]["with"] == answered["payload"]["channel"]


@pytest.mark.parametrize(("policy", "peer_state"), [("hangup", "ended"), ("hold", "answered")])
async def test_bridge_reports_on_both_channels_and_applies_the_peer_hangup_policy(
    switch, app_client, policy, peer_state
):
    for channel in ("ch-1", "ch-2"):
        await _offer(switch, app_client, channel)
        await app_client.command("answer", channel, {})
    reply = await app_client.command("bridge", "ch-1", {"with": "ch-2", "on_peer_hangup": policy})
    assert reply["result"]["state"] == "bridging"
    for channel, peer in (("ch-1", "ch-2"), ("ch-2", "ch-1")):
        assert (await app_client.event("ChannelBridged", channel))["payload"]["with"] == peer
    await app_client.command("hangup", "ch-1", {})
    unbridged = await app_client.event("ChannelUnbridged", "ch-2")
    assert unbridged["payload"] == {"with": "ch-1", "reason": "peer_hangup"}
    assert switch.channel("ch-2").state == peer_state


@pytest.mark.parametrize(
    ("callee", "verdict"),
    [(Callee.answers(after=0.01), "TransferCompleted"), (Callee.rejects(603, "Decline", after=0.01), "TransferFailed")],
)
async def test_refer_reports_progress_then_one_verdict(switch, app_client, answered_call, callee, verdict):
    switch.callees["sip:carol@x"] = callee
    await app_client.command("refer", answered_call, {"to": "sip:carol@x"})
    final = await app_client.event(verdict, answered_call)
    assert final["payload"]["refer_to"] == "sip:carol@x"
    progress = await app_client.event("TransferProgress", answered_call)
    assert progress["payload"]["stage"] == "trying"
    if verdict == "TransferCompleted":
        assert (await app_client.event("StasisEnd", answered_call))["payload"]["reason"] == "transferred"


async def test_inbound_refer_in_controller_mode_is_completed_by_the_application(switch, app_client, answered_call):
    await switch.channel(answered_call).send_refer("sip:dave@x")
    assert (await app_client.event("TransferRequested"))["payload"]["refer_to"] == "sip:dave@x"
    accepted = await app_client.command("accept_refer", answered_call, {"mode": "controller", "timeout": 90})
    assert accepted["result"]["timeout"] == 90
    assert (await app_client.command("complete_refer", answered_call, {"code": 200}))["status"] == "ok"


async def test_scripted_caller_presses_digits_then_hangs_up_and_media_ends_first(switch, app_client):
    await _offer(
        switch, app_client, "ch-1", caller=Caller(dtmf="4#", dtmf_after="answer", dtmf_delay=0.01, hangup_after=0.2)
    )
    await app_client.command("answer", "ch-1", {})
    recording = await app_client.command("record_start", "ch-1", {"direction": "both"})
    end = await app_client.event("StasisEnd", "ch-1")
    assert end["payload"] == {"reason": "caller_hangup"}
    digits = [f["payload"]["digit"] for f in app_client.events if f["event"] == "ChannelDtmfReceived"]
    assert digits == ["4", "#"]
    assert app_client.event_names("ch-1")[-3:] == ["RecordingFinished", "ChannelHangupRequest", "StasisEnd"]
    finished = await app_client.event("RecordingFinished", "ch-1")
    assert finished["payload"]["recording_id"] == recording["result"]["recording_id"]
    assert finished["payload"]["reason"] == "call_ended"
