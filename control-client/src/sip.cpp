#include "fenwix/client/sip.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "fenwix/client/log.hpp"
#include "fenwix/client/runtime.hpp"

namespace fenwix {

AppEvent AppEvent::from_frame(EventFrame frame) {
  SipEvent kind = frame.sip_kind();
  // Moved, not copied: a payload can be large, and the event is read through
  // `payload` only.
  Json payload = std::move(frame.payload);
  frame.payload = nullptr;
  return AppEvent{std::move(frame), std::move(kind), std::move(payload)};
}

std::shared_ptr<SipFacade> SipFacade::create() { return std::shared_ptr<SipFacade>(new SipFacade()); }

void SipFacade::set_handler(CallHandler handler) {
  auto shared = handler ? std::make_shared<const CallHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(handler_mutex_);
  handler_.swap(shared);
}

void SipFacade::set_app_handler(AppEventHandler handler) {
  auto shared = handler ? std::make_shared<const AppEventHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(app_handler_mutex_);
  app_handler_.swap(shared);
}

std::shared_ptr<EventStream> SipFacade::open_route(const std::string& channel,
                                                   TransportPtr transport,
                                                   std::uint64_t generation) {
  auto [stream, sender] = make_event_stream();
  Route route{std::move(sender), transport.get(), generation};
  std::optional<Route> replaced;
  {
    std::lock_guard lock(routes_mutex_);
    if (routes_closed_) return nullptr;
    if (auto it = routes_.find(channel); it != routes_.end()) {
      replaced.emplace(std::move(it->second));
      it->second = std::move(route);
    } else {
      routes_.emplace(channel, std::move(route));
    }
  }
  // Ending the replaced call's stream happens outside the lock: its waiters
  // are woken right here.
  replaced.reset();
  return stream;
}

void SipFacade::handle_event(EventFrame frame, const TransportPtr& transport,
                             std::uint64_t generation) {
  switch (frame.sip_kind().kind) {
    case SipEventKind::StasisStart: {
      if (!frame.channel) {
        log::warn("control(sip): StasisStart without a channel — dropping");
        return;
      }
      auto stream = open_route(*frame.channel, transport, generation);
      if (!stream) return;
      auto inner = std::make_shared<CallInner>();
      inner->channel_id = *frame.channel;
      inner->call_id = std::move(frame.call_id);
      inner->sip_call_id = std::move(frame.sip_call_id);
      inner->app = std::move(frame.app);
      inner->payload = std::move(frame.payload);
      inner->transport = transport;
      inner->events = std::move(stream);
      inner->reattached = false;
      dispatch(Call(std::move(inner)));
      return;
    }
    case SipEventKind::StasisEnd: {
      if (!frame.channel) return;
      const std::string channel = *frame.channel;
      route(channel, CallEvent::from_frame(std::move(frame)));
      std::optional<Route> removed;
      {
        std::lock_guard lock(routes_mutex_);
        if (auto it = routes_.find(channel); it != routes_.end()) {
          removed.emplace(std::move(it->second));
          routes_.erase(it);
        }
      }
      return;
    }
    default:
      if (!frame.channel) return deliver_app_event(std::move(frame));
      const std::string channel = *frame.channel;
      route(channel, CallEvent::from_frame(std::move(frame)));
  }
}

void SipFacade::reattach(const ChannelSnapshot& snapshot, const TransportPtr& transport,
                         std::uint64_t generation) {
  auto stream = open_route(snapshot.channel, transport, generation);
  if (!stream) return;
  auto inner = std::make_shared<CallInner>();
  inner->channel_id = snapshot.channel;
  inner->call_id = snapshot.call_id;
  inner->sip_call_id = snapshot.sip_call_id;
  inner->payload = snapshot.to_json();
  inner->transport = transport;
  inner->events = std::move(stream);
  inner->reattached = true;
  dispatch(Call(std::move(inner)));
}

void SipFacade::route(const std::string& channel, CallEvent event) {
  std::lock_guard lock(routes_mutex_);
  if (auto it = routes_.find(channel); it != routes_.end()) it->second.sender.send(std::move(event));
}

void SipFacade::deliver_app_event(EventFrame frame) {
  std::lock_guard lock(app_handler_mutex_);
  if (app_handler_) {
    auto handler = app_handler_;
    (*handler)(AppEvent::from_frame(std::move(frame)));
    return;
  }
  log::debug("control(sip): no app event handler — dropped", {{"event", frame.event}});
}

void SipFacade::dispatch(Call call) {
  std::lock_guard lock(handler_mutex_);
  if (!handler_) {
    log::debug("control(sip): no handler/stream — call dropped", {{"channel", call.channel_id()}});
    return;
  }
  asio::co_spawn(
      runtime(),
      [handler = handler_, call = std::move(call)]() -> asio::awaitable<void> {
        auto outcome = co_await (*handler)(call);
        if (!outcome)
          log::warn("control(sip): call handler returned an error",
                    {{"error", to_string(outcome.error())}});
      },
      asio::detached);
}

void SipFacade::end_routes_if(const std::function<bool(const Route&)>& predicate) {
  std::vector<Route> ended;
  {
    std::lock_guard lock(routes_mutex_);
    for (auto it = routes_.begin(); it != routes_.end();) {
      if (predicate(it->second)) {
        ended.push_back(std::move(it->second));
        it = routes_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // `ended` goes out of scope here, outside the lock, ending each stream.
}

void SipFacade::end_routes_before(std::uint64_t generation) {
  end_routes_if([generation](const Route& r) { return r.generation < generation; });
}

void SipFacade::end_routes_of(const TransportPtr& transport) {
  end_routes_if([t = transport.get()](const Route& r) { return r.transport == t; });
}

// Closing the table under its lock is what makes this final: an event being
// handled on a reader at this very moment either opened its route before
// (and is ended here) or finds the table closed.
void SipFacade::end_all_routes() {
  {
    std::lock_guard lock(routes_mutex_);
    routes_closed_ = true;
  }
  end_routes_if([](const Route&) { return true; });
}

std::size_t SipFacade::route_count() const {
  std::lock_guard lock(routes_mutex_);
  return routes_.size();
}

// --- SipClient ----------------------------------------------------------------

SipClient::SipClient(ControlClient client, FacadePtr facade, TransportPtr commander)
    : client_(std::move(client)), facade_(std::move(facade)), commander_(std::move(commander)) {}

SipClient SipClient::wrap(ControlClient client) {
  auto facade = SipFacade::create();
  auto commander = client.commander();
  // The callback lives in the client's own state, so it must not own the
  // commander (which owns the client): that cycle would keep the client
  // alive for ever.
  client.install_event_callback(
      [facade, weak = std::weak_ptr<CommandTransport>(commander)](ClientEvent event) {
        auto commander = weak.lock();
        if (!commander) return;
        std::visit(
            [&](auto& e) {
              using E = std::decay_t<decltype(e)>;
              if constexpr (std::is_same_v<E, client_event::Event>)
                facade->handle_event(std::move(e.frame), commander, e.generation);
              else if constexpr (std::is_same_v<E, client_event::Reattached>)
                facade->reattach(e.snapshot, commander, e.generation);
              else
                facade->end_routes_before(e.generation);
            },
            event);
      });
  return SipClient(std::move(client), std::move(facade), std::move(commander));
}

asio::awaitable<Result<SipClient>> SipClient::connect(ClientConfig config,
                                                       std::function<void(const FacadePtr&)> prepare) {
  // The facade and its handlers are in place before hello goes out, so a
  // call the switch hands over right after hello is not dropped.
  auto sip = wrap(ControlClient::create(std::move(config)));
  if (prepare) prepare(sip.facade());
  auto connected = co_await sip.client().connect_first();
  if (!connected) co_return fail(std::move(connected.error()));
  co_return sip;
}

void SipClient::command(std::optional<std::string> module, std::string_view verb, Json target,
                        Json args, ReplyHandler done) const {
  client_.command(std::move(module), verb, std::move(target), std::move(args), std::move(done));
}

void SipClient::shutdown() const {
  client_.shutdown();
  facade_->end_all_routes();
}

// --- SipServer ----------------------------------------------------------------

SipServer::SipServer(std::shared_ptr<ControlServer> server, FacadePtr facade)
    : server_(std::move(server)), facade_(std::move(facade)) {}

Result<SipServer> SipServer::bind(ServerConfig config) {
  auto server = ControlServer::bind(std::move(config));
  if (!server) return fail(std::move(server.error()));
  auto facade = SipFacade::create();
  (*server)->on_connection_event([facade](EventFrame frame, TransportPtr transport) {
    facade->handle_event(std::move(frame), transport);
  });
  (*server)->on_connection_closed(
      [facade](const TransportPtr& transport) { facade->end_routes_of(transport); });
  return SipServer(std::move(*server), std::move(facade));
}

}  // namespace fenwix
