#include "lifecycle.hpp"

namespace fenwix::py {

std::atomic<bool> INTERPRETER_GOING_AWAY{false};

void mark_interpreter_going_away() noexcept {
  INTERPRETER_GOING_AWAY.store(true, std::memory_order_seq_cst);
}

}  // namespace fenwix::py
