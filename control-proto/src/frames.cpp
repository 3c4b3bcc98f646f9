#include "fenwix/proto/frames.hpp"

#include <algorithm>
#include <charconv>
#include <new>
#include <type_traits>
#include <utility>

#include "member_reader.hpp"

namespace fenwix {

namespace {

using detail::MemberReader;
using detail::quote_for_error;

// Writes one value with the JSON library's own writer, appending straight to
// `out`. Strings are escaped and checked for valid UTF-8 by it, and numbers
// spelt by it.
void append_with_writer(std::string& out, const Json& value) {
  nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(out), ' ',
                                            Json::error_handler_t::strict);
  writer.dump(value, false, false, 0);
}

// Printable ASCII other than the quote and the backslash: written as it is,
// with no escape and nothing to check.
bool is_plain_text(std::string_view text) {
  return std::ranges::all_of(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\';
  });
}

void append_json_string(std::string& out, std::string_view text) {
  if (!is_plain_text(text)) {
    append_with_writer(out, Json(std::string(text)));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

// Command arguments are small objects of short ASCII strings, integers and
// booleans. The library writer costs more than the text it writes for those
// (it sets up a writer and reads the locale for every call), so such values
// are written here; anything else (a float, a string needing an escape or a
// UTF-8 check, a binary value) goes to the library writer for that value
// alone, so the text and every error are exactly the library's.
void append_json(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      char digits[24];
      const auto [end, ec] =
          value.is_number_unsigned()
              ? std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>())
              : std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>());
      out.append(digits, end);
      return;
    }
    case Json::value_t::string:
      append_json_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
        out += ':';
        append_json(out, member);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        append_json(out, element);
      }
      out += ']';
      return;
    }
    case Json::value_t::number_float:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  append_with_writer(out, value);
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

// A position in a text, and the pieces of JSON syntax both short-cut
// readers below share.
class TextCursor {
 protected:
  explicit TextCursor(std::string_view text) : text_(text) {}

  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  bool eat(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A string of printable ASCII without escapes; anything else is left to
  // the JSON library, which checks escapes and UTF-8.
  bool plain_string(std::string_view& out) {
    if (!eat('"')) return false;
    const std::size_t begin = pos_;
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        out = text_.substr(begin, pos_ - begin);
        ++pos_;
        return true;
      }
      if (c < 0x20 || c >= 0x7F || c == '\\') return false;
      ++pos_;
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Reads the values that nearly every result and payload is made of: objects,
// arrays, strings of printable ASCII without escapes, integers, true, false
// and null, nested a little. Anything else (an escape, a byte outside
// printable ASCII, a number with a fraction or an exponent or beyond 64 bits,
// deep nesting, anything malformed) makes it give up, and the JSON library
// reads the text instead. What it does read, it reads into the value the
// library would build: a non-negative integer unsigned, a negative one
// signed, and a repeated key replacing the earlier member. It skips the
// library's set-up for every text (a lexer, a token buffer, the locale),
// which costs more than reading a small value.
class SimpleValueReader : TextCursor {
 public:
  explicit SimpleValueReader(std::string_view text) : TextCursor(text) {}

  std::optional<Json> read() {
    Json value;
    if (!value_into(value, 0)) return std::nullopt;
    skip_space();
    if (pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr std::size_t kMaxDepth = 32;

  bool value_into(Json& out, std::size_t depth) {
    skip_space();
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_]) {
      case '{':
        return object_into(out, depth + 1);
      case '[':
        return array_into(out, depth + 1);
      case '"': {
        std::string_view text;
        if (!plain_string(text)) return false;
        out = std::string(text);
        return true;
      }
      case 't':
        return literal("true", out, true);
      case 'f':
        return literal("false", out, false);
      case 'n':
        return literal("null", out, nullptr);
      default:
        return integer_into(out);
    }
  }

  bool object_into(Json& out, std::size_t depth) {
    if (depth > kMaxDepth) return false;
    ++pos_;
    out = Json::object();
    auto& members = out.get_ref<Json::object_t&>();
    skip_space();
    if (eat('}')) return true;
    for (;;) {
      skip_space();
      std::string_view key;
      if (!plain_string(key)) return false;
      skip_space();
      if (!eat(':')) return false;
      if (!value_into(members[std::string(key)], depth)) return false;
      skip_space();
      if (eat(',')) continue;
      return eat('}');
    }
  }

  bool array_into(Json& out, std::size_t depth) {
    if (depth > kMaxDepth) return false;
    ++pos_;
    out = Json::array();
    auto& elements = out.get_ref<Json::array_t&>();
    skip_space();
    if (eat(']')) return true;
    for (;;) {
      if (!value_into(elements.emplace_back(), depth)) return false;
      skip_space();
      if (eat(',')) continue;
      return eat(']');
    }
  }

  template <class V>
  bool literal(std::string_view word, Json& out, V value) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    out = value;
    return true;
  }

  bool integer_into(Json& out) {
    const std::size_t begin = pos_;
    const bool negative = eat('-');
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == '0') {
      ++pos_;
    } else if (text_[pos_] >= '1' && text_[pos_] <= '9') {
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    } else {
      return false;
    }
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'))
      return false;
    const char* first = text_.data() + begin;
    const char* last = text_.data() + pos_;
    if (negative) {
      std::int64_t n = 0;
      const auto [end, ec] = std::from_chars(first, last, n);
      if (ec != std::errc{} || end != last) return false;
      out = n;
    } else {
      std::uint64_t n = 0;
      const auto [end, ec] = std::from_chars(first, last, n);
      if (ec != std::errc{} || end != last) return false;
      out = n;
    }
    return true;
  }
};

// Nearly every inbound message is a compact reply or event whose envelope
// members are short ASCII strings: {"id":"c-7","type":"reply","status":"ok",
// "result":{...}}. Such a message is read here without building a document
// for the envelope; only "result" or "payload" is parsed, from its own slice
// of the text. Whatever looks any different (an escape or a byte outside
// printable ASCII in an envelope string, a member this reader does not
// expect, a repeated member, an error body, deep nesting, anything after the
// closing brace) makes it give up, and the full parse below decides as it
// always has. So the fast path only ever accepts text the full parse would
// accept, with the same outcome.
class EnvelopeReader : TextCursor {
 public:
  explicit EnvelopeReader(std::string_view text) : TextCursor(text) {}

  std::optional<Inbound> read() {
    if (!members()) return std::nullopt;
    if (type_ == "reply") return reply();
    if (type_ == "event") return event();
    return std::nullopt;
  }

 private:
  // Envelope members, by the bit that marks them seen.
  enum Member : unsigned {
    kId = 1, kType = 2, kStatus = 4, kResult = 8, kEvent = 16, kChannel = 32, kApp = 64,
    kCallId = 128, kSipCallId = 256, kPayload = 512,
  };
  static constexpr unsigned kReplyMembers = kId | kType | kStatus | kResult;
  static constexpr unsigned kEventMembers =
      kType | kEvent | kChannel | kApp | kCallId | kSipCallId | kPayload;
  // Deeper values go to the full parse, which enforces the depth limit.
  static constexpr std::size_t kMaxFastDepth = 64;

  std::optional<Inbound> reply() {
    if ((seen_ & ~kReplyMembers) != 0 || !(seen_ & kId) || status_ != "ok") return std::nullopt;
    ReplyFrame frame;
    frame.id.assign(id_);
    if (seen_ & kResult) {
      auto result = parse_slice(result_);
      if (!result) return std::nullopt;
      if (!result->is_null()) frame.result = std::move(*result);
    }
    return inbound::Reply{std::move(frame)};
  }

  std::optional<Inbound> event() {
    if ((seen_ & ~kEventMembers) != 0 || !(seen_ & kEvent)) return std::nullopt;
    EventFrame frame;
    frame.event.assign(event_);
    frame.channel = channel_;
    frame.app = app_;
    frame.call_id = call_id_;
    frame.sip_call_id = sip_call_id_;
    if (seen_ & kPayload) {
      auto payload = parse_slice(payload_);
      if (!payload) return std::nullopt;
      frame.payload = std::move(*payload);
    }
    return inbound::Event{std::move(frame)};
  }

  static std::optional<Json> parse_slice(std::string_view slice) {
    if (auto simple = SimpleValueReader(slice).read()) return simple;
    auto value = parse_json(slice);
    if (!value) return std::nullopt;
    return std::move(*value);
  }

  bool members() {
    skip_space();
    if (!eat('{')) return false;
    skip_space();
    if (eat('}')) return finish();
    for (;;) {
      std::string_view key;
      skip_space();
      if (!plain_string(key)) return false;
      skip_space();
      if (!eat(':')) return false;
      skip_space();
      if (!member(key)) return false;
      skip_space();
      if (eat(',')) continue;
      if (!eat('}')) return false;
      return finish();
    }
  }

  // Only whitespace may follow the object.
  bool finish() {
    skip_space();
    return pos_ == text_.size();
  }

  bool member(std::string_view key) {
    struct Slot {
      std::string_view key;
      Member bit;
    };
    static constexpr Slot kSlots[] = {
        {"id", kId}, {"type", kType}, {"status", kStatus}, {"result", kResult},
        {"event", kEvent}, {"channel", kChannel}, {"app", kApp}, {"call_id", kCallId},
        {"sip_call_id", kSipCallId}, {"payload", kPayload},
    };
    const auto slot = std::ranges::find(kSlots, key, &Slot::key);
    if (slot == std::end(kSlots) || (seen_ & slot->bit)) return false;
    seen_ |= slot->bit;
    switch (slot->bit) {
      case kId: return plain_string(id_);
      case kType: return plain_string(type_);
      case kStatus: return plain_string(status_);
      case kEvent: return plain_string(event_);
      case kChannel: return plain_string_or_null(channel_);
      case kApp: return plain_string_or_null(app_);
      case kCallId: return plain_string_or_null(call_id_);
      case kSipCallId: return plain_string_or_null(sip_call_id_);
      case kResult: return value_slice(result_);
      case kPayload: return value_slice(payload_);
    }
    return false;
  }

  bool plain_string_or_null(std::optional<std::string>& out) {
    if (text_.substr(pos_, 4) == "null") {
      pos_ += 4;
      return true;
    }
    std::string_view value;
    if (!plain_string(value)) return false;
    out.emplace(value);
    return true;
  }

  // The extent of one value, for the JSON reader to check and read later.
  bool value_slice(std::string_view& out) {
    const std::size_t begin = pos_;
    if (pos_ >= text_.size()) return false;
    const char first = text_[pos_];
    if (first == '"') {
      if (!skip_string()) return false;
    } else if (first == '{' || first == '[') {
      std::size_t depth = 0;
      do {
        const char c = text_[pos_];
        if (c == '"') {
          if (!skip_string()) return false;
          continue;
        }
        ++pos_;
        if (c == '{' || c == '[') {
          if (++depth > kMaxFastDepth) return false;
        } else if (c == '}' || c == ']') {
          --depth;
        }
      } while (depth > 0 && pos_ < text_.size());
      if (depth > 0) return false;
    } else {
      // A number or a literal: up to the next delimiter. It must start like
      // one: the JSON reader skips a byte-order mark at the start of its
      // input, which would let a mark in the middle of the message through.
      if (first != '-' && first != 't' && first != 'f' && first != 'n' &&
          (first < '0' || first > '9'))
        return false;
      while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}' &&
             !is_space(text_[pos_]))
        ++pos_;
    }
    out = text_.substr(begin, pos_ - begin);
    return !out.empty();
  }

  bool skip_string() {
    ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '\\') {
        ++pos_;
      } else if (c == '"') {
        return true;
      }
    }
    return false;
  }

  unsigned seen_ = 0;
  std::string_view id_, type_, status_, event_, result_, payload_;
  std::optional<std::string> channel_, app_, call_id_, sip_call_id_;
};

Inbound classify(std::string_view text) {
  if (auto fast = EnvelopeReader(text).read()) return std::move(*fast);
  return detail::classify_inbound_document(text);
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
    // Room for the envelope and a typical target and args: one allocation.
    out.reserve(192 + id.size() + verb.size() + (module ? module->size() : 0));
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

Inbound detail::classify_inbound_document(std::string_view text) {
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
