#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::put;
using verbs_detail::put_headers;
using verbs_detail::put_name;
using verbs_detail::put_number;

namespace {

struct TransferTargetWriter {
  Json operator()(const TransferTarget::Uri& target) const { return target.uri; }
  Json operator()(const TransferTarget::Aor& target) const {
    return Json{{"aor", target.aor}};
  }
};

}  // namespace

Json refer_args(std::string_view to) { return Json{{"to", std::string(to)}}; }

Json TransferTarget::to_json() const { return std::visit(TransferTargetWriter{}, target); }

std::expected<std::optional<TransferTarget>, std::string> transfer_target(
    std::string_view verb, std::optional<std::string> target, std::optional<std::string> aor) {
  // Refused rather than preferring one: the switch would read only one of
  // the two, and the caller would not learn which leg it dialled.
  if (target && aor) {
    return std::unexpected(std::string(verb) + " takes a target URI or aor=, not both");
  }
  if (target) return TransferTarget{TransferTarget::Uri{std::move(*target)}};
  if (aor) return TransferTarget{TransferTarget::Aor{std::move(*aor)}};
  return std::optional<TransferTarget>();
}

void TransferDial::insert_into(Json& args) const {
  put(args, "next_hop", next_hop);
  put(args, "from", from_uri);
  put(args, "from_display", from_display);
  put(args, "p_asserted_identity", p_asserted_identity);
  put(args, "number_policy", number_policy);
  put(args, "format", format);
  put_name(args, "privacy", privacy);
  put_headers(args, "headers", headers);
}

Json accept_refer_args(const std::optional<TransferTarget>& target,
                       std::optional<std::string_view> mode,
                       std::optional<std::string_view> profile, const TransferDial& dial) {
  Json args = Json::object();
  if (target) args["target"] = target->to_json();
  // The mode goes out as the application spelled it: the switch knows its
  // modes, and a misspelling is better refused there than guessed at here.
  put(args, "mode", mode);
  put(args, "profile", profile);
  dial.insert_into(args);
  return args;
}

Json accept_refer_controller_args(std::optional<std::uint32_t> timeout) {
  Json args{{"mode", "controller"}};
  put_number(args, "timeout", timeout);
  return args;
}

Json complete_refer_args(std::uint16_t code, std::optional<std::string_view> reason) {
  Json args = Json::object();
  args["code"] = code;
  put(args, "reason", reason);
  return args;
}

Json replace_peer_args(const TransferTarget& target, std::optional<bool> replace_a_leg,
                       std::optional<std::string_view> profile,
                       std::optional<std::uint32_t> timeout, const TransferDial& dial) {
  Json args = Json::object();
  args["target"] = target.to_json();
  // Unlike drop's ban, false is written when given: the caller chose the
  // callee explicitly, and that must survive a change of the switch's default.
  if (replace_a_leg) args["replace_a_leg"] = *replace_a_leg;
  put(args, "profile", profile);
  put_number(args, "timeout", timeout);
  dial.insert_into(args);
  return args;
}

}  // namespace fenwix
