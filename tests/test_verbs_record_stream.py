"""Recording and streaming: record_start (and the summary it resolves to),
record_stop, stream_start, stream_stop."""

import pytest

from fenwix_control import Call

from verbs_support import (  # noqa: F401
    CHANNEL, assert_refused, check_signature, leg, no_result, signature_rows,
)

SIGNATURES = [
    "record_start($self, direction=None, channels=None, max_duration_ms=None, silence_ms=None, "
    "path=None)",
    "record_stop($self, recording_id=None)",
    'stream_start($self, ws_uri, direction=None, channels=None, *, mode="tee", sample_rate=None, '
    "profile=None)",
    'stream_stop($self, *, mode="tee")',
]


@pytest.mark.parametrize("name, text", signature_rows(SIGNATURES))
def test_signature(name, text):
    check_signature(Call, name, text)


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.record_start(), "record_start", {}),
        (lambda c: c.record_start("BOTH", "sTereo"),
         "record_start", {"channels": "stereo", "direction": "both"}),
        (
            lambda c: c.record_start(direction="ingress", channels="mono", max_duration_ms=60000,
                                     silence_ms=0, path="/var/vm/x.wav"),
            "record_start",
            {"channels": "mono", "direction": "ingress", "max_duration_ms": 60000,
             "path": "/var/vm/x.wav", "silence_ms": 0},
        ),
        (lambda c: c.record_start(direction="Egress"), "record_start", {"direction": "egress"}),
        (lambda c: c.record_start(max_duration_ms=2**64 - 1),
         "record_start", {"max_duration_ms": 2**64 - 1}),
        (lambda c: c.record_stop(), "record_stop", {}),
        (lambda c: c.record_stop("rec-1"), "record_stop", {"recording_id": "rec-1"}),
        (lambda c: c.record_stop(recording_id=""), "record_stop", {"recording_id": ""}),
        (lambda c: c.stream_start("ws://ai/x"), "stream_start", {"mode": "tee", "ws_uri": "ws://ai/x"}),
        (lambda c: c.stream_start("ws://ai/x", mode="bridge", profile="voice_ai"),
         "stream_start", {"mode": "bridge", "profile": "voice_ai", "ws_uri": "ws://ai/x"}),
        (lambda c: c.stream_start("ws://ai/x", mode="BRIDGE"),
         "stream_start", {"mode": "bridge", "ws_uri": "ws://ai/x"}),
        (
            lambda c: c.stream_start("w", "Caller", 2, sample_rate=12345),
            "stream_start",
            {"channels": 2, "direction": "caller", "mode": "tee", "sample_rate": 12345,
             "ws_uri": "w"},
        ),
        (lambda c: c.stream_start(ws_uri="", channels=1, direction="CALLEE", mode="Tee"),
         "stream_start", {"channels": 1, "direction": "callee", "mode": "tee", "ws_uri": ""}),
        # Combinations the switch refuses are its to refuse.
        (lambda c: c.stream_start("w", "both", 2, mode="bridge", profile="p"),
         "stream_start",
         {"channels": 2, "direction": "both", "mode": "bridge", "profile": "p", "ws_uri": "w"}),
        (lambda c: c.stream_stop(), "stream_stop", {"mode": "tee"}),
        (lambda c: c.stream_stop(mode="Bridge"), "stream_stop", {"mode": "bridge"}),
    ],
)
async def test_sends(leg, invoke, verb, args):
    leg.reply(verb, {"channel": CHANNEL})
    result = await invoke(leg.call)
    if verb == "record_start":
        assert result == {"channel": CHANNEL, "recording_id": None}
    else:
        assert result is None
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        (lambda c: c.record_start(direction="in"), ValueError,
         'record direction must be "ingress", "egress" or "both", not "in"'),
        (lambda c: c.record_start(direction="both "), ValueError,
         'record direction must be "ingress", "egress" or "both", not "both "'),
        (lambda c: c.record_start(channels="quad"), ValueError,
         'record channels must be "mono" or "stereo", not "quad"'),
        (lambda c: c.record_start(channels=""), ValueError,
         'record channels must be "mono" or "stereo", not ""'),
        # The direction is checked first.
        (lambda c: c.record_start("in", "quad"), ValueError,
         'record direction must be "ingress", "egress" or "both", not "in"'),
        # Recording channels are names, streaming channels numbers.
        (lambda c: c.record_start(channels=2), TypeError, ("record_start()", "'channels'", "int")),
        (lambda c: c.record_start(max_duration_ms=-1), OverflowError,
         ("record_start()", "'max_duration_ms'")),
        (lambda c: c.record_start(path=b"/x"), TypeError, ("record_start()", "'path'")),
        (lambda c: c.record_stop(1), TypeError, ("record_stop()", "'recording_id'")),
        (lambda c: c.stream_start(), TypeError, ("stream_start()", "'ws_uri'")),
        (lambda c: c.stream_start(None), TypeError, ("stream_start()", "'ws_uri'")),
        (lambda c: c.stream_start("w", channels="2"), TypeError, ("stream_start()", "'channels'")),
        (lambda c: c.stream_start("w", channels=3), ValueError,
         "stream channels must be 1 (mono) or 2 (stereo), not 3"),
        (lambda c: c.stream_start("w", channels=0), ValueError,
         "stream channels must be 1 (mono) or 2 (stereo), not 0"),
        (lambda c: c.stream_start("w", channels=256), OverflowError,
         ("stream_start()", "'channels'")),
        (lambda c: c.stream_start("w", mode=None), TypeError, ("stream_start()", "'mode'", "None")),
        (lambda c: c.stream_start("w", mode=""), ValueError,
         'stream mode must be "tee" or "bridge", not ""'),
        (lambda c: c.stream_start("w", mode="takeover"), ValueError,
         'stream mode must be "tee" or "bridge", not "takeover"'),
        (lambda c: c.stream_start("w", direction="up"), ValueError,
         'stream direction must be "both", "caller" or "callee", not "up"'),
        # mode, then direction, then channels.
        (lambda c: c.stream_start("w", "up", 3, mode="x"), ValueError,
         'stream mode must be "tee" or "bridge", not "x"'),
        (lambda c: c.stream_start("w", "up", 3), ValueError,
         'stream direction must be "both", "caller" or "callee", not "up"'),
        # mode, sample_rate and profile are keyword-only.
        (lambda c: c.stream_start("w", "both", 1, "tee"), TypeError,
         ("stream_start()", "at most 3 positional")),
        (lambda c: c.stream_start("w", sample_rate=-1), OverflowError,
         ("stream_start()", "'sample_rate'")),
        (lambda c: c.stream_start("w", sample_rate=2**32), OverflowError,
         ("stream_start()", "'sample_rate'")),
        (lambda c: c.stream_stop("tee"), TypeError, "stream_stop() takes no positional arguments"),
        (lambda c: c.stream_stop(mode=None), TypeError, ("stream_stop()", "'mode'")),
        (lambda c: c.stream_stop(mode="Tee\n"), ValueError,
         'stream mode must be "tee" or "bridge", not "Tee\\n"'),
    ],
)
async def test_refuses(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


@pytest.mark.parametrize(
    "reply, expected",
    [
        ({"channel": CHANNEL, "recording_id": "rec-7", "path": "/x.wav"},
         {"channel": CHANNEL, "recording_id": "rec-7"}),
        (no_result, {"channel": CHANNEL, "recording_id": None}),
        (None, {"channel": CHANNEL, "recording_id": None}),
        ({"recording_id": 5}, {"channel": CHANNEL, "recording_id": None}),
        ({"channel": "ch-9", "recording_id": ""}, {"channel": "ch-9", "recording_id": ""}),
        ({"channel": 9, "recording_id": "r"}, {"channel": CHANNEL, "recording_id": "r"}),
        (["rec-7"], {"channel": CHANNEL, "recording_id": None}),
        ("rec-7", {"channel": CHANNEL, "recording_id": None}),
    ],
)
async def test_record_start_summary(leg, reply, expected):
    leg.reply("record_start", reply)
    result = await leg.call.record_start()
    assert result == expected
    assert list(result) == ["channel", "recording_id"]


async def test_the_switch_records_what_was_sent(leg):
    leg.switch.clear_responders()
    await leg.call.answer()
    recording = await leg.call.record_start("both", "stereo")
    assert recording["channel"] == CHANNEL and recording["recording_id"]
    await leg.call.record_stop(recording["recording_id"])
    while (event := await leg.call.next_event())["kind"] != "RecordingFinished":
        pass
    assert event["payload"]["recording_id"] == recording["recording_id"]
