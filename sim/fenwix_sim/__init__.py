"""A scriptable simulator of the fenwix switch's control plane.

It speaks the JSON control protocol ("fenwix-control.v1") over WebSockets in
both connection shapes:

* ``Switch`` listens; applications dial it, say ``hello`` and receive their
  calls as StasisStart events on that one connection;
* ``Dialer`` dials the application's per-call server, one connection per
  call, whose first frame is the call's StasisStart.

Behind both sits one call model that answers every verb plausibly and emits
the events a real switch would, and every part of it can be scripted: replies
replaced, delayed, withheld or duplicated, arbitrary frames pushed,
connections dropped, the switch restarted.  See ``sim/README.md``.
"""

from .connection import Connection, ConnectionGone
from .dialer import Dialer, UpgradeRefused, UpgradeResponse
from .model import Callee, Caller, Channel, Timing
from .protocol import ERROR_CODES, EVENT_KINDS, SUBPROTOCOL, Command, ReceivedFrame
from .replies import DEFAULT, NO_REPLY, Reply, Responder, default, error, ok, raw
from .switch import Switch, UpgradeRecord

__all__ = [
    "Callee",
    "Caller",
    "Channel",
    "Command",
    "Connection",
    "ConnectionGone",
    "DEFAULT",
    "Dialer",
    "ERROR_CODES",
    "EVENT_KINDS",
    "NO_REPLY",
    "ReceivedFrame",
    "Reply",
    "Responder",
    "SUBPROTOCOL",
    "Switch",
    "Timing",
    "UpgradeRecord",
    "UpgradeRefused",
    "UpgradeResponse",
    "default",
    "error",
    "ok",
    "raw",
]
