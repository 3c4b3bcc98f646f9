// Call: the Python face of one handed-over call. Only the handler bridge
// creates instances; Python code cannot.
#include "call.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bridge.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "json_convert.hpp"
#include "lifecycle.hpp"

#include "fenwix/client/headers.hpp"
#include "fenwix/client/quote.hpp"

namespace fenwix::py {

namespace {

using fenwix::Json;
using fenwix::Result;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The type of the most recently executed module object, kept for the rest of
// the process: Call objects are created on worker threads at any time.
std::atomic<PyTypeObject*> g_call_type{nullptr};

CallObject* as_call(PyObject* self) { return reinterpret_cast<CallObject*>(self); }

void call_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_call(self)->call.~Call();
  type->tp_free(self);
  Py_DECREF(type);
}

Ref optional_str(const std::optional<std::string>& value) {
  return value ? str_from_utf8(*value) : Ref::borrow(Py_None);
}

// A view of a str argument's UTF-8 form, valid while the argument lives.
bool utf8_view(const StrObject& text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* get_channel_id(PyObject* self, void*) {
  return str_from_utf8(call_of(self).channel_id()).release();
}
PyObject* get_call_id(PyObject* self, void*) { return optional_str(call_of(self).call_id()).release(); }
PyObject* get_sip_call_id(PyObject* self, void*) {
  return optional_str(call_of(self).sip_call_id()).release();
}
PyObject* get_app(PyObject* self, void*) { return optional_str(call_of(self).app()).release(); }
PyObject* get_is_reattached(PyObject* self, void*) {
  return Py_NewRef(call_of(self).is_reattached() ? Py_True : Py_False);
}
// Converted afresh on every read: the application may mutate what it gets.
PyObject* get_payload(PyObject* self, void*) { return json_to_py(call_of(self).payload()).release(); }

PyGetSetDef g_getset[] = {
    {"channel_id", get_channel_id, nullptr, "The call's channel id.", nullptr},
    {"call_id", get_call_id, nullptr,
     "The control-plane call id the switch gave when it handed the call over, or None.", nullptr},
    {"sip_call_id", get_sip_call_id, nullptr, "The SIP Call-ID of the call's A-leg, or None.",
     nullptr},
    {"app", get_app, nullptr,
     "The application name the switch handed the call to; None for a re-attached call.", nullptr},
    {"is_reattached", get_is_reattached, nullptr,
     "True for a call handed over again after the control connection was re-established.",
     nullptr},
    {"payload", get_payload, nullptr,
     "The payload of the event that handed the call over (for a re-attached call, the\n"
     "channel's snapshot), as a new dict on every read.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* call_repr(PyObject* self) {
  const fenwix::Call& call = call_of(self);
  std::string text = "Call(channel_id=";
  text += fenwix::quote(call.channel_id());
  text += ", sip_call_id=";
  if (call.sip_call_id()) {
    text += "Some(";
    text += fenwix::quote(*call.sip_call_id());
    text += ')';
  } else {
    text += "None";
  }
  text += call.is_reattached() ? ", reattached=true)" : ", reattached=false)";
  return str_from_utf8(text).release();
}

// ---------------------------------------------------------------------------
// Outcomes

// The reply's member "value" when it is a string, else None.
Converter string_outcome(Result<Json> result) {
  if (!result) return error_outcome(std::move(result.error()));
  return value_outcome([value = fenwix::string_value(*result)] {
    return value ? str_from_utf8(*value) : Ref::borrow(Py_None);
  });
}

template <Converter (*Outcome)(Result<Json>)>
fenwix::ReplyHandler resolving(Completion done) {
  return [done = std::move(done)](Result<Json> result) mutable {
    std::move(done).resolve(Outcome(std::move(result)));
  };
}

// ---------------------------------------------------------------------------
// command, variables and headers

PyObject* call_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSignature{"command", {required("verb"), optional("args")}};
  StrObject verb;
  PyObject* raw_args = nullptr;
  if (!parse_args(kSignature, args, nargs, kwnames, verb, raw_args)) return nullptr;
  std::string_view verb_text;
  if (!utf8_view(verb, verb_text)) return nullptr;
  std::optional<Json> json_args = optional_json(raw_args);
  if (!json_args) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).command(verb_text, std::move(*json_args),
                        resolving<json_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

PyObject* call_get_var(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSignature{"get_var", {required("key")}};
  std::string key;
  if (!parse_args(kSignature, args, nargs, kwnames, key)) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).get_var(std::move(key), resolving<string_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

PyObject* call_set_var(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSignature{"set_var", {required("key"), required("value")}};
  std::string key;
  std::string value;
  if (!parse_args(kSignature, args, nargs, kwnames, key, value)) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).set_var(std::move(key), std::move(value),
                        resolving<none_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

PyObject* call_get_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature<1> kSignature{"get_header", {required("name")}};
  std::string name;
  if (!parse_args(kSignature, args, nargs, kwnames, name)) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).sip(fenwix::SipVerb::GetHeader, Json{{"name", std::move(name)}},
                    resolving<string_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

PyObject* call_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature<2> kSignature{"set_header", {required("name"), required("value")}};
  std::string name;
  std::string value;
  if (!parse_args(kSignature, args, nargs, kwnames, name, value)) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).sip(fenwix::SipVerb::SetHeader,
                    Json{{"name", std::move(name)}, {"value", std::move(value)}},
                    resolving<none_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

PyObject* call_remove_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Signature<1> kSignature{"remove_header", {required("name")}};
  std::string name;
  if (!parse_args(kSignature, args, nargs, kwnames, name)) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).sip(fenwix::SipVerb::RemoveHeader, Json{{"name", std::move(name)}},
                    resolving<none_outcome>(std::move(pending->completion)));
  return pending->future.release();
}

// ---------------------------------------------------------------------------
// next_event

// An event granted to one next_event() and the hold on the stream that
// comes with it, kept until the loop delivers it. If the future turns out to
// be done by then (cancelled), or the loop is gone, the converter is
// destroyed unrun and the event goes back to the head of the stream, so the
// next waiter gets it: cancelling next_event() never loses an event nor lets
// a later one overtake it.
class GrantedEvent {
 public:
  GrantedEvent(std::optional<fenwix::CallEvent> event, fenwix::StreamHold hold)
      : event_(std::move(event)), hold_(std::move(hold)) {}
  GrantedEvent(GrantedEvent&& other) noexcept
      : event_(std::exchange(other.event_, std::nullopt)), hold_(std::move(other.hold_)) {}
  GrantedEvent& operator=(GrantedEvent&&) = delete;
  ~GrantedEvent() {
    if (event_) hold_.unread(std::move(*event_));
  }

  // On the loop's thread with the lock: the event dict, or None at the end
  // of the stream. The event is consumed whatever the outcome.
  PyObject* deliver() {
    std::optional<fenwix::CallEvent> event = std::exchange(event_, std::nullopt);
    // The next waiter may be served as soon as this one has its event.
    hold_.release();
    if (interpreter_going_away()) {
      Ref gone = interpreter_gone();
      if (gone) PyErr_SetRaisedException(gone.release());
      return nullptr;
    }
    if (!event) return Py_NewRef(Py_None);
    Ref kind = str_from_utf8(event->frame.event);
    if (!kind) return nullptr;
    Ref payload = json_to_py(event->payload);
    if (!payload) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), names().kind, kind.get()) < 0 ||
        PyDict_SetItem(dict.get(), names().payload, payload.get()) < 0) {
      return nullptr;
    }
    return dict.release();
  }

 private:
  std::optional<fenwix::CallEvent> event_;
  fenwix::StreamHold hold_;
};

// A grant that ran inside EventStream::wait, on the calling thread: the
// event was there already. next_event() resolves its new future with it at
// once, with no cancellation hook and without waking the loop: a consumer
// draining buffered events never leaves its task for them.
// The ticket tells this call's own waiter from an earlier one that might be
// served during the same wait.
struct InlineGrant {
  std::uint64_t ticket;
  std::optional<GrantedEvent> granted;
  Completion done;
};
thread_local InlineGrant* t_inline_grant = nullptr;
thread_local std::uint64_t t_next_ticket = 0;

PyObject* call_next_event(PyObject* self, PyObject*) {
  const std::shared_ptr<fenwix::EventStream>& stream = call_of(self).events();
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  // The waiter keeps the stream, as the call handle would: an awaited
  // next_event() is served even if its Call object is dropped meanwhile.
  const std::uint64_t ticket = ++t_next_ticket;
  auto grant = [stream, ticket, done = std::move(pending->completion)](
                   std::optional<fenwix::CallEvent> event, fenwix::StreamHold hold) mutable {
    if (t_inline_grant != nullptr && t_inline_grant->ticket == ticket) {
      t_inline_grant->granted.emplace(std::move(event), std::move(hold));
      t_inline_grant->done = std::move(done);
      return;
    }
    std::move(done).resolve(
        [granted = GrantedEvent(std::move(event), std::move(hold))]() mutable -> PyObject* {
          return granted.deliver();
        });
  };
  InlineGrant inline_grant{ticket, std::nullopt, {}};
  fenwix::EventStream::WaiterId id = 0;
  {
    t_inline_grant = &inline_grant;
    struct Reset {
      ~Reset() { t_inline_grant = nullptr; }
    } reset;
    id = stream->wait(std::move(grant));
  }
  if (inline_grant.granted) {
    Converter convert = [granted = std::move(*inline_grant.granted)]() mutable -> PyObject* {
      return granted.deliver();
    };
    std::move(inline_grant.done).resolve_in_place(std::move(convert));
    return pending->future.release();
  }
  // A cancelled wait that has not been served yet leaves the queue at once;
  // one already served is undone when its delivery finds the future
  // cancelled (GrantedEvent).
  if (!add_cancel_hook(pending->future.get(),
                       [weak = std::weak_ptr<fenwix::EventStream>(stream), id] {
                         if (auto stream = weak.lock()) stream->cancel(id);
                       })) {
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (!stream->cancel(id)) {
      // Served meanwhile: cancelling the future hands the event back.
      Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(pending->future.get(), names().cancel));
      if (!cancelled) PyErr_Clear();
    }
    PyErr_SetRaisedException(failure.release());
    return nullptr;
  }
  return pending->future.release();
}

// ---------------------------------------------------------------------------
// The method table

PyMethodDef g_core_methods[] = {
    {"set_header", FASTCALL(call_set_header), METH_FASTCALL | METH_KEYWORDS,
     "set_header($self, name, value)\n"
     "--\n"
     "\n"
     "Set a header on the stored A-leg INVITE (added, or replaced if present)."},
    {"get_header", FASTCALL(call_get_header), METH_FASTCALL | METH_KEYWORDS,
     "get_header($self, name)\n"
     "--\n"
     "\n"
     "Read a header of the stored A-leg INVITE: its value as a str, or None when\n"
     "the INVITE has no such header."},
    {"remove_header", FASTCALL(call_remove_header), METH_FASTCALL | METH_KEYWORDS,
     "remove_header($self, name)\n"
     "--\n"
     "\n"
     "Remove a header from the stored A-leg INVITE."},
    {"set_var", FASTCALL(call_set_var), METH_FASTCALL | METH_KEYWORDS,
     "set_var($self, key, value)\n"
     "--\n"
     "\n"
     "Set a channel variable."},
    {"get_var", FASTCALL(call_get_var), METH_FASTCALL | METH_KEYWORDS,
     "get_var($self, key)\n"
     "--\n"
     "\n"
     "Read a channel variable: its value as a str, or None when it is not set."},
    {"command", FASTCALL(call_command), METH_FASTCALL | METH_KEYWORDS,
     "command($self, verb, args=None)\n"
     "--\n"
     "\n"
     "Send an arbitrary SIP verb + args, returning the reply `result` object."},
    {"next_event", call_next_event, METH_NOARGS,
     "next_event($self)\n"
     "--\n"
     "\n"
     "Await the next event for this call — a dict `{kind, payload}` or `None`."},
};

// Every method of the class, in the order the class declares them. The
// verbs come from call_verbs.cpp; a name it does not define is left out.
constexpr std::string_view kMethodOrder[] = {
    "answer",       "answer_with",  "answer_anchored", "ring",          "progress",
    "reject",       "hangup",       "drop",            "cancel_dial",   "refer",
    "transfer",     "accept_refer", "reject_refer",    "complete_refer", "bridge",
    "unbridge",     "replace_peer", "route",           "set_header",    "get_header",
    "remove_header", "set_var",     "get_var",         "play",          "play_file",
    "stop",         "dtmf",         "hold",            "unhold",        "stream_start",
    "stream_stop",  "command",      "next_event",      "dial",          "record_start",
    "record_stop",
};

std::array<PyMethodDef, std::size(kMethodOrder) + 1> g_methods{};

const PyMethodDef* core_method(std::string_view name) {
  for (const PyMethodDef& def : g_core_methods) {
    if (name == def.ml_name) return &def;
  }
  return nullptr;
}

// Built once; every Call type the module makes shares it.
PyMethodDef* method_table() {
  static PyMethodDef* const table = [] {
    std::size_t n = 0;
    for (std::string_view name : kMethodOrder) {
      const PyMethodDef* def = core_method(name);
      if (def == nullptr) def = find_verb_method(name);
      if (def != nullptr) g_methods[n++] = *def;
    }
    g_methods[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return g_methods.data();
  }();
  return table;
}

PyType_Slot g_call_slots[] = {
    {Py_tp_doc, const_cast<char*>("A handed-over SIP call. Async methods return awaitables.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(call_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(call_repr)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, nullptr},  // filled in by add_call_class
    {0, nullptr},
};

PyType_Spec g_call_spec = {
    "fenwix_control.Call",
    sizeof(CallObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_call_slots,
};

}  // namespace

PyObject* new_call_object(fenwix::Call call) {
  PyTypeObject* type = g_call_type.load(std::memory_order_acquire);
  if (type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "fenwix_control is not initialised");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_call(self)->call) fenwix::Call(std::move(call));
  return self;
}

bool add_call_class(PyObject* module) {
  for (PyType_Slot& slot : g_call_slots) {
    if (slot.slot == Py_tp_methods) slot.pfunc = method_table();
  }
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &g_call_spec, nullptr));
  if (!type) return false;
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return false;
  // The previous module object's type (a re-import) stays alive: Call
  // objects of it may still exist.
  Py_INCREF(type.get());
  g_call_type.store(reinterpret_cast<PyTypeObject*>(type.get()), std::memory_order_release);
  return true;
}

}  // namespace fenwix::py
