#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::put;
using verbs_detail::put_name;
using verbs_detail::put_number;
using verbs_detail::string_member;
using verbs_detail::string_or_null;

Json RecordOptions::to_json() const {
  Json args = Json::object();
  put_name(args, "direction", direction);
  put_name(args, "channels", channels);
  put_number(args, "max_duration_ms", max_duration_ms);
  put_number(args, "silence_ms", silence_ms);
  put(args, "path", path);
  return args;
}

Recording Recording::from_reply(const Json& result, std::string_view own_channel) {
  // The reply's channel wins when it names one: the switch knows which leg
  // it recorded. Without one the command's own target is the best answer.
  return Recording{
      .channel = string_member(result, "channel").value_or(std::string(own_channel)),
      .recording_id = string_member(result, "recording_id"),
  };
}

Json Recording::to_json() const {
  return Json{{"channel", channel}, {"recording_id", string_or_null(recording_id)}};
}

Json record_stop_args(std::optional<std::string_view> recording_id) {
  Json args = Json::object();
  put(args, "recording_id", recording_id);
  return args;
}

}  // namespace fenwix
