// Control frames: one JSON object per WebSocket text message.
//
// The library writes commands and reads replies and events. Frames are plain
// values: they own their strings and JSON, are moved between tasks and are
// never shared mutably.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fenwix/proto/error.hpp"
#include "fenwix/proto/events.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix {

enum class FrameType : std::uint8_t { Command, Reply, Event };
enum class ReplyStatus : std::uint8_t { Ok, Error };

std::string_view wire_name(FrameType type);
std::string_view wire_name(ReplyStatus status);

// An outbound command. Serialised with its members in this order:
// "id", "type" ("command"), "module" (left out when absent), "verb",
// "target" and "args" (both always written, null when there is none).
struct CommandFrame {
  std::string id;
  std::optional<std::string> module;
  std::string verb;
  Json target;
  Json args;

  static CommandFrame make(std::string id, std::optional<std::string> module,
                           std::string_view verb, Json target, Json args);

  // Compact JSON text of the frame; fails with the JSON writer's text (for
  // example for a string that is not valid UTF-8).
  std::expected<std::string, std::string> serialize() const;
};

// The error body of a reply.
struct ReplyError {
  ControlErrorCode code;
  std::string message;

  friend bool operator==(const ReplyError&, const ReplyError&) = default;
};

struct ReplyFrame {
  std::string id;
  FrameType type = FrameType::Reply;
  ReplyStatus status = ReplyStatus::Ok;
  std::optional<Json> result;      // absent or null: no result
  std::optional<ReplyError> error; // absent or null: no error body

  // Builds a reply from an already parsed value. Fails with a text naming the
  // offending member or value ("id" must be a string, "type" one of the three
  // frame spellings, "status" exactly "ok" or "error", an error code one of
  // the twelve spellings, ...). Members it does not know are ignored. The
  // rvalue form moves "result" out of `value` instead of copying it.
  static std::expected<ReplyFrame, std::string> from_json(const Json& value);
  static std::expected<ReplyFrame, std::string> from_json(Json&& value);

  friend bool operator==(const ReplyFrame&, const ReplyFrame&) = default;
};

struct EventFrame {
  FrameType type = FrameType::Event;
  std::string event;
  std::optional<std::string> channel;      // absent or null: none
  std::optional<std::string> app;
  std::optional<std::string> call_id;
  std::optional<std::string> sip_call_id;
  Json payload;                            // absent: null

  // Builds an event from an already parsed value: "type" one of the three
  // frame spellings, "event" a string, the four optional members strings or
  // null. Fails with a text naming the offending member. The rvalue form
  // moves "payload" out of `value` instead of copying it.
  static std::expected<EventFrame, std::string> from_json(const Json& value);
  static std::expected<EventFrame, std::string> from_json(Json&& value);

  friend bool operator==(const EventFrame&, const EventFrame&) = default;

  // The kind of the "event" member (exact, case-sensitive match).
  SipEvent sip_kind() const { return SipEvent::from_name(event); }
};

// The outcome of classifying one inbound text message.
namespace inbound {
struct Malformed {          // not exactly one JSON value, or nested too deeply
  std::string error;        // bounded, valid UTF-8 (see parse_json)
};
struct Reply {
  ReplyFrame frame;
};
struct UnparseableReply {
  std::string error;
};
struct Event {
  EventFrame frame;
};
struct UnparseableEvent {
  std::string error;
};
struct UnknownType {        // "type" missing, not a string, or not reply/event
  std::optional<std::string> type;
};
}  // namespace inbound

using Inbound = std::variant<inbound::Malformed, inbound::Reply, inbound::UnparseableReply,
                             inbound::Event, inbound::UnparseableEvent, inbound::UnknownType>;

// Classifies one inbound text message by its "type" member and builds the
// typed frame. Never throws, whatever the input: running out of memory while
// doing so is reported as `Malformed`.
Inbound classify_inbound(std::string_view text) noexcept;

namespace detail {
// What `classify_inbound` decides, always by reading the whole text as one
// JSON document. `classify_inbound` reads most messages by a short cut and
// falls back to this; the tests and the fuzz target hold the short cut to it.
// May throw std::bad_alloc.
Inbound classify_inbound_document(std::string_view text);
}  // namespace detail

// The one place where a reply becomes a result or an error: status "error"
// gives `Remote` (with protocol_error when the body is missing), status "ok"
// gives the result or null.
Result<Json> reply_to_result(ReplyFrame reply);

}  // namespace fenwix
