"""The command line, run as a subprocess the way demos and fault tests run it."""

from __future__ import annotations

import asyncio
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from sim_appclient import AppClient

from fenwix_sim.cli import main

COMMAND = [sys.executable, "-m", "fenwix_sim"]


def test_help_runs_as_a_module_and_describes_the_options():
    shown = subprocess.run([*COMMAND, "listen", "--help"], capture_output=True, text=True, timeout=30)
    assert shown.returncode == 0
    for option in ("--listen HOST:PORT", "--port-file", "--state-file", "--calls", "--dtmf", "--hangup-after"):
        assert option in shown.stdout


@pytest.mark.parametrize(
    ("arguments", "complaint"),
    [
        (["listen", "--listen", "nowhere"], "expected HOST:PORT"),
        (["dial"], "URL"),
        (["listen", "--calls", "-1"], "expected a whole number"),
    ],
)
def test_bad_arguments_are_usage_errors(capsys, arguments, complaint):
    with pytest.raises(SystemExit) as exited:
        main(arguments)
    assert exited.value.code == 2
    assert complaint in capsys.readouterr().err


async def start_listener(tmp_path: Path, *arguments: str, port: int = 0) -> tuple[asyncio.subprocess.Process, int]:
    port_file = tmp_path / "port"
    port_file.unlink(missing_ok=True)
    process = await asyncio.create_subprocess_exec(
        *COMMAND,
        "listen",
        "--listen",
        f"127.0.0.1:{port}",
        "--port-file",
        str(port_file),
        *arguments,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE,
    )
    async with asyncio.timeout(20):
        while not port_file.exists():
            if process.returncode is not None:
                raise AssertionError(f"the simulator exited early: {(await process.stderr.read()).decode()}")
            await asyncio.sleep(0.05)
    return process, int(port_file.read_text())


async def test_listen_offers_a_scripted_call_and_exits_when_it_has_ended(tmp_path):
    process, port = await start_listener(
        tmp_path,
        "--token",
        "secret",
        "--calls",
        "1",
        "--first-call-after",
        "0",
        "--dtmf",
        "5",
        "--hangup-after",
        "0.2",
        "--exit-after-calls",
    )
    client = await AppClient.connect(f"ws://127.0.0.1:{port}/control/ws", "secret")
    await client.hello("ivr")
    start = await client.event("StasisStart", timeout=5)
    await client.command("answer", start["channel"], {})
    assert (await client.event("ChannelDtmfReceived"))["payload"]["digit"] == "5"
    assert (await client.event("StasisEnd"))["payload"]["reason"] == "caller_hangup"
    stdout, _ = await asyncio.wait_for(process.communicate(), 10)
    await client.close()
    transcript = stdout.decode()
    assert process.returncode == 0
    assert f"listening on ws://127.0.0.1:{port}/control/ws" in transcript
    assert "ch-1       <- c-2 sip.answer {} -> ok" in transcript
    assert "ch-1       => ChannelDtmfReceived" in transcript


async def test_channels_in_the_state_file_survive_a_killed_simulator(tmp_path):
    state = str(tmp_path / "channels.json")
    process, port = await start_listener(
        tmp_path, "--state-file", state, "--calls", "1", "--first-call-after", "0", "--quiet"
    )
    url = f"ws://127.0.0.1:{port}/control/ws"
    try:
        client = await AppClient.connect(url)
        await client.hello()
        start = await client.event("StasisStart", timeout=5)
        await client.command("set_var", start["channel"], {"key": "step", "value": "menu"}, module=None)
        await client.command("answer", start["channel"], {})
    finally:
        process.send_signal(signal.SIGKILL)
        await process.wait()
    await client.websocket.wait_closed()
    process, _ = await start_listener(tmp_path, "--state-file", state, "--quiet", port=port)
    try:
        client = await AppClient.connect(url)
        await client.hello()
        resync = await client.reply(await client.send("resync"))
        [channel] = resync["result"]["channels"]
        assert (channel["channel"], channel["state"], channel["vars"]) == (
            start["channel"],
            "answered",
            {"step": "menu"},
        )
        await client.close()
    finally:
        process.send_signal(signal.SIGTERM)
        assert await asyncio.wait_for(process.wait(), 10) == 0
