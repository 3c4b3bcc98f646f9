"""The listening switch: upgrade, handshake, scripting and restarts."""

from __future__ import annotations

import asyncio
import json
import logging

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from fenwix_sim import NO_REPLY, default, error, ok, raw


@pytest.mark.parametrize(
    "authorization",
    [None, "Bearer wrong", "bearer tok", "Bearer  tok", "Bearer tok2", "Basic dG9rOg=="],
    ids=["missing", "wrong-token", "lower-case-scheme", "two-spaces", "longer-token", "basic"],
)
async def test_upgrade_without_the_exact_bearer_token_is_refused_with_401(switch, authorization):
    headers = {} if authorization is None else {"Authorization": authorization}
    with pytest.raises(InvalidStatus) as refused:
        await connect(switch.url, additional_headers=headers, subprotocols=["fenwix-control.v1"], proxy=None)
    assert refused.value.response.status_code == 401
    assert refused.value.response.body == b"unauthorized"
    assert switch.upgrades[-1].status == 401


async def test_upgrade_with_the_token_selects_the_subprotocol_and_records_the_request(switch, connect_app):
    client = await connect_app(switch.url.replace("/control/ws", "/other?x=1"))
    assert client.websocket.subprotocol == "fenwix-control.v1"
    upgrade = switch.upgrades[-1]
    assert (upgrade.status, upgrade.path, upgrade.subprotocol) == (101, "/other?x=1", "fenwix-control.v1")
    assert upgrade.header("authorization") == "Bearer tok"


@pytest.mark.parametrize("answered", [None, "fenwix-control.v2"])
async def test_scripted_subprotocol_answer_is_sent_whatever_was_asked(switch, connect_app, answered):
    switch.answer_subprotocol(answered)
    client = await connect_app(switch.url, subprotocols=["fenwix-control.v1", "fenwix-control.v2"])
    assert client.websocket.subprotocol == answered


async def test_refused_upgrades_answer_the_scripted_status_then_recover(switch, connect_app):
    switch.refuse_upgrades(status=503, body="maintenance", times=1)
    with pytest.raises(InvalidStatus) as refused:
        await connect_app(switch.url)
    assert (refused.value.response.status_code, refused.value.response.body) == (503, b"maintenance")
    await connect_app(switch.url)


async def test_hello_and_resync_describe_the_application_and_its_live_channels(switch, app_client):
    assert app_client.replies["c-1"][0] == {
        "id": "c-1",
        "type": "reply",
        "status": "ok",
        "result": {"app": "demo", "protocol": 1, "subprotocol": "fenwix-control.v1"},
    }
    await switch.offer_call("ch-1", vars={"lang": "en"})
    await switch.offer_call("ch-2")
    await app_client.command("hangup", "ch-2")
    resync = await app_client.command("resync", module=None)
    assert resync["result"]["channels"] == [
        {
            "channel": "ch-1",
            "call_id": "call-1",
            "sip_call_id": switch.channel("ch-1").sip_call_id,
            "state": "ringing",
            "vars": {"lang": "en"},
        }
    ]


@pytest.mark.parametrize(
    ("args", "code"),
    [({"app": "demo", "protocol": 2}, "unsupported_version"), ({"protocol": 1}, "bad_request"), (None, "bad_request")],
)
async def test_unusable_hello_is_refused(switch, connect_app, args, code):
    client = await connect_app(switch.url)
    reply = await client.reply(await client.send("hello", args=args))
    assert reply["status"] == "error" and reply["error"]["code"] == code


async def test_scripted_hello_answer_still_admits_the_application(switch, connect_app):
    switch.respond("hello", ok({"app": "renamed", "protocol": 1, "subprotocol": "fenwix-control.v1", "server": "x"}))
    client = await connect_app(switch.url)
    assert (await client.hello("demo"))["result"]["app"] == "renamed"
    await switch.offer_call("ch-1", app="demo", timeout=1)
    assert (await client.event("StasisStart"))["channel"] == "ch-1"


async def test_call_verbs_before_hello_are_refused(switch, connect_app):
    client = await connect_app(switch.url)
    reply = await client.command("answer", "ch-1", {})
    assert reply["error"]["code"] == "protocol_error"


async def test_verb_reply_comes_before_the_events_it_causes(switch, app_client):
    await switch.offer_call("ch-1")
    await app_client.event("StasisStart", "ch-1")
    await app_client.command("answer", "ch-1", {})
    reply = await app_client.command("play", "ch-1", {"file": "welcome"})
    assert reply["result"]["playback_id"] == "pb-1"
    finished = await app_client.event("PlayFinished", "ch-1")
    assert finished["payload"] == {"playback_id": "pb-1", "reason": "finished"}
    assert finished["app"] == "demo" and finished["call_id"] == "call-1"
    order = [json.loads(m).get("event") or json.loads(m)["id"] for m in app_client.raw[1:]]
    assert order == ["StasisStart", "c-2", "ChannelStateChange", "c-3", "PlayStarted", "PlayFinished"]


async def test_commands_are_recorded_and_awaitable_in_arrival_order(switch, app_client):
    await switch.offer_call("ch-1")
    await app_client.send("get_var", target={"channel": "ch-1"}, args={"key": "x"})
    await app_client.send("ring", module="sip", target={"channel": "ch-1"}, args={})
    ring = await switch.next_command("ring")
    get_var = await switch.next_command()
    assert (ring.verb, ring.module, ring.has_module) == ("ring", "sip", True)
    assert (get_var.verb, get_var.module, get_var.has_module, get_var.channel) == ("get_var", None, False, "ch-1")
    assert json.loads(get_var.raw)["args"] == {"key": "x"}
    hello = await switch.next_command("hello")
    assert hello.args == {"app": "demo", "protocol": 1}
    with pytest.raises(TimeoutError, match="received so far: hello, get_var, ring"):
        await switch.next_command(timeout=0.1)


@pytest.mark.parametrize(
    ("answer", "expected"),
    [
        (
            error("teapot", "short and stout"),
            [
                {
                    "id": "c-2",
                    "type": "reply",
                    "status": "error",
                    "error": {"code": "teapot", "message": "short and stout"},
                }
            ],
        ),
        (ok({"x": 1}, times=2), [{"id": "c-2", "type": "reply", "status": "ok", "result": {"x": 1}}] * 2),
        (raw({"id": 2, "type": "reply", "status": "OK"}), [{"id": 2, "type": "reply", "status": "OK"}]),
        (
            lambda command: {"echo": command.args},
            [{"id": "c-2", "type": "reply", "status": "ok", "result": {"echo": {"digits": "1"}}}],
        ),
    ],
    ids=["unknown-error-code", "duplicate", "unparseable", "function"],
)
async def test_scripted_replies_are_sent_exactly(switch, app_client, answer, expected):
    switch.respond("dtmf", answer)
    await app_client.send("dtmf", module="sip", target={"channel": "ch-9"}, args={"digits": "1"})
    frames = [json.loads(await asyncio.wait_for(app_client.websocket.recv(), 2)) for _ in expected]
    assert frames == expected


async def test_withheld_reply_never_comes_and_a_one_shot_responder_retires(switch, app_client):
    await switch.offer_call("ch-1")
    switch.respond("answer", NO_REPLY, times=1)
    withheld = await app_client.send("answer", module="sip", target={"channel": "ch-1"}, args={})
    answered = await app_client.command("answer", "ch-1", {})
    assert answered["result"]["state"] == "answered"
    assert withheld not in app_client.replies
    assert (await switch.next_command("answer")).replies == []


async def test_delayed_default_holds_the_events_back_until_the_reply(switch, app_client):
    async def slow(command):
        await asyncio.sleep(0.05)
        return default(delay=0.05)

    switch.respond("answer", slow)
    await switch.offer_call("ch-1")
    await app_client.event("StasisStart")
    command_id = await app_client.send("answer", module="sip", target={"channel": "ch-1"}, args={})
    await app_client.event("ChannelStateChange")
    assert command_id in app_client.replies


async def test_malformed_frames_are_survived_and_answered_where_an_id_can_be_read(switch, app_client, caplog):
    caplog.set_level(logging.WARNING, logger="fenwix_sim")
    for message in ["{not json", "[1,2]", json.dumps({"id": 7, "type": "command", "verb": "x"}), b"\x00\x01"]:
        await app_client.websocket.send(message)
    await app_client.websocket.send(json.dumps({"id": "c-50", "type": "reply", "verb": "answer"}))
    reply = await app_client.reply("c-50")
    assert reply["error"]["code"] == "protocol_error"
    assert [f.problem for f in switch.frames[1:]] == [
        "malformed JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)",
        "frame is a JSON list, not an object",
        'frame "id" must be a string, not 7',
        "binary frame",
        'frame "type" must be "command", not "reply"',
    ]
    assert len(caplog.records) == 5
    assert (await app_client.command("describe", module=None))["status"] == "ok"


async def test_pushed_events_with_and_without_a_channel(switch, app_client):
    await switch.push_app_event("RegistrationChanged", {"aor": "sip:bob@x", "state": "registered"})
    pushed = await switch.push_event("Custom", {"n": 1}, channel="ch-unknown", call_id=None)
    registration = await app_client.event("RegistrationChanged")
    assert "channel" not in registration and registration["app"] == "demo"
    assert (
        (await app_client.event("Custom"))
        == pushed
        == {"type": "event", "event": "Custom", "channel": "ch-unknown", "payload": {"n": 1}}
    )


@pytest.mark.parametrize("keep_channels", [True, False])
async def test_restart_on_the_same_port_keeps_or_forgets_the_calls(switch, connect_app, app_client, keep_channels):
    port = switch.port
    await switch.offer_call("ch-1")
    await switch.restart(keep_channels=keep_channels)
    with pytest.raises(ConnectionClosed):
        await app_client.reply(await app_client.send("resync"))
    assert switch.port == port
    client = await connect_app(switch.url)
    await client.hello()
    resync = await client.reply(await client.send("resync"))
    assert [c["channel"] for c in resync["result"]["channels"]] == (["ch-1"] if keep_channels else [])


async def test_dropping_the_tcp_connection_sends_no_close_frame(switch, app_client):
    await switch.disconnect(abort=True)
    await app_client.websocket.wait_closed()
    assert app_client.websocket.close_code == 1006
    assert switch.connections[0].closed
