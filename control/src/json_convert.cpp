#include "json_convert.hpp"

#include <cmath>
#include <string>

namespace fenwix::py {

using fenwix::Json;

// ---------------------------------------------------------------------------
// JSON to Python

namespace {

// Python's recursion guard bounds the nesting we follow, so a value built
// deeper than any parsed text can be fails with RecursionError (as
// json.loads would) instead of exhausting the stack.
constexpr const char* kRecursionWhere = " while converting a JSON value to Python";

Ref raise_value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return {};
}

// A string that is not valid UTF-8 cannot be written as JSON text, so the
// conversion fails the way writing the whole value would: with the writer's
// error for the first such string in writing order, which is the order we
// convert in, and which names only that string's own bytes.
Ref string_to_py(const std::string& text) {
  PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (result != nullptr) return Ref::steal(result);
  PyErr_Clear();
  auto written = fenwix::dump_json(Json(text));
  return raise_value_error(written ? "JSON string is not valid UTF-8" : written.error());
}

Ref convert(const Json& value);

Ref convert_array(const Json& value) {
  const auto& array = value.get_ref<const Json::array_t&>();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(array.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < array.size(); ++i) {
    Ref item = convert(array[i]);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref convert_object(const Json& value) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
    Ref py_key = string_to_py(key);
    if (!py_key) return {};
    Ref py_value = convert(member);
    if (!py_value) return {};
    if (PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return {};
  }
  return dict;
}

// Written as {"bytes":[...],"subtype":<n or null>}.
Ref convert_binary(const Json& value) {
  const auto& binary = value.get_binary();
  Json as_object = Json::object();
  as_object["bytes"] = Json::array();
  for (const std::uint8_t byte : binary) as_object["bytes"].push_back(byte);
  as_object["subtype"] = binary.has_subtype() ? Json(binary.subtype()) : Json(nullptr);
  return convert_object(as_object);
}

Ref convert(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return Ref::borrow(Py_None);
    case Json::value_t::boolean:
      return Ref::borrow(value.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_integer:
      return Ref::steal(PyLong_FromLongLong(value.get<std::int64_t>()));
    case Json::value_t::number_unsigned:
      return Ref::steal(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      // The writer spells a non-finite number null.
      if (!std::isfinite(number)) return Ref::borrow(Py_None);
      return Ref::steal(PyFloat_FromDouble(number));
    }
    case Json::value_t::string:
      return string_to_py(value.get_ref<const std::string&>());
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary: {
      if (Py_EnterRecursiveCall(kRecursionWhere) != 0) return {};
      Ref result = value.is_array()    ? convert_array(value)
                   : value.is_object() ? convert_object(value)
                                       : convert_binary(value);
      Py_LeaveRecursiveCall();
      return result;
    }
    case Json::value_t::discarded:
      break;
  }
  return raise_value_error("a discarded JSON value has no text form");
}

}  // namespace

Ref json_to_py(const Json& value) { return convert(value); }

// ---------------------------------------------------------------------------
// Python to JSON

namespace {

// Deeper structures, and circular ones, take the json.dumps route, which
// reports them exactly as json.dumps does.
constexpr int kDirectDepth = 64;

// A Python int as our reader would read its decimal text: non-negative
// values are unsigned, negative ones signed; beyond 64 bits (read as a
// double, or refused) only the json.dumps route is exact.
bool direct_int(PyObject* object, Json& out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    out = value >= 0 ? Json(static_cast<std::uint64_t>(value)) : Json(static_cast<std::int64_t>(value));
    return true;
  }
  if (overflow < 0) return false;
  const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
  if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = Json(static_cast<std::uint64_t>(unsigned_value));
  return true;
}

bool direct_str(PyObject* object, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    // Lone surrogates: json.dumps escapes them and the reader then pairs or
    // refuses them; only that route gets this right.
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// The spelling json.dumps gives a dict key.
bool direct_key(PyObject* key, std::string& out) {
  if (PyUnicode_CheckExact(key)) return direct_str(key, out);
  if (PyFloat_CheckExact(key)) {
    const double number = PyFloat_AS_DOUBLE(key);
    if (std::isnan(number)) {
      out = "NaN";
    } else if (std::isinf(number)) {
      out = number > 0 ? "Infinity" : "-Infinity";
    } else {
      char* repr = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      if (repr == nullptr) {
        PyErr_Clear();
        return false;
      }
      out = repr;
      PyMem_Free(repr);
    }
    return true;
  }
  if (key == Py_True) {
    out = "true";
    return true;
  }
  if (key == Py_False) {
    out = "false";
    return true;
  }
  if (key == Py_None) {
    out = "null";
    return true;
  }
  if (PyLong_CheckExact(key)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
    out = std::to_string(value);
    return true;
  }
  return false;
}

// Converts exact built-in types without running any Python code; false for
// anything else, with no Python error set.
bool direct(PyObject* object, Json& out, int depth) {
  if (object == Py_None) {
    out = nullptr;
    return true;
  }
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (PyLong_CheckExact(object)) return direct_int(object, out);
  if (PyFloat_CheckExact(object)) {
    const double number = PyFloat_AS_DOUBLE(object);
    // NaN and the infinities are written as tokens our reader refuses; that
    // refusal's text comes from the reader itself.
    if (!std::isfinite(number)) return false;
    out = number;
    return true;
  }
  if (PyUnicode_CheckExact(object)) {
    std::string text;
    if (!direct_str(object, text)) return false;
    out = std::move(text);
    return true;
  }
  if (depth >= kDirectDepth) return false;
  // The critical sections keep other threads from resizing the container
  // under us where there is no global interpreter lock; with it they cost
  // nothing. No Python code runs inside them.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    bool converted = true;
    Json::array_t array;
    Py_BEGIN_CRITICAL_SECTION(object);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    array.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size && converted; ++i) {
      Json item;
      converted = direct(items[i], item, depth + 1);
      if (converted) array.push_back(std::move(item));
    }
    Py_END_CRITICAL_SECTION();
    if (!converted) return false;
    out = std::move(array);
    return true;
  }
  if (PyDict_CheckExact(object)) {
    bool converted = true;
    Json::object_t members;
    Py_BEGIN_CRITICAL_SECTION(object);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::string name;
    while (converted && PyDict_Next(object, &position, &key, &value)) {
      Json member;
      converted = direct_key(key, name) && direct(value, member, depth + 1);
      // json.dumps writes every key; our reader keeps the last of equal ones.
      if (converted) members.insert_or_assign(name, std::move(member));
    }
    Py_END_CRITICAL_SECTION();
    if (!converted) return false;
    out = std::move(members);
    return true;
  }
  return false;
}

}  // namespace

std::optional<Json> json_via_dumps(PyObject* object) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  if (!json) return std::nullopt;
  Ref dumps = Ref::steal(PyObject_GetAttrString(json.get(), "dumps"));
  if (!dumps) return std::nullopt;
  Ref text = Ref::steal(PyObject_CallOneArg(dumps.get(), object));
  if (!text) return std::nullopt;
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "json.dumps() returned %s, not str", type_name(text.get()));
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return std::nullopt;
  auto parsed = fenwix::parse_json(std::string_view(data, static_cast<std::size_t>(size)));
  if (!parsed) {
    raise_value_error(parsed.error());
    return std::nullopt;
  }
  return std::move(*parsed);
}

std::optional<Json> optional_json(PyObject* object) {
  if (object == nullptr || object == Py_None) return Json(nullptr);
  Json value;
  if (direct(object, value, 0)) return value;
  return json_via_dumps(object);
}

}  // namespace fenwix::py
