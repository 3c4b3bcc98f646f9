// The per-call server's side of an upgrade: raw bytes read with the server's
// own parser settings (header limit, empty body) by Beast's read algorithm,
// in chunks of a size the input chooses; then the token check, and for an
// accepted request the WebSocket accept that writes the 101 answer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket.hpp>

#include "fenwix/client/server.hpp"
#include "fenwix/proto/payloads.hpp"
#include "fuzz_check.hpp"
#include "upgrade_request.hpp"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using fenwix::fuzz::check;

constexpr std::string_view kToken = "tok";

// What the check must say, written the plain way.
bool expected_verdict(std::optional<std::string_view> header) {
  if (!header) return false;
  for (unsigned char c : *header)
    if (!((c >= 32 && c <= 126) || c == '\t')) return false;
  return *header == "Bearer tok" || *header == "bearer tok";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static boost::asio::io_context ioc;
  // The first byte: how many bytes each read returns (0: as many as there are).
  const std::size_t chunk = data[0];
  const std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);

  beast::test::stream in(ioc);
  auto client = beast::test::connect(in);
  if (chunk != 0) in.read_size(chunk);
  in.append(raw);
  client.close();  // end of stream once the bytes are read

  beast::flat_buffer buffer;
  fenwix::detail::UpgradeParser parser;
  fenwix::detail::limit_upgrade_parser(parser);
  beast::error_code ec;
  http::read(in, buffer, parser, ec);
  if (ec) return 0;

  // The header the parser accepted is bounded: it ends at the first empty
  // line, and the parser applies the limit to the request line and to the
  // header fields each (so a header may exceed it by its request line, a
  // few bytes in real requests), never more. (The bytes left in the read
  // buffer cannot tell: some may still be unread in the stream.)
  const auto header_end = raw.find("\r\n\r\n");
  check(header_end != std::string_view::npos &&
            header_end + 4 <= 2 * fenwix::detail::kMaxUpgradeHeader,
        "request larger than the header limit accepted");

  auto request = parser.release();
  const auto authorization = fenwix::detail::authorization_of(request);
  const bool accepted = fenwix::authorize_upgrade(authorization, kToken);
  check(accepted == expected_verdict(authorization), "token check disagrees",
        authorization.value_or("<none>"));
  // The other tokens a server might be configured with never match a header
  // that does not end with them.
  if (authorization && !authorization->ends_with("tok"))
    check(!fenwix::authorize_upgrade(authorization, ""), "empty token accepted");
  if (!accepted) return 0;

  websocket::stream<beast::test::stream> ws(ioc);
  auto peer = beast::test::connect(ws.next_layer());
  ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::sec_websocket_protocol, fenwix::kSubprotocol);
    res.set(http::field::server, "fenwix-control");
  }));
  ws.accept(request, ec);
  // Whatever the request held, an answer went out: 101, or an HTTP error
  // (in the request's own HTTP version).
  const std::string answer = peer.str();
  check(answer.starts_with("HTTP/1."), "no HTTP answer written", answer);
  if (!ec) check(answer.starts_with("HTTP/1.1 101 "), "accepted without 101", answer);
  return 0;
}
