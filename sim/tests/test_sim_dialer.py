"""The dialling switch: one connection per call into an application's per-call server."""

from __future__ import annotations

import asyncio
import json
from typing import Any

import pytest
from websockets.asyncio.server import serve
from websockets.http11 import Response

from fenwix_sim import Caller, UpgradeRefused


class PerCallServer:
    """A bare per-call server: checks the bearer token, names the subprotocol in every 101."""

    def __init__(self) -> None:
        self.accepted: asyncio.Queue[Any] = asyncio.Queue()
        self.requests: list[Any] = []
        self.url = ""

    def check(self, connection: Any, request: Any) -> Response | None:
        self.requests.append(request)
        if request.headers.get("Authorization") != "Bearer tok":
            return connection.respond(401, "unauthorized")
        return None

    def name_subprotocol(self, connection: Any, request: Any, response: Response) -> None:
        if response.status_code == 101:
            response.headers["Sec-WebSocket-Protocol"] = "fenwix-control.v1"

    async def handle(self, websocket: Any) -> None:
        await self.accepted.put(websocket)
        await websocket.wait_closed()

    async def next_call(self) -> Any:
        return await asyncio.wait_for(self.accepted.get(), 2)


@pytest.fixture
async def per_call_server():
    server = PerCallServer()
    async with serve(
        server.handle, "127.0.0.1", 0, process_request=server.check, process_response=server.name_subprotocol
    ) as listener:
        server.url = f"ws://127.0.0.1:{listener.sockets[0].getsockname()[1]}/"
        yield server


async def receive(websocket: Any) -> dict[str, Any]:
    return json.loads(await asyncio.wait_for(websocket.recv(), 2))


async def command(websocket: Any, command_id: str, verb: str, channel: str, args: Any = None) -> dict[str, Any]:
    await websocket.send(
        json.dumps(
            {
                "id": command_id,
                "type": "command",
                "module": "sip",
                "verb": verb,
                "target": {"channel": channel},
                "args": args or {},
            }
        )
    )
    while (frame := await receive(websocket)).get("id") != command_id:
        pass
    return frame


async def test_each_call_opens_its_own_connection_starting_with_stasis_start(dialer_factory, per_call_server):
    dialer = dialer_factory(per_call_server.url, app="ivr")
    first = await dialer.dial("ch-1")
    second = await dialer.dial("ch-2")
    for channel in (first, second):
        websocket = await per_call_server.next_call()
        start = await receive(websocket)
        assert (start["event"], start["channel"], start["app"]) == ("StasisStart", channel.id, "ivr")
        assert channel.upgrade.status == 101 and channel.upgrade.subprotocol == "fenwix-control.v1"
    request = per_call_server.requests[0]
    assert request.headers["Authorization"] == "Bearer tok"
    assert request.headers["Sec-WebSocket-Protocol"] == "fenwix-control.v1"


async def test_verbs_are_answered_and_events_sent_on_the_call_connection(dialer_factory, per_call_server):
    dialer = dialer_factory(per_call_server.url)
    call = await dialer.dial("ch-1", caller=Caller(dtmf="7", dtmf_delay=0.01))
    websocket = await per_call_server.next_call()
    await receive(websocket)
    reply = await command(websocket, "c-1", "answer", "ch-1")
    assert reply["status"] == "ok" and reply["result"]["state"] == "answered"
    assert (await receive(websocket))["event"] == "ChannelStateChange"
    assert (await receive(websocket))["payload"]["digit"] == "7"
    assert (await dialer.next_command("answer", channel="ch-1")).connection is call.connection
    await command(websocket, "c-2", "hangup", "ch-1")
    assert [(await receive(websocket))["event"] for _ in range(2)] == ["ChannelHangupRequest", "StasisEnd"]
    await asyncio.wait_for(websocket.wait_closed(), 2)
    assert websocket.close_code == 1000


async def test_hello_is_refused_on_a_per_call_connection(dialer_factory, per_call_server):
    dialer = dialer_factory(per_call_server.url)
    await dialer.dial("ch-1")
    websocket = await per_call_server.next_call()
    await receive(websocket)
    await websocket.send(
        json.dumps(
            {"id": "c-1", "type": "command", "verb": "hello", "target": None, "args": {"app": "x", "protocol": 1}}
        )
    )
    assert (await receive(websocket))["error"]["code"] == "unsupported_verb"


@pytest.mark.parametrize(("token", "authorization"), [("wrong", ...), ("tok", None)], ids=["wrong-token", "no-header"])
async def test_refused_upgrade_is_reported_with_status_and_body(dialer_factory, per_call_server, token, authorization):
    dialer = dialer_factory(per_call_server.url, token=token)
    options = {} if authorization is ... else {"authorization": authorization}
    with pytest.raises(UpgradeRefused) as refused:
        await dialer.dial("ch-1", **options)
    assert (refused.value.response.status, refused.value.response.text) == (401, "unauthorized")
    assert "ch-1" not in dialer.channels


async def test_answer_names_the_subprotocol_even_when_none_was_requested(dialer_factory, per_call_server):
    dialer = dialer_factory(per_call_server.url, subprotocols=None)
    answer = await dialer.try_upgrade()
    assert answer.status == 101 and answer.subprotocol == "fenwix-control.v1"
    assert "Sec-WebSocket-Protocol" not in per_call_server.requests[-1].headers


async def test_raw_connection_sends_only_what_the_test_scripts(dialer_factory, per_call_server):
    dialer = dialer_factory(per_call_server.url)
    connection = await dialer.connect()
    websocket = await per_call_server.next_call()
    await connection.send("not json")
    await connection.send(b"\x01\x02")
    assert await asyncio.wait_for(websocket.recv(), 2) == "not json"
    assert await asyncio.wait_for(websocket.recv(), 2) == b"\x01\x02"
    await connection.close(4000, "scripted")
    await asyncio.wait_for(websocket.wait_closed(), 2)
    assert (websocket.close_code, websocket.close_reason) == (4000, "scripted")
