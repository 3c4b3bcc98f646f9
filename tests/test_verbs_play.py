"""Playback and DTMF: play, play_file, stop, dtmf."""

import base64

import pytest

from fenwix_control import Call

from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, leg, signature_rows,
)

SIGNATURES = [
    "play($self, file=None, db_id=None, blob=None, repeat=None, start_ms=None, duration_ms=None, "
    "to_tag=None, *, tone=None, url=None, gain_decibels=None)",
    "play_file($self, file)",
    "stop($self)",
    "dtmf($self, digits, duration_ms=None, volume_dbm0=None, pause_ms=None, to_tag=None)",
]

PLAY_MESSAGE = (
    "play requires exactly one of file (str), db_id (int), blob (bytes), tone (str), or url (str)"
)
REPEAT_MESSAGE = (
    'repeat must be a total play count (a non-negative integer) or "inf" to play until stopped'
)


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


@pytest.mark.parametrize(
    "name, doc",
    [
        ("play_file", "Convenience for `play(file=...)` with default options."),
        ("stop", "Stop the announcement currently playing on the A-leg media."),
    ],
)
def test_docstring_body(name, doc):
    assert getattr(Call, name).__doc__ == doc


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.play(file="welcome"), "play", {"file": "welcome"}),
        (lambda c: c.play("welcome"), "play", {"file": "welcome"}),
        (lambda c: c.play(file=""), "play", {"file": ""}),
        (lambda c: c.play(db_id=7), "play", {"db_id": 7}),
        (lambda c: c.play(db_id=2**64 - 1), "play", {"db_id": 2**64 - 1}),
        (lambda c: c.play(blob=b"hi"), "play", {"blob": "aGk="}),
        (lambda c: c.play(blob=b""), "play", {"blob": ""}),
        (lambda c: c.play(blob=bytearray(b"\x00\xff\x10")), "play", {"blob": "AP8Q"}),
        (lambda c: c.play(blob=[0, 255]), "play", {"blob": "AP8="}),
        (lambda c: c.play(blob=bytes(range(256))),
         "play", {"blob": base64.b64encode(bytes(range(256))).decode()}),
        (lambda c: c.play(tone="425/1000,0/4000*inf"), "play", {"tone": "425/1000,0/4000*inf"}),
        (lambda c: c.play(url="https://media/a.wav"), "play", {"url": "https://media/a.wav"}),
        (lambda c: c.play(repeat="inf", file="a"), "play", {"file": "a", "repeat": "inf"}),
        (lambda c: c.play(file="a", repeat="INF"), "play", {"file": "a", "repeat": "inf"}),
        (lambda c: c.play(file="a", repeat="iNf"), "play", {"file": "a", "repeat": "inf"}),
        (lambda c: c.play(file="a", repeat=3), "play", {"file": "a", "repeat": 3}),
        (lambda c: c.play(file="a", repeat=0), "play", {"file": "a", "repeat": 0}),
        (lambda c: c.play(file="a", repeat=True), "play", {"file": "a", "repeat": 1}),
        (lambda c: c.play(file="a", repeat=2**64 - 1), "play", {"file": "a", "repeat": 2**64 - 1}),
        (lambda c: c.play(file="a", repeat=None), "play", {"file": "a"}),
        (lambda c: c.play(file="a", gain_decibels=-6), "play", {"file": "a", "gain_decibels": -6}),
        (lambda c: c.play(file="a", gain_decibels=-(2**31)),
         "play", {"file": "a", "gain_decibels": -(2**31)}),
        (
            lambda c: c.play(None, None, None, 2, 0, 1500, "tag-1", url="u", gain_decibels=3),
            "play",
            {"duration_ms": 1500, "gain_decibels": 3, "repeat": 2, "start_ms": 0,
             "to_tag": "tag-1", "url": "u"},
        ),
        (lambda c: c.play_file("welcome"), "play", {"file": "welcome"}),
        (lambda c: c.play_file(file=""), "play", {"file": ""}),
        (lambda c: c.stop(), "stop", {}),
        (lambda c: c.dtmf("12#"), "dtmf", {"digits": "12#"}),
        (lambda c: c.dtmf(""), "dtmf", {"digits": ""}),
        (lambda c: c.dtmf("xyz!"), "dtmf", {"digits": "xyz!"}),
        (lambda c: c.dtmf("1", volume_dbm0=-10), "dtmf", {"digits": "1", "volume_dbm0": -10}),
        (
            lambda c: c.dtmf("1", 100, -(2**63), 0, "t"),
            "dtmf",
            {"digits": "1", "duration_ms": 100, "pause_ms": 0, "to_tag": "t",
             "volume_dbm0": -(2**63)},
        ),
    ],
)
async def test_sends(leg, invoke, verb, args):
    leg.reply(verb, {"channel": CHANNEL, "playback_id": "pb-1"})
    assert await invoke(leg.call) is None
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.play(), ValueError, PLAY_MESSAGE),
        (lambda c: c.play(file=None, tone=None), ValueError, PLAY_MESSAGE),
        # A file by position and a tone by keyword are two sources.
        (lambda c: c.play("a", tone="b"), ValueError, PLAY_MESSAGE),
        (lambda c: c.play(file="a", db_id=1), ValueError, PLAY_MESSAGE),
        (lambda c: c.play(blob=b"", url=""), ValueError, PLAY_MESSAGE),
        (lambda c: c.play(file="a", repeat=-1), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat=2**64), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat=2.0), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat="forever"), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat="inf "), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat="infinity"), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat="3"), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat=""), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat=b"inf"), ValueError, REPEAT_MESSAGE),
        (lambda c: c.play(file="a", repeat=[1]), ValueError, REPEAT_MESSAGE),
        # The source is checked before the repeat value.
        (lambda c: c.play(repeat="forever"), ValueError, PLAY_MESSAGE),
        # Binding errors come before either.
        (lambda c: c.play(db_id=-1), OverflowError, ("play()", "'db_id'")),
        (lambda c: c.play(db_id=-1, repeat="x"), OverflowError, ("play()", "'db_id'")),
        (lambda c: c.play(db_id="7"), TypeError, ("play()", "'db_id'")),
        (lambda c: c.play(blob="text"), TypeError, ("play()", "'blob'", "str")),
        (lambda c: c.play(blob=[256]), OverflowError, ("play()", "'blob'")),
        (lambda c: c.play(blob=["a"]), TypeError, ("play()", "'blob'")),
        (lambda c: c.play(file=1), TypeError, ("play()", "'file'")),
        (lambda c: c.play(file="a", gain_decibels=2**31), OverflowError,
         ("play()", "'gain_decibels'")),
        (lambda c: c.play(file="a", start_ms=-1), OverflowError, ("play()", "'start_ms'")),
        (lambda c: c.play(file="a", to_tag=1), TypeError, ("play()", "'to_tag'")),
        # tone, url and gain_decibels are keyword-only.
        (lambda c: c.play(None, None, None, None, None, None, None, "t"), TypeError,
         ("play()", "at most 7 positional")),
        (lambda c: c.play_file(), TypeError, ("play_file()", "'file'")),
        (lambda c: c.play_file(None), TypeError, ("play_file()", "'file'", "None")),
        (lambda c: c.play_file("a", repeat=2), TypeError, ("play_file()", "'repeat'")),
        (lambda c: c.stop(1), TypeError, "stop() takes no positional arguments"),
        (lambda c: c.dtmf(), TypeError, ("dtmf()", "'digits'")),
        (lambda c: c.dtmf(1), TypeError, ("dtmf()", "'digits'")),
        (lambda c: c.dtmf("1", duration_ms=-1), OverflowError, ("dtmf()", "'duration_ms'")),
        (lambda c: c.dtmf("1", volume_dbm0=2**63), OverflowError, ("dtmf()", "'volume_dbm0'")),
        (lambda c: c.dtmf("1", pause_ms=1.5), TypeError, ("dtmf()", "'pause_ms'")),
    ],
)
async def test_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


async def test_the_switch_plays_what_was_sent(leg):
    # Against the simulated switch's own behaviour: the command it accepted
    # is the playback it reports.
    leg.switch.clear_responders()
    await leg.call.answer()
    await leg.call.play(tone="ringback_eu", repeat="inf")
    started = await leg.call.next_event()
    while started["kind"] != "PlayStarted":
        started = await leg.call.next_event()
    assert started["payload"]["source"] == {"tone": "ringback_eu"}
    await leg.call.stop()
    finished = await leg.call.next_event()
    assert (finished["kind"], finished["payload"]["reason"]) == ("PlayFinished", "stopped")
