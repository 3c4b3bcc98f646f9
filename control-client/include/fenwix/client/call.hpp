// The library's handle on one parked call: its identity, its event stream and
// the means to send verbs addressed to its channel.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "fenwix/client/headers.hpp"
#include "fenwix/client/transport.hpp"
#include "fenwix/proto/events.hpp"
#include "fenwix/proto/frames.hpp"

namespace fenwix {

// One event of a call.
struct CallEvent {
  EventFrame frame;  // its payload is moved to `payload` (and left null here)
  SipEvent kind;
  Json payload;

  static CallEvent from_frame(EventFrame frame);
};

// The verbs of module "sip", in wire order.
enum class SipVerb : std::uint8_t {
  Originate, Answer, Ring, Progress, Reject, Hangup, Drop, Refer, AcceptRefer, RejectRefer,
  CompleteRefer, Bridge, Unbridge, ReplacePeer, Route, Dial, CancelDial, SetHeader,
  RemoveHeader, GetHeader, Play, Stop, Dtmf, Hold, Unhold, StreamStart, StreamStop,
  RecordStart, RecordStop,
};
inline constexpr std::size_t kSipVerbCount = 29;
std::string_view wire_name(SipVerb verb);

class EventStream;

// Keeps an event stream for the waiter it was granted to: the next waiter is
// served only once the hold is released (destroyed). A holder that could not
// hand its event on puts it back first with `unread`, so no event is lost
// and none is delivered out of order.
class StreamHold {
 public:
  StreamHold() = default;
  explicit StreamHold(std::shared_ptr<EventStream> stream) : stream_(std::move(stream)) {}
  StreamHold(StreamHold&&) noexcept = default;
  StreamHold& operator=(StreamHold&& other) noexcept;
  ~StreamHold();

  // Puts `event` back at the head of the stream; the next waiter gets it.
  void unread(CallEvent event);
  void release();

 private:
  std::shared_ptr<EventStream> stream_;
};

// The receiving end of a call's unbounded event queue. Waiters are served one
// at a time, in the order they asked. Thread-safe.
class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  // Receives the next event, or nullopt once the stream has ended, together
  // with the hold on the stream. Runs on the thread that made the event
  // available (the reader, or the releaser of the previous hold), or inline in
  // `wait`; it must be quick.
  using Grant = std::move_only_function<void(std::optional<CallEvent>, StreamHold)>;
  using WaiterId = std::uint64_t;

  // Queues a waiter; returns its id for `cancel`.
  WaiterId wait(Grant grant);
  // Withdraws a waiter that has not been granted yet; false if it was.
  bool cancel(WaiterId id);

  // The coroutine form: the next event, or nullopt at the end. Cancelling
  // it while it waits loses no event.
  boost::asio::awaitable<std::optional<CallEvent>> next();

  std::size_t buffered() const;

  // The sending side, used only by the call model's routing table.
  void push(CallEvent event);
  void end();  // no more events; waiters get nullopt once the buffer is drained
  bool ended() const;

 private:
  friend class StreamHold;
  void release_hold();
  void unread(CallEvent event);
  void serve(std::unique_lock<std::mutex> lock);

  struct Waiter {
    WaiterId id;
    Grant grant;
  };
  mutable std::mutex mutex_;
  std::deque<CallEvent> events_;
  std::deque<Waiter> waiters_;
  WaiterId next_waiter_ = 1;
  bool held_ = false;
  bool ended_ = false;
};

// The sending end kept in the routing table. It does not keep the stream
// alive: once every call handle is gone, events routed to it are dropped.
// Destroying the sender ends the stream.
class EventSender {
 public:
  explicit EventSender(std::weak_ptr<EventStream> stream) : stream_(std::move(stream)) {}
  EventSender(EventSender&&) noexcept = default;
  EventSender& operator=(EventSender&& other) noexcept;
  ~EventSender();

  void send(CallEvent event) const;

 private:
  void close();
  std::weak_ptr<EventStream> stream_;
};

// A new stream and its sending end.
std::pair<std::shared_ptr<EventStream>, EventSender> make_event_stream();

struct CallInner {
  std::string channel_id;
  std::optional<std::string> call_id;
  std::optional<std::string> sip_call_id;
  std::optional<std::string> app;
  Json payload;
  TransportPtr transport;
  std::shared_ptr<EventStream> events;
  bool reattached = false;
};

// A cheap, cloneable handle: clones share the stream and the transport.
class Call {
 public:
  Call() = default;
  explicit Call(std::shared_ptr<const CallInner> inner) : inner_(std::move(inner)) {}

  const std::string& channel_id() const { return inner_->channel_id; }
  const std::optional<std::string>& call_id() const { return inner_->call_id; }
  const std::optional<std::string>& sip_call_id() const { return inner_->sip_call_id; }
  const std::optional<std::string>& app() const { return inner_->app; }
  const Json& payload() const { return inner_->payload; }
  bool is_reattached() const { return inner_->reattached; }
  const TransportPtr& transport() const { return inner_->transport; }
  const std::shared_ptr<EventStream>& events() const { return inner_->events; }

  // {"channel": channel id}: the target of every verb addressed to the call.
  Json target() const;

  // Sends `verb` with module "sip" and this call's target.
  void sip(SipVerb verb, Json args, ReplyHandler done) const;
  // The same with the verb text given by the caller.
  void command(std::string_view verb, Json args, ReplyHandler done) const;
  // "get_var" / "set_var", sent without a module.
  void get_var(std::string key, ReplyHandler done) const;
  void set_var(std::string key, std::string value, ReplyHandler done) const;

  boost::asio::awaitable<Result<Json>> sip(SipVerb verb, Json args) const;
  boost::asio::awaitable<std::optional<CallEvent>> next_event() const { return inner_->events->next(); }

  explicit operator bool() const { return inner_ != nullptr; }

 private:
  std::shared_ptr<const CallInner> inner_;
};

}  // namespace fenwix
