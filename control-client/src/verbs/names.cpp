#include <array>
#include <cstddef>

#include "fenwix/client/verbs.hpp"

namespace fenwix {

namespace {

// Each table lists the wire names in enumerator order, so that the enumerator
// is the index of its name.
constexpr std::array<std::string_view, 2> kPrivacy{"allowed", "restricted"};
constexpr std::array<std::string_view, 2> kPeerHangup{"hangup", "hold"};
constexpr std::array<std::string_view, 2> kStreamMode{"tee", "bridge"};
constexpr std::array<std::string_view, 3> kStreamDirection{"both", "caller", "callee"};
constexpr std::array<std::string_view, 3> kRecordDirection{"ingress", "egress", "both"};
constexpr std::array<std::string_view, 2> kRecordChannels{"mono", "stereo"};
constexpr std::array<std::string_view, 2> kDialStrategy{"parallel", "sequential"};
constexpr std::array<std::string_view, 3> kSessionRefresher{"uac", "uas", "b2bua"};

template <class E, std::size_t N>
std::optional<E> match_exact(const std::array<std::string_view, N>& names,
                             std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

// Only A-Z fold: locale-dependent folding would let look-alike spellings
// through (the Turkish dotted I, for one), and the wire names are ASCII.
template <class E, std::size_t N>
std::optional<E> match_ascii_folded(const std::array<std::string_view, N>& names,
                                    std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    const std::string_view name = names[i];
    if (name.size() != text.size()) continue;
    bool equal = true;
    for (std::size_t k = 0; k < name.size() && equal; ++k) {
      char c = text[k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      equal = c == name[k];
    }
    if (equal) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string_view wire_name(Privacy value) { return kPrivacy[static_cast<std::size_t>(value)]; }
std::string_view wire_name(PeerHangup value) {
  return kPeerHangup[static_cast<std::size_t>(value)];
}
std::string_view wire_name(StreamMode value) {
  return kStreamMode[static_cast<std::size_t>(value)];
}
std::string_view wire_name(StreamDirection value) {
  return kStreamDirection[static_cast<std::size_t>(value)];
}
std::string_view wire_name(RecordDirection value) {
  return kRecordDirection[static_cast<std::size_t>(value)];
}
std::string_view wire_name(RecordChannels value) {
  return kRecordChannels[static_cast<std::size_t>(value)];
}
std::string_view wire_name(DialStrategy value) {
  return kDialStrategy[static_cast<std::size_t>(value)];
}
std::string_view wire_name(SessionRefresher value) {
  return kSessionRefresher[static_cast<std::size_t>(value)];
}

template <>
std::optional<Privacy> from_name<Privacy>(std::string_view name) {
  return match_exact<Privacy>(kPrivacy, name);
}
template <>
std::optional<PeerHangup> from_name<PeerHangup>(std::string_view name) {
  return match_exact<PeerHangup>(kPeerHangup, name);
}
template <>
std::optional<StreamMode> from_name<StreamMode>(std::string_view name) {
  return match_ascii_folded<StreamMode>(kStreamMode, name);
}
template <>
std::optional<StreamDirection> from_name<StreamDirection>(std::string_view name) {
  return match_ascii_folded<StreamDirection>(kStreamDirection, name);
}
template <>
std::optional<RecordDirection> from_name<RecordDirection>(std::string_view name) {
  return match_ascii_folded<RecordDirection>(kRecordDirection, name);
}
template <>
std::optional<RecordChannels> from_name<RecordChannels>(std::string_view name) {
  return match_ascii_folded<RecordChannels>(kRecordChannels, name);
}
template <>
std::optional<DialStrategy> from_name<DialStrategy>(std::string_view name) {
  return match_ascii_folded<DialStrategy>(kDialStrategy, name);
}
template <>
std::optional<SessionRefresher> from_name<SessionRefresher>(std::string_view name) {
  return match_ascii_folded<SessionRefresher>(kSessionRefresher, name);
}

std::optional<StreamChannels> stream_channels_from_number(std::uint8_t number) {
  if (number == 1) return StreamChannels::Mono;
  if (number == 2) return StreamChannels::Stereo;
  return std::nullopt;
}

}  // namespace fenwix
