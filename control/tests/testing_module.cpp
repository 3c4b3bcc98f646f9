// _fenwix_control_testing: a private module that lets the Python tests reach
// the argument parser, the conversions, the error conversion and the asyncio
// bridge without going through the network. It is built from the same
// objects as fenwix_control but is a module of its own, with its own copy of
// the process-wide state (its own going-away flag among them), and it is
// never installed.
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "binding.hpp"
#include "bridge.hpp"
#include "errors.hpp"
#include "json_convert.hpp"
#include "lifecycle.hpp"
#include "owner.hpp"
#include "unless_closed.hpp"

#include "fenwix/proto/json.hpp"

namespace fenwix::py {

namespace {

using fenwix::Json;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ---------------------------------------------------------------------------
// Values back to Python

Ref to_py(const std::string& value) { return str_from_utf8(value); }
Ref to_py(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref to_py(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }
Ref to_py(std::uint32_t value) { return to_py(static_cast<std::uint64_t>(value)); }
Ref to_py(std::uint16_t value) { return to_py(static_cast<std::uint64_t>(value)); }
Ref to_py(std::uint8_t value) { return to_py(static_cast<std::uint64_t>(value)); }
Ref to_py(std::int64_t value) { return Ref::steal(PyLong_FromLongLong(value)); }
Ref to_py(std::int32_t value) { return to_py(static_cast<std::int64_t>(value)); }
Ref to_py(const Bytes& value) {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.data()),
                                              static_cast<Py_ssize_t>(value.size())));
}
Ref to_py(const ObjectList& value) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < value.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value[i].clone().release());
  }
  return list;
}
Ref to_py(PyObject* value) { return Ref::borrow(value != nullptr ? value : Py_None); }
template <class T>
Ref to_py(const std::optional<T>& value) {
  return value ? to_py(*value) : Ref::borrow(Py_None);
}

template <class... Ts>
PyObject* tuple_of(const Ts&... values) {
  Ref items[] = {to_py(values)...};
  for (const Ref& item : items) {
    if (!item) return nullptr;
  }
  Ref tuple = Ref::steal(PyTuple_New(sizeof...(Ts)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < sizeof...(Ts); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return tuple.release();
}

// ---------------------------------------------------------------------------
// Argument parsing: signatures shaped like the verbs'

PyObject* answer_with(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<4> kSig{
      "answer_with",
      {required("code"), optional("reason"), optional("body"), optional("content_type")}};
  std::uint16_t code = 0;
  std::optional<std::string> reason;
  std::optional<Bytes> body;
  std::optional<std::string> content_type;
  if (!parse_args(kSig, args, nargs, kwnames, code, reason, body, content_type)) return nullptr;
  return tuple_of(code, reason, body, content_type);
}

PyObject* drop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"drop", {optional("reason"), keyword_only("ban")}};
  std::optional<std::string> reason;
  bool ban = false;
  if (!parse_args(kSig, args, nargs, kwnames, reason, ban)) return nullptr;
  return tuple_of(reason, ban);
}

PyObject* refer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSig{"refer", {required("to")}};
  std::string to;
  if (!parse_args(kSig, args, nargs, kwnames, to)) return nullptr;
  return tuple_of(to);
}

PyObject* ints(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<6> kSig{
      "ints",
      {optional("u8"), optional("u16"), optional("u32"), optional("u64"), optional("i32"),
       optional("i64")}};
  std::optional<std::uint8_t> u8;
  std::optional<std::uint16_t> u16;
  std::optional<std::uint32_t> u32;
  std::optional<std::uint64_t> u64;
  std::optional<std::int32_t> i32;
  std::optional<std::int64_t> i64;
  if (!parse_args(kSig, args, nargs, kwnames, u8, u16, u32, u64, i32, i64)) return nullptr;
  return tuple_of(u8, u16, u32, u64, i32, i64);
}

PyObject* exact_ints(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"exact_ints", {required("u32"), required("i64")}};
  std::uint32_t u32 = 0;
  std::int64_t i64 = 0;
  if (!parse_args(kSig, args, nargs, kwnames, u32, i64)) return nullptr;
  return tuple_of(u32, i64);
}

PyObject* play(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<6> kSig{
      "play",
      {optional("file"), optional("db_id"), optional("blob"), optional("repeat"),
       keyword_only("tone"), keyword_only("url")}};
  std::optional<std::string> file;
  std::optional<std::uint64_t> db_id;
  std::optional<Bytes> blob;
  PyObject* repeat = nullptr;
  std::optional<std::string> tone;
  std::optional<std::string> url;
  if (!parse_args(kSig, args, nargs, kwnames, file, db_id, blob, repeat, tone, url)) return nullptr;
  return tuple_of(file, db_id, blob, repeat, tone, url);
}

PyObject* dial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"dial", {required("targets"), optional("strategy")}};
  ObjectList targets;
  std::optional<std::string> strategy;
  if (!parse_args(kSig, args, nargs, kwnames, targets, strategy)) return nullptr;
  return tuple_of(targets, strategy);
}

PyObject* flags(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"flags", {required("value"), optional("maybe")}};
  bool value = false;
  std::optional<bool> maybe;
  if (!parse_args(kSig, args, nargs, kwnames, value, maybe)) return nullptr;
  return tuple_of(value, maybe);
}

PyObject* stream_stop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSig{"stream_stop", {keyword_only("mode")}};
  std::string mode = "tee";
  if (!parse_args(kSig, args, nargs, kwnames, mode)) return nullptr;
  return tuple_of(mode);
}

PyObject* login(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"login", {required("user"), keyword_only_required("token")}};
  std::string user;
  std::string token;
  if (!parse_args(kSig, args, nargs, kwnames, user, token)) return nullptr;
  return tuple_of(user, token);
}

PyObject* progress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<0> kSig{"progress", {}};
  if (!parse_args(kSig, args, nargs, kwnames)) return nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Conversions

std::string kinds_of(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "n";
    case Json::value_t::boolean: return "b";
    case Json::value_t::number_integer: return "i";
    case Json::value_t::number_unsigned: return "u";
    case Json::value_t::number_float: return "f";
    case Json::value_t::string: return "s";
    case Json::value_t::array: {
      std::string out = "[";
      for (const Json& item : value) out += kinds_of(item);
      return out + "]";
    }
    case Json::value_t::object: {
      std::string out = "{";
      for (const auto& [key, member] : value.items()) out += kinds_of(member);
      return out + "}";
    }
    default: return "?";
  }
}

// The text and the number kinds of a JSON value (u: unsigned, i: signed,
// f: floating), which the text alone does not show.
PyObject* describe(const std::optional<Json>& value) {
  if (!value) return nullptr;
  auto text = fenwix::dump_json(*value);
  if (!text) {
    PyErr_SetString(PyExc_AssertionError, text.error().c_str());
    return nullptr;
  }
  return tuple_of(*text, kinds_of(*value));
}

PyObject* to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSig{"to_json", {optional("obj")}};
  PyObject* obj = nullptr;
  if (!parse_args(kSig, args, nargs, kwnames, obj)) return nullptr;
  return describe(optional_json(obj));
}

PyObject* to_json_via_dumps(PyObject*, PyObject* obj) { return describe(json_via_dumps(obj)); }

PyObject* json_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSig{"json_loads", {required("text")}};
  std::string text;
  if (!parse_args(kSig, args, nargs, kwnames, text)) return nullptr;
  auto parsed = fenwix::parse_json(text);
  if (!parsed) {
    PyErr_SetString(PyExc_ValueError, parsed.error().c_str());
    return nullptr;
  }
  return json_to_py(*parsed).release();
}

PyObject* json_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSig{"json_dump", {required("text")}};
  std::string text;
  if (!parse_args(kSig, args, nargs, kwnames, text)) return nullptr;
  auto parsed = fenwix::parse_json(text);
  if (!parsed) {
    PyErr_SetString(PyExc_ValueError, parsed.error().c_str());
    return nullptr;
  }
  auto written = fenwix::dump_json(*parsed);
  if (!written) {
    PyErr_SetString(PyExc_ValueError, written.error().c_str());
    return nullptr;
  }
  return str_from_utf8(*written).release();
}

PyObject* json_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"json_raw", {required("data"), optional("as_key")}};
  Bytes data;
  bool as_key = false;
  if (!parse_args(kSig, args, nargs, kwnames, data, as_key)) return nullptr;
  std::string text(data.begin(), data.end());
  Json value = as_key ? Json::object({{text, 1}}) : Json(text);
  return json_to_py(value).release();
}

PyObject* json_float(PyObject*, PyObject* arg) {
  const double number = PyFloat_AsDouble(arg);
  if (number == -1.0 && PyErr_Occurred()) return nullptr;
  return json_to_py(Json(number)).release();
}

PyObject* json_nested(PyObject*, PyObject* arg) {
  const long depth = PyLong_AsLong(arg);
  if (depth == -1 && PyErr_Occurred()) return nullptr;
  Json value = Json::array();
  for (long i = 0; i < depth; ++i) value = Json::array({std::move(value)});
  return json_to_py(value).release();
}

// ---------------------------------------------------------------------------
// Errors

PyObject* make_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> kSig{
      "make_error", {required("variant"), optional("detail"), optional("code")}};
  std::string variant;
  std::optional<std::string> detail;
  std::optional<std::string> code;
  if (!parse_args(kSig, args, nargs, kwnames, variant, detail, code)) return nullptr;
  const std::string text = detail.value_or("");
  fenwix::ControlError error{fenwix::error::Closed{}};
  try {
    if (variant == "Remote") {
      auto parsed = fenwix::error_code_from_wire(code.value_or(""));
      if (!parsed) {
        PyErr_SetString(PyExc_ValueError, "unknown code");
        return nullptr;
      }
      error = {fenwix::error::Remote{*parsed, text}};
    } else if (variant == "HandshakeRejected") {
      error = {fenwix::error::HandshakeRejected{static_cast<std::uint16_t>(std::stoi(text))}};
    } else if (variant == "Handshake") {
      error = {fenwix::error::Handshake{text}};
    } else if (variant == "Timeout") {
      error = {fenwix::error::Timeout{std::chrono::milliseconds(std::stoll(text))}};
    } else if (variant == "WebSocket") {
      error = {fenwix::error::WebSocket{text}};
    } else if (variant == "Serialization") {
      error = {fenwix::error::Serialization{text}};
    } else if (variant == "Config") {
      error = {fenwix::error::Config{text}};
    } else if (variant != "Closed") {
      PyErr_SetString(PyExc_ValueError, "unknown variant");
      return nullptr;
    }
  } catch (const std::exception& e) {
    // std::stoi and friends on a malformed detail.
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  }
  return to_pyerr(error).release();
}

PyObject* make_interpreter_gone(PyObject*, PyObject*) { return interpreter_gone().release(); }

PyObject* mark_going_away(PyObject*, PyObject*) {
  mark_interpreter_going_away();
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The asyncio bridge

std::atomic<std::uint64_t> g_converted{0};
std::atomic<std::uint64_t> g_cancel_hooks{0};

// Counts the converters that actually ran.
Converter counted(Converter inner) {
  return [inner = std::move(inner)]() mutable -> PyObject* {
    g_converted.fetch_add(1);
    return inner();
  };
}

Converter outcome_for(const std::optional<std::string>& result,
                      const std::optional<std::string>& error, const std::string& convert) {
  if (error) {
    return counted(error_outcome(
        fenwix::ControlError{fenwix::error::Remote{fenwix::ControlErrorCode::NotFound, *error}}));
  }
  auto parsed = fenwix::parse_json(result.value_or("null"));
  fenwix::Result<Json> reply = parsed ? fenwix::Result<Json>(std::move(*parsed))
                                      : fenwix::Result<Json>(std::unexpected(fenwix::ControlError{
                                            fenwix::error::Serialization{parsed.error()}}));
  return counted(convert == "none" ? none_outcome(std::move(reply)) : json_outcome(std::move(reply)));
}

PyObject* complete_later(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<5> kSig{
      "complete_later",
      {required("delay_ms"), optional("result"), keyword_only("error"),
       keyword_only("cancel_hook"), keyword_only("convert")}};
  std::uint32_t delay_ms = 0;
  std::optional<std::string> result;
  std::optional<std::string> error;
  bool cancel_hook = false;
  std::string convert = "json";
  if (!parse_args(kSig, args, nargs, kwnames, delay_ms, result, error, cancel_hook, convert)) {
    return nullptr;
  }
  CancelHook hook;
  if (cancel_hook) hook = [] { g_cancel_hooks.fetch_add(1); };
  auto pending = Pending::create(std::move(hook));
  if (!pending) return nullptr;
  std::thread([delay_ms, done = std::move(pending->completion),
               outcome = outcome_for(result, error, convert)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    std::move(done).resolve(std::move(outcome));
  }).detach();
  return pending->future.release();
}

PyObject* complete_batch(PyObject*, PyObject* arg) {
  const Py_ssize_t count = PyLong_AsSsize_t(arg);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  Ref futures = Ref::steal(PyList_New(0));
  if (!futures) return nullptr;
  std::vector<Completion> completions;
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto pending = Pending::create();
    if (!pending) return nullptr;
    if (PyList_Append(futures.get(), pending->future.get()) < 0) return nullptr;
    completions.push_back(std::move(pending->completion));
  }
  {
    GilRelease unlocked;
    std::thread([&completions] {
      std::int64_t i = 0;
      for (Completion& done : completions) {
        std::move(done).resolve(counted(json_outcome(Json(i++))));
      }
    }).join();
  }
  return futures.release();
}

std::mutex g_held_mutex;
std::vector<Completion>& held() {
  static auto* completions = new std::vector<Completion>;
  return *completions;
}

PyObject* hold(PyObject*, PyObject*) {
  auto pending = Pending::create();
  if (!pending) return nullptr;
  std::lock_guard lock(g_held_mutex);
  held().push_back(std::move(pending->completion));
  return pending->future.release();
}

std::vector<Completion> take_held() {
  std::lock_guard lock(g_held_mutex);
  return std::exchange(held(), {});
}

PyObject* resolve_held(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) return nullptr;
  auto parsed = fenwix::parse_json(std::string_view(text, static_cast<std::size_t>(size)));
  if (!parsed) {
    PyErr_SetString(PyExc_ValueError, parsed.error().c_str());
    return nullptr;
  }
  std::vector<Completion> completions = take_held();
  {
    GilRelease unlocked;
    std::thread([&] {
      for (Completion& done : completions) std::move(done).resolve(counted(json_outcome(*parsed)));
    }).join();
  }
  Py_RETURN_NONE;
}

PyObject* abandon_held(PyObject*, PyObject*) {
  std::vector<Completion> completions = take_held();
  {
    GilRelease unlocked;
    std::thread([&] { completions.clear(); }).join();
  }
  Py_RETURN_NONE;
}

// A background task that fails with an exception of its own, not by being
// cancelled.
PyObject* fail_in_background(PyObject*, PyObject*) {
  auto loop = capture_loop();
  if (!loop) return nullptr;
  auto body = []() -> boost::asio::awaitable<fenwix::Result<void>> {
    throw std::runtime_error("boom");
    co_return fenwix::Result<void>{};
  };
  return start_cancellable(*loop, body());
}

PyObject* run_on_loop_from_thread(PyObject*, PyObject* callable) {
  auto loop = capture_loop();
  if (!loop) return nullptr;
  AnyThreadRef function(Ref::borrow(callable));
  ChannelPtr channel = loop->channel;
  {
    GilRelease unlocked;
    std::thread([&] {
      run_on_loop(channel, [function = std::move(function)] {
        Ref ignored = Ref::steal(PyObject_CallNoArgs(function.get()));
      });
    }).join();
  }
  Py_RETURN_NONE;
}

PyObject* dispatch_on_thread(PyObject*, PyObject* callable) {
  LoopContextPtr context = capture_loop_context();
  if (!context) return nullptr;
  auto pending = Pending::create();
  if (!pending) return nullptr;
  std::thread([context, function = AnyThreadRef(Ref::borrow(callable)),
               done = std::move(pending->completion)]() mutable {
    AnyThreadRef failure;
    attach_if_running([&] {
      DispatchScope scope(context);
      Ref result = Ref::steal(PyObject_CallNoArgs(function.get()));
      if (!result) failure = AnyThreadRef(Ref::steal(PyErr_GetRaisedException()));
      function.reset();
    });
    std::move(done).resolve([failure = std::move(failure)]() mutable -> PyObject* {
      if (!failure) Py_RETURN_NONE;
      PyErr_SetRaisedException(failure.take().release());
      return nullptr;
    });
  }).detach();
  return pending->future.release();
}

PyObject* drop_on_thread(PyObject*, PyObject* obj) {
  AnyThreadRef ref(Ref::borrow(obj));
  {
    GilRelease unlocked;
    std::thread([&] { ref.reset(); }).join();
  }
  Py_RETURN_NONE;
}

PyObject* deferred_count(PyObject*, PyObject*) {
  return PyLong_FromSize_t(deferred_ref_count());
}

PyObject* stats(PyObject*, PyObject*) {
  const BridgeStats bridge = bridge_stats();
  return Py_BuildValue("{sKsKsKsKsK}", "wakeups", bridge.wakeups, "drains", bridge.drains,
                       "channels", bridge.channels, "converted", g_converted.load(),
                       "cancel_hooks", g_cancel_hooks.load());
}

// ---------------------------------------------------------------------------
// UnlessClosed

ClosedFlag& closed_flag() {
  static auto* flag = new ClosedFlag(make_closed_flag());
  return *flag;
}

PyObject* unless_closed(PyObject*, PyObject* awaitable) {
  return make_unless_closed(Ref::borrow(awaitable), closed_flag()).release();
}

PyObject* set_closed(PyObject*, PyObject* arg) {
  const int value = PyObject_IsTrue(arg);
  if (value < 0) return nullptr;
  closed_flag()->store(value != 0, std::memory_order_seq_cst);
  Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    {"answer_with", FASTCALL(answer_with), METH_FASTCALL | METH_KEYWORDS,
     "answer_with(code, reason=None, body=None, content_type=None)\n--\n\nParse like Call.answer_with."},
    {"drop", FASTCALL(drop), METH_FASTCALL | METH_KEYWORDS,
     "drop(reason=None, *, ban=False)\n--\n\nParse like Call.drop."},
    {"refer", FASTCALL(refer), METH_FASTCALL | METH_KEYWORDS,
     "refer(to)\n--\n\nParse like Call.refer."},
    {"ints", FASTCALL(ints), METH_FASTCALL | METH_KEYWORDS,
     "ints(u8=None, u16=None, u32=None, u64=None, i32=None, i64=None)\n--\n\n"
     "Parse optional integers of every width."},
    {"exact_ints", FASTCALL(exact_ints), METH_FASTCALL | METH_KEYWORDS,
     "exact_ints(u32, i64)\n--\n\nParse required integers."},
    {"play", FASTCALL(play), METH_FASTCALL | METH_KEYWORDS,
     "play(file=None, db_id=None, blob=None, repeat=None, *, tone=None, url=None)\n--\n\n"
     "Parse like Call.play."},
    {"dial", FASTCALL(dial), METH_FASTCALL | METH_KEYWORDS,
     "dial(targets, strategy=None)\n--\n\nParse a sequence argument."},
    {"flags", FASTCALL(flags), METH_FASTCALL | METH_KEYWORDS,
     "flags(value, maybe=None)\n--\n\nParse booleans."},
    {"stream_stop", FASTCALL(stream_stop), METH_FASTCALL | METH_KEYWORDS,
     "stream_stop(*, mode=\"tee\")\n--\n\nParse a keyword-only str with a default."},
    {"login", FASTCALL(login), METH_FASTCALL | METH_KEYWORDS,
     "login(user, *, token)\n--\n\nParse a required keyword-only argument."},
    {"progress", FASTCALL(progress), METH_FASTCALL | METH_KEYWORDS,
     "progress()\n--\n\nParse no arguments."},
    {"to_json", FASTCALL(to_json), METH_FASTCALL | METH_KEYWORDS,
     "to_json(obj=None)\n--\n\nThe text and number kinds of optional_json(obj)."},
    {"to_json_via_dumps", to_json_via_dumps, METH_O,
     "to_json_via_dumps(obj)\n--\n\nThe same through json.dumps only."},
    {"json_loads", FASTCALL(json_loads), METH_FASTCALL | METH_KEYWORDS,
     "json_loads(text)\n--\n\njson_to_py of the parsed text."},
    {"json_dump", FASTCALL(json_dump), METH_FASTCALL | METH_KEYWORDS,
     "json_dump(text)\n--\n\nThe compact text of the parsed text."},
    {"json_raw", FASTCALL(json_raw), METH_FASTCALL | METH_KEYWORDS,
     "json_raw(data, as_key=False)\n--\n\njson_to_py of a string (or key) holding these bytes."},
    {"json_float", json_float, METH_O, "json_float(number)\n--\n\njson_to_py of a double."},
    {"json_nested", json_nested, METH_O,
     "json_nested(depth)\n--\n\njson_to_py of arrays nested this deep."},
    {"make_error", FASTCALL(make_error), METH_FASTCALL | METH_KEYWORDS,
     "make_error(variant, detail=None, code=None)\n--\n\nto_pyerr of a library error."},
    {"interpreter_gone", make_interpreter_gone, METH_NOARGS,
     "interpreter_gone()\n--\n\nThe interpreter-gone ControlError."},
    {"mark_going_away", mark_going_away, METH_NOARGS,
     "mark_going_away()\n--\n\nSet this module's going-away flag."},
    {"complete_later", FASTCALL(complete_later), METH_FASTCALL | METH_KEYWORDS,
     "complete_later(delay_ms, result=None, *, error=None, cancel_hook=False, convert=\"json\")\n"
     "--\n\nA future resolved from another thread after a delay."},
    {"complete_batch", complete_batch, METH_O,
     "complete_batch(count)\n--\n\nFutures all resolved from one thread before returning."},
    {"hold", hold, METH_NOARGS, "hold()\n--\n\nA future whose completion is kept."},
    {"resolve_held", resolve_held, METH_O,
     "resolve_held(result)\n--\n\nResolve every kept completion from another thread."},
    {"fail_in_background", fail_in_background, METH_NOARGS,
     "fail_in_background()\n--\n\nA background task that throws; its future's outcome."},
    {"abandon_held", abandon_held, METH_NOARGS,
     "abandon_held()\n--\n\nDrop every kept completion on another thread."},
    {"run_on_loop_from_thread", run_on_loop_from_thread, METH_O,
     "run_on_loop_from_thread(callable)\n--\n\nHave another thread run callable on this loop."},
    {"dispatch_on_thread", dispatch_on_thread, METH_O,
     "dispatch_on_thread(callable)\n--\n\nCall callable on another thread inside a dispatch scope."},
    {"drop_on_thread", drop_on_thread, METH_O,
     "drop_on_thread(obj)\n--\n\nDrop a reference to obj on a thread without the lock."},
    {"deferred_count", deferred_count, METH_NOARGS,
     "deferred_count()\n--\n\nReferences waiting in the deferred-release pool."},
    {"stats", stats, METH_NOARGS, "stats()\n--\n\nBridge counters."},
    {"unless_closed", unless_closed, METH_O,
     "unless_closed(awaitable)\n--\n\nWrap awaitable with this module's closed flag."},
    {"set_closed", set_closed, METH_O, "set_closed(value)\n--\n\nSet this module's closed flag."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_testing(PyObject* module) {
  if (!init_names() || !init_unless_closed_type()) return -1;
  // This module's own copy of the exception type, for the tests to match.
  PyObject* control_error = control_error_type();
  if (control_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "ControlError", control_error) < 0) return -1;
  return PyModule_AddFunctions(module, g_methods);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_fenwix_control_testing", "", 0, nullptr, g_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace fenwix::py

PyMODINIT_FUNC PyInit__fenwix_control_testing() {
  return PyModuleDef_Init(&fenwix::py::g_module);
}
