"""Fixtures of the simulator's own tests."""

from __future__ import annotations

from typing import Any

import pytest_asyncio
from sim_appclient import AppClient


@pytest_asyncio.fixture
async def connect_app():
    """``await connect_app(url, token="tok", **websockets_options)`` gives a connected AppClient."""
    clients: list[AppClient] = []

    async def open_client(url: str, token: str = "tok", **options: Any) -> AppClient:
        client = await AppClient.connect(url, token, **options)
        clients.append(client)
        return client

    yield open_client
    for client in clients:
        await client.close()


@pytest_asyncio.fixture
async def app_client(switch, connect_app):
    """An application connected to the ``switch`` fixture that has said hello as "demo"."""
    client = await connect_app(switch.url)
    await client.hello()
    return client
