"""A bare application client, written with plain websockets, to drive the simulator in tests."""

from __future__ import annotations

import asyncio
import json
from typing import Any

from websockets.asyncio.client import ClientConnection, connect


class AppClient:
    """Sends commands and sorts what comes back into replies and events."""

    def __init__(self, websocket: ClientConnection) -> None:
        self.websocket = websocket
        self.replies: dict[str, list[dict[str, Any]]] = {}
        self.events: list[dict[str, Any]] = []
        self.raw: list[str | bytes] = []
        self._numbers = 0

    @classmethod
    async def connect(cls, url: str, token: str = "tok", **options: Any) -> AppClient:
        options.setdefault("subprotocols", ["fenwix-control.v1"])
        websocket = await connect(url, additional_headers={"Authorization": f"Bearer {token}"}, proxy=None, **options)
        return cls(websocket)

    async def send(self, verb: str, *, module: str | None = None, target: Any = None, args: Any = None) -> str:
        """Send a command; a None module leaves the "module" member out."""
        self._numbers += 1
        command_id = f"c-{self._numbers}"
        frame: dict[str, Any] = {"id": command_id, "type": "command", "verb": verb, "target": target, "args": args}
        if module is not None:
            frame["module"] = module
        await self.websocket.send(json.dumps(frame))
        return command_id

    async def _read_one(self, timeout: float) -> None:
        message = await asyncio.wait_for(self.websocket.recv(), timeout)
        self.raw.append(message)
        frame = json.loads(message)
        if frame.get("type") == "reply" and isinstance(frame.get("id"), str):
            self.replies.setdefault(frame["id"], []).append(frame)
        else:
            self.events.append(frame)

    async def reply(self, command_id: str, timeout: float = 2.0) -> dict[str, Any]:
        while command_id not in self.replies:
            await self._read_one(timeout)
        return self.replies[command_id][0]

    async def event(self, name: str, channel: str | None = None, timeout: float = 2.0) -> dict[str, Any]:
        """The first event with this name (and channel) received so far or next."""
        seen = 0
        while True:
            for frame in self.events[seen:]:
                if frame.get("event") == name and (channel is None or frame.get("channel") == channel):
                    return frame
            seen = len(self.events)
            await self._read_one(timeout)

    def event_names(self, channel: str | None = None) -> list[str]:
        return [f["event"] for f in self.events if channel is None or f.get("channel") == channel]

    async def command(
        self, verb: str, channel: str | None = None, args: Any = None, *, module: str | None = "sip"
    ) -> dict[str, Any]:
        target = {"channel": channel} if channel is not None else None
        return await self.reply(await self.send(verb, module=module, target=target, args=args))

    async def hello(self, app: str = "demo", protocol: int = 1) -> dict[str, Any]:
        return await self.reply(await self.send("hello", args={"app": app, "protocol": protocol}))

    async def close(self) -> None:
        await self.websocket.close()
