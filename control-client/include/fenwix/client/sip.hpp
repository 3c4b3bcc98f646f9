// The call model: turns the pushed events of a connection into calls.
//
// A StasisStart creates a call handle and hands it to the call handler on a
// task of its own; every later event naming that channel is queued on the
// call's stream; StasisEnd is queued and then ends the stream; events without
// a channel go to the application-event handler. A call's stream also ends
// when nothing can ever feed it again: when the per-call connection that
// announced it closes, when a resync after a reconnection no longer reports
// it, or when the client is shut down.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <boost/asio/awaitable.hpp>

#include "fenwix/client/call.hpp"
#include "fenwix/client/client.hpp"
#include "fenwix/client/server.hpp"

namespace fenwix {

// An application-level event: one that names no channel.
struct AppEvent {
  EventFrame frame;  // its payload is moved to `payload` (and left null here)
  SipEvent kind;
  Json payload;

  static AppEvent from_frame(EventFrame frame);
};

// Runs once per dispatched call, on a task of its own.
using CallHandler = std::function<boost::asio::awaitable<Result<void>>(Call)>;
// Runs synchronously on the reader task with the handler lock held: it must
// return promptly and must not replace the application-event handler.
using AppEventHandler = std::function<void(AppEvent)>;

class SipFacade : public std::enable_shared_from_this<SipFacade> {
 public:
  static std::shared_ptr<SipFacade> create();

  void set_handler(CallHandler handler);
  void set_app_handler(AppEventHandler handler);

  // Consumes one pushed event of a connection. `transport` carries the verbs
  // of a call that this event creates. `generation` tags the routes it
  // creates (the outbound client's session generation; 0 for the server).
  void handle_event(EventFrame frame, const TransportPtr& transport,
                    std::uint64_t generation = 0);

  // Re-dispatches a channel that survived a reconnection as a new call.
  void reattach(const ChannelSnapshot& snapshot, const TransportPtr& transport,
                std::uint64_t generation);

  // Ends the streams of routes created before `generation` (their channels
  // were not reported by the resync of that generation).
  void end_routes_before(std::uint64_t generation);
  // Ends the streams of the calls announced over `transport`.
  void end_routes_of(const TransportPtr& transport);
  // Ends every stream, for good: from then on an event that would start a
  // call (StasisStart, reattach) is dropped, so no stream can outlive this.
  void end_all_routes();

  void dispatch(Call call);
  void route(const std::string& channel, CallEvent event);
  void deliver_app_event(EventFrame frame);

  std::size_t route_count() const;

 private:
  SipFacade() = default;

  struct Route {
    EventSender sender;
    // Identifies the connection that announced the call; not an owner, so
    // that the routing table never keeps a transport (and its client) alive.
    const CommandTransport* transport;
    std::uint64_t generation;
  };
  void end_routes_if(const std::function<bool(const Route&)>& predicate);
  // Installs a new route for `channel`, replacing (and so ending) any previous
  // one; null once `end_all_routes` has run.
  std::shared_ptr<EventStream> open_route(const std::string& channel, TransportPtr transport,
                                          std::uint64_t generation);

  mutable std::mutex handler_mutex_;
  std::shared_ptr<const CallHandler> handler_;
  mutable std::mutex routes_mutex_;
  std::unordered_map<std::string, Route> routes_;
  bool routes_closed_ = false;  // under routes_mutex_
  mutable std::mutex app_handler_mutex_;
  std::shared_ptr<const AppEventHandler> app_handler_;
};

using FacadePtr = std::shared_ptr<SipFacade>;

// One facade bound to an outbound client.
class SipClient {
 public:
  static SipClient wrap(ControlClient client);
  // Connects a new client; `prepare` runs once the facade exists and before
  // the connection attempt, so handlers it installs see every event.
  static boost::asio::awaitable<Result<SipClient>> connect(
      ClientConfig config, std::function<void(const FacadePtr&)> prepare = {});

  const ControlClient& client() const { return client_; }
  const FacadePtr& facade() const { return facade_; }
  const TransportPtr& commander() const { return commander_; }

  void command(std::optional<std::string> module, std::string_view verb, Json target, Json args,
               ReplyHandler done) const;
  boost::asio::awaitable<Result<void>> run() const { return client_.run(); }
  // Shuts the client down and ends every call stream: no event can arrive any more.
  void shutdown() const;

 private:
  SipClient(ControlClient client, FacadePtr facade, TransportPtr commander);
  ControlClient client_;
  FacadePtr facade_;
  TransportPtr commander_;
};

// One facade bound to a per-call server; every connection feeds it.
class SipServer {
 public:
  static Result<SipServer> bind(ServerConfig config);

  Result<SocketAddress> local_addr() const { return server_->local_addr(); }
  boost::asio::awaitable<Result<void>> run() const { return server_->run(); }
  const std::shared_ptr<ControlServer>& server() const { return server_; }
  const FacadePtr& facade() const { return facade_; }

 private:
  SipServer(std::shared_ptr<ControlServer> server, FacadePtr facade);
  std::shared_ptr<ControlServer> server_;
  FacadePtr facade_;
};

}  // namespace fenwix
