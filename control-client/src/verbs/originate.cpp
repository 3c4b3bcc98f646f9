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

struct MediaWriter {
  Json& args;
  void operator()(const OriginateMedia::Anchored& anchored) const {
    args["media"] = true;
    put(args, "profile", anchored.profile);
    put(args, "ws_uri", anchored.ws_uri);
  }
  void operator()(const OriginateMedia::Sdp& offer) const { args["sdp"] = offer.sdp; }
  void operator()(const OriginateMedia::Body& body) const {
    args["body"] = body.body;
    args["content_type"] = body.content_type;
  }
};

struct DestinationWriter {
  Json& args;
  void operator()(const OriginateTo& to) const { args["to"] = to.to; }
  void operator()(const OriginateAor& aor) const { args["aor"] = aor.aor; }
};

// The channel the switch names wins; without one the application's own
// choice of id is what the call is known by, since originate lets the
// application pick it.
std::string reply_channel(const Json& result, std::string_view requested_channel) {
  return string_member(result, "channel").value_or(std::string(requested_channel));
}

}  // namespace

void AorRing::insert_into(Json& args) const {
  put_name(args, "strategy", strategy);
  put_number(args, "total_timeout", total_timeout);
}

void OriginateMedia::insert_into(Json& args) const { std::visit(MediaWriter{args}, plan); }

Json SessionTimer::to_json() const {
  // An empty object is meaningful: it asks for a session timer with every
  // parameter at the switch's default, where leaving "session_timer" out
  // leaves the switch's configured behaviour alone.
  Json timer = Json::object();
  put_number(timer, "expires", expires);
  put_number(timer, "min_se", min_se);
  put_name(timer, "refresher", refresher);
  return timer;
}

void OriginateOptions::insert_into(Json& args) const {
  put(args, "from", from_uri);
  put(args, "from_display", from_display);
  put(args, "to_display", to_display);
  put(args, "next_hop", next_hop);
  put(args, "p_asserted_identity", p_asserted_identity);
  put(args, "on_lost", on_lost);
  put_name(args, "privacy", privacy);
  put_number(args, "timeout", timeout);
  put_headers(args, "headers", headers);
  put_headers(args, "vars", vars);
  if (session_timer) args["session_timer"] = session_timer->to_json();
}

Json originate_args(std::string_view channel, const OriginateDestination& destination,
                    const OriginateMedia& media, const OriginateOptions& options) {
  Json args = Json::object();
  args["channel"] = std::string(channel);
  std::visit(DestinationWriter{args}, destination);
  media.insert_into(args);
  options.insert_into(args);
  if (const auto* aor = std::get_if<OriginateAor>(&destination)) aor->ring.insert_into(args);
  return args;
}

Originated Originated::from_reply(const Json& result, std::string_view requested_channel) {
  return Originated{
      .channel = reply_channel(result, requested_channel),
      .call_id = string_member(result, "call_id"),
      .sip_call_id = string_member(result, "sip_call_id"),
  };
}

Json Originated::to_json() const {
  return Json{{"channel", channel},
              {"call_id", string_or_null(call_id)},
              {"sip_call_id", string_or_null(sip_call_id)}};
}

OriginatedGroup OriginatedGroup::from_reply(const Json& result,
                                            std::string_view requested_channel) {
  return OriginatedGroup{
      .channel = reply_channel(result, requested_channel),
      .group_id = string_member(result, "group_id"),
      .aor = string_member(result, "aor"),
      .strategy = string_member(result, "strategy"),
      .total_timeout = unsigned_member(result, "total_timeout",
                                       std::numeric_limits<std::uint64_t>::max()),
      .branches = branches_member(result, "branches"),
  };
}

Json OriginatedGroup::to_json() const {
  Json summary = Json::object();
  summary["channel"] = channel;
  summary["group_id"] = string_or_null(group_id);
  summary["aor"] = string_or_null(aor);
  summary["strategy"] = string_or_null(strategy);
  summary["total_timeout"] = total_timeout ? Json(*total_timeout) : Json(nullptr);
  summary["branches"] = branches_to_json(branches);
  return summary;
}

}  // namespace fenwix
