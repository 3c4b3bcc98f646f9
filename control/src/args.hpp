// Conversion of the loosely typed Python arguments of the verbs and of
// originate into the typed records of the verb builders.
//
// Every helper runs in the calling thread with the interpreter attached,
// keeps no state and never touches the network. Each returns true with its
// output set, or false with a Python exception set and its output unspecified;
// the verb then raises that exception from the method call itself, before
// anything is sent. An absent input (nullopt, or a null object pointer for a
// parameter that was not given, or None) gives an absent output and is never
// refused.
//
// Where a helper reports a wrong Python type inside a container (a header
// value that is not a str, a route target's timeout that is not an int), it
// raises the binding's own conversion error for the parameter `where` names,
// so those messages read like every other argument error of the method.
//
// Values quoted in messages go through `fenwix::quote` as the caller passed
// them, before any case folding.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"

#include "fenwix/client/headers.hpp"
#include "fenwix/client/verbs.hpp"

namespace fenwix::py {

// "allowed" or "restricted", byte-exact. Refused with
// `<context> privacy must be "allowed" or "restricted", not <value>`.
bool extract_privacy(std::string_view context, const std::optional<std::string>& privacy,
                     std::optional<fenwix::Privacy>& out);

// A member of a Python dict read from the dict itself (no __getitem__ or
// __missing__ of a subclass runs): a new reference, or empty when missing.
// `dict` must be a dict or a dict subclass.
Ref dict_member(PyObject* dict, std::string_view key);

// The member `key` of `dict` as a string: missing or None is absent; any
// other non-str value is the binding's string TypeError for `where`.
bool optional_string(PyObject* dict, std::string_view key, const ArgContext& where,
                     std::optional<std::string>& out);

// A dict of str -> str, walked in its insertion order from its own storage
// (an overridden items() or __iter__ of a subclass is not consulted). A
// non-dict is refused with "<context> must be a dict of str -> str"; the
// first key or value that is not a str gives the binding's string TypeError
// for `where`. An empty dict gives an empty list.
bool extract_string_pairs(PyObject* obj, std::string_view context, const ArgContext& where,
                          fenwix::HeaderPairs& out);

// Exactly one of the five sources, else ValueError "play requires exactly
// one of file (str), db_id (int), blob (bytes), tone (str), or url (str)".
bool build_play_source(std::optional<std::string> file, std::optional<std::uint64_t> db_id,
                       std::optional<Bytes> blob, std::optional<std::string> tone,
                       std::optional<std::string> url, std::optional<fenwix::PlaySource>& out);

// A Python int from 0 to 2**64 - 1 (bool included) is a count; a str equal
// to "inf" after ASCII case folding is Infinite; `repeat` null or None is
// absent; everything else is refused with the repeat ValueError.
bool extract_play_repeat(PyObject* repeat, std::optional<fenwix::PlayRepeat>& out);

// "hangup" or "hold", byte-exact.
bool parse_peer_hangup(const std::optional<std::string>& on_peer_hangup,
                       std::optional<fenwix::PeerHangup>& out);

// ASCII case-insensitive matches of the enumerations' wire names.
bool extract_stream_mode(std::string_view mode, fenwix::StreamMode& out);
bool extract_stream_direction(const std::optional<std::string>& direction,
                              std::optional<fenwix::StreamDirection>& out);
bool extract_record_direction(const std::optional<std::string>& direction,
                              std::optional<fenwix::RecordDirection>& out);
bool extract_record_channels(const std::optional<std::string>& channels,
                             std::optional<fenwix::RecordChannels>& out);
bool extract_dial_strategy(const std::optional<std::string>& strategy,
                           std::optional<fenwix::DialStrategy>& out);

// 1 (mono) or 2 (stereo).
bool extract_stream_channels(std::optional<std::uint8_t> channels,
                             std::optional<fenwix::StreamChannels>& out);

// The answer policy of a dial. `ringback` (null or None: absent) is checked
// first: a bool, or a non-empty str. Then `on_answer`: absent, "connect" or
// "bridge", byte-exact; a ringback goes only with "bridge".
bool extract_dial_on_answer(const std::optional<std::string>& on_answer, PyObject* ringback,
                            std::optional<fenwix::OnAnswer>& out);

// Each element a dict with a string "uri" or "aor" (never both; no
// "next_hop" beside an "aor"), and optional "next_hop", "to" and "headers";
// other keys are ignored. Stops at the first refusal. Wrong member types are
// reported against the parameter `where`.
bool extract_dial_targets(const ObjectList& targets, const ArgContext& where,
                          std::vector<fenwix::DialTarget>& out);

// A URI str, or a dict with a string "uri" and optional "next_hop",
// "headers", "timeout" (unsigned 32-bit) and "reroute_after_progress" (a
// bool); other keys are ignored.
bool extract_route_target(PyObject* target, const ArgContext& where, fenwix::RouteTarget& out);

}  // namespace fenwix::py
