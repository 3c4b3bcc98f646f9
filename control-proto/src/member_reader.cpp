#include "member_reader.hpp"

namespace fenwix::detail {

namespace {

constexpr std::size_t kQuotedPrefixBytes = 48;

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string quote_for_error(std::string_view text) {
  // A peer can send a member of many megabytes; an error text only needs
  // enough of it to recognise the value. Cutting on a character boundary keeps
  // the quoted prefix valid UTF-8, and the replace handler covers input that
  // was not valid to begin with.
  bool cut = false;
  if (text.size() > kQuotedPrefixBytes) {
    std::size_t end = kQuotedPrefixBytes;
    while (end > 0 && is_continuation_byte(text[end])) --end;
    text = text.substr(0, end);
    cut = true;
  }
  std::string quoted = Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
  if (cut) quoted += "...";
  return quoted;
}

const Json* MemberReader::find(std::string_view key) const {
  const auto it = object_.find(key);
  return it == object_.end() ? nullptr : &*it;
}

std::expected<std::string, std::string> MemberReader::required_string(std::string_view key) const {
  const Json* member = find(key);
  if (member == nullptr) return std::unexpected(missing(key));
  if (!member->is_string()) return std::unexpected(must_be(key, "a string"));
  return member->get_ref<const std::string&>();
}

std::expected<std::string, std::string> MemberReader::string_or_empty(std::string_view key) const {
  const Json* member = find(key);
  if (member == nullptr) return std::string();
  if (!member->is_string()) return std::unexpected(must_be(key, "a string"));
  return member->get_ref<const std::string&>();
}

std::expected<std::optional<std::string>, std::string> MemberReader::nullable_string(
    std::string_view key) const {
  const Json* member = find(key);
  if (member == nullptr || member->is_null()) return std::optional<std::string>();
  if (!member->is_string()) return std::unexpected(must_be(key, "a string or null"));
  return std::optional<std::string>(member->get_ref<const std::string&>());
}

std::string MemberReader::missing(std::string_view key) const {
  std::string text(what_);
  text += " member \"";
  text += key;
  text += "\" is missing";
  return text;
}

std::string MemberReader::must_be(std::string_view key, std::string_view expectation) const {
  std::string text(what_);
  text += " member \"";
  text += key;
  text += "\" must be ";
  text += expectation;
  return text;
}

}  // namespace fenwix::detail
