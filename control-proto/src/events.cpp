#include "fenwix/proto/events.hpp"

#include <array>

#include "member_reader.hpp"

namespace fenwix {

namespace {

// Indexed by the enumerator's value.
constexpr std::array<std::string_view, kNamedEventKinds> kEventNames{
    "StasisStart",      "StasisEnd",         "ChannelStateChange", "ChannelHangupRequest",
    "ChannelDtmfReceived", "PlayStarted",    "TransferRequested",  "TransferTimedOut",
    "TransferProgress", "TransferCompleted", "TransferFailed",     "ChannelBridged",
    "BridgeFailed",     "ChannelUnbridged",  "PeerReplaced",       "ReplaceFailed",
    "PlayFinished",     "WsTeeStarted",      "WsTeeEnded",         "WsBridgeStarted",
    "WsBridgeEnded",    "MediaSummary",      "MediaStarted",       "DialBranch",
    "DialBranchFailed", "DialAnswered",      "DialFailed",         "DialogStateChanged",
};

static_assert(static_cast<std::size_t>(SipEventKind::Other) == kNamedEventKinds,
              "every named kind needs its wire name, and Other comes last");

}  // namespace

std::string_view wire_name(SipEventKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kEventNames.size() ? kEventNames[index] : std::string_view();
}

SipEvent SipEvent::from_name(std::string_view name) {
  for (std::size_t i = 0; i < kEventNames.size(); ++i) {
    if (kEventNames[i] == name) return SipEvent{static_cast<SipEventKind>(i), {}};
  }
  return SipEvent{SipEventKind::Other, std::string(name)};
}

std::string_view SipEvent::name() const {
  return kind == SipEventKind::Other ? std::string_view(other) : wire_name(kind);
}

std::expected<DialBranchPayload, std::string> DialBranchPayload::from_json(const Json& value) {
  if (!value.is_object()) return std::unexpected(std::string("dial branch must be a JSON object"));
  const detail::MemberReader reader(value, "dial branch");
  DialBranchPayload branch;

  auto leg_id = reader.required_string("leg_id");
  if (!leg_id) return std::unexpected(std::move(leg_id.error()));
  branch.leg_id = std::move(*leg_id);

  auto leg_sip_call_id = reader.string_or_empty("leg_sip_call_id");
  if (!leg_sip_call_id) return std::unexpected(std::move(leg_sip_call_id.error()));
  branch.leg_sip_call_id = std::move(*leg_sip_call_id);

  auto target = reader.string_or_empty("target");
  if (!target) return std::unexpected(std::move(target.error()));
  branch.target = std::move(*target);

  auto aor = reader.nullable_string("aor");
  if (!aor) return std::unexpected(std::move(aor.error()));
  branch.aor = std::move(*aor);
  return branch;
}

Json DialBranchPayload::to_json() const {
  Json value = {
      {"leg_id", leg_id},
      {"leg_sip_call_id", leg_sip_call_id},
      {"target", target},
  };
  if (aor) value["aor"] = *aor;
  return value;
}

}  // namespace fenwix
