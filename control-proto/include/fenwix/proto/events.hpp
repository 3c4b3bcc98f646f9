// Event kinds and the dial-branch payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "fenwix/proto/json.hpp"

namespace fenwix {

// The event names the library knows, in wire order. `Other` stands for every
// other name; the name itself is kept in `SipEvent::other`.
enum class SipEventKind : std::uint8_t {
  StasisStart,
  StasisEnd,
  ChannelStateChange,
  ChannelHangupRequest,
  ChannelDtmfReceived,
  PlayStarted,
  TransferRequested,
  TransferTimedOut,
  TransferProgress,
  TransferCompleted,
  TransferFailed,
  ChannelBridged,
  BridgeFailed,
  ChannelUnbridged,
  PeerReplaced,
  ReplaceFailed,
  PlayFinished,
  WsTeeStarted,
  WsTeeEnded,
  WsBridgeStarted,
  WsBridgeEnded,
  MediaSummary,
  MediaStarted,
  DialBranch,
  DialBranchFailed,
  DialAnswered,
  DialFailed,
  DialogStateChanged,
  Other,
};

inline constexpr std::size_t kNamedEventKinds = 28;

struct SipEvent {
  SipEventKind kind = SipEventKind::Other;
  std::string other;  // the received name, for `Other` only

  // Compares the whole name, case-sensitively, with the 28 known names.
  static SipEvent from_name(std::string_view name);

  // The kind's wire name, or the received name for `Other`.
  std::string_view name() const;

  friend bool operator==(const SipEvent&, const SipEvent&) = default;
};

// The wire name of a named kind; empty for `Other`.
std::string_view wire_name(SipEventKind kind);

// One dial branch as events and dial results describe it.
struct DialBranchPayload {
  std::string leg_id;           // "leg_id", required
  std::string leg_sip_call_id;  // "leg_sip_call_id", absent: empty
  std::string target;           // "target", absent: empty
  std::optional<std::string> aor;  // "aor", absent or null: none

  // Fails with a text naming the member when a required member is missing or
  // a present one has the wrong JSON type (null is accepted for "aor" only).
  // Other members are ignored.
  static std::expected<DialBranchPayload, std::string> from_json(const Json& value);
  // "leg_id", "leg_sip_call_id" and "target" always; "aor" only when present.
  Json to_json() const;

  friend bool operator==(const DialBranchPayload&, const DialBranchPayload&) = default;
};

}  // namespace fenwix
