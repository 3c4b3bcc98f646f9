#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

Json bridge_args(std::string_view with_channel, std::optional<PeerHangup> on_peer_hangup) {
  Json args = Json::object();
  args["with"] = std::string(with_channel);
  verbs_detail::put_name(args, "on_peer_hangup", on_peer_hangup);
  return args;
}

}  // namespace fenwix
