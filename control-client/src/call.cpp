#include "fenwix/client/call.hpp"

#include <array>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "fenwix/client/runtime.hpp"

namespace fenwix {

CallEvent CallEvent::from_frame(EventFrame frame) {
  SipEvent kind = frame.sip_kind();
  // Moved, not copied: a payload can be large, and the event is read through
  // `payload` only.
  Json payload = std::move(frame.payload);
  frame.payload = nullptr;
  return CallEvent{std::move(frame), std::move(kind), std::move(payload)};
}

std::string_view wire_name(SipVerb verb) {
  static constexpr std::array<std::string_view, kSipVerbCount> names = {
      "originate",    "answer",      "ring",           "progress",      "reject",
      "hangup",       "drop",        "refer",          "accept_refer",  "reject_refer",
      "complete_refer", "bridge",    "unbridge",       "replace_peer",  "route",
      "dial",         "cancel_dial", "set_header",     "remove_header", "get_header",
      "play",         "stop",        "dtmf",           "hold",          "unhold",
      "stream_start", "stream_stop", "record_start",   "record_stop"};
  return names[static_cast<std::size_t>(verb)];
}

Json headers_to_json(const HeaderPairs& pairs) {
  Json object = Json::object();
  for (const auto& [name, value] : pairs) object[name] = value;
  return object;
}

std::optional<std::string> string_value(const Json& result) {
  if (!result.is_object()) return std::nullopt;
  auto it = result.find("value");
  if (it == result.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// --- StreamHold -------------------------------------------------------------

StreamHold& StreamHold::operator=(StreamHold&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::move(other.stream_);
  }
  return *this;
}

StreamHold::~StreamHold() { release(); }

void StreamHold::unread(CallEvent event) {
  if (stream_) stream_->unread(std::move(event));
}

void StreamHold::release() {
  if (auto stream = std::move(stream_)) stream->release_hold();
}

// --- EventStream ------------------------------------------------------------

EventStream::WaiterId EventStream::wait(Grant grant) {
  std::unique_lock lock(mutex_);
  const WaiterId id = next_waiter_++;
  waiters_.push_back(Waiter{id, std::move(grant)});
  serve(std::move(lock));
  return id;
}

bool EventStream::cancel(WaiterId id) {
  std::lock_guard lock(mutex_);
  for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
    if (it->id == id) {
      waiters_.erase(it);
      return true;
    }
  }
  return false;
}

// Hands the next event (or the end) to the oldest waiter, if the stream is
// free. The grant runs without the lock, so it may release its hold or wait
// again at once.
void EventStream::serve(std::unique_lock<std::mutex> lock) {
  if (held_ || waiters_.empty() || (events_.empty() && !ended_)) return;
  Grant grant = std::move(waiters_.front().grant);
  waiters_.pop_front();
  held_ = true;
  std::optional<CallEvent> event;
  if (!events_.empty()) {
    event = std::move(events_.front());
    events_.pop_front();
  }
  lock.unlock();
  grant(std::move(event), StreamHold(shared_from_this()));
}

void EventStream::release_hold() {
  std::unique_lock lock(mutex_);
  held_ = false;
  serve(std::move(lock));
}

void EventStream::unread(CallEvent event) {
  std::lock_guard lock(mutex_);
  events_.push_front(std::move(event));
}

void EventStream::push(CallEvent event) {
  std::unique_lock lock(mutex_);
  if (ended_) return;
  events_.push_back(std::move(event));
  serve(std::move(lock));
}

void EventStream::end() {
  std::unique_lock lock(mutex_);
  if (ended_) return;
  ended_ = true;
  serve(std::move(lock));
}

bool EventStream::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

std::size_t EventStream::buffered() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

asio::awaitable<std::optional<CallEvent>> EventStream::next() {
  // The grant parks the event and its hold here until this coroutine takes
  // them; a coroutine cancelled in between puts the event back, so a
  // cancelled wait never loses an event nor lets a later one overtake it.
  struct Slot {
    asio::experimental::concurrent_channel<void(boost::system::error_code)> ready{
        runtime_executor(), 1};
    std::mutex mutex;
    bool cancelled = false;
    bool granted = false;
    std::optional<CallEvent> event;
    StreamHold hold;
  };
  auto slot = std::make_shared<Slot>();
  auto self = shared_from_this();
  const WaiterId id = wait([slot](std::optional<CallEvent> event, StreamHold hold) {
    {
      std::lock_guard lock(slot->mutex);
      if (slot->cancelled) {
        if (event) hold.unread(std::move(*event));
        return;
      }
      slot->granted = true;
      slot->event = std::move(event);
      slot->hold = std::move(hold);
    }
    slot->ready.try_send(boost::system::error_code{});
  });
  auto [ec] = co_await slot->ready.async_receive(asio::as_tuple(asio::use_awaitable));
  if (ec) {
    cancel(id);
    StreamHold hold;
    {
      std::lock_guard lock(slot->mutex);
      slot->cancelled = true;
      if (slot->granted) {
        if (slot->event) slot->hold.unread(std::move(*slot->event));
        hold = std::move(slot->hold);
      }
    }
    hold.release();
    throw boost::system::system_error(ec);
  }
  std::optional<CallEvent> event;
  StreamHold hold;
  {
    std::lock_guard lock(slot->mutex);
    event = std::move(slot->event);
    hold = std::move(slot->hold);
  }
  hold.release();
  co_return event;
}

// --- EventSender ------------------------------------------------------------

EventSender& EventSender::operator=(EventSender&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = std::move(other.stream_);
  }
  return *this;
}

EventSender::~EventSender() { close(); }

void EventSender::send(CallEvent event) const {
  if (auto stream = stream_.lock()) stream->push(std::move(event));
}

void EventSender::close() {
  if (auto stream = stream_.lock()) stream->end();
  stream_.reset();
}

std::pair<std::shared_ptr<EventStream>, EventSender> make_event_stream() {
  auto stream = std::make_shared<EventStream>();
  EventSender sender{std::weak_ptr<EventStream>(stream)};
  return {std::move(stream), std::move(sender)};
}

// --- Call ---------------------------------------------------------------------

// Built member by member: the initializer-list form costs several times as
// much, and every command of a call builds its target.
Json Call::target() const {
  Json target = Json::object();
  target.get_ref<Json::object_t&>().emplace("channel", inner_->channel_id);
  return target;
}

void Call::sip(SipVerb verb, Json args, ReplyHandler done) const {
  inner_->transport->send(std::string("sip"), wire_name(verb), target(), std::move(args),
                          std::move(done));
}

void Call::command(std::string_view verb, Json args, ReplyHandler done) const {
  inner_->transport->send(std::string("sip"), verb, target(), std::move(args), std::move(done));
}

void Call::get_var(std::string key, ReplyHandler done) const {
  inner_->transport->send(std::nullopt, "get_var", target(), Json{{"key", std::move(key)}},
                          std::move(done));
}

void Call::set_var(std::string key, std::string value, ReplyHandler done) const {
  inner_->transport->send(std::nullopt, "set_var", target(),
                          Json{{"key", std::move(key)}, {"value", std::move(value)}},
                          std::move(done));
}

asio::awaitable<Result<Json>> Call::sip(SipVerb verb, Json args) const {
  auto inner = inner_;
  co_return co_await inner->transport->command(std::string("sip"), wire_name(verb), target(),
                                               std::move(args));
}

}  // namespace fenwix
