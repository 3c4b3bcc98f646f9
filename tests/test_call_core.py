"""The Call class's core: identity attributes, repr, next_event() and its
cancellation, command(), the variable and header verbs, and the frames they
put on the wire."""

import asyncio
import inspect

import pytest

from fenwix_control import Call, ControlError
from fenwix_sim import NO_REPLY, error, raw

from control_support import make_client, session  # noqa: F401

# ---------------------------------------------------------------------------
# Identity


async def test_attributes(session):
    call = await session.offer("ch-1", call_id="k-1", sip_call_id="s-1")
    assert call.channel_id == "ch-1"
    assert call.call_id == "k-1"
    assert call.sip_call_id == "s-1"
    assert call.app == "app"
    assert call.is_reattached is False
    assert call.payload["caller"] is not None
    attributes = [name for name, value in vars(Call).items() if inspect.isgetsetdescriptor(value)]
    assert attributes == ["channel_id", "call_id", "sip_call_id", "app", "is_reattached", "payload"]
    for name in attributes:
        with pytest.raises(AttributeError):
            setattr(call, name, None)
        with pytest.raises(AttributeError):
            delattr(call, name)


async def test_payload_is_converted_afresh_on_every_read(session):
    await session.switch.push_event("StasisStart", {"b": [1, {"c": None}], "a": 2.5}, channel="ch-1")
    call = await session.calls.next()
    first = call.payload
    assert first == {"a": 2.5, "b": [1, {"c": None}]}
    assert list(first) == ["a", "b"]
    assert call.payload is not first
    first["b"].append("mutated")
    assert call.payload == {"a": 2.5, "b": [1, {"c": None}]}
    # Members the frame lacks are absent, not empty.
    assert (call.call_id, call.sip_call_id, call.app) == (None, None, None)


@pytest.mark.parametrize(
    "channel, sip_call_id, text",
    [
        ("c-1", None, 'Call(channel_id="c-1", sip_call_id=None, reattached=false)'),
        ("c-7", "x1", 'Call(channel_id="c-7", sip_call_id=Some("x1"), reattached=false)'),
        ('a"b\\c', "it's", 'Call(channel_id="a\\"b\\\\c", sip_call_id=Some("it\'s"), reattached=false)'),
        ("t\tr\rn\nz\0", None, 'Call(channel_id="t\\tr\\rn\\nz\\0", sip_call_id=None, reattached=false)'),
        ("\x01\x1f\x7f", None, 'Call(channel_id="\\u{1}\\u{1f}\\u{7f}", sip_call_id=None, reattached=false)'),
        ("é\u0301ü", None, 'Call(channel_id="é\\u{301}ü", sip_call_id=None, reattached=false)'),
    ],
)
async def test_repr(session, channel, sip_call_id, text):
    members = {} if sip_call_id is None else {"sip_call_id": sip_call_id}
    await session.switch.push_event("StasisStart", {}, channel=channel, **members)
    call = await session.calls.next()
    assert repr(call) == text


async def test_repr_of_a_reattached_call(session):
    call = await session.offer("ch-1", sip_call_id="s-1")
    await session.switch.restart(keep_channels=True)
    again = await session.calls.next()
    assert repr(again) == 'Call(channel_id="ch-1", sip_call_id=Some("s-1"), reattached=true)'
    assert repr(call).endswith("reattached=false)")


# ---------------------------------------------------------------------------
# next_event()


async def push(session, kind, payload, channel="ch-1"):
    await session.switch.push_event(kind, payload, channel=channel)


async def settled(call):
    """Returns once everything the switch sent before now has reached the
    call's stream: a reply on the same connection comes after it."""
    await call.get_var("sync")


async def test_next_event_order_and_end(session):
    call = await session.offer()
    await push(session, "ChannelStateChange", {"n": 1})
    await push(session, "NotAKindWeKnow", {"n": 2})
    await push(session, "StasisEnd", {"reason": "hangup"})
    first = await call.next_event()
    assert first == {"kind": "ChannelStateChange", "payload": {"n": 1}}
    assert list(first) == ["kind", "payload"]
    assert await call.next_event() == {"kind": "NotAKindWeKnow", "payload": {"n": 2}}
    assert await call.next_event() == {"kind": "StasisEnd", "payload": {"reason": "hangup"}}
    assert await call.next_event() is None
    assert await call.next_event() is None


async def test_concurrent_waiters_are_served_in_order(session):
    call = await session.offer()
    first, second = call.next_event(), call.next_event()
    await push(session, "ChannelStateChange", {"n": 1})
    done, pending = await asyncio.wait({first, second}, return_when=asyncio.FIRST_COMPLETED)
    assert done == {first} and pending == {second}
    assert first.result()["payload"] == {"n": 1}
    await push(session, "ChannelStateChange", {"n": 2})
    assert (await second)["payload"] == {"n": 2}


async def test_a_waiter_cancelled_before_any_event_loses_nothing(session):
    call = await session.offer()
    waiting = call.next_event()
    waiting.cancel()
    await push(session, "ChannelStateChange", {"n": 1})
    assert (await call.next_event())["payload"] == {"n": 1}


async def test_an_event_already_queued_is_handed_over_at_once(session):
    call = await session.offer()
    await push(session, "ChannelStateChange", {"n": 1})
    await push(session, "ChannelStateChange", {"n": 2})
    await settled(call)
    # The event is there: the future is done before the caller awaits it, so
    # a late cancellation neither takes the event away nor loses it.
    granted = call.next_event()
    assert granted.done()
    assert not granted.cancel()
    assert (await granted)["payload"] == {"n": 1}
    assert (await call.next_event())["payload"] == {"n": 2}


async def test_cancellation_under_load_loses_and_reorders_nothing(session):
    call = await session.offer()
    count = 60

    async def feed():
        for n in range(count):
            await push(session, "ChannelStateChange", {"n": n})
        await push(session, "StasisEnd", {})

    feeding = asyncio.ensure_future(feed())
    received = []
    attempt = 0
    while True:
        attempt += 1
        future = call.next_event()
        if attempt % 3 == 0:
            future.cancel()
        elif attempt % 3 == 1:
            await asyncio.sleep(0)
            future.cancel()
        if future.cancelled():
            continue
        # Either never cancelled, or done before the cancellation came.
        event = await future
        if event is None:
            break
        received.append(event)
    await feeding
    assert [e["payload"].get("n") for e in received] == list(range(count)) + [None]
    assert received[-1]["kind"] == "StasisEnd"


async def test_next_event_survives_its_call_object(session):
    call = await session.offer()
    waiting = call.next_event()
    del call
    await push(session, "ChannelStateChange", {"n": 1})
    assert (await waiting)["payload"] == {"n": 1}


# ---------------------------------------------------------------------------
# command(), variables and headers


@pytest.mark.parametrize(
    "send, module, verb, args",
    [
        (lambda c: c.command("hold"), "sip", "hold", "null"),
        (lambda c: c.command("hold", None), "sip", "hold", "null"),
        (lambda c: c.command("play", {"file": "x", "a": (1, 2)}), "sip", "play", '{"a":[1,2],"file":"x"}'),
        (lambda c: c.command(verb="Odd Verb", args={}), "sip", "Odd Verb", "{}"),
        (lambda c: c.get_var("x"), None, "get_var", '{"key":"x"}'),
        (lambda c: c.set_var("k", ""), None, "set_var", '{"key":"k","value":""}'),
        (lambda c: c.get_header("X-A"), "sip", "get_header", '{"name":"X-A"}'),
        (lambda c: c.set_header(name="X-A", value="1"), "sip", "set_header", '{"name":"X-A","value":"1"}'),
        (lambda c: c.remove_header(""), "sip", "remove_header", '{"name":""}'),
    ],
)
async def test_frames(session, send, module, verb, args):
    call = await session.offer()
    await asyncio.gather(send(call), return_exceptions=True)
    command = await session.switch.next_command(verb)
    prefix = f'{{"id":"{command.id}","type":"command",'
    if module is not None:
        prefix += f'"module":"{module}",'
    assert command.raw == prefix + f'"verb":"{verb}","target":{{"channel":"ch-1"}},"args":{args}}}'


@pytest.mark.parametrize(
    "answer, expected",
    [
        ({"value": "5"}, "5"),
        ({"value": 5}, None),
        ({"value": None}, None),
        ({"other": "x"}, None),
        ("5", None),
        ("no result", None),
    ],
)
@pytest.mark.parametrize("verb", ["get_var", "get_header"])
async def test_string_results(session, verb, answer, expected):
    call = await session.offer()
    if answer == "no result":
        session.switch.respond(verb, lambda c: raw({"id": c.id, "type": "reply", "status": "ok"}))
    else:
        session.switch.respond(verb, answer)
    assert await getattr(call, verb)("x") == expected


async def test_results_of_the_other_verbs(session):
    call = await session.offer()
    session.switch.respond("custom", {"b": [True, 1.5], "a": None})
    result = await call.command("custom", {"q": 1})
    assert result == {"a": None, "b": [True, 1.5]} and list(result) == ["a", "b"]
    assert await call.set_var("k", "v") is None
    assert await call.get_var("k") == "v"
    assert await call.set_header("X-A", "1") is None
    assert await call.get_header("x-a") == "1"
    assert await call.remove_header("X-A") is None
    assert await call.get_header("X-A") is None


async def test_refusals_and_time_outs(session):
    call = await session.offer()
    session.switch.respond("set_var", error("not_found", "gone"))
    with pytest.raises(ControlError) as info:
        await call.set_var("k", "v")
    assert (str(info.value), info.value.code) == ("control command rejected (NotFound): gone", "not_found")


@pytest.mark.parametrize(
    "send, exception, fragment",
    [
        (lambda c: c.get_var(1), TypeError, "get_var() argument 'key' must be str, not int"),
        (lambda c: c.set_var("k"), TypeError, "set_var() missing required argument 'value'"),
        (lambda c: c.get_header(name=None), TypeError, "argument 'name' must be str, not None"),
        (lambda c: c.command(), TypeError, "command() missing required argument 'verb'"),
        (lambda c: c.command("x", {"n": float("inf")}), ValueError, ""),
        (lambda c: c.command("x", args={1j}), TypeError, ""),
        (lambda c: c.next_event(1), TypeError, ""),
    ],
)
async def test_bad_arguments_raise_from_the_call(session, send, exception, fragment):
    call = await session.offer()
    with pytest.raises(exception) as info:
        send(call)
    assert fragment in str(info.value)
    await call.set_var("after", "1")
    assert [c.verb for c in session.switch.commands if not c.is_handshake] == ["set_var"]


async def test_a_verb_needs_a_loop_but_not_an_await(session):
    call = await session.offer()
    with pytest.raises(RuntimeError, match="no running event loop"):
        await asyncio.to_thread(call.get_var, "x")
    with pytest.raises(RuntimeError, match="no running event loop"):
        await asyncio.to_thread(call.next_event)
    call.set_var("never", "awaited")
    command = await session.switch.next_command("set_var")
    assert command.args == {"key": "never", "value": "awaited"}


async def test_a_cancelled_verb_still_goes_out_and_its_reply_is_dropped(session):
    call = await session.offer()
    session.switch.respond("get_var", NO_REPLY, times=1)
    pending = call.get_var("x")
    await session.switch.next_command("get_var")
    pending.cancel()
    assert await call.get_var("x") is None


# ---------------------------------------------------------------------------
# Signatures

CORE = [
    ("set_header", "($self, name, value)"),
    ("get_header", "($self, name)"),
    ("remove_header", "($self, name)"),
    ("set_var", "($self, key, value)"),
    ("get_var", "($self, key)"),
    ("command", "($self, verb, args=None)"),
    ("next_event", "($self)"),
]


@pytest.mark.parametrize("name, signature", CORE)
def test_text_signatures(name, signature):
    method = getattr(Call, name)
    assert method.__text_signature__ == signature
    assert str(inspect.signature(method)) == signature.replace("$self", "self, /")
    assert method.__doc__.strip()


def test_methods_come_in_their_declared_order():
    declared = [
        "answer", "answer_with", "answer_anchored", "ring", "progress", "reject", "hangup", "drop",
        "cancel_dial", "refer", "transfer", "accept_refer", "reject_refer", "complete_refer",
        "bridge", "unbridge", "replace_peer", "route", "set_header", "get_header", "remove_header",
        "set_var", "get_var", "play", "play_file", "stop", "dtmf", "hold", "unhold", "stream_start",
        "stream_stop", "command", "next_event", "dial", "record_start", "record_stop",
    ]
    methods = [name for name, value in vars(Call).items() if inspect.ismethoddescriptor(value)
               and not name.startswith("__")]
    assert methods == [name for name in declared if name in methods]
    assert set(name for name, _ in CORE) <= set(methods)
    assert Call.next_event.__doc__.endswith(
        "Await the next event for this call — a dict `{kind, payload}` or `None`.")
    assert Call.command.__doc__.endswith(
        "Send an arbitrary SIP verb + args, returning the reply `result` object.")
    assert Call.remove_header.__doc__.endswith("Remove a header from the stored A-leg INVITE.")
