// How long a new connection may take to become a usable WebSocket: for the
// outbound client, TCP connect plus TLS plus upgrade; for the per-call
// server, from accept to upgraded. A connection that misses it is cut.
#pragma once

#include <chrono>

namespace fenwix::detail {

inline constexpr std::chrono::seconds kDefaultUpgradeDeadline{10};

// The deadline in force; `kDefaultUpgradeDeadline` unless changed. Read once
// per connection, when its clock starts.
std::chrono::nanoseconds upgrade_deadline() noexcept;

// Changes the deadline for connections started afterwards. Only tests call
// this: they cannot wait ten seconds for a deadline to pass.
void set_upgrade_deadline(std::chrono::nanoseconds deadline) noexcept;

}  // namespace fenwix::detail
