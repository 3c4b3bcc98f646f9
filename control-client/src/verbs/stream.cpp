#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::put;
using verbs_detail::put_name;
using verbs_detail::put_number;

Json stream_start_args(std::string_view ws_uri, StreamMode mode,
                       std::optional<StreamDirection> direction,
                       std::optional<StreamChannels> channels,
                       std::optional<std::uint32_t> sample_rate,
                       std::optional<std::string_view> profile) {
  Json args = Json::object();
  args["ws_uri"] = std::string(ws_uri);
  // Always written, the default included: a tee and a bridge are opposite
  // operations, and a switch whose default moved must not turn one into the
  // other.
  args["mode"] = std::string(wire_name(mode));
  put_name(args, "direction", direction);
  if (channels) args["channels"] = static_cast<std::uint8_t>(*channels);
  put_number(args, "sample_rate", sample_rate);
  put(args, "profile", profile);
  return args;
}

Json stream_stop_args(StreamMode mode) {
  return Json{{"mode", std::string(wire_name(mode))}};
}

}  // namespace fenwix
