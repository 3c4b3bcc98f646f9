#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::put;

Json response_args(std::uint16_t code, std::optional<std::string_view> reason,
                   std::optional<std::string_view> body,
                   std::optional<std::string_view> content_type) {
  Json args = Json::object();
  args["code"] = code;
  put(args, "reason", reason);
  put(args, "body", body);
  put(args, "content_type", content_type);
  return args;
}

Json answer_anchored_args(std::optional<std::string_view> profile,
                          std::optional<std::string_view> ws_uri) {
  Json args = Json::object();
  args["anchor"] = true;
  put(args, "profile", profile);
  put(args, "ws_uri", ws_uri);
  return args;
}

Json reason_args(std::optional<std::string_view> reason) {
  Json args = Json::object();
  put(args, "reason", reason);
  return args;
}

Json reject_args(std::uint16_t code, std::optional<std::string_view> reason) {
  Json args = Json::object();
  args["code"] = code;
  put(args, "reason", reason);
  return args;
}

Json drop_args(std::optional<std::string_view> reason, bool ban) {
  Json args = Json::object();
  put(args, "reason", reason);
  // "ban": false would read to the switch as a deliberate choice; an absent
  // flag is its default.
  if (ban) args["ban"] = true;
  return args;
}

}  // namespace fenwix
