// The module's Python classes. Each lives in its own file; module execution
// creates them, in this order, as heap types and adds them to the module.
#pragma once

#include "binding.hpp"

namespace fenwix::py {

// Each returns false with a Python error set on failure.
bool add_client_class(PyObject* module);  // ControlClient (client.cpp)
bool add_server_class(PyObject* module);  // ControlServer (server.cpp)
bool add_call_class(PyObject* module);    // Call (call.cpp)

}  // namespace fenwix::py
