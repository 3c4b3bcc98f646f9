// JSON values to Python objects and Python objects to JSON values.
//
// Both directions behave exactly like the standard library's json module
// applied to the compact text form: `json_to_py(v)` is what
// `json.loads(<v written compactly>)` returns, and `optional_json(o)` is what
// our JSON reader makes of `json.dumps(o)`, errors included. Common shapes
// take a direct route that builds no intermediate text.
#pragma once

#include <optional>

#include "binding.hpp"

#include "fenwix/proto/json.hpp"

namespace fenwix::py {

// A fresh Python object for `value`: objects become dicts in key order,
// arrays lists, integers ints (unsigned 64-bit included), other numbers
// floats (a non-finite one None, as its text form is null), strings str,
// booleans bool, null None. A string that is not valid UTF-8 gives the JSON
// writer's ValueError. Null with a Python error set on failure. Needs the
// lock.
Ref json_to_py(const fenwix::Json& value);

// The JSON value of an optional Python argument: null for a missing one
// (null pointer) or None; otherwise the value `json.dumps(object)` describes.
// Dict keys that are int, float, bool or None become their json.dumps
// spelling and tuples become arrays; a repeated key keeps its last value.
// Errors are json.dumps's own (TypeError for an object it cannot serialise,
// ValueError for a circular structure) or the JSON reader's ValueError (for
// NaN and the infinities). nullopt with a Python error set on failure. Needs
// the lock.
std::optional<fenwix::Json> optional_json(PyObject* object);

// `optional_json` without the direct route: always through json.dumps and
// the JSON reader. The reference the direct route is measured against.
std::optional<fenwix::Json> json_via_dumps(PyObject* object);

}  // namespace fenwix::py
