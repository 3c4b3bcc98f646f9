"""The argument helpers behind the verbs, through the verbs that use them:
how values are quoted in messages, which spellings match, how dicts and
their subclasses are read, which Python types each helper takes."""

import collections
import enum
import types

import pytest

from verbs_support import CHANNEL, assert_refused, leg  # noqa: F401


def mode_message(quoted):
    return f'stream mode must be "tee" or "bridge", not {quoted}'


@pytest.mark.parametrize(
    "value, quoted",
    [
        ("", '""'),
        ("BRIDGE ", '"BRIDGE "'),
        ('say "tee"', '"say \\"tee\\""'),
        ("back\\slash", '"back\\\\slash"'),
        ("it's", "\"it's\""),
        ("a\tb\rc\nd\0e", '"a\\tb\\rc\\nd\\0e"'),
        ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
        ("tee\u0301", '"tee\\u{301}"'),
        ("\u200bzero", '"\\u{200b}zero"'),
        ("t\u00e9e \u2603 \U0001f600", '"t\u00e9e \u2603 \U0001f600"'),
    ],
)
async def test_values_are_quoted_as_given(leg, value, quoted):
    await assert_refused(leg, lambda c: c.stream_stop(mode=value), ValueError, mode_message(quoted))


@pytest.mark.parametrize(
    "invoke, args",
    [
        (lambda c: c.stream_stop(mode="TEE"), {"mode": "tee"}),
        (lambda c: c.stream_stop(mode="bRiDgE"), {"mode": "bridge"}),
        (lambda c: c.stream_start("w", "BoTh", mode="tee"), {"direction": "both", "mode": "tee", "ws_uri": "w"}),
    ],
)
async def test_ascii_letters_fold(leg, invoke, args):
    await invoke(leg.call)
    command = await leg.switch.next_command(channel=CHANNEL)
    assert command.args == args


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        # Only A-Z fold: look-alikes and non-ASCII case pairs do not match.
        (lambda c: c.stream_stop(mode="\uff34\uff25\uff25"), ValueError,
         mode_message('"\uff34\uff25\uff25"')),
        (lambda c: c.stream_stop(mode="br\u0130dge"), ValueError, mode_message('"br\u0130dge"')),
        (lambda c: c.record_start(channels="mono\x00"), ValueError,
         'record channels must be "mono" or "stereo", not "mono\\0"'),
        # Privacy, the peer-hangup policy and the answer policy match exactly.
        (lambda c: c.dial([{"uri": "u"}], privacy="ALLOWED"), ValueError,
         'dial privacy must be "allowed" or "restricted", not "ALLOWED"'),
        (lambda c: c.dial([{"uri": "u"}], privacy=" allowed"), ValueError,
         'dial privacy must be "allowed" or "restricted", not " allowed"'),
        (lambda c: c.bridge("ch-2", "Hangup"), ValueError,
         'on_peer_hangup must be "hangup" or "hold", got "Hangup"'),
        (lambda c: c.dial([{"uri": "u"}], on_answer="CONNECT"), ValueError,
         'dial on_answer must be "connect" or "bridge", not "CONNECT"'),
    ],
)
async def test_spellings_refused(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


class Overridden(dict):
    """A dict subclass whose every way of reading itself lies: the verbs must
    read its storage instead."""

    def items(self):
        return [("X-Lie", "1")]

    def keys(self):
        return ["X-Lie"]

    def __iter__(self):
        return iter(["X-Lie"])

    def __getitem__(self, key):
        return "lie"

    def get(self, key, default=None):
        return "lie"

    def __missing__(self, key):
        return "lie"

    def __len__(self):
        return 0


class Text(str):
    pass


class Count(enum.IntEnum):
    THREE = 3


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "invoke, verb, args",
    [
        (lambda c: c.dial([{"uri": "u"}], headers=Overridden({"X-Real": "1"})),
         "dial", {"headers": {"X-Real": "1"}, "targets": ["u"]}),
        (lambda c: c.dial([Overridden({"uri": "u", "to": "t"})]),
         "dial", {"targets": [{"to": "t", "uri": "u"}]}),
        (lambda c: c.route([Overridden({"uri": "u", "timeout": 4})]),
         "route", {"strategy": "sequential", "targets": [{"timeout": 4, "uri": "u"}]}),
        (lambda c: c.dial([{"uri": "u"}], headers=collections.OrderedDict(b="2", a="1")),
         "dial", {"headers": {"a": "1", "b": "2"}, "targets": ["u"]}),
        # str subclasses are strings, sent as their text.
        (lambda c: c.dial([{"uri": Text("u")}], headers={Text("X"): Text("1")}),
         "dial", {"headers": {"X": "1"}, "targets": ["u"]}),
        (lambda c: c.route([Text("u")]), "route", {"strategy": "sequential", "targets": ["u"]}),
        (lambda c: c.dial([{"uri": "u"}], on_answer="bridge", ringback=Text("tone")),
         "dial", {"on_answer": "bridge", "ringback": "tone", "targets": ["u"]}),
        # Non-ASCII text travels as UTF-8.
        (lambda c: c.dial([{"uri": "sip:j\u00fcrgen@x"}], headers={"X-\u00c9": "\u2603"}),
         "dial", {"headers": {"X-\u00c9": "\u2603"}, "targets": ["sip:j\u00fcrgen@x"]}),
        # Any int is a repeat count, an IntEnum too.
        (lambda c: c.play(file="a", repeat=Count.THREE), "play", {"file": "a", "repeat": 3}),
        # Keys other than the ones a target names are never read.
        (lambda c: c.dial([{"uri": "u", 1: object(), None: "x"}]), "dial", {"targets": ["u"]}),
    ],
)
async def test_read_from_the_objects_themselves(leg, invoke, verb, args):
    await invoke(leg.call)
    await leg.expect_args(verb, args)


@pytest.mark.parametrize(
    "invoke, exception, message",
    [
        # A mapping that is not a dict is not a header dict.
        (lambda c: c.dial([{"uri": "u"}], headers=types.MappingProxyType({"X": "1"})), ValueError,
         "headers must be a dict of str -> str"),
        (lambda c: c.dial([{"uri": "u"}], headers=collections.UserDict(X="1")), ValueError,
         "headers must be a dict of str -> str"),
        (lambda c: c.dial([{"uri": "u"}], headers={b"X": "1"}), TypeError,
         ("dial()", "'headers'", "bytes")),
        # A subclass's __missing__ does not supply a member.
        (lambda c: c.route([Overridden({"next_hop": "n"})]), ValueError,
         "route target dict requires a string 'uri'"),
        (lambda c: c.dial([Overridden({"to": "t"})]), ValueError,
         'a dial target requires a string "uri" or "aor"'),
        # Only a real int counts, not any object with __index__.
        (lambda c: c.play(file="a", repeat=Index()), ValueError,
         'repeat must be a total play count (a non-negative integer) or "inf" to play until stopped'),
        # Text that cannot be written as UTF-8 is refused, not sent.
        (lambda c: c.dial([{"uri": "u"}], headers={"X": "\ud800"}), UnicodeEncodeError, ("surrogate",)),
        (lambda c: c.dial([{"uri": "\udfff"}]), UnicodeEncodeError, ("surrogate",)),
        (lambda c: c.dial([{"uri": "u"}], on_answer="bridge", ringback="\ud800"), UnicodeEncodeError,
         ("surrogate",)),
    ],
)
async def test_refused_objects(leg, invoke, exception, message):
    await assert_refused(leg, invoke, exception, message)


async def test_a_header_dict_is_left_as_it_was(leg):
    headers = {"X-B": "2", "X-A": "1"}
    targets = [{"uri": "u", "headers": headers}]
    await leg.call.dial(targets, headers=headers)
    await leg.sent("dial")
    assert headers == {"X-B": "2", "X-A": "1"} and list(headers) == ["X-B", "X-A"]
    assert targets == [{"uri": "u", "headers": headers}]
