// How the per-call server reads an inbound upgrade request: the parser and
// its limits, and where the bearer token is taken from. The server and the
// fuzz target that feeds raw bytes through the same settings both use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

namespace fenwix::detail {

// Upgrade requests carry a handful of headers; anything larger is refused.
inline constexpr std::uint32_t kMaxUpgradeHeader = 8 * 1024;

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using UpgradeParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

// A parser for one upgrade request. An upgrade has no body: a request that
// announces one fails to parse.
inline void limit_upgrade_parser(UpgradeParser& parser) { parser.header_limit(kMaxUpgradeHeader); }

// The request's "Authorization" value, or nullopt when it has none. With the
// header repeated, the first one counts.
inline std::optional<std::string_view> authorization_of(const UpgradeRequest& request) {
  const auto it = request.find(boost::beast::http::field::authorization);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

}  // namespace fenwix::detail
