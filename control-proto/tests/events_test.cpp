// Event names and their kinds.
#include <gtest/gtest.h>

#include "fenwix/proto/frames.hpp"

namespace fenwix {
namespace {

using namespace std::string_view_literals;

TEST(SipEventTest, NamedKindsMapFromTheirExactSpelling) {
  using enum SipEventKind;
  const std::vector<std::pair<SipEventKind, std::string_view>> cases = {
      {StasisStart, "StasisStart"},
      {StasisEnd, "StasisEnd"},
      {ChannelStateChange, "ChannelStateChange"},
      {ChannelHangupRequest, "ChannelHangupRequest"},
      {ChannelDtmfReceived, "ChannelDtmfReceived"},
      {PlayStarted, "PlayStarted"},
      {TransferRequested, "TransferRequested"},
      {TransferTimedOut, "TransferTimedOut"},
      {TransferProgress, "TransferProgress"},
      {TransferCompleted, "TransferCompleted"},
      {TransferFailed, "TransferFailed"},
      {ChannelBridged, "ChannelBridged"},
      {BridgeFailed, "BridgeFailed"},
      {ChannelUnbridged, "ChannelUnbridged"},
      {PeerReplaced, "PeerReplaced"},
      {ReplaceFailed, "ReplaceFailed"},
      {PlayFinished, "PlayFinished"},
      {WsTeeStarted, "WsTeeStarted"},
      {WsTeeEnded, "WsTeeEnded"},
      {WsBridgeStarted, "WsBridgeStarted"},
      {WsBridgeEnded, "WsBridgeEnded"},
      {MediaSummary, "MediaSummary"},
      {MediaStarted, "MediaStarted"},
      {DialBranch, "DialBranch"},
      {DialBranchFailed, "DialBranchFailed"},
      {DialAnswered, "DialAnswered"},
      {DialFailed, "DialFailed"},
      {DialogStateChanged, "DialogStateChanged"},
  };

  for (const auto& [kind, name] : cases) {
    SCOPED_TRACE(name);
    const SipEvent event = SipEvent::from_name(name);
    EXPECT_EQ(event, (SipEvent{kind, ""}));
    EXPECT_EQ(event.name(), name);
    EXPECT_EQ(wire_name(kind), name);
  }
  EXPECT_EQ(wire_name(Other), "");
}

TEST(SipEventTest, EveryOtherNameIsKeptAsReceived) {
  for (const std::string_view name :
       {"RegistrationChanged"sv, "stasisstart"sv, "STASISSTART"sv, "StasisStart "sv,
        " StasisStart"sv, "StasisStar"sv, "StasisStartX"sv, "DialBranchFailedX"sv, ""sv,
        "Other"sv, "StasisStart\0"sv, "\xc3\x89v\xc3\xa9nement"sv}) {
    SCOPED_TRACE(name);
    const SipEvent event = SipEvent::from_name(name);
    EXPECT_EQ(event.kind, SipEventKind::Other);
    EXPECT_EQ(event.other, name);
    EXPECT_EQ(event.name(), name);
  }
}

}  // namespace
}  // namespace fenwix
