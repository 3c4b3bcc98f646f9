// Configuration texts: the control URL and token that make the outbound
// upgrade request, and the per-call server's listen address.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fenwix/client/client.hpp"
#include "fenwix/client/server.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace fenwix;
using fuzz::check;
using fuzz::valid_utf8;

bool all_digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

void check_request(std::string_view url, std::string_view token) {
  auto req = build_client_request(url, token);
  if (!req) {
    check(req.error().as<error::Config>() != nullptr, "URL failure is not a Config error");
    check(valid_utf8(to_string(req.error())), "URL error text is not UTF-8");
    return;
  }
  check(!req->host.empty(), "empty host accepted", url);
  check(all_digits(req->port) && req->port.size() <= 5, "bad port accepted", url);
  if (!req->port.empty()) check(std::stoul(req->port) <= 65535, "port out of range", url);
  check(req->target.starts_with('/'), "target without a leading slash", url);
  // The request line is "GET <target> HTTP/1.1": a space or a control byte
  // in the target would split it or start a header of the URL's choosing.
  for (unsigned char c : req->target)
    check(c > 0x20 && c < 0x7F, "request target with a space, control or non-ASCII byte", url);
  for (unsigned char c : req->host)
    check(c > 0x20 && c != 0x7F && c != '/' && c != '?' && c != '#' && c != '@',
          "host with a separator or control byte", url);
  check(req->authorization == "Bearer " + std::string(token), "authorization header", token);
  check(req->subprotocol == "fenwix-control.v1", "subprotocol");
}

void check_address(std::string_view text) {
  auto address = SocketAddress::parse(text);
  if (!address) return;
  // An accepted text is an address literal and a port, and nothing else.
  for (unsigned char c : text)
    check(c > 0x20 && c < 0x7F, "socket address with a control or non-ASCII byte", text);
  auto again = SocketAddress::parse(address->to_string());
  check(again.has_value() && *again == *address, "socket address round trip", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  check_address(all);
  // First byte: the token's length; the token, then the URL.
  if (size == 0) return 0;
  const std::size_t token_size = std::min<std::size_t>(data[0], size - 1);
  check_request(all.substr(1 + token_size), all.substr(1, token_size));
  return 0;
}
