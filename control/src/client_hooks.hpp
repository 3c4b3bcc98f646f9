// What ControlClient (client.cpp) and its originate method (originate.cpp)
// share.
#pragma once

#include <functional>

#include "binding.hpp"

#include "fenwix/client/sip.hpp"

namespace fenwix::py {

// Receives the outcome of connection on demand, on a runtime thread without
// the interpreter lock: the connected client, or the error of the attempt.
using ClientReady = std::move_only_function<void(fenwix::Result<fenwix::SipClient>)>;

// Connection on demand for the ControlClient object `client` (which must be
// one): the shared client if there is one, otherwise one connection attempt,
// which concurrent callers share. Needs the lock (it reads the object); runs
// `then` later, on a runtime thread.
void with_connected_client(PyObject* client, ClientReady then);

// ControlClient.originate (defined in originate.cpp), or null if there is none.
const PyMethodDef* client_originate_method();

}  // namespace fenwix::py
