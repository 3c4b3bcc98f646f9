#include "binding.hpp"

#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "lifecycle.hpp"

namespace fenwix::py {

// ---------------------------------------------------------------------------
// Deferred-release pool

namespace {

// Heap-allocated and never destroyed: runtime threads may still drop
// references while static destructors run at process exit.
struct DeferredPool {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> nonempty{false};
};

DeferredPool& deferred_pool() {
  static DeferredPool* pool = new DeferredPool;
  return *pool;
}

void park(PyObject* object) noexcept {
  DeferredPool& pool = deferred_pool();
  try {
    std::lock_guard lock(pool.mutex);
    pool.objects.push_back(object);
    pool.nonempty.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // Out of memory while parking a reference: leaking it is harmless.
  }
}

}  // namespace

void AnyThreadRef::drop(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (holds_interpreter()) {
    Py_DECREF(object);
    return;
  }
  // Past this point the interpreter may be tearing itself down; a leak is
  // the only safe outcome.
  if (interpreter_going_away()) return;
  park(object);
}

void defer_release(Ref ref) noexcept {
  if (PyObject* object = ref.release()) park(object);
}

void release_deferred_refs() noexcept {
  DeferredPool& pool = deferred_pool();
  if (!pool.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(pool.mutex);
    batch.swap(pool.objects);
    pool.nonempty.store(false, std::memory_order_relaxed);
  }
  // Releasing may run finalisers that drop further references; they are
  // on this thread, which holds the lock, so they are released directly.
  for (PyObject* object : batch) Py_DECREF(object);
}

std::size_t deferred_ref_count() noexcept {
  DeferredPool& pool = deferred_pool();
  std::lock_guard lock(pool.mutex);
  return pool.objects.size();
}

// ---------------------------------------------------------------------------
// Names

namespace {
Names g_names{};
}

bool init_names() {
  if (g_names.set_result != nullptr) return true;
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&g_names.add_done_callback, "add_done_callback"},
      {&g_names.add_reader, "add_reader"},
      {&g_names.call_soon_threadsafe, "call_soon_threadsafe"},
      {&g_names.cancel, "cancel"},
      {&g_names.cancelled, "cancelled"},
      {&g_names.close, "close"},
      {&g_names.code, "code"},
      {&g_names.create_future, "create_future"},
      {&g_names.done, "done"},
      {&g_names.dunder_await, "__await__"},
      {&g_names.kind, "kind"},
      {&g_names.payload, "payload"},
      {&g_names.set_exception, "set_exception"},
      // Last: its being set marks the whole table as ready.
      {&g_names.set_result, "set_result"},
  };
  for (const Entry& entry : entries) {
    if (*entry.slot != nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(entry.text);
    if (name == nullptr) return false;
    *entry.slot = name;
  }
  return true;
}

const Names& names() noexcept { return g_names; }

const char* type_name(PyObject* object) noexcept {
  return object == Py_None ? "None" : Py_TYPE(object)->tp_name;
}

// ---------------------------------------------------------------------------
// Argument binding

namespace {

std::string call_name(std::string_view function) {
  std::string text(function);
  text += "()";
  return text;
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

void raise_wrong_type(const ArgContext& ctx, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not %s",
               call_name(ctx.function).c_str(), std::string(ctx.name).c_str(), expected,
               type_name(value));
}

namespace detail {

bool bind_arguments(const ParamView& view, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  const auto given = static_cast<std::size_t>(nargs);
  if (given > view.max_positional) {
    std::string message = call_name(view.function);
    if (view.max_positional == 0) {
      message += " takes no positional arguments";
    } else {
      message += view.min_positional == view.max_positional ? " takes exactly " : " takes at most ";
      message += std::to_string(view.max_positional);
      message += view.max_positional == 1 ? " positional argument (" : " positional arguments (";
      message += std::to_string(given);
      message += " given)";
    }
    raise_type_error(message);
    return false;
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t index = view.count;
      for (std::size_t i = 0; i < view.count; ++i) {
        const std::string_view name = view.params[i].name;
        if (PyUnicode_EqualToUTF8AndSize(key, name.data(), static_cast<Py_ssize_t>(name.size()))) {
          index = i;
          break;
        }
      }
      if (index == view.count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     call_name(view.function).c_str(), key);
        return false;
      }
      if (slots[index] != nullptr) {
        raise_type_error(call_name(view.function) + " got multiple values for argument '" +
                         std::string(view.params[index].name) + "'");
        return false;
      }
      slots[index] = args[nargs + k];
    }
  }

  for (std::size_t i = 0; i < view.count; ++i) {
    const Param& param = view.params[i];
    if (!param.required || slots[i] != nullptr) continue;
    std::string message = call_name(view.function);
    if (param.kind == ParamKind::KeywordOnly) {
      message += " missing required keyword-only argument '" + std::string(param.name) + "'";
    } else {
      message += " missing required argument '" + std::string(param.name) + "' (pos " +
                 std::to_string(i + 1) + ")";
    }
    raise_type_error(message);
    return false;
  }
  return true;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Extractors

namespace {

enum class IntStatus { Ok, NotInt, OutOfRange, Error };

// Reads an int (or an object with __index__, as CPython's own integer
// parameters accept) into the range [lo, hi]. `bool` is an int and passes.
template <class T>
IntStatus read_int(PyObject* value, T& out) {
  Ref index;
  PyObject* number = value;
  if (!PyLong_Check(value)) {
    PyNumberMethods* methods = Py_TYPE(value)->tp_as_number;
    if (methods == nullptr || methods->nb_index == nullptr) return IntStatus::NotInt;
    index = Ref::steal(PyNumber_Index(value));
    if (!index) return IntStatus::Error;
    number = index.get();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (v == -1 && PyErr_Occurred()) return IntStatus::Error;
  if constexpr (std::is_unsigned_v<T>) {
    if (overflow > 0) {
      if constexpr (sizeof(T) < sizeof(unsigned long long)) {
        return IntStatus::OutOfRange;
      } else {
        const unsigned long long u = PyLong_AsUnsignedLongLong(number);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          PyErr_Clear();
          return IntStatus::OutOfRange;
        }
        out = static_cast<T>(u);
        return IntStatus::Ok;
      }
    }
    if (overflow < 0 || v < 0) return IntStatus::OutOfRange;
    if (static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) {
      return IntStatus::OutOfRange;
    }
  } else {
    if (overflow != 0) return IntStatus::OutOfRange;
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
      return IntStatus::OutOfRange;
    }
  }
  out = static_cast<T>(v);
  return IntStatus::Ok;
}

template <class T>
void raise_out_of_range(const ArgContext& ctx) {
  const std::string lo = std::to_string(std::numeric_limits<T>::min());
  const std::string hi = std::to_string(std::numeric_limits<T>::max());
  PyErr_Format(PyExc_OverflowError, "%s argument '%s' must be an int from %s to %s",
               call_name(ctx.function).c_str(), std::string(ctx.name).c_str(), lo.c_str(),
               hi.c_str());
}

template <class T>
bool extract_int(PyObject* value, T& out, const ArgContext& ctx, bool or_none) {
  switch (read_int(value, out)) {
    case IntStatus::Ok:
      return true;
    case IntStatus::NotInt:
      raise_wrong_type(ctx, or_none ? "int or None" : "int", value);
      return false;
    case IntStatus::OutOfRange:
      raise_out_of_range<T>(ctx);
      return false;
    case IntStatus::Error:
      return false;
  }
  return false;
}

constexpr const char* kBytesExpected = "bytes, bytearray or a sequence of ints 0-255";
constexpr const char* kBytesExpectedOrNone =
    "bytes, bytearray, a sequence of ints 0-255 or None";

}  // namespace

bool extract(PyObject* value, std::string& out, const ArgContext& ctx, bool or_none) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(ctx, or_none ? "str or None" : "str", value);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool extract(PyObject* value, StrObject& out, const ArgContext& ctx, bool or_none) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(ctx, or_none ? "str or None" : "str", value);
    return false;
  }
  out.object = value;
  return true;
}

bool extract(PyObject* value, bool& out, const ArgContext& ctx, bool or_none) {
  if (value == Py_True) {
    out = true;
    return true;
  }
  if (value == Py_False) {
    out = false;
    return true;
  }
  raise_wrong_type(ctx, or_none ? "bool or None" : "bool", value);
  return false;
}

bool extract(PyObject* value, std::uint8_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}
bool extract(PyObject* value, std::uint16_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}
bool extract(PyObject* value, std::uint32_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}
bool extract(PyObject* value, std::uint64_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}
bool extract(PyObject* value, std::int32_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}
bool extract(PyObject* value, std::int64_t& out, const ArgContext& ctx, bool or_none) {
  return extract_int(value, out, ctx, or_none);
}

bool extract(PyObject* value, Bytes& out, const ArgContext& ctx, bool or_none) {
  if (PyBytes_Check(value)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
    out.assign(data, data + PyBytes_GET_SIZE(value));
    return true;
  }
  if (PyByteArray_Check(value)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(value));
    out.assign(data, data + PyByteArray_GET_SIZE(value));
    return true;
  }
  // Text is not bytes, although it is a sequence.
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    raise_wrong_type(ctx, or_none ? kBytesExpectedOrNone : kBytesExpected, value);
    return false;
  }
  Ref sequence = Ref::steal(PySequence_Fast(value, "expected a sequence"));
  if (!sequence) return false;
  out.clear();
  // Items are fetched one by one and the size is read on every round:
  // __index__ of an item may change a list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    Ref item = Ref::steal(PySequence_GetItem(sequence.get(), i));
    if (!item) return false;
    std::uint8_t byte = 0;
    switch (read_int(item.get(), byte)) {
      case IntStatus::Ok:
        out.push_back(byte);
        break;
      case IntStatus::NotInt:
        PyErr_Format(PyExc_TypeError, "%s argument '%s' item %zd must be int, not %s",
                     call_name(ctx.function).c_str(), std::string(ctx.name).c_str(), i,
                     type_name(item.get()));
        return false;
      case IntStatus::OutOfRange:
        PyErr_Format(PyExc_OverflowError, "%s argument '%s' item %zd must be an int from 0 to 255",
                     call_name(ctx.function).c_str(), std::string(ctx.name).c_str(), i);
        return false;
      case IntStatus::Error:
        return false;
    }
  }
  return true;
}

bool extract(PyObject* value, ObjectList& out, const ArgContext& ctx, bool or_none) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    raise_wrong_type(ctx, or_none ? "a sequence or None" : "a sequence", value);
    return false;
  }
  Ref sequence = Ref::steal(PySequence_Fast(value, "expected a sequence"));
  if (!sequence) return false;
  out.clear();
  // Without a global interpreter lock another thread could resize the list
  // while we copy it; the critical section (free with the lock) prevents it.
  Py_BEGIN_CRITICAL_SECTION(sequence.get());
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    out.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i)));
  }
  Py_END_CRITICAL_SECTION();
  return true;
}

bool extract(PyObject* value, PyObject*& out, const ArgContext&) {
  out = value;
  return true;
}

bool extract(PyObject* value, std::string& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, StrObject& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, bool& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::uint8_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::uint16_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::uint32_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::uint64_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::int32_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, std::int64_t& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, Bytes& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}
bool extract(PyObject* value, ObjectList& out, const ArgContext& ctx) {
  return extract(value, out, ctx, false);
}

}  // namespace fenwix::py
