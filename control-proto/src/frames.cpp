#include "fenwix/proto/frames.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "member_reader.hpp"

namespace fenwix {

namespace {

using detail::MemberReader;
using detail::quote_for_error;

// Writes through the JSON writer so that strings are escaped and checked for
// valid UTF-8 exactly as the values around them are.
void append_json(std::string& out, const Json& value) {
  out += value.dump(-1, ' ', false, Json::error_handler_t::strict);
}

void append_json_string(std::string& out, std::string_view text) {
  append_json(out, Json(std::string(text)));
}

std::optional<FrameType> frame_type_from_wire(std::string_view text) {
  for (const auto type : {FrameType::Command, FrameType::Reply, FrameType::Event}) {
    if (wire_name(type) == text) return type;
  }
  return std::nullopt;
}

std::expected<FrameType, std::string> read_frame_type(const MemberReader& reader) {
  const Json* member = reader.find("type");
  if (member == nullptr) return std::unexpected(reader.missing("type"));
  if (!member->is_string()) return std::unexpected(reader.must_be("type", "a string"));
  const auto& text = member->get_ref<const std::string&>();
  if (auto type = frame_type_from_wire(text)) return *type;
  return std::unexpected(
      reader.must_be("type", "\"command\", \"reply\" or \"event\", not " + quote_for_error(text)));
}

std::expected<ReplyStatus, std::string> read_status(const MemberReader& reader) {
  const Json* member = reader.find("status");
  if (member == nullptr) return std::unexpected(reader.missing("status"));
  if (!member->is_string()) return std::unexpected(reader.must_be("status", "a string"));
  const auto& text = member->get_ref<const std::string&>();
  if (text == wire_name(ReplyStatus::Ok)) return ReplyStatus::Ok;
  if (text == wire_name(ReplyStatus::Error)) return ReplyStatus::Error;
  return std::unexpected(
      reader.must_be("status", "\"ok\" or \"error\", not " + quote_for_error(text)));
}

std::expected<std::optional<ReplyError>, std::string> read_error_body(const MemberReader& reply) {
  const Json* body = reply.find("error");
  if (body == nullptr || body->is_null()) return std::optional<ReplyError>();
  if (!body->is_object()) return std::unexpected(reply.must_be("error", "an object or null"));

  const MemberReader reader(*body, "reply error");
  const Json* code_member = reader.find("code");
  if (code_member == nullptr) return std::unexpected(reader.missing("code"));
  if (!code_member->is_string()) return std::unexpected(reader.must_be("code", "a string"));
  const auto& code_text = code_member->get_ref<const std::string&>();
  const auto code = error_code_from_wire(code_text);
  if (!code) {
    return std::unexpected(
        reader.must_be("code", "a known error code, not " + quote_for_error(code_text)));
  }
  auto message = reader.required_string("message");
  if (!message) return std::unexpected(std::move(message.error()));
  return std::optional<ReplyError>(ReplyError{*code, std::move(*message)});
}

// Takes a member out of the value being read: moved when the caller gave up
// the value, copied otherwise. Results and payloads are the large part of a
// frame, and the inbound path always owns the value it parsed.
template <class J>
Json take_member(J&& value, std::string_view key) {
  auto it = value.find(key);
  if (it == value.end()) return Json();
  if constexpr (std::is_const_v<std::remove_reference_t<J>>) {
    return *it;
  } else {
    return std::move(*it);
  }
}

template <class J>
std::expected<ReplyFrame, std::string> read_reply(J&& value) {
  if (!value.is_object()) return std::unexpected(std::string("reply must be a JSON object"));
  const MemberReader reader(value, "reply");
  ReplyFrame frame;

  auto id = reader.required_string("id");
  if (!id) return std::unexpected(std::move(id.error()));
  frame.id = std::move(*id);

  auto type = read_frame_type(reader);
  if (!type) return std::unexpected(std::move(type.error()));
  frame.type = *type;

  auto status = read_status(reader);
  if (!status) return std::unexpected(std::move(status.error()));
  frame.status = *status;

  auto error = read_error_body(reader);
  if (!error) return std::unexpected(std::move(error.error()));
  frame.error = std::move(*error);

  // Last: it may move out of `value`, which the reader above still looks at.
  Json result = take_member(std::forward<J>(value), "result");
  if (!result.is_null()) frame.result = std::move(result);
  return frame;
}

template <class J>
std::expected<EventFrame, std::string> read_event(J&& value) {
  if (!value.is_object()) return std::unexpected(std::string("event must be a JSON object"));
  const MemberReader reader(value, "event");
  EventFrame frame;

  auto type = read_frame_type(reader);
  if (!type) return std::unexpected(std::move(type.error()));
  frame.type = *type;

  auto name = reader.required_string("event");
  if (!name) return std::unexpected(std::move(name.error()));
  frame.event = std::move(*name);

  const std::pair<std::string_view, std::optional<std::string>*> optional_members[] = {
      {"channel", &frame.channel},
      {"app", &frame.app},
      {"call_id", &frame.call_id},
      {"sip_call_id", &frame.sip_call_id},
  };
  for (const auto& [key, slot] : optional_members) {
    auto member = reader.nullable_string(key);
    if (!member) return std::unexpected(std::move(member.error()));
    *slot = std::move(*member);
  }

  frame.payload = take_member(std::forward<J>(value), "payload");
  return frame;
}

Inbound classify(std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return inbound::Malformed{std::move(parsed.error())};
  Json& value = *parsed;

  const auto type = value.is_object() ? value.find("type") : value.end();
  if (type == value.end() || !type->is_string()) return inbound::UnknownType{};
  const auto& name = type->get_ref<const std::string&>();

  if (name == wire_name(FrameType::Reply)) {
    auto frame = ReplyFrame::from_json(std::move(value));
    if (!frame) return inbound::UnparseableReply{std::move(frame.error())};
    return inbound::Reply{std::move(*frame)};
  }
  if (name == wire_name(FrameType::Event)) {
    auto frame = EventFrame::from_json(std::move(value));
    if (!frame) return inbound::UnparseableEvent{std::move(frame.error())};
    return inbound::Event{std::move(*frame)};
  }
  return inbound::UnknownType{name};
}

}  // namespace

std::string_view wire_name(FrameType type) {
  switch (type) {
    case FrameType::Command:
      return "command";
    case FrameType::Reply:
      return "reply";
    case FrameType::Event:
      return "event";
  }
  return {};
}

std::string_view wire_name(ReplyStatus status) {
  switch (status) {
    case ReplyStatus::Ok:
      return "ok";
    case ReplyStatus::Error:
      return "error";
  }
  return {};
}

CommandFrame CommandFrame::make(std::string id, std::optional<std::string> module,
                                std::string_view verb, Json target, Json args) {
  return CommandFrame{std::move(id), std::move(module), std::string(verb), std::move(target),
                      std::move(args)};
}

std::expected<std::string, std::string> CommandFrame::serialize() const {
  // The envelope is written by hand because a JSON object would put its
  // members in key order, and the frame's member order is fixed. Only the
  // values inside target and args are objects of their own, sorted as usual.
  try {
    std::string out;
    out.reserve(64 + id.size() + verb.size() + (module ? module->size() : 0));
    out += "{\"id\":";
    append_json_string(out, id);
    out += ",\"type\":\"command\"";
    if (module) {
      out += ",\"module\":";
      append_json_string(out, *module);
    }
    out += ",\"verb\":";
    append_json_string(out, verb);
    out += ",\"target\":";
    append_json(out, target);
    out += ",\"args\":";
    append_json(out, args);
    out += '}';
    return out;
  } catch (const Json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

std::expected<ReplyFrame, std::string> ReplyFrame::from_json(const Json& value) {
  return read_reply(value);
}

std::expected<ReplyFrame, std::string> ReplyFrame::from_json(Json&& value) {
  return read_reply(std::move(value));
}

std::expected<EventFrame, std::string> EventFrame::from_json(const Json& value) {
  return read_event(value);
}

std::expected<EventFrame, std::string> EventFrame::from_json(Json&& value) {
  return read_event(std::move(value));
}

Inbound classify_inbound(std::string_view text) noexcept {
  // The session's reader calls this for every message a peer sends; nothing
  // a peer sends may escape it as an exception. Out of memory is the only
  // failure left after parsing, and it is reported like a bad message. Even
  // the text of that report can fail to allocate; the outcome is then
  // `Malformed` with an empty text.
  try {
    return classify(text);
  } catch (...) {
    try {
      return inbound::Malformed{"out of memory while reading an inbound frame"};
    } catch (...) {
      return inbound::Malformed{};
    }
  }
}

Result<Json> reply_to_result(ReplyFrame reply) {
  if (reply.status == ReplyStatus::Error) {
    if (reply.error) {
      return fail({error::Remote{reply.error->code, std::move(reply.error->message)}});
    }
    return fail({error::Remote{ControlErrorCode::ProtocolError,
                               "error reply without an error body"}});
  }
  return reply.result ? std::move(*reply.result) : Json();
}

}  // namespace fenwix
