"""Answering and ending verbs: answer, answer_with, answer_anchored, ring,
progress, reject, hangup, drop, hold, unhold. Also the parts of the verb
pattern every verb shares: checks before the loop is looked up, refusals
reaching the awaitable."""

import asyncio
import threading

import pytest

from fenwix_control import Call, ControlError
from fenwix_sim import error

from control_support import run_python
from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, leg, signature_rows,
)

SIGNATURES = [
    "answer($self)",
    "answer_with($self, code, reason=None, body=None, content_type=None)",
    "answer_anchored($self, profile=None, ws_uri=None)",
    "ring($self, reason=None)",
    "progress($self)",
    "reject($self, code, reason=None)",
    "hangup($self, reason=None)",
    "drop($self, reason=None, *, ban=False)",
    "hold($self)",
    "unhold($self)",
]


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


@pytest.mark.parametrize(
    "name, doc",
    [
        # These carry their signature only.
        ("answer", None),
        ("answer_with", None),
        ("progress", None),
        ("reject", None),
        ("hangup", None),
        ("unhold", "Restore the call's media after a `hold`."),
    ],
)
def test_docstring_body(name, doc):
    assert getattr(Call, name).__doc__ == doc


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.answer(), "answer", {}),
        (lambda c: c.answer_with(200), "answer", {"code": 200}),
        (lambda c: c.answer_with(200, reason=None), "answer", {"code": 200}),
        (lambda c: c.answer_with(code=0), "answer", {"code": 0}),
        (lambda c: c.answer_with(True), "answer", {"code": 1}),
        (
            lambda c: c.answer_with(183, body="v=0\r\n", content_type="application/sdp"),
            "answer",
            {"body": "v=0\r\n", "code": 183, "content_type": "application/sdp"},
        ),
        (
            lambda c: c.answer_with(65535, "", "", ""),
            "answer",
            {"body": "", "code": 65535, "content_type": "", "reason": ""},
        ),
        (lambda c: c.answer_anchored(), "answer", {"anchor": True}),
        (
            lambda c: c.answer_anchored("voice_ai", "wss://ai/{call_id}"),
            "answer",
            {"anchor": True, "profile": "voice_ai", "ws_uri": "wss://ai/{call_id}"},
        ),
        (lambda c: c.answer_anchored(ws_uri=""), "answer", {"anchor": True, "ws_uri": ""}),
        (lambda c: c.ring(), "ring", {}),
        (lambda c: c.ring(""), "ring", {"reason": ""}),
        (lambda c: c.ring(reason="screening"), "ring", {"reason": "screening"}),
        (lambda c: c.progress(), "progress", {}),
        (lambda c: c.reject(486), "reject", {"code": 486}),
        (lambda c: c.reject(603, "Decline"), "reject", {"code": 603, "reason": "Decline"}),
        (lambda c: c.reject(999), "reject", {"code": 999}),
        (lambda c: c.hangup(), "hangup", {}),
        (lambda c: c.hangup("caller \"done\""), "hangup", {"reason": "caller \"done\""}),
        (lambda c: c.drop(), "drop", {}),
        (lambda c: c.drop(ban=False), "drop", {}),
        (lambda c: c.drop(ban=True), "drop", {"ban": True}),
        (lambda c: c.drop("spam", ban=True), "drop", {"ban": True, "reason": "spam"}),
        (lambda c: c.drop(reason=""), "drop", {"reason": ""}),
        (lambda c: c.hold(), "hold", {}),
        (lambda c: c.unhold(), "unhold", {}),
    ],
)
async def test_sends(leg, invoke, verb, args):
    leg.reply(verb, {"channel": CHANNEL, "state": "answered"})
    assert await invoke(leg.call) is None
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.answer("x"), TypeError, "answer() takes no positional arguments"),
        (lambda c: c.answer(code=200), TypeError, ("answer()", "'code'")),
        (lambda c: c.progress(1), TypeError, "progress() takes no positional arguments"),
        (lambda c: c.hold(None), TypeError, "hold() takes no positional arguments"),
        (lambda c: c.unhold(x=1), TypeError, ("unhold()", "'x'")),
        (lambda c: c.answer_with(), TypeError, ("answer_with()", "'code'")),
        (lambda c: c.answer_with("200"), TypeError, ("answer_with()", "'code'", "str")),
        (lambda c: c.answer_with(200.0), TypeError, ("answer_with()", "'code'", "float")),
        (lambda c: c.answer_with(None), TypeError, ("answer_with()", "'code'", "None")),
        (lambda c: c.answer_with(65536), OverflowError, ("answer_with()", "'code'")),
        (lambda c: c.answer_with(-1), OverflowError, ("answer_with()", "'code'")),
        (lambda c: c.answer_with(200, body=b"v=0"), TypeError, ("answer_with()", "'body'")),
        (lambda c: c.answer_with(200, 1, 2, 3, 4), TypeError, ("answer_with()", "at most 4")),
        (lambda c: c.answer_anchored(profile=1), TypeError, ("answer_anchored()", "'profile'")),
        (lambda c: c.ring(5), TypeError, ("ring()", "'reason'")),
        (lambda c: c.reject(70000), OverflowError, ("reject()", "'code'")),
        (lambda c: c.reject(), TypeError, ("reject()", "'code'")),
        (lambda c: c.hangup(b"bye"), TypeError, ("hangup()", "'reason'")),
        (lambda c: c.drop(ban=1), TypeError, ("drop()", "'ban'", "int")),
        (lambda c: c.drop(ban=0), TypeError, ("drop()", "'ban'")),
        (lambda c: c.drop(ban=None), TypeError, ("drop()", "'ban'", "None")),
        # ban is keyword-only.
        (lambda c: c.drop(None, True), TypeError, ("drop()", "at most 1 positional")),
        (lambda c: c.drop(reason=7), TypeError, ("drop()", "'reason'")),
    ],
)
async def test_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


# One valid call of every verb, for the behaviour they all share.
EVERY_VERB = [
    ("answer", lambda c: c.answer()),
    ("answer", lambda c: c.answer_with(200)),
    ("answer", lambda c: c.answer_anchored()),
    ("ring", lambda c: c.ring()),
    ("progress", lambda c: c.progress()),
    ("reject", lambda c: c.reject(486)),
    ("hangup", lambda c: c.hangup()),
    ("drop", lambda c: c.drop()),
    ("cancel_dial", lambda c: c.cancel_dial()),
    ("refer", lambda c: c.refer("sip:x@y")),
    ("refer", lambda c: c.transfer("sip:x@y")),
    ("accept_refer", lambda c: c.accept_refer()),
    ("reject_refer", lambda c: c.reject_refer(603)),
    ("complete_refer", lambda c: c.complete_refer(200)),
    ("bridge", lambda c: c.bridge("ch-2")),
    ("unbridge", lambda c: c.unbridge()),
    ("replace_peer", lambda c: c.replace_peer("sip:x@y")),
    ("route", lambda c: c.route(["sip:x@y"])),
    ("play", lambda c: c.play(file="a")),
    ("play", lambda c: c.play_file("a")),
    ("stop", lambda c: c.stop()),
    ("dtmf", lambda c: c.dtmf("1")),
    ("hold", lambda c: c.hold()),
    ("unhold", lambda c: c.unhold()),
    ("stream_start", lambda c: c.stream_start("ws://x")),
    ("stream_stop", lambda c: c.stream_stop()),
    ("dial", lambda c: c.dial([{"uri": "sip:x@y"}])),
    ("record_start", lambda c: c.record_start()),
    ("record_stop", lambda c: c.record_stop()),
]


@pytest.mark.parametrize("verb, invoke", EVERY_VERB)
async def test_a_refusal_reaches_the_awaitable(leg, verb, invoke):
    leg.reply(verb, error("invalid_state", "not now"))
    future = invoke(leg.call)
    with pytest.raises(ControlError) as info:
        await future
    assert info.value.code == "invalid_state"
    assert str(info.value) == "control command rejected (InvalidState): not now"
    await leg.sent(verb)


@pytest.mark.parametrize("verb, invoke", EVERY_VERB)
async def test_without_a_loop_nothing_is_sent(leg, verb, invoke):
    outcome = []

    def worker():
        try:
            invoke(leg.call)
        except BaseException as e:  # noqa: BLE001 (recorded for the assertion)
            outcome.append(e)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert len(outcome) == 1 and isinstance(outcome[0], RuntimeError)
    await leg.nothing_sent()


async def test_argument_checks_come_before_the_loop_lookup(leg):
    # A bad argument is reported as such even where no loop could be found.
    outcome = []

    def worker():
        for invoke in (lambda c: c.answer_with("x"), lambda c: c.dial(["sip:a"])):
            try:
                invoke(leg.call)
            except BaseException as e:  # noqa: BLE001
                outcome.append(type(e))

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert outcome == [TypeError, ValueError]
    await leg.nothing_sent()


async def test_each_verb_call_is_its_own_command(leg):
    # Concurrent verbs on one call: independent commands, each resolved by
    # its own reply.
    futures = [leg.call.ring(str(i)) for i in range(5)]
    assert await asyncio.gather(*futures) == [None] * 5
    reasons = [(await leg.sent("ring")).args["reason"] for _ in range(5)]
    assert reasons == [str(i) for i in range(5)]


GOING_AWAY_SCRIPT = r'''
import asyncio, fenwix_control
from fenwix_sim import Switch

async def main():
    async with Switch(token="tok") as switch:
        client = fenwix_control.ControlClient("verbs", "tok", url=switch.url)
        calls = asyncio.Queue()

        @client.on_call
        async def handle(call):
            calls.put_nowait(call)

        running = asyncio.ensure_future(client.run())
        await switch.wait_for_app("verbs")
        await client.connect()
        await switch.offer_call("ch-1")
        call = await calls.get()
        switch.respond("*", {"channel": "ch-1"})
        fenwix_control._mark_interpreter_going_away()
        for name, future in [
            ("dial", call.dial([{"uri": "u"}])),
            ("record_start", call.record_start()),
            ("bridge", call.bridge("ch-2")),
            ("unbridge", call.unbridge()),
            ("route", call.route(["u"])),
            ("replace_peer", call.replace_peer("t")),
            ("originate", client.originate("c", "t", media=True)),
        ]:
            try:
                print(name, "resolved", await asyncio.wait_for(future, 5))
            except fenwix_control.ControlError as e:
                print(name, "failed:", e)
        client.close()

asyncio.run(main())
'''


def test_value_results_are_not_built_once_the_interpreter_is_going_away():
    # The verbs (and originate) that convert a reply to Python decline to once
    # the atexit hook has run; the process-wide flag needs a process of its own.
    done = run_python(GOING_AWAY_SCRIPT)
    assert done.returncode == 0, done.stderr
    gone = "failed: the Python interpreter shut down while this command was in flight"
    assert done.stdout.splitlines() == [
        f"{name} {gone}"
        for name in ("dial", "record_start", "bridge", "unbridge", "route", "replace_peer", "originate")
    ]
