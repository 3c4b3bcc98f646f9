"""The module object itself: its members, the exception type, the transfer
helpers and the atexit hook."""

import atexit
import inspect

import pytest

import fenwix_control

from control_support import run_python

PUBLIC = [
    "ControlClient",
    "ControlServer",
    "Call",
    "ControlError",
    "is_transfer_final",
    "transfer_outcome",
]


def test_members_and_their_order():
    assert fenwix_control.__name__ == "fenwix_control"
    assert fenwix_control.__doc__ == ""
    assert fenwix_control.__all__ == PUBLIC
    assert type(fenwix_control.__all__) is list
    ours = [
        name
        for name in vars(fenwix_control)
        if not (name.startswith("__") and name.endswith("__"))
    ]
    # Added in this order; the hook is an attribute but not exported.
    assert ours == PUBLIC[:6] + ["_mark_interpreter_going_away"]
    assert list(vars(fenwix_control))[-1] == "__all__"
    assert "_mark_interpreter_going_away" not in fenwix_control.__all__
    assert not hasattr(fenwix_control, "UnlessClosed")


def test_star_import_exports_exactly_all():
    namespace = {}
    exec("from fenwix_control import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(PUBLIC)


@pytest.mark.parametrize("name", ["ControlClient", "ControlServer", "Call"])
def test_classes_belong_to_the_module(name):
    cls = getattr(fenwix_control, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "fenwix_control"
    assert cls.__qualname__ == name


def test_call_cannot_be_created_from_python():
    with pytest.raises(TypeError, match="cannot create 'fenwix_control.Call' instances"):
        fenwix_control.Call()
    assert fenwix_control.Call.__doc__ == "A handed-over SIP call. Async methods return awaitables."


@pytest.mark.parametrize(
    "cls, signature",
    [
        (
            fenwix_control.ControlClient,
            "(app, token, url=None, protocol=1, reply_timeout_ms=10000, reconnect_backoff_ms=1000)",
        ),
        (fenwix_control.ControlServer, "(app, token, bind=None, reply_timeout_ms=10000)"),
    ],
)
def test_class_text_signatures(cls, signature):
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert "on_call" in cls.__doc__


def test_control_error_type():
    error_type = fenwix_control.ControlError
    assert issubclass(error_type, Exception)
    assert error_type.__bases__ == (Exception,)
    assert error_type.__module__ == "fenwix_control"
    assert error_type.__name__ == "ControlError"
    assert error_type.__doc__ == (
        "Raised when a control command is rejected (carrying a stable `.code`) "
        "or the connection fails."
    )
    # No attributes of its own beyond what every class gets.
    assert set(vars(error_type)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


def test_control_error_made_by_the_application_has_no_code():
    error = fenwix_control.ControlError("boom")
    assert str(error) == "boom"
    assert error.args == ("boom",)
    assert not hasattr(error, "code")
    with pytest.raises(fenwix_control.ControlError):
        raise error


@pytest.mark.parametrize(
    "function, signature",
    [
        (fenwix_control.transfer_outcome, "(event)"),
        (fenwix_control.is_transfer_final, "(kind)"),
        (fenwix_control._mark_interpreter_going_away, "()"),
    ],
)
def test_function_signatures(function, signature):
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == "fenwix_control"
    # CPython moved the signature line out of the docstring; a body remains.
    assert function.__doc__.strip()
    assert not function.__doc__.startswith(function.__name__ + "(")


def test_docstrings_carry_their_guidance():
    assert "TransferRequested" in fenwix_control.transfer_outcome.__doc__
    for key in ("stage", "refer_to", "status", "reason", "attempt"):
        assert key in fenwix_control.transfer_outcome.__doc__
    assert "RFC 3515" in fenwix_control.is_transfer_final.__doc__
    assert "atexit" in fenwix_control._mark_interpreter_going_away.__doc__


class Mapping:
    """A mapping that is not a dict."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, key):
        return self.items[key]


class Exploding:
    def __getitem__(self, key):
        raise RuntimeError("no items here")


PAYLOAD = {"stage": "final", "status": 200, "reason": "OK", "refer_to": "sip:b", "attempt": 1}


@pytest.mark.parametrize("kind", ["TransferProgress", "TransferCompleted", "TransferFailed"])
@pytest.mark.parametrize("wrap", [dict, Mapping])
def test_transfer_outcome_returns_the_payload_itself(kind, wrap):
    event = wrap({"kind": kind, "payload": PAYLOAD})
    assert fenwix_control.transfer_outcome(event) is PAYLOAD
    assert fenwix_control.transfer_outcome(event=event) is PAYLOAD


@pytest.mark.parametrize(
    "event",
    [
        {"kind": "TransferRequested", "payload": {}},
        {"kind": "TransferFailed"},
        {"kind": "transferfailed", "payload": {}},
        {"kind": "TransferFailed ", "payload": {}},
        {"kind": 3, "payload": {}},
        {"kind": None, "payload": {}},
        {"payload": {}},
        {},
        "text",
        None,
        42,
        [("kind", "TransferFailed")],
        Exploding(),
        Mapping({"kind": "TransferCompleted"}),
    ],
)
def test_transfer_outcome_is_none_for_anything_else(event):
    assert fenwix_control.transfer_outcome(event) is None


def test_transfer_outcome_accepts_str_subclasses_and_none_payloads():
    class Kind(str):
        pass

    assert fenwix_control.transfer_outcome({"kind": Kind("TransferFailed"), "payload": None}) is None
    assert fenwix_control.transfer_outcome({"kind": Kind("TransferFailed"), "payload": 5}) == 5


@pytest.mark.parametrize(
    "kind, final",
    [
        ("TransferCompleted", True),
        ("TransferFailed", True),
        ("TransferProgress", False),
        ("TransferRequested", False),
        ("transfercompleted", False),
        ("TRANSFERFAILED", False),
        ("TransferCompleted\0", False),
        ("", False),
        ("\ud800", False),
    ],
)
def test_is_transfer_final(kind, final):
    assert fenwix_control.is_transfer_final(kind) is final
    assert fenwix_control.is_transfer_final(kind=kind) is final


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(None), "is_transfer_final() argument 'kind' must be str, not None"),
        (lambda f: f(b"TransferFailed"), "is_transfer_final() argument 'kind' must be str, not bytes"),
        (lambda f: f(), "is_transfer_final() missing required argument 'kind' (pos 1)"),
        (lambda f: f("a", "b"), "is_transfer_final() takes exactly 1 positional argument (2 given)"),
        (lambda f: f(kinds="a"), "is_transfer_final() got an unexpected keyword argument 'kinds'"),
        (lambda f: f("a", kind="a"), "is_transfer_final() got multiple values for argument 'kind'"),
    ],
)
def test_is_transfer_final_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(fenwix_control.is_transfer_final)
    assert str(info.value) == message


def test_transfer_outcome_argument_errors():
    with pytest.raises(TypeError, match=r"transfer_outcome\(\) missing required argument 'event'"):
        fenwix_control.transfer_outcome()


def test_going_away_hook_is_registered_with_atexit_and_idempotent():
    hook = fenwix_control._mark_interpreter_going_away
    result = run_python(
        """
        import atexit
        before = atexit._ncallbacks()
        import fenwix_control
        hook = fenwix_control._mark_interpreter_going_away
        assert atexit._ncallbacks() == before + 1
        atexit.unregister(hook)
        assert atexit._ncallbacks() == before
        atexit.register(hook)
        assert hook() is None
        assert hook() is None
        try:
            hook(1)
        except TypeError:
            pass
        else:
            raise AssertionError("the hook takes no arguments")
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
    assert result.stderr == ""
    assert callable(hook)


def test_process_exits_cleanly_after_import():
    result = run_python(
        """
        import fenwix_control
        fenwix_control._mark_interpreter_going_away()
        raise SystemExit(3)
        """
    )
    assert result.returncode == 3
    assert result.stderr == ""


def test_reimport_keeps_one_exception_type():
    result = run_python(
        """
        import sys
        import fenwix_control as first
        del sys.modules["fenwix_control"]
        import fenwix_control as second
        assert first is not second
        assert first.ControlError is second.ControlError
        assert first.Call is not second.Call
        assert second.__all__ == first.__all__
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_module_refuses_subinterpreters():
    result = run_python(
        """
        import _interpreters
        interp = _interpreters.create()
        excinfo = _interpreters.exec(interp, "import fenwix_control")
        print(excinfo.type.__name__ if excinfo else "imported")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"
