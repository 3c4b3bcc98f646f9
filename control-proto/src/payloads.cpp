#include "fenwix/proto/payloads.hpp"

#include <limits>

#include "member_reader.hpp"

namespace fenwix {

namespace {

using detail::MemberReader;

// Accepts signed storage as well: a value built in C++ from a plain int is
// held as a signed number even when it is positive.
std::optional<std::uint32_t> as_uint32(const Json& value) {
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  if (value.type() == Json::value_t::number_unsigned) {
    const auto number = value.get<std::uint64_t>();
    if (number <= kMax) return static_cast<std::uint32_t>(number);
  } else if (value.type() == Json::value_t::number_integer) {
    const auto number = value.get<std::int64_t>();
    if (number >= 0 && static_cast<std::uint64_t>(number) <= kMax) {
      return static_cast<std::uint32_t>(number);
    }
  }
  return std::nullopt;
}

std::string entry_error(std::string_view list, std::size_t index, const std::string& error) {
  return std::string(list) + " entry " + std::to_string(index) + ": " + error;
}

}  // namespace

Json hello_args(std::string_view app, std::uint32_t protocol) {
  return Json{{"app", std::string(app)}, {"protocol", protocol}};
}

std::expected<HelloResult, std::string> HelloResult::from_json(const Json& result) {
  if (!result.is_object()) return std::unexpected(std::string("hello result must be a JSON object"));
  const MemberReader reader(result, "hello result");
  HelloResult hello;

  auto app = reader.required_string("app");
  if (!app) return std::unexpected(std::move(app.error()));
  hello.app = std::move(*app);

  const Json* protocol = reader.find("protocol");
  if (protocol == nullptr) return std::unexpected(reader.missing("protocol"));
  const auto number = as_uint32(*protocol);
  if (!number) return std::unexpected(reader.must_be("protocol", "an unsigned 32-bit integer"));
  hello.protocol = *number;

  auto subprotocol = reader.required_string("subprotocol");
  if (!subprotocol) return std::unexpected(std::move(subprotocol.error()));
  hello.subprotocol = std::move(*subprotocol);
  return hello;
}

std::expected<ChannelSnapshot, std::string> ChannelSnapshot::from_json(const Json& value) {
  if (!value.is_object()) {
    return std::unexpected(std::string("channel snapshot must be a JSON object"));
  }
  const MemberReader reader(value, "channel snapshot");
  ChannelSnapshot snapshot;

  auto channel = reader.required_string("channel");
  if (!channel) return std::unexpected(std::move(channel.error()));
  snapshot.channel = std::move(*channel);

  const std::pair<std::string_view, std::string*> string_members[] = {
      {"call_id", &snapshot.call_id},
      {"sip_call_id", &snapshot.sip_call_id},
      {"state", &snapshot.state},
  };
  for (const auto& [key, slot] : string_members) {
    auto member = reader.string_or_empty(key);
    if (!member) return std::unexpected(std::move(member.error()));
    *slot = std::move(*member);
  }

  if (const Json* vars = reader.find("vars")) {
    if (!vars->is_object()) return std::unexpected(reader.must_be("vars", "an object"));
    for (const auto& [name, var] : vars->items()) {
      if (!var.is_string()) {
        return std::unexpected(
            reader.must_be("vars", "an object of strings; " + detail::quote_for_error(name) +
                                       " is not a string"));
      }
      snapshot.vars.emplace(name, var.get_ref<const std::string&>());
    }
  }
  return snapshot;
}

Json ChannelSnapshot::to_json() const {
  return Json{
      {"channel", channel},
      {"call_id", call_id},
      {"sip_call_id", sip_call_id},
      {"state", state},
      {"vars", Json(vars)},
  };
}

std::expected<ResyncResult, std::string> ResyncResult::from_json(const Json& result) {
  if (!result.is_object()) {
    return std::unexpected(std::string("resync result must be a JSON object"));
  }
  const MemberReader reader(result, "resync result");
  ResyncResult resync;

  const Json* channels = reader.find("channels");
  if (channels == nullptr) return resync;
  if (!channels->is_array()) return std::unexpected(reader.must_be("channels", "an array"));
  resync.channels.reserve(channels->size());
  for (std::size_t i = 0; i < channels->size(); ++i) {
    auto snapshot = ChannelSnapshot::from_json((*channels)[i]);
    if (!snapshot) {
      return std::unexpected(entry_error("resync result member \"channels\"", i, snapshot.error()));
    }
    resync.channels.push_back(std::move(*snapshot));
  }
  return resync;
}

}  // namespace fenwix
