// The Python ControlError exception and the conversion of library errors.
#pragma once

#include "binding.hpp"

#include "fenwix/proto/error.hpp"

namespace fenwix::py {

// The exception type "fenwix_control.ControlError" (base Exception), created
// on first use and kept for the rest of the process. Borrowed; null with a
// Python error set if it cannot be created. Needs the lock.
PyObject* control_error_type();

// A ControlError instance for a library error: the message is the error's
// display text; `code` is the wire name of the switch's error code for a
// rejected command and None for every other error. Once the interpreter is
// going away the instance gets no `code` attribute at all. Needs the lock.
// Returns null with a Python error set only if the instance itself cannot be
// created (out of memory); a failure to set `code` is ignored.
Ref to_pyerr(const fenwix::ControlError& error);

// The ControlError for a reply that arrived when the interpreter was already
// going away: "the Python interpreter shut down while this command was in
// flight", with no `code` attribute. Needs the lock.
Ref interpreter_gone();

// A Python str from UTF-8 bytes that never fails on bad bytes (they are
// shown as backslash escapes). Needs the lock.
Ref str_from_utf8(std::string_view text);

}  // namespace fenwix::py
