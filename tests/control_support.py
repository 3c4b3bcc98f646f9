"""Helpers shared by the tests of ControlClient, ControlServer, Call and the
handler bridges. Test modules import the fixtures they use from here."""

import asyncio
import os
import subprocess
import sys
import textwrap
import threading

import pytest
import pytest_asyncio

import fenwix_control

APP = "app"


@pytest.fixture(scope="session")
def child_env(tmp_path_factory):
    """The environment for child interpreters: the same module path, and
    compiled modules cached (in a directory of the test run's own) so that
    a child after the first starts quickly."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = str(tmp_path_factory.mktemp("pycache"))
    return env


def run_python(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter with the same module path."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env if env is not None else dict(os.environ),
    )


async def eventually(predicate, timeout=5.0):
    """Waits until `predicate()` is true, for effects that no event announces
    (work done on the module's own threads)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        if loop.time() > deadline:
            raise AssertionError("condition not reached")
        await asyncio.sleep(0.005)


class Printed:
    """What reached sys.excepthook, and on which thread."""

    def __init__(self):
        self.exceptions = []
        self.threads = []
        self._lock = threading.Lock()

    def hook(self, exc_type, exc, tb):
        with self._lock:
            self.exceptions.append(exc)
            self.threads.append(threading.get_ident())

    async def wait(self, count=1):
        await eventually(lambda: len(self.exceptions) >= count)
        return self.exceptions


@pytest.fixture
def printed(monkeypatch):
    """Captures what the module prints as unhandled exceptions."""
    capture = Printed()
    monkeypatch.setattr(sys, "excepthook", capture.hook)
    return capture


@pytest_asyncio.fixture
async def make_client(switch):
    """`make_client(**options)`: a ControlClient for the test's switch, closed
    when the test ends."""
    made = []

    def make(app=APP, token="tok", **options):
        options.setdefault("url", switch.url)
        options.setdefault("reply_timeout_ms", 2000)
        options.setdefault("reconnect_backoff_ms", 20)
        client = fenwix_control.ControlClient(app, token, **options)
        made.append(client)
        return client

    yield make
    for client in made:
        client.close()


async def start_run(client, switch, app=APP):
    """Starts `client.run()` on a client that is not connected yet, and
    returns its future once run() has connected and installed its handlers.

    run() holds the connection slot until its handlers are installed, so a
    connect() issued once the switch has answered run()'s hello resolves
    only after that."""
    running = asyncio.ensure_future(client.run())
    await switch.wait_for_app(app)
    await client.connect()
    return running


class Calls:
    """Collects the calls a handler receives, awaitable one by one."""

    def __init__(self):
        self.calls = []
        self.threads = []
        self._queue = asyncio.Queue()
        self._loop = asyncio.get_running_loop()

    def receive(self, call):
        """Records a call; callable from any thread."""
        self.calls.append(call)
        self.threads.append(threading.get_ident())
        self._loop.call_soon_threadsafe(self._queue.put_nowait, call)

    async def next(self, timeout=5.0):
        return await asyncio.wait_for(self._queue.get(), timeout)


class Session:
    """A running client whose async call handler collects the calls;
    `running` is its run() future."""

    def __init__(self, switch, client, calls, running):
        self.switch = switch
        self.client = client
        self.calls = calls
        self.running = running

    async def offer(self, channel="ch-1", **options):
        """Offers a call and returns the Call the handler received."""
        await self.switch.offer_call(channel, **options)
        return await self.calls.next()


@pytest_asyncio.fixture
async def session(switch, make_client):
    client = make_client()
    calls = Calls()

    @client.on_call
    async def handle(call):
        calls.receive(call)

    running = await start_run(client, switch)
    yield Session(switch, client, calls, running)
    client.shutdown()
    await running
