// The reader and writer tasks of a session, for any WebSocket stream type.
// Included only by the translation units that own a connection kind
// (client.cpp for ws/wss, server.cpp for the per-call server).
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "fenwix/client/log.hpp"
#include "fenwix/client/session.hpp"
#include "session_state.hpp"

namespace fenwix::detail {

// Inbound messages larger than this close the connection with 1009.
inline constexpr std::size_t kMaxInboundMessage = 16 * 1024 * 1024;

// Options every control WebSocket gets once its upgrade is done: the inbound
// message cap, whole messages as single frames, no idle timeout (TCP
// keepalive notices a vanished peer; the session has reply time-outs), and a
// bound on the closing handshake, so that a peer which never answers our
// Close frame cannot keep the socket for ever.
template <class Ws>
void configure_websocket(Ws& ws) {
  namespace websocket = boost::beast::websocket;
  ws.read_message_max(kMaxInboundMessage);
  ws.auto_fragment(false);
  ws.text(true);
  websocket::stream_base::timeout t{};
  t.handshake_timeout = std::chrono::seconds(10);
  t.idle_timeout = websocket::stream_base::none();
  t.keep_alive_pings = false;
  ws.set_option(t);
}

// TCP_CORK on the connection's socket (whatever layers sit above it).
template <class Ws>
void set_cork(Ws& ws, bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(boost::beast::get_lowest_layer(ws).socket().native_handle(), IPPROTO_TCP, TCP_CORK,
               &value, sizeof value);
}

template <class Ws>
asio::awaitable<void> write_loop(std::shared_ptr<Ws> ws, std::shared_ptr<OutboundQueue> queue) {
  constexpr auto tuple = asio::as_tuple(asio::use_awaitable);
  std::vector<std::string> batch;
  bool failed = false;
  while (!failed && queue->take(batch)) {
    if (batch.empty()) {
      co_await queue->wake().async_receive(tuple);
      continue;
    }
    // Several messages: hold their frames in the kernel and let them go as
    // full segments when the batch ends, so the batch costs one pass through
    // the TCP stack (and wakes the switch once) instead of one per message.
    const bool cork = batch.size() > 1;
    if (cork) set_cork(*ws, true);
    for (auto& message : batch) {
      // The stop request is sticky, so a writer busy sending sees it here.
      if (queue->stop_requested()) break;
      auto [ec, n] = co_await ws->async_write(asio::buffer(message), tuple);
      if (ec) {
        failed = true;
        break;
      }
    }
    if (cork) set_cork(*ws, false);
    batch.clear();
  }
  // A Close frame with no status code and no reason; on a connection that is
  // already closed this fails, which is fine.
  co_await ws->async_close(boost::beast::websocket::close_reason{}, tuple);
}

template <class Ws>
asio::awaitable<void> read_loop(std::shared_ptr<Ws> ws, SessionPtr core, EventSink sink) {
  namespace beast = boost::beast;
  constexpr auto tuple = asio::as_tuple(asio::use_awaitable);
  beast::flat_buffer buffer;
  for (;;) {
    auto [ec, n] = co_await ws->async_read(buffer, tuple);
    if (ec) {
      if (ec == beast::websocket::error::closed) {
        log::debug("control: peer closed the connection");
      } else if (ec != asio::error::eof && ec != beast::http::error::end_of_stream &&
                 ec != asio::ssl::error::stream_truncated) {
        if (log::enabled()) log::debug("control: read error", {{"error", ec.message()}});
      }
      break;
    }
    if (ws->got_text()) {
      const auto data = buffer.cdata();
      dispatch_text(std::string_view(static_cast<const char*>(data.data()), data.size()), core,
                    sink);
    } else {
      log::warn("control: ignoring unexpected binary frame");
    }
    buffer.consume(buffer.size());
  }
  core->mark_closed();
  // Nothing sent now could be answered: let the writer close the connection
  // instead of waiting for the last user of the session to go away (a call
  // handle can outlive its per-call connection by hours).
  core->stop_writer();
}

// Starts a session on an upgraded WebSocket whose executor is a strand: the
// writer, then the reader, both detached on that strand.
template <class Ws>
SessionPtr spawn_session(std::shared_ptr<Ws> ws, IdCounter next_id,
                         std::chrono::nanoseconds reply_timeout, EventSink sink) {
  configure_websocket(*ws);
  auto state = std::make_shared<SessionState>(std::move(next_id), reply_timeout);
  auto core = std::make_shared<SessionCore>(state);
  auto executor = ws->get_executor();
  asio::co_spawn(executor, write_loop(ws, state->outbound), asio::detached);
  asio::co_spawn(executor, read_loop(ws, core, std::move(sink)), asio::detached);
  return core;
}

}  // namespace fenwix::detail
