"""JSON values to Python and back, and library errors to ControlError.

`json_to_py` must give exactly what json.loads gives for the compact text of
the value; `optional_json` exactly what our JSON reader makes of
json.dumps(obj). The direct routes are compared with those references.
"""

import collections
import enum
import json
import math
import random
import struct

import pytest

import _fenwix_control_testing as t


def same(a, b):
    """Equal values of identical types, dict key order included."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (a != a and b != b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# ---------------------------------------------------------------------------
# JSON to Python


@pytest.mark.parametrize(
    "text",
    [
        "null",
        "true",
        "false",
        "0",
        "-0",
        "1",
        "-1",
        "9223372036854775807",
        "9223372036854775808",
        "18446744073709551615",
        "-9223372036854775808",
        "123456789012345678901234567890",
        "1.0",
        "-0.0",
        "0.1",
        "1e16",
        "1E2",
        "2.5e-3",
        "5e-324",
        "1.7976931348623157e308",
        '""',
        '"\\u00e9t\\u00e9 \\ud83d\\ude00 \\u0000 \\n"',
        '"\u20ac plain"',
        "[]",
        "{}",
        '{"b":1,"a":2.5}',
        '{"a":1,"a":2}',
        '{"z":{"y":[1,{"x":null,"w":true}],"v":"u"},"a":[[],{}]}',
        '{"\u00e9":1,"e":2,"E":3,"\U0001f600":4,"\uffff":5}',
        " [1, 2 ,3] ",
    ],
)
def test_json_to_py_is_json_loads_of_the_compact_text(text):
    expected = json.loads(t.json_dump(text))
    assert same(t.json_loads(text), expected)


def test_json_to_py_keys_are_in_sorted_order_with_int_and_float():
    value = t.json_loads('{"b": 1, "a": 2.5}')
    assert list(value) == ["a", "b"]
    assert type(value["a"]) is float and type(value["b"]) is int


def test_json_to_py_makes_fresh_objects_each_time():
    first = t.json_loads('{"a":[1]}')
    first["a"].append(2)
    assert t.json_loads('{"a":[1]}') == {"a": [1]}


@pytest.mark.parametrize(
    "number, expected",
    [(1.5, 1.5), (-0.0, -0.0), (float("nan"), None), (float("inf"), None), (float("-inf"), None)],
)
def test_json_to_py_floats(number, expected):
    # The writer spells a non-finite number null.
    assert same(t.json_float(number), expected)


@pytest.mark.parametrize("as_key", [False, True])
@pytest.mark.parametrize(
    "data, message",
    [
        (b"\xff", "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF"),
        (b"ab\xc3", "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3"),
        (b"\xed\xa0\x80", "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xA0"),
    ],
)
def test_json_to_py_refuses_strings_the_writer_refuses(data, as_key, message):
    with pytest.raises(ValueError) as info:
        t.json_raw(data, as_key)
    assert str(info.value) == message


def test_json_to_py_accepts_valid_utf8_from_bytes():
    assert t.json_raw("\u00e9\U0001f600".encode()) == "\u00e9\U0001f600"
    assert t.json_raw(b"k", True) == {"k": 1}


def test_json_to_py_survives_absurd_nesting():
    assert t.json_nested(3) == [[[[]]]]
    with pytest.raises(RecursionError):
        t.json_nested(200_000)


# ---------------------------------------------------------------------------
# Python to JSON


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Table(dict):
    pass


def circular():
    items = [1]
    items.append(items)
    return items


def deep(levels):
    value = []
    for _ in range(levels):
        value = [value]
    return value


CASES = [
    (None, "null", "n"),
    (True, "true", "b"),
    (False, "false", "b"),
    (0, "0", "u"),
    (7, "7", "u"),
    (-1, "-1", "i"),
    (2**63, "9223372036854775808", "u"),
    (2**64 - 1, "18446744073709551615", "u"),
    (-(2**63), "-9223372036854775808", "i"),
    # Beyond 64 bits our reader reads a double.
    (2**64, "1.8446744073709552e+19", "f"),
    (-(2**63) - 1, "-9.223372036854776e+18", "f"),
    (1.0, "1.0", "f"),
    (-0.0, "-0.0", "f"),
    (1e16, "1e+16", "f"),
    (5e-324, "5e-324", "f"),
    (0.1, "0.1", "f"),
    ("", '""', "s"),
    ("caf\u00e9 \U0001f600 \0 \n \"q\"", '"caf\u00e9 \U0001f600 \\u0000 \\n \\"q\\""', "s"),
    # Two lone surrogates that json.dumps escapes and our reader pairs.
    ("\ud83d\ude00", '"\U0001f600"', "s"),
    ([], "[]", "[]"),
    ((), "[]", "[]"),
    ({}, "{}", "{}"),
    ({1: (2, 3)}, '{"1":[2,3]}', "{[uu]}"),
    ({"b": 1, "a": [True, None, 1.5, -2]}, '{"a":[true,null,1.5,-2],"b":1}', "{[bnfi]u}"),
    (
        {1.5: 1, float("nan"): 2, float("inf"): 3, -float("inf"): 4, True: 5, False: 6, None: 7, -5: 8},
        '{"-5":8,"-Infinity":4,"1.5":1,"Infinity":3,"NaN":2,"false":6,"null":7,"true":5}',
        "{uuuuuuuu}",
    ),
    ({1e16: 0, 1.0: 1}, '{"1.0":1,"1e+16":0}', "{uu}"),
    ({10**30: 1}, '{"1000000000000000000000000000000":1}', "{u}"),
    # json.dumps writes both keys; the reader keeps the last.
    ({1: "a", "1": "b"}, '{"1":"b"}', "{s}"),
    ({"1": "b", 1: "a"}, '{"1":"a"}', "{s}"),
    (Color.RED, "1", "u"),
    ({Color.RED: Color.RED}, '{"1":1}', "{u}"),
    (Text("x"), '"x"', "s"),
    ({Text("k"): Text("v")}, '{"k":"v"}', "{s}"),
    (Table(b=2, a=1), '{"a":1,"b":2}', "{uu}"),
    (collections.OrderedDict(z=[]), '{"z":[]}', "{[]}"),
    (deep(100), "[" * 101 + "]" * 101, "[" * 101 + "]" * 101),
]


@pytest.mark.parametrize("obj, text, kinds", CASES)
def test_optional_json(obj, text, kinds):
    assert t.to_json(obj) == (text, kinds)
    assert t.to_json_via_dumps(obj) == (text, kinds)


def test_optional_json_of_nothing_is_null():
    assert t.to_json() == ("null", "n")
    assert t.to_json(None) == ("null", "n")


ERRORS = [
    ({"a": float("nan")}, ValueError, "syntax error"),
    ([float("inf")], ValueError, "syntax error"),
    ({float("nan"): float("-inf")}, ValueError, "syntax error"),
    ("\ud800", ValueError, "surrogate"),
    (10**400, ValueError, "number overflow"),
    (circular(), ValueError, "Circular reference detected"),
    (deep(600), ValueError, "nested deeper than 512 levels"),
    (object(), TypeError, "Object of type object is not JSON serializable"),
    ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
    (b"bytes", TypeError, "Object of type bytes is not JSON serializable"),
    ({(1, 2): 3}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ([1, {"k": object()}], TypeError, "not JSON serializable"),
]


@pytest.mark.parametrize("obj, error, fragment", ERRORS)
def test_optional_json_errors_are_those_of_dumps_and_the_reader(obj, error, fragment):
    with pytest.raises(error) as direct:
        t.to_json(obj)
    with pytest.raises(error) as reference:
        t.to_json_via_dumps(obj)
    assert type(direct.value) is type(reference.value)
    assert str(direct.value) == str(reference.value)
    assert fragment in str(direct.value)


def test_optional_json_follows_a_replaced_dumps(monkeypatch):
    # Only objects the direct route does not cover go through json.dumps,
    # and then through whatever json.dumps is at that moment.
    monkeypatch.setattr(json, "dumps", lambda obj: "[42]")
    assert t.to_json(Table()) == ("[42]", "[u]")
    assert t.to_json({"plain": "dict"}) == ('{"plain":"dict"}', "{s}")
    monkeypatch.setattr(json, "dumps", lambda obj: b"[]")
    with pytest.raises(TypeError, match="json.dumps"):
        t.to_json(Table())


def random_value(rng, depth=0):
    roll = rng.randrange(12 if depth < 4 else 7)
    if roll == 0:
        return rng.choice([None, True, False])
    if roll == 1:
        return rng.randrange(-(2**70), 2**70) >> rng.randrange(70)
    if roll == 2:
        return rng.choice([0, 1, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1])
    if roll == 3:
        return struct.unpack("<d", rng.randbytes(8))[0]
    if roll == 4:
        return rng.uniform(-1e6, 1e6)
    if roll in (5, 6):
        alphabet = "aZ09 \"\\/\b\f\n\r\t\0\x1f\u00e9\u2028\uffff\U0001f600\ud800\udc00"
        return "".join(rng.choice(alphabet) for _ in range(rng.randrange(6)))
    if roll in (7, 8):
        items = [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
        return tuple(items) if rng.random() < 0.3 else items
    keys = [
        rng.choice(["a", "b", "\u00e9", "", "1"]),
        rng.randrange(-3, 3),
        rng.choice([0.5, 1.0, float("nan"), float("inf"), 1e300, -0.0]),
        rng.choice([True, False, None]),
    ]
    return {rng.choice(keys): random_value(rng, depth + 1) for _ in range(rng.randrange(5))}


def outcome(function, obj):
    try:
        return function(obj)
    except (ValueError, TypeError) as error:
        return type(error), str(error)


@pytest.mark.parametrize("seed", range(8))
def test_optional_json_direct_route_matches_dumps_on_random_values(seed):
    rng = random.Random(seed)
    for _ in range(300):
        obj = random_value(rng)
        assert outcome(t.to_json, obj) == outcome(t.to_json_via_dumps, obj), repr(obj)


# ---------------------------------------------------------------------------
# Library errors


CODES = [
    ("unauthorized", "Unauthorized"),
    ("forbidden", "Forbidden"),
    ("not_found", "NotFound"),
    ("bad_request", "BadRequest"),
    ("conflict", "Conflict"),
    ("invalid_state", "InvalidState"),
    ("rate_limited", "RateLimited"),
    ("originate_denied", "OriginateDenied"),
    ("unsupported_verb", "UnsupportedVerb"),
    ("unsupported_version", "UnsupportedVersion"),
    ("protocol_error", "ProtocolError"),
    ("unavailable", "Unavailable"),
]


@pytest.mark.parametrize("wire, display", CODES)
def test_rejected_commands_carry_the_wire_code(wire, display):
    error = t.make_error("Remote", "no such channel", wire)
    assert type(error) is t.ControlError
    assert error.code == wire
    assert str(error) == f"control command rejected ({display}): no such channel"
    assert error.args == (str(error),)


@pytest.mark.parametrize(
    "variant, detail, message",
    [
        ("HandshakeRejected", "401", "unauthorized: the control token was rejected (HTTP 401)"),
        ("HandshakeRejected", "404", "unauthorized: the control token was rejected (HTTP 404)"),
        ("Handshake", "bad hello reply: x", "handshake failed: bad hello reply: x"),
        ("Closed", None, "control connection is closed"),
        ("Timeout", "10000", "timed out awaiting a reply after 10s"),
        ("Timeout", "1500", "timed out awaiting a reply after 1.5s"),
        ("Timeout", "250", "timed out awaiting a reply after 250ms"),
        ("WebSocket", "connection refused", "websocket error: connection refused"),
        ("Serialization", "bad utf-8", "serialization error: bad utf-8"),
        ("Config", "bind 1.2.3.4:5: in use", "configuration error: bind 1.2.3.4:5: in use"),
    ],
)
def test_other_errors_have_code_none(variant, detail, message):
    error = t.make_error(variant, detail)
    assert type(error) is t.ControlError
    assert str(error) == message
    assert error.code is None


def test_interpreter_gone_has_no_code():
    error = t.interpreter_gone()
    assert type(error) is t.ControlError
    assert str(error) == "the Python interpreter shut down while this command was in flight"
    assert not hasattr(error, "code")
