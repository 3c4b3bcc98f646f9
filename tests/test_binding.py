"""The argument parser of the Python binding.

The private testing module exposes functions whose signatures are shaped
like the verbs' (answer_with, drop, play, ...) and that return what the
parser produced, so every extractor and every error can be checked exactly.
"""

import gc
import sys

import pytest

import _fenwix_control_testing as t


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("no index today")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: t.answer_with(200), (200, None, None, None)),
        (lambda: t.answer_with(code=183, reason="Session Progress"), (183, "Session Progress", None, None)),
        (lambda: t.answer_with(200, None, b"v=0", "application/sdp"), (200, None, b"v=0", "application/sdp")),
        (lambda: t.answer_with(content_type="a/b", code=200), (200, None, None, "a/b")),
        (lambda: t.answer_with(True), (1, None, None, None)),
        (lambda: t.answer_with(Index(486)), (486, None, None, None)),
        (lambda: t.answer_with(200, body=bytearray(b"\x00\xff")), (200, None, b"\x00\xff", None)),
        (lambda: t.answer_with(200, body=[0, 255, True, Index(7)]), (200, None, b"\x00\xff\x01\x07", None)),
        (lambda: t.answer_with(200, body=(1, 2)), (200, None, b"\x01\x02", None)),
        (lambda: t.answer_with(200, body=memoryview(b"ab")), (200, None, b"ab", None)),
        (lambda: t.answer_with(200, body=range(3)), (200, None, b"\x00\x01\x02", None)),
        (lambda: t.answer_with(200, body=[]), (200, None, b"", None)),
        (lambda: t.drop(), (None, False)),
        (lambda: t.drop("spam", ban=True), ("spam", True)),
        (lambda: t.drop(reason=None, ban=False), (None, False)),
        (lambda: t.drop(**{"".join(["ba", "n"]): True}), (None, True)),
        (lambda: t.refer("sip:\u00e9l\u00e8ve@example.com\0"), ("sip:\u00e9l\u00e8ve@example.com\0",)),
        (lambda: t.refer(to=""), ("",)),
        (lambda: t.ints(), (None,) * 6),
        (lambda: t.ints(0, 0, 0, 0, 0, 0), (0, 0, 0, 0, 0, 0)),
        (
            lambda: t.ints(255, 65535, 2**32 - 1, 2**64 - 1, 2**31 - 1, 2**63 - 1),
            (255, 65535, 2**32 - 1, 2**64 - 1, 2**31 - 1, 2**63 - 1),
        ),
        (lambda: t.ints(i32=-(2**31), i64=-(2**63)), (None, None, None, None, -(2**31), -(2**63))),
        (lambda: t.ints(u64=Index(2**64 - 1)), (None, None, None, 2**64 - 1, None, None)),
        (lambda: t.exact_ints(False, True), (0, 1)),
        (lambda: t.play(repeat="inf"), (None, None, None, "inf", None, None)),
        (lambda: t.play(repeat=None), (None, None, None, None, None, None)),
        (lambda: t.play("a.wav", 7, b"x", 2, tone="dial", url="u"), ("a.wav", 7, b"x", 2, "dial", "u")),
        (lambda: t.dial(["sip:a", {"uri": "sip:b"}]), (["sip:a", {"uri": "sip:b"}], None)),
        (lambda: t.dial(("sip:a",), "parallel"), (["sip:a"], "parallel")),
        (lambda: t.dial(range(2)), ([0, 1], None)),
        (lambda: t.dial(b"ab"), ([97, 98], None)),
        (lambda: t.dial([]), ([], None)),
        (lambda: t.flags(True), (True, None)),
        (lambda: t.flags(False, maybe=True), (False, True)),
        (lambda: t.flags(value=True, maybe=None), (True, None)),
        (lambda: t.stream_stop(), ("tee",)),
        (lambda: t.stream_stop(mode="BRIDGE"), ("BRIDGE",)),
        (lambda: t.login("u", token="t"), ("u", "t")),
        (lambda: t.login(token="t", user="u"), ("u", "t")),
        (lambda: t.progress(), None),
    ],
)
def test_arguments_convert(call, expected):
    assert call() == expected


def test_plain_objects_are_passed_through_as_they_are():
    marker = object()
    assert t.play(repeat=marker)[3] is marker
    items = [object(), object()]
    targets, _ = t.dial(items)
    assert targets == items and targets is not items
    assert all(a is b for a, b in zip(targets, items))


@pytest.mark.parametrize(
    "call, error, message",
    [
        # types
        (lambda: t.answer_with("200"), TypeError, "answer_with() argument 'code' must be int, not str"),
        (lambda: t.answer_with(200.0), TypeError, "answer_with() argument 'code' must be int, not float"),
        (lambda: t.answer_with(None), TypeError, "answer_with() argument 'code' must be int, not None"),
        (lambda: t.answer_with(200, 5), TypeError, "answer_with() argument 'reason' must be str or None, not int"),
        (lambda: t.answer_with(200, b"r"), TypeError, "answer_with() argument 'reason' must be str or None, not bytes"),
        (
            lambda: t.answer_with(200, body="text"),
            TypeError,
            "answer_with() argument 'body' must be bytes, bytearray, a sequence of ints 0-255 or None, not str",
        ),
        (
            lambda: t.answer_with(200, body=5),
            TypeError,
            "answer_with() argument 'body' must be bytes, bytearray, a sequence of ints 0-255 or None, not int",
        ),
        (
            lambda: t.answer_with(200, body={1: 2}),
            TypeError,
            "answer_with() argument 'body' must be bytes, bytearray, a sequence of ints 0-255 or None, not dict",
        ),
        (lambda: t.answer_with(200, body=[1, "a"]), TypeError, "answer_with() argument 'body' item 1 must be int, not str"),
        (lambda: t.answer_with(200, body=[1.0]), TypeError, "answer_with() argument 'body' item 0 must be int, not float"),
        (lambda: t.refer(b"sip:a"), TypeError, "refer() argument 'to' must be str, not bytes"),
        (lambda: t.refer(None), TypeError, "refer() argument 'to' must be str, not None"),
        (lambda: t.ints(u16="1"), TypeError, "ints() argument 'u16' must be int or None, not str"),
        (lambda: t.ints(i64=1.5), TypeError, "ints() argument 'i64' must be int or None, not float"),
        (lambda: t.exact_ints(1, None), TypeError, "exact_ints() argument 'i64' must be int, not None"),
        (lambda: t.dial("sip:a"), TypeError, "dial() argument 'targets' must be a sequence, not str"),
        (lambda: t.dial({"uri": "sip:a"}), TypeError, "dial() argument 'targets' must be a sequence, not dict"),
        (lambda: t.dial(None), TypeError, "dial() argument 'targets' must be a sequence, not None"),
        (lambda: t.dial(x for x in ()), TypeError, "dial() argument 'targets' must be a sequence, not generator"),
        (lambda: t.flags(1), TypeError, "flags() argument 'value' must be bool, not int"),
        (lambda: t.flags(None), TypeError, "flags() argument 'value' must be bool, not None"),
        (lambda: t.flags(True, maybe=0), TypeError, "flags() argument 'maybe' must be bool or None, not int"),
        (lambda: t.drop(ban=1), TypeError, "drop() argument 'ban' must be bool, not int"),
        (lambda: t.drop(ban=None), TypeError, "drop() argument 'ban' must be bool, not None"),
        (lambda: t.stream_stop(mode=None), TypeError, "stream_stop() argument 'mode' must be str, not None"),
        # widths
        (lambda: t.answer_with(70000), OverflowError, "answer_with() argument 'code' must be an int from 0 to 65535"),
        (lambda: t.answer_with(-1), OverflowError, "answer_with() argument 'code' must be an int from 0 to 65535"),
        (lambda: t.answer_with(2**100), OverflowError, "answer_with() argument 'code' must be an int from 0 to 65535"),
        (lambda: t.answer_with(Index(-5)), OverflowError, "answer_with() argument 'code' must be an int from 0 to 65535"),
        (lambda: t.ints(u8=256), OverflowError, "ints() argument 'u8' must be an int from 0 to 255"),
        (lambda: t.ints(u32=-1), OverflowError, "ints() argument 'u32' must be an int from 0 to 4294967295"),
        (lambda: t.ints(u32=2**32), OverflowError, "ints() argument 'u32' must be an int from 0 to 4294967295"),
        (lambda: t.ints(u64=2**64), OverflowError, "ints() argument 'u64' must be an int from 0 to 18446744073709551615"),
        (lambda: t.ints(u64=-1), OverflowError, "ints() argument 'u64' must be an int from 0 to 18446744073709551615"),
        (lambda: t.ints(u64=-(2**70)), OverflowError, "ints() argument 'u64' must be an int from 0 to 18446744073709551615"),
        (lambda: t.ints(i32=2**31), OverflowError, "ints() argument 'i32' must be an int from -2147483648 to 2147483647"),
        (lambda: t.ints(i32=-(2**31) - 1), OverflowError, "ints() argument 'i32' must be an int from -2147483648 to 2147483647"),
        (
            lambda: t.ints(i64=2**63),
            OverflowError,
            "ints() argument 'i64' must be an int from -9223372036854775808 to 9223372036854775807",
        ),
        (
            lambda: t.ints(i64=-(2**63) - 1),
            OverflowError,
            "ints() argument 'i64' must be an int from -9223372036854775808 to 9223372036854775807",
        ),
        (lambda: t.play(db_id=-1), OverflowError, "play() argument 'db_id' must be an int from 0 to 18446744073709551615"),
        (lambda: t.answer_with(200, body=[1, 256]), OverflowError, "answer_with() argument 'body' item 1 must be an int from 0 to 255"),
        (lambda: t.answer_with(200, body=[-1]), OverflowError, "answer_with() argument 'body' item 0 must be an int from 0 to 255"),
        # arity and keywords
        (lambda: t.answer_with(), TypeError, "answer_with() missing required argument 'code' (pos 1)"),
        (lambda: t.answer_with(reason="x"), TypeError, "answer_with() missing required argument 'code' (pos 1)"),
        (lambda: t.exact_ints(1), TypeError, "exact_ints() missing required argument 'i64' (pos 2)"),
        (
            lambda: t.answer_with(200, None, None, None, None),
            TypeError,
            "answer_with() takes at most 4 positional arguments (5 given)",
        ),
        (lambda: t.drop("a", "b"), TypeError, "drop() takes at most 1 positional argument (2 given)"),
        (lambda: t.drop("a", True), TypeError, "drop() takes at most 1 positional argument (2 given)"),
        (lambda: t.refer("a", "b"), TypeError, "refer() takes exactly 1 positional argument (2 given)"),
        (lambda: t.exact_ints(1, 2, 3), TypeError, "exact_ints() takes exactly 2 positional arguments (3 given)"),
        (lambda: t.refer(), TypeError, "refer() missing required argument 'to' (pos 1)"),
        (lambda: t.progress(1), TypeError, "progress() takes no positional arguments"),
        (lambda: t.stream_stop("bridge"), TypeError, "stream_stop() takes no positional arguments"),
        (lambda: t.progress(x=1), TypeError, "progress() got an unexpected keyword argument 'x'"),
        (lambda: t.play(x=1), TypeError, "play() got an unexpected keyword argument 'x'"),
        (lambda: t.drop(Reason="x"), TypeError, "drop() got an unexpected keyword argument 'Reason'"),
        (lambda: t.drop("a", reason="b"), TypeError, "drop() got multiple values for argument 'reason'"),
        (lambda: t.answer_with(200, code=200), TypeError, "answer_with() got multiple values for argument 'code'"),
        (lambda: t.login("u"), TypeError, "login() missing required keyword-only argument 'token'"),
        (lambda: t.login("u", "t"), TypeError, "login() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def test_errors_of_the_value_itself_propagate():
    with pytest.raises(ValueError, match="no index today"):
        t.answer_with(BadIndex())
    with pytest.raises(ValueError, match="no index today"):
        t.answer_with(200, body=[BadIndex()])
    # A str that cannot be encoded as UTF-8 fails with the codec's own error.
    with pytest.raises(UnicodeEncodeError):
        t.refer("\ud800")


def test_the_first_bad_argument_is_reported():
    with pytest.raises(OverflowError, match="'u8'"):
        t.ints(u8=300, u16="x")
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        t.ints(u8=300, nope=1)


@pytest.mark.parametrize(
    "call",
    [
        lambda: t.answer_with(200, "OK", b"body", "text/plain"),
        lambda: t.drop(reason="r", ban=True),
        lambda: t.ints(u64=2**64 - 1, i64=-1),
        lambda: t.dial(["a", "b"], strategy="sequential"),
        lambda: t.answer_with(200, body=[1, 2, 3]),
    ],
)
def test_parsing_leaks_nothing(call):
    for _ in range(100):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


def test_failed_parsing_leaks_nothing():
    def fail():
        try:
            t.answer_with(200, body=[1, 2, 300])
        except OverflowError:
            pass

    for _ in range(100):
        fail()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        fail()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
