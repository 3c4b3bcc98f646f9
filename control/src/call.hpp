// The Python Call object, and the hooks between the files that build it.
//
// call.cpp defines the class and its core (identity attributes, repr,
// next_event, command, variables and headers); call_verbs.cpp defines the
// verbs. call.cpp assembles the method table in the documented order,
// taking each verb's definition from find_verb_method.
#pragma once

#include <string_view>

#include "binding.hpp"

#include "fenwix/client/call.hpp"

namespace fenwix::py {

struct CallObject {
  PyObject_HEAD
  fenwix::Call call;
};

// A new Python Call wrapping `call`: a new reference, or null with a Python
// error set. Needs the lock.
PyObject* new_call_object(fenwix::Call call);

// The library call behind a Python Call object (which must be one).
inline const fenwix::Call& call_of(PyObject* self) {
  return reinterpret_cast<CallObject*>(self)->call;
}

// The definition of the verb method `name` (a METH_FASTCALL | METH_KEYWORDS
// method with its docstring), or null if call_verbs.cpp defines no such verb.
const PyMethodDef* find_verb_method(std::string_view name);

}  // namespace fenwix::py
