"""Helpers for the tables of Call verbs and of ControlClient.originate.

Each table row is a call on a live `Call` (or client) against the simulated
switch, and either the exact `args` the switch received or the exact
exception raised by the method call, with nothing sent.

The `leg` fixture gives a `Leg`: a `ControlClient` connected to the test's
switch, one inbound call handed to its handler, and a responder that answers
every verb of that call with `{}`, so that the call's simulated state never
decides a row. Rows that shape a result script their own reply, which wins
over that responder."""

import asyncio
import inspect
import json

import pytest
import pytest_asyncio

import fenwix_control
from fenwix_sim import ok, raw
from fenwix_sim.replies import Reply

APP = "verbs"
CHANNEL = "ch-1"

_ARGS = ',"args":'


def wire(value):
    """The compact JSON text with sorted keys, as the switch must receive it."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def raw_args(command):
    """The `args` member of a command frame exactly as it was written.

    "args" is the last member of every command frame."""
    start = command.raw.index(_ARGS) + len(_ARGS)
    assert command.raw.endswith("}")
    return command.raw[start:-1]


def no_result(command):
    """A reply to `command` that carries no "result" member at all."""
    return raw({"id": command.id, "type": "reply", "status": "ok"})


class Leg:
    def __init__(self, switch, client, call):
        self.switch = switch
        self.client = client
        self.call = call

    async def sent(self, verb):
        """The next command of the call, which must be `verb`, checked for the
        module and target every verb carries."""
        command = await self.switch.next_command(channel=CHANNEL)
        assert command.verb == verb
        assert (command.module, command.target) == ("sip", {"channel": CHANNEL})
        return command

    async def expect_args(self, verb, expected):
        command = await self.sent(verb)
        assert command.args == expected
        assert raw_args(command) == wire(expected)
        return command

    def reply(self, verb, result):
        """Answer the next `verb` with `result`: a JSON value, an outcome
        (`error(...)`, ...) or a function of the command giving one."""
        if not (callable(result) or isinstance(result, Reply)):
            result = ok(result)
        self.switch.respond(verb, result, times=1)

    async def nothing_sent(self):
        """Checks that the call has sent nothing since the last command taken:
        a probe sent now must be the next command the switch sees."""
        await self.call.get_var("probe")
        command = await self.switch.next_command(channel=CHANNEL)
        assert (command.verb, command.args) == ("get_var", {"key": "probe"})


async def connected_client(switch, app=APP):
    """A ControlClient whose run() is going and whose handlers are installed,
    with the queue its call handler fills."""
    client = fenwix_control.ControlClient(app, "tok", url=switch.url, reply_timeout_ms=2000,
                                          reconnect_backoff_ms=20)
    calls = asyncio.Queue()

    @client.on_call
    async def handle(call):
        calls.put_nowait(call)

    running = asyncio.ensure_future(client.run())
    await switch.wait_for_app(app)
    # run() keeps the connection slot until its handlers are installed, so
    # this resolves only once a call offered now reaches the handler.
    await client.connect()
    return client, calls, running


async def close_client(client, running):
    client.close()
    await asyncio.wait_for(asyncio.gather(running, return_exceptions=True), 5)


@pytest_asyncio.fixture
async def leg(switch):
    client, calls, running = await connected_client(switch)
    await switch.offer_call(CHANNEL)
    call = await asyncio.wait_for(calls.get(), 5)
    switch.respond("*", {}, channel=CHANNEL)
    yield Leg(switch, client, call)
    await close_client(client, running)


def assert_raises(invoke, exception, message):
    """`invoke()` raises `exception` at once, with exactly `message` (or, for
    a tuple, a message containing each fragment)."""
    with pytest.raises(exception) as info:
        invoke()
    text = str(info.value)
    if isinstance(message, tuple):
        for fragment in message:
            assert fragment in text
    else:
        assert text == message


async def assert_refused(leg, invoke, exception, message):
    """`invoke(call)` raises `exception` from the call itself, as
    `assert_raises` checks it, and sends nothing."""
    assert_raises(lambda: invoke(leg.call), exception, message)
    await leg.nothing_sent()


def signature_rows(signatures):
    """(name, text signature) rows from "name($self, ...)" lines."""
    rows = []
    for line in signatures:
        name, _, rest = line.partition("(")
        rows.append(pytest.param(name, "(" + rest, id=name))
    return rows


def check_signature(cls, name, text):
    """The method's docstring starts with `name` + `text`, a line "--" and an
    empty line, so CPython derives its signature from it."""
    method = getattr(cls, name)
    assert method.__text_signature__ == text
    signature = inspect.signature(method)
    assert next(iter(signature.parameters)) == "self"
    return signature
