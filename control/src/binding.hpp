// The thin layer between C++ and the CPython API that the rest of the module
// is written against: owning references, interpreter-lock guards, references
// that may be dropped on any thread, and the argument parser of methods.
//
// Unless a declaration says otherwise, everything here must be called with
// the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fenwix::py {

// ---------------------------------------------------------------------------
// Owning references

// Owns one strong reference, or nothing. Moving transfers it; copying is
// spelled `clone()` so that every new reference is visible in the code. It
// must be used and destroyed with the interpreter lock held; use
// `AnyThreadRef` for references that other threads may drop.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (typically a C API result); null stays empty.
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to a borrowed object; null stays empty.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  Ref clone() const noexcept { return borrow(object_); }
  PyObject* get() const noexcept { return object_; }
  // Gives up ownership: the caller now owns the reference (a new reference
  // for a C API return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// True when the calling thread holds the interpreter lock. Callable anywhere.
inline bool holds_interpreter() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// Owns one strong reference and may be moved to, and destroyed on, any
// thread. Creating it, `get()` and `clone()` need the interpreter lock.
// Destroying it with the lock held releases the reference at once; without
// it the reference goes to the deferred-release pool, which the module
// empties the next time its own code holds the lock. Once the interpreter is
// going away, a reference dropped without the lock is leaked on purpose:
// nothing may touch the interpreter any more.
class AnyThreadRef {
 public:
  AnyThreadRef() noexcept = default;
  explicit AnyThreadRef(Ref ref) noexcept : object_(ref.release()) {}
  AnyThreadRef(AnyThreadRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  AnyThreadRef& operator=(AnyThreadRef&& other) noexcept {
    if (this != &other) {
      drop(std::exchange(object_, std::exchange(other.object_, nullptr)));
    }
    return *this;
  }
  AnyThreadRef(const AnyThreadRef&) = delete;
  AnyThreadRef& operator=(const AnyThreadRef&) = delete;
  ~AnyThreadRef() { drop(object_); }

  PyObject* get() const noexcept { return object_; }
  Ref clone() const noexcept { return Ref::borrow(object_); }
  // Back to a plain reference; needs the lock.
  Ref take() noexcept { return Ref::steal(std::exchange(object_, nullptr)); }
  void reset() noexcept { drop(std::exchange(object_, nullptr)); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  static void drop(PyObject* object) noexcept;
  PyObject* object_ = nullptr;
};

// Releases the references that other threads dropped. Cheap when there are
// none (one atomic load). Needs the lock.
void release_deferred_refs() noexcept;
// Parks a reference in the pool even though the caller holds the lock, for
// objects that must not be released from where the caller is (for example
// a weak reference inside its own callback). Needs the lock.
void defer_release(Ref ref) noexcept;
// Number of references waiting in the pool (for tests). Any thread.
std::size_t deferred_ref_count() noexcept;

// ---------------------------------------------------------------------------
// Interpreter lock

// Acquires the interpreter lock for the current thread, re-entrantly, for the
// guard's scope. Only for threads that know the interpreter is alive; code
// on background threads goes through `attach_if_running` instead.
class GilAcquire {
 public:
  GilAcquire() noexcept : state_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

// Releases the lock held by the current thread for the guard's scope.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Interned names used on hot paths

// Attribute and method names, created once per process by `init_names` (at
// module execution) and never released.
struct Names {
  PyObject* add_done_callback;
  PyObject* add_reader;
  PyObject* call_soon_threadsafe;
  PyObject* cancel;
  PyObject* cancelled;
  PyObject* close;
  PyObject* code;
  PyObject* create_future;
  PyObject* done;
  PyObject* dunder_await;
  PyObject* kind;
  PyObject* payload;
  PyObject* set_exception;
  PyObject* set_result;
};
bool init_names();
const Names& names() noexcept;

// The type name CPython's own argument errors show: "None" for None.
const char* type_name(PyObject* object) noexcept;

// ---------------------------------------------------------------------------
// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions
//
//   static constexpr Signature<2> kDrop{"drop", {optional("reason"), keyword_only("ban")}};
//   std::optional<std::string> reason;
//   bool ban = false;
//   if (!parse_args(kDrop, args, nargs, kwnames, reason, ban)) return nullptr;
//
// Parameters are matched by position and then by keyword, exactly once each,
// and converted to the declared C++ type of the output variable. A parameter
// that is not given leaves its variable untouched, so the variable's initial
// value is the default. A `std::optional<T>` variable also takes None (as
// "not given", nullopt); any other type refuses None like any other wrong
// type. Errors are TypeError (arity, keywords, types) or OverflowError
// (integers outside the declared width), worded like CPython's own and
// naming the function and the parameter. No Python object is created unless
// an error is raised or a value needs one (a sequence that is not a list or
// tuple, an integer-like object that is not an int).

enum class ParamKind : std::uint8_t { PositionalOrKeyword, KeywordOnly };

struct Param {
  std::string_view name;
  ParamKind kind;
  bool required;
};

constexpr Param required(std::string_view name) {
  return {name, ParamKind::PositionalOrKeyword, true};
}
constexpr Param optional(std::string_view name) {
  return {name, ParamKind::PositionalOrKeyword, false};
}
constexpr Param keyword_only(std::string_view name) {
  return {name, ParamKind::KeywordOnly, false};
}
constexpr Param keyword_only_required(std::string_view name) {
  return {name, ParamKind::KeywordOnly, true};
}

// Positional-or-keyword parameters come first, keyword-only ones after them.
template <std::size_t N>
struct Signature {
  std::string_view function;
  std::array<Param, N> params;

  constexpr std::size_t max_positional() const {
    std::size_t n = 0;
    while (n < N && params[n].kind == ParamKind::PositionalOrKeyword) ++n;
    return n;
  }
  constexpr std::size_t min_positional() const {
    std::size_t n = 0;
    while (n < N && params[n].kind == ParamKind::PositionalOrKeyword && params[n].required) ++n;
    return n;
  }
};

// What an extractor needs for its error messages.
struct ArgContext {
  std::string_view function;
  std::string_view name;
};

// A `str` argument kept as the object itself (subclasses included), for
// callers that compare it without converting it.
struct StrObject {
  PyObject* object = nullptr;  // borrowed from the call's arguments
};

using Bytes = std::vector<std::uint8_t>;
// The items of a sequence argument, each a new reference.
using ObjectList = std::vector<Ref>;

// Typed extractors. Each returns false with a Python error set.
bool extract(PyObject* value, std::string& out, const ArgContext& ctx);
bool extract(PyObject* value, StrObject& out, const ArgContext& ctx);
bool extract(PyObject* value, bool& out, const ArgContext& ctx);
bool extract(PyObject* value, std::uint8_t& out, const ArgContext& ctx);
bool extract(PyObject* value, std::uint16_t& out, const ArgContext& ctx);
bool extract(PyObject* value, std::uint32_t& out, const ArgContext& ctx);
bool extract(PyObject* value, std::uint64_t& out, const ArgContext& ctx);
bool extract(PyObject* value, std::int32_t& out, const ArgContext& ctx);
bool extract(PyObject* value, std::int64_t& out, const ArgContext& ctx);
bool extract(PyObject* value, Bytes& out, const ArgContext& ctx);
bool extract(PyObject* value, ObjectList& out, const ArgContext& ctx);
// Any object, None included, borrowed from the call's arguments.
bool extract(PyObject* value, PyObject*& out, const ArgContext& ctx);

template <class T>
bool extract(PyObject* value, std::optional<T>& out, const ArgContext& ctx) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  T converted{};
  // The "or None" in the message tells the caller that None was acceptable.
  if (!extract(value, converted, ctx, true)) return false;
  out = std::move(converted);
  return true;
}

// The same extractors with the message variant for optional parameters.
bool extract(PyObject* value, std::string& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, StrObject& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, bool& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::uint8_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::uint16_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::uint32_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::uint64_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::int32_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, std::int64_t& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, Bytes& out, const ArgContext& ctx, bool or_none);
bool extract(PyObject* value, ObjectList& out, const ArgContext& ctx, bool or_none);

namespace detail {

struct ParamView {
  const Param* params;
  std::size_t count;
  std::size_t max_positional;
  std::size_t min_positional;
  std::string_view function;
};

// Matches positional and keyword arguments to parameters: `slots[i]` is the
// borrowed value of parameter i, or null when it was not given. Checks arity,
// unknown and repeated keywords and missing required parameters.
bool bind_arguments(const ParamView& view, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace detail

template <std::size_t N, class... Outs>
bool parse_args(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, Outs&... outs) {
  static_assert(sizeof...(Outs) == N, "one output variable per parameter");
  std::array<PyObject*, N == 0 ? 1 : N> slots{};
  const detail::ParamView view{signature.params.data(), N, signature.max_positional(),
                               signature.min_positional(), signature.function};
  if (!detail::bind_arguments(view, args, nargs, kwnames, slots.data())) return false;
  std::size_t i = 0;
  [[maybe_unused]] auto convert = [&](auto& out) {
    PyObject* value = slots[i];
    const ArgContext ctx{signature.function, signature.params[i].name};
    ++i;
    return value == nullptr || extract(value, out, ctx);
  };
  return (convert(outs) && ...);
}

// Raises TypeError "<function>() argument '<name>' must be <expected>, not <type>".
void raise_wrong_type(const ArgContext& ctx, const char* expected, PyObject* value);

}  // namespace fenwix::py
