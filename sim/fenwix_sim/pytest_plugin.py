"""pytest fixtures that give each test a fresh simulator.

The plugin is registered through the ``pytest11`` entry point, so installing
fenwix-sim is enough; the fixtures are async and need pytest-asyncio.

Fixtures:

``switch``
    A started ``Switch`` on an ephemeral 127.0.0.1 port, token "tok",
    accepting any application name.  Point the application at
    ``switch.url``.
``switch_factory``
    ``await switch_factory(**options)`` starts another ``Switch`` with the
    given constructor options (token "tok" and port 0 unless given).
``dialer_factory``
    ``dialer_factory(url, **options)`` makes a ``Dialer`` towards an
    application's per-call server (token "tok" unless given).

Everything a fixture created is closed when the test ends: connections,
timers and tasks.

Example::

    from fenwix_sim import error

    async def test_answer_refused(switch):
        switch.respond("answer", error("invalid_state", "already answered"))
        app = await start_my_application(url=switch.url, token="tok")
        await switch.offer_call("ch-1")
        command = await switch.next_command("answer", timeout=5)
        assert command.target == {"channel": "ch-1"}
        assert command.reply["error"]["code"] == "invalid_state"

    async def test_per_call_upgrade(dialer_factory, my_server_url):
        dialer = dialer_factory(my_server_url)
        call = await dialer.dial("ch-1")
        assert call.upgrade.subprotocol == "fenwix-control.v1"
        await dialer.next_command("answer", channel="ch-1")
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import pytest

from .dialer import Dialer
from .switch import Switch

try:
    import pytest_asyncio
except ImportError:  # pragma: no cover - the fixtures explain themselves instead
    pytest_asyncio = None


if pytest_asyncio is not None:

    @pytest_asyncio.fixture
    async def switch_factory() -> AsyncIterator[Callable[..., Awaitable[Switch]]]:
        started: list[Switch] = []

        async def start(**options: Any) -> Switch:
            options.setdefault("token", "tok")
            switch = Switch(**options)
            started.append(switch)
            await switch.start()
            return switch

        yield start
        for switch in reversed(started):
            await switch.close()

    @pytest_asyncio.fixture
    async def switch(switch_factory: Callable[..., Awaitable[Switch]]) -> Switch:
        return await switch_factory()

    @pytest_asyncio.fixture
    async def dialer_factory() -> AsyncIterator[Callable[..., Dialer]]:
        made: list[Dialer] = []

        def make(url: str, **options: Any) -> Dialer:
            options.setdefault("token", "tok")
            dialer = Dialer(url, **options)
            made.append(dialer)
            return dialer

        yield make
        for dialer in reversed(made):
            await dialer.close()

else:  # pragma: no cover

    def _needs_pytest_asyncio() -> None:
        pytest.fail("the fenwix_sim fixtures are async and need pytest-asyncio (pip install pytest-asyncio)")

    @pytest.fixture
    def switch_factory() -> None:
        _needs_pytest_asyncio()

    @pytest.fixture
    def switch() -> None:
        _needs_pytest_asyncio()

    @pytest.fixture
    def dialer_factory() -> None:
        _needs_pytest_asyncio()
