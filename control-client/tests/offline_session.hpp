// A session core with no socket under it: what a command would write is
// taken from the outbound queue, and replies are handed in by the test.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fenwix/client/session.hpp"
#include "session_state.hpp"

namespace fenwix::test {

struct OfflineSession {
  explicit OfflineSession(IdCounter ids = make_id_counter(),
                          std::chrono::nanoseconds reply_timeout = std::chrono::seconds(10))
      : state(std::make_shared<detail::SessionState>(std::move(ids), reply_timeout)),
        core(std::make_shared<SessionCore>(state)) {}

  // The text messages queued for the writer since the last call.
  std::vector<std::string> written() {
    std::vector<std::string> batch;
    state->outbound->take(batch);
    return batch;
  }

  // Hands a reply text to the session as its reader would.
  void receive(std::string_view text, const EventSink& sink = nullptr) {
    detail::dispatch_text(text, core, sink);
  }

  std::shared_ptr<detail::SessionState> state;
  SessionPtr core;
};

}  // namespace fenwix::test
