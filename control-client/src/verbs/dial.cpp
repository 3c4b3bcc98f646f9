#include <limits>

#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::branches_member;
using verbs_detail::branches_to_json;
using verbs_detail::put;
using verbs_detail::put_headers;
using verbs_detail::put_name;
using verbs_detail::put_number;
using verbs_detail::string_member;
using verbs_detail::string_or_null;
using verbs_detail::unsigned_member;

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::optional<std::uint32_t> u32_member(const Json& result, std::string_view key) {
  const auto value = unsigned_member(result, key, kMaxU32);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<Ringback> ringback_member(const Json& result) {
  if (!result.is_object()) return std::nullopt;
  const auto it = result.find("ringback");
  if (it == result.end()) return std::nullopt;
  if (it->is_boolean()) return Ringback{it->get<bool>()};
  if (it->is_string()) return Ringback{it->get<std::string>()};
  return std::nullopt;
}

struct TargetWriter {
  Json operator()(const DialTarget::Uri& target) const {
    // A target that is nothing but its URI goes out in the short form the
    // switch has always accepted for one.
    if (!target.next_hop && !target.to && target.headers.empty()) return target.uri;
    Json object = Json::object();
    object["uri"] = target.uri;
    put(object, "next_hop", target.next_hop);
    put(object, "to", target.to);
    put_headers(object, "headers", target.headers);
    return object;
  }
  // Never shortened: a bare string would be read as a URI, and an
  // address-of-record dialled as a URI reaches nobody behind NAT.
  Json operator()(const DialTarget::Aor& target) const {
    Json object = Json::object();
    object["aor"] = target.aor;
    put(object, "to", target.to);
    put_headers(object, "headers", target.headers);
    return object;
  }
};

}  // namespace

Json Ringback::to_json() const {
  return std::visit([](const auto& v) { return Json(v); }, value);
}

Json DialTarget::to_json() const { return std::visit(TargetWriter{}, target); }

void DialOptions::insert_into(Json& args) const {
  put_name(args, "strategy", strategy);
  put_number(args, "timeout", timeout);
  put_headers(args, "headers", headers);
  put(args, "profile", profile);
  put(args, "from", from_uri);
  put(args, "from_display", from_display);
  put(args, "p_asserted_identity", p_asserted_identity);
  put_name(args, "privacy", privacy);
  if (!on_answer) return;
  if (const auto* bridge = std::get_if<OnAnswer::Bridge>(&on_answer->policy)) {
    args["on_answer"] = "bridge";
    if (bridge->ringback) args["ringback"] = bridge->ringback->to_json();
  } else {
    args["on_answer"] = "connect";
  }
}

Json dial_args(std::span<const DialTarget> targets, const DialOptions& options) {
  Json list = Json::array();
  for (const auto& target : targets) list.push_back(target.to_json());
  Json args = Json::object();
  args["targets"] = std::move(list);
  options.insert_into(args);
  return args;
}

Dialing Dialing::from_reply(const Json& result, std::string_view own_channel) {
  return Dialing{
      .channel = string_member(result, "channel").value_or(std::string(own_channel)),
      .targets = unsigned_member(result, "targets", kMaxU64),
      .strategy = string_member(result, "strategy"),
      .timeout = u32_member(result, "timeout"),
      .on_answer = string_member(result, "on_answer"),
      .group_id = string_member(result, "group_id"),
      .total_timeout = u32_member(result, "total_timeout"),
      .ringback = ringback_member(result),
      .branches = branches_member(result, "branches"),
  };
}

Json dialing_to_json(const Dialing& dialing) {
  Json summary = Json::object();
  summary["channel"] = dialing.channel;
  summary["targets"] = dialing.targets ? Json(*dialing.targets) : Json(nullptr);
  summary["strategy"] = string_or_null(dialing.strategy);
  summary["timeout"] = dialing.timeout ? Json(*dialing.timeout) : Json(nullptr);
  // The bridging members are reported only for a bridging dial, which the
  // switch marks by naming its answer policy; a connecting dial's summary
  // keeps its four members whatever else the reply carried.
  if (!dialing.on_answer) return summary;
  summary["on_answer"] = *dialing.on_answer;
  summary["group_id"] = string_or_null(dialing.group_id);
  summary["total_timeout"] =
      dialing.total_timeout ? Json(*dialing.total_timeout) : Json(nullptr);
  summary["ringback"] = dialing.ringback ? dialing.ringback->to_json() : Json(nullptr);
  summary["branches"] = branches_to_json(dialing.branches);
  return summary;
}

Json cancel_dial_args(std::optional<std::string_view> reason) {
  Json args = Json::object();
  put(args, "reason", reason);
  return args;
}

Json RouteTarget::to_json() const {
  if (!next_hop && headers.empty() && !timeout && !reroute_after_progress) return uri;
  Json object = Json::object();
  object["uri"] = uri;
  put(object, "next_hop", next_hop);
  put_headers(object, "headers", headers);
  put_number(object, "timeout", timeout);
  if (reroute_after_progress) object["reroute_after_progress"] = true;
  return object;
}

Json route_args(std::span<const RouteTarget> targets, std::string_view strategy,
                const HeaderPairs& headers) {
  Json list = Json::array();
  for (const auto& target : targets) list.push_back(target.to_json());
  Json args = Json::object();
  args["targets"] = std::move(list);
  // Sent as given: the switch owns the set of routing strategies and refuses
  // the ones it lacks.
  args["strategy"] = std::string(strategy);
  put_headers(args, "headers", headers);
  return args;
}

}  // namespace fenwix
