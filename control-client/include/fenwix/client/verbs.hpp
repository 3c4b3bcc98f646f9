// Argument builders and reply summaries of the call verbs and of originate.
//
// The Python layer checks and converts the application's arguments into the
// typed records below; these functions turn the records into the JSON `args`
// object of one command, and turn a reply's `result` into the typed summary a
// verb resolves to. Everything here is pure: no I/O, no shared state, safe to
// call from any thread.
//
// Writing rules common to every builder: a member whose optional value is
// absent is left out (never written as null); a header list that is empty is
// left out; flags that default to false are written only when true; unsigned
// values are written as unsigned JSON integers and signed ones as signed;
// enumerations are written as their lower-case wire names. Objects keep their
// keys sorted, so the order in which members are inserted never shows.
//
// Reading rules common to every summary: a reply member that is missing or of
// the wrong JSON type falls back as each summary states; nothing here fails.
// The summaries' `to_json` forms, unlike `args`, write null for absent values:
// they are what the Python method resolves to, with a fixed set of keys.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fenwix/client/headers.hpp"
#include "fenwix/proto/events.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix {

// ---------------------------------------------------------------------------
// Enumerations
//
// `wire_name` gives the spelling sent on the wire. `from_name<E>` parses the
// application's spelling: exactly and case-sensitively for `Privacy` and
// `PeerHangup`; for every other enumeration after folding ASCII A-Z to a-z
// (other bytes are kept, so "Tee " or a non-ASCII look-alike does not match).
// The empty string never matches.

enum class Privacy : std::uint8_t { Allowed, Restricted };            // "allowed", "restricted"
enum class PeerHangup : std::uint8_t { Hangup, Hold };                // "hangup", "hold"
enum class StreamMode : std::uint8_t { Tee, Bridge };                 // "tee", "bridge"
enum class StreamDirection : std::uint8_t { Both, Caller, Callee };   // "both", "caller", "callee"
enum class RecordDirection : std::uint8_t { Ingress, Egress, Both };  // "ingress", "egress", "both"
enum class RecordChannels : std::uint8_t { Mono, Stereo };            // "mono", "stereo"
enum class DialStrategy : std::uint8_t { Parallel, Sequential };      // "parallel", "sequential"
enum class SessionRefresher : std::uint8_t { Uac, Uas, B2bua };       // "uac", "uas", "b2bua"

std::string_view wire_name(Privacy value);
std::string_view wire_name(PeerHangup value);
std::string_view wire_name(StreamMode value);
std::string_view wire_name(StreamDirection value);
std::string_view wire_name(RecordDirection value);
std::string_view wire_name(RecordChannels value);
std::string_view wire_name(DialStrategy value);
std::string_view wire_name(SessionRefresher value);

template <class E>
std::optional<E> from_name(std::string_view name);

template <> std::optional<Privacy> from_name<Privacy>(std::string_view name);
template <> std::optional<PeerHangup> from_name<PeerHangup>(std::string_view name);
template <> std::optional<StreamMode> from_name<StreamMode>(std::string_view name);
template <> std::optional<StreamDirection> from_name<StreamDirection>(std::string_view name);
template <> std::optional<RecordDirection> from_name<RecordDirection>(std::string_view name);
template <> std::optional<RecordChannels> from_name<RecordChannels>(std::string_view name);
template <> std::optional<DialStrategy> from_name<DialStrategy>(std::string_view name);
template <> std::optional<SessionRefresher> from_name<SessionRefresher>(std::string_view name);

// A stream's channel layout; given and sent as its number.
enum class StreamChannels : std::uint8_t { Mono = 1, Stereo = 2 };

// 1 and 2; nothing for any other number.
std::optional<StreamChannels> stream_channels_from_number(std::uint8_t number);

// ---------------------------------------------------------------------------
// Answering and ending: answer, ring, progress, reject, hangup, drop, hold

// answer with a chosen final response: {"code", "reason"?, "body"?, "content_type"?}.
Json response_args(std::uint16_t code, std::optional<std::string_view> reason,
                   std::optional<std::string_view> body,
                   std::optional<std::string_view> content_type);

// answer with the media anchored: {"anchor": true, "profile"?, "ws_uri"?}.
Json answer_anchored_args(std::optional<std::string_view> profile,
                          std::optional<std::string_view> ws_uri);

// ring, hangup, unbridge: {} or {"reason"}. A given empty reason is written.
Json reason_args(std::optional<std::string_view> reason);

// reject and reject_refer: {"code", "reason"?}.
Json reject_args(std::uint16_t code, std::optional<std::string_view> reason);

// drop: {"reason"?, "ban": true only when `ban`}.
Json drop_args(std::optional<std::string_view> reason, bool ban);

// ---------------------------------------------------------------------------
// Playback and DTMF

// What to play: exactly one source.
struct PlaySource {
  struct File { std::string path; };
  struct DbId { std::uint64_t id = 0; };
  struct Blob { std::vector<std::uint8_t> bytes; };
  struct Tone { std::string tone; };  // a preset name or a cadence
  struct Url { std::string url; };

  std::variant<File, DbId, Blob, Tone, Url> source;

  // Inserts the one member "file", "db_id", "blob", "tone" or "url". A blob
  // goes out as standard base64 with padding and no line breaks; an empty blob
  // is a present source written as "".
  void insert_into(Json& args) const;
};

// A total play count, or play until stopped.
struct PlayRepeat {
  struct Infinite {};
  std::variant<std::uint64_t, Infinite> value;

  // The count as a number, or "inf".
  Json to_json() const;
};

struct PlayOptions {
  std::optional<PlayRepeat> repeat;            // "repeat"
  std::optional<std::uint64_t> start_ms;       // "start_ms"
  std::optional<std::uint64_t> duration_ms;    // "duration_ms"
  std::optional<std::int32_t> gain_decibels;   // "gain_decibels", signed
  std::optional<std::string> to_tag;           // "to_tag"

  void insert_into(Json& args) const;
};

struct DtmfOptions {
  std::optional<std::uint64_t> duration_ms;   // "duration_ms"
  std::optional<std::int64_t> volume_dbm0;    // "volume_dbm0", signed
  std::optional<std::uint64_t> pause_ms;      // "pause_ms"
  std::optional<std::string> to_tag;          // "to_tag"

  void insert_into(Json& args) const;
};

// play: the source member and the options.
Json play_args(const PlaySource& source, const PlayOptions& options);
// dtmf: {"digits"} and the options; the digits are not checked.
Json dtmf_args(std::string_view digits, const DtmfOptions& options);

// ---------------------------------------------------------------------------
// Recording and streaming

struct RecordOptions {
  std::optional<RecordDirection> direction;     // "direction"
  std::optional<RecordChannels> channels;       // "channels"
  std::optional<std::uint64_t> max_duration_ms; // "max_duration_ms"
  std::optional<std::uint64_t> silence_ms;      // "silence_ms"
  std::optional<std::string> path;              // "path"

  // The record_start args; {} when every field is absent.
  Json to_json() const;
};

// What record_start resolves to.
struct Recording {
  std::string channel;                        // "channel" if a string, else the call's own
  std::optional<std::string> recording_id;    // "recording_id" if a string

  // Any result, an object or not, gives a summary; other members are dropped.
  static Recording from_reply(const Json& result, std::string_view own_channel);
  // Exactly {"channel", "recording_id" (string or null)}.
  Json to_json() const;

  friend bool operator==(const Recording&, const Recording&) = default;
};

// record_stop: {} or {"recording_id"}.
Json record_stop_args(std::optional<std::string_view> recording_id);

// stream_start: "ws_uri" and "mode" always (the default mode included, so the
// switch's own default never decides between a copy and a takeover);
// "direction", "channels" (1 or 2), "sample_rate" and "profile" when given.
// Combinations the switch refuses are not checked here.
Json stream_start_args(std::string_view ws_uri, StreamMode mode,
                       std::optional<StreamDirection> direction,
                       std::optional<StreamChannels> channels,
                       std::optional<std::uint32_t> sample_rate,
                       std::optional<std::string_view> profile);

// stream_stop: {"mode"}.
Json stream_stop_args(StreamMode mode);

// ---------------------------------------------------------------------------
// Dialing, cancelling a dial, routing

// What the caller hears while a bridging dial's phones alert.
struct Ringback {
  std::variant<bool, std::string> value;  // on/off, or a tone preset or cadence

  // true, false or the tone string.
  Json to_json() const;

  friend bool operator==(const Ringback&, const Ringback&) = default;
};

// How a dial's answer is handled.
struct OnAnswer {
  struct Connect {};
  struct Bridge { std::optional<Ringback> ringback; };
  std::variant<Connect, Bridge> policy;
};

// One target of a dial.
struct DialTarget {
  // Dialled as written.
  struct Uri {
    std::string uri;
    std::optional<std::string> next_hop;
    std::optional<std::string> to;
    HeaderPairs headers;
  };
  // Forked to every contact registered at the address-of-record.
  struct Aor {
    std::string aor;
    std::optional<std::string> to;
    HeaderPairs headers;
  };
  std::variant<Uri, Aor> target;

  // A Uri with nothing but its URI is the bare string; any other Uri is
  // {"uri", "next_hop"?, "to"?, "headers"?}; an Aor is always
  // {"aor", "to"?, "headers"?}. Empty header lists are left out.
  Json to_json() const;
};

struct DialOptions {
  std::optional<DialStrategy> strategy;          // "strategy"
  std::optional<std::uint32_t> timeout;          // "timeout", seconds
  HeaderPairs headers;                           // "headers", when non-empty
  std::optional<std::string> profile;            // "profile"
  std::optional<std::string> from_uri;           // "from" (not "from_uri")
  std::optional<std::string> from_display;       // "from_display"
  std::optional<std::string> p_asserted_identity;  // "p_asserted_identity"
  std::optional<Privacy> privacy;                // "privacy"
  std::optional<OnAnswer> on_answer;             // "on_answer"; "ringback" only for a
                                                 // Bridge that carries one

  void insert_into(Json& args) const;
};

// dial: {"targets": [each target's JSON, in order]} and the options. An empty
// target list is written as [] and left to the switch.
Json dial_args(std::span<const DialTarget> targets, const DialOptions& options);

// What dial resolves to. Every member of the reply is read leniently: a
// missing member, or one of the wrong JSON type or out of range, is absent.
struct Dialing {
  std::string channel;                           // "channel", else the call's own
  std::optional<std::uint64_t> targets;          // non-negative integer
  std::optional<std::string> strategy;
  std::optional<std::uint32_t> timeout;          // non-negative integer below 2^32
  std::optional<std::string> on_answer;          // present only for a bridging dial
  std::optional<std::string> group_id;
  std::optional<std::uint32_t> total_timeout;    // non-negative integer below 2^32
  std::optional<Ringback> ringback;              // a string (even "") or a boolean
  std::vector<DialBranchPayload> branches;       // entries that do not read are skipped

  static Dialing from_reply(const Json& result, std::string_view own_channel);
};

// {"channel", "targets", "strategy", "timeout"}, absent values as null; when
// `on_answer` is present also "on_answer", "group_id", "total_timeout",
// "ringback" and "branches". Nothing else.
Json dialing_to_json(const Dialing& dialing);

// cancel_dial: {} or {"reason"}.
Json cancel_dial_args(std::optional<std::string_view> reason);

// One carrier of a route.
struct RouteTarget {
  std::string uri;
  std::optional<std::string> next_hop;
  HeaderPairs headers;
  std::optional<std::uint32_t> timeout;          // seconds
  bool reroute_after_progress = false;

  // The bare URI string when nothing else is set; otherwise {"uri",
  // "next_hop"?, "headers"?, "timeout"?, "reroute_after_progress": true only
  // when set}.
  Json to_json() const;
};

// route: {"targets", "strategy" exactly as given, "headers" when non-empty}.
Json route_args(std::span<const RouteTarget> targets, std::string_view strategy,
                const HeaderPairs& headers);

// ---------------------------------------------------------------------------
// Bridging, headers, blind transfer

// bridge: {"with", "on_peer_hangup"?}.
Json bridge_args(std::string_view with_channel, std::optional<PeerHangup> on_peer_hangup);

// get_header and remove_header: {"name"}.
Json header_name_args(std::string_view name);
// set_header: {"name", "value"}.
Json set_header_args(std::string_view name, std::string_view value);

// refer (and its alias transfer): {"to"}.
Json refer_args(std::string_view to);

// ---------------------------------------------------------------------------
// Inbound REFER handling and peer replacement

// Where a transfer or replacement dials.
struct TransferTarget {
  struct Uri { std::string uri; };
  struct Aor { std::string aor; };
  std::variant<Uri, Aor> target;

  // A URI is the plain string; an address-of-record is {"aor"}.
  Json to_json() const;
};

// No target for neither, the one given, and for both the message
// "<verb> takes a target URI or aor=, not both" (raised as ValueError).
std::expected<std::optional<TransferTarget>, std::string> transfer_target(
    std::string_view verb, std::optional<std::string> target, std::optional<std::string> aor);

// The identity and routing of the leg a transfer or replacement dials.
struct TransferDial {
  HeaderPairs headers;                            // "headers", when non-empty
  std::optional<std::string> next_hop;            // "next_hop"
  std::optional<std::string> from_uri;            // "from"
  std::optional<std::string> from_display;        // "from_display"
  std::optional<std::string> p_asserted_identity; // "p_asserted_identity"
  std::optional<std::string> number_policy;       // "number_policy"
  std::optional<std::string> format;              // "format"
  std::optional<Privacy> privacy;                 // "privacy"

  void insert_into(Json& args) const;
};

// accept_refer in the dialling modes: "target"?, "mode"? (as given), "profile"?
// and the dial's members.
Json accept_refer_args(const std::optional<TransferTarget>& target,
                       std::optional<std::string_view> mode,
                       std::optional<std::string_view> profile, const TransferDial& dial);

// accept_refer(mode="controller"): {"mode": "controller", "timeout"?}.
Json accept_refer_controller_args(std::optional<std::uint32_t> timeout);

// complete_refer: {"code", "reason"?}.
Json complete_refer_args(std::uint16_t code, std::optional<std::string_view> reason);

// replace_peer: "target", "replace_a_leg"? (false included), "profile"?,
// "timeout"? (0 included) and the dial's members.
Json replace_peer_args(const TransferTarget& target, std::optional<bool> replace_a_leg,
                       std::optional<std::string_view> profile,
                       std::optional<std::uint32_t> timeout, const TransferDial& dial);

// ---------------------------------------------------------------------------
// Originate

// How an address-of-record's contacts ring.
struct AorRing {
  std::optional<DialStrategy> strategy;        // "strategy"
  std::optional<std::uint64_t> total_timeout;  // "total_timeout", seconds, 0 for no bound

  void insert_into(Json& args) const;
};

// Where an originate goes: a URI as written, or every phone registered at an
// address-of-record.
struct OriginateTo { std::string to; };
struct OriginateAor {
  std::string aor;
  AorRing ring;
};
using OriginateDestination = std::variant<OriginateTo, OriginateAor>;

// The one media plan of an originated leg.
struct OriginateMedia {
  // The switch anchors the media: {"media": true, "profile"?, "ws_uri"?}.
  struct Anchored {
    std::optional<std::string> profile;
    std::optional<std::string> ws_uri;
  };
  // The application's own offer: {"sdp"}.
  struct Sdp { std::string sdp; };
  // Any body: {"body", "content_type"}.
  struct Body {
    std::string body;
    std::string content_type = "application/sdp";
  };
  std::variant<Anchored, Sdp, Body> plan;

  void insert_into(Json& args) const;
};

// An RFC 4028 session timer; each field left out takes the switch's default.
struct SessionTimer {
  std::optional<std::uint32_t> expires;         // "expires"
  std::optional<std::uint32_t> min_se;          // "min_se"
  std::optional<SessionRefresher> refresher;    // "refresher"

  // The present fields; {} when none is.
  Json to_json() const;
};

struct OriginateOptions {
  std::optional<std::string> from_uri;            // "from"
  std::optional<std::string> from_display;        // "from_display"
  std::optional<std::string> to_display;          // "to_display"
  std::optional<std::string> next_hop;            // "next_hop"
  std::optional<std::string> p_asserted_identity; // "p_asserted_identity"
  std::optional<Privacy> privacy;                 // "privacy"
  HeaderPairs headers;                            // "headers", when non-empty
  std::optional<std::uint64_t> timeout;           // "timeout"
  std::optional<std::string> on_lost;             // "on_lost"
  HeaderPairs vars;                               // "vars", when non-empty
  std::optional<SessionTimer> session_timer;      // "session_timer", {} when empty

  void insert_into(Json& args) const;
};

// originate: "channel", then "to" or "aor", the media plan, the options and,
// for an address-of-record, its ring members.
Json originate_args(std::string_view channel, const OriginateDestination& destination,
                    const OriginateMedia& media, const OriginateOptions& options);

// What an originate to a URI resolves to.
struct Originated {
  std::string channel;                      // "channel" if a string, else the requested id
  std::optional<std::string> call_id;       // strings only
  std::optional<std::string> sip_call_id;

  static Originated from_reply(const Json& result, std::string_view requested_channel);
  // Exactly {"channel", "call_id", "sip_call_id"}, absent values as null.
  Json to_json() const;
};

// What an originate to an address-of-record resolves to.
struct OriginatedGroup {
  std::string channel;                          // as for `Originated`
  std::optional<std::string> group_id;          // strings only
  std::optional<std::string> aor;
  std::optional<std::string> strategy;          // as the switch reported it
  std::optional<std::uint64_t> total_timeout;   // non-negative integers only
  std::vector<DialBranchPayload> branches;      // entries that do not read are skipped

  static OriginatedGroup from_reply(const Json& result, std::string_view requested_channel);
  // Exactly {"channel", "group_id", "aor", "strategy", "total_timeout",
  // "branches"}, absent values as null and no branches as [].
  Json to_json() const;
};

}  // namespace fenwix
