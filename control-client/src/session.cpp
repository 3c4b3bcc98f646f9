#include "fenwix/client/session.hpp"

#include <charconv>

#include <boost/asio/post.hpp>

#include "deadline.hpp"
#include "fenwix/client/log.hpp"
#include "session_state.hpp"

namespace fenwix {

IdCounter make_id_counter() { return std::make_shared<std::atomic<std::uint64_t>>(1); }

namespace detail {

namespace {
std::atomic<std::chrono::nanoseconds::rep> g_upgrade_deadline{
    std::chrono::nanoseconds(kDefaultUpgradeDeadline).count()};
}  // namespace

std::chrono::nanoseconds upgrade_deadline() noexcept {
  return std::chrono::nanoseconds(g_upgrade_deadline.load(std::memory_order_relaxed));
}

void set_upgrade_deadline(std::chrono::nanoseconds deadline) noexcept {
  g_upgrade_deadline.store(deadline.count(), std::memory_order_relaxed);
}

bool OutboundQueue::push(std::string message) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (stopped_.load(std::memory_order_relaxed)) return false;
    messages_.push_back(std::move(message));
    wake = std::exchange(writer_idle_, false);
  }
  if (wake) wake_.try_send(boost::system::error_code{});
  return true;
}

void OutboundQueue::request_stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_.store(true, std::memory_order_release);
    writer_idle_ = false;
  }
  // Always signal: the writer may be between taking a batch and sleeping.
  wake_.try_send(boost::system::error_code{});
}

void OutboundQueue::close() { request_stop(); }

bool OutboundQueue::take(std::vector<std::string>& batch) {
  std::lock_guard lock(mutex_);
  if (stopped_.load(std::memory_order_relaxed)) return false;
  batch.swap(messages_);
  writer_idle_ = batch.empty();
  return true;
}

bool OutboundQueue::stop_requested() const { return stopped_.load(std::memory_order_acquire); }

SessionState::SessionState(IdCounter next_id, std::chrono::nanoseconds reply_timeout)
    : next_id(std::move(next_id)),
      reply_timeout(reply_timeout),
      timer_strand_(asio::make_strand(runtime())),
      timer_(timer_strand_) {}

namespace {

Clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  const auto now = Clock::now();
  if (timeout >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

}  // namespace

bool SessionState::add_pending(std::uint64_t id, ReplyHandler& done) {
  bool arm = false;
  Clock::time_point when;
  {
    std::lock_guard lock(pending_mutex_);
    // Checked under the lock: the close drains the table under it too, so a
    // command is either refused here or drained there, never stranded.
    if (closed.load(std::memory_order_acquire)) return false;
    pending_.emplace(id, std::move(done));
    when = deadline_after(reply_timeout);
    deadlines_.emplace_back(when, id);
    arm = !std::exchange(timer_armed_, true);
  }
  if (arm) arm_timer(when);
  return true;
}

std::optional<ReplyHandler> SessionState::take_pending(std::uint64_t id) {
  std::lock_guard lock(pending_mutex_);
  auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  ReplyHandler done = std::move(it->second);
  pending_.erase(it);
  // Replies mostly come in order: dropping answered commands from the head
  // keeps the deadline queue as short as the commands in flight.
  while (!deadlines_.empty() && !pending_.contains(deadlines_.front().second))
    deadlines_.pop_front();
  return done;
}

std::vector<ReplyHandler> SessionState::take_all_pending() {
  std::vector<ReplyHandler> all;
  std::lock_guard lock(pending_mutex_);
  all.reserve(pending_.size());
  for (auto& [id, done] : pending_) all.push_back(std::move(done));
  pending_.clear();
  deadlines_.clear();
  return all;
}

std::size_t SessionState::pending_count() const {
  std::lock_guard lock(pending_mutex_);
  return pending_.size();
}

void SessionState::arm_timer(Clock::time_point when) {
  asio::post(timer_strand_, [weak = weak_from_this(), when] {
    auto self = weak.lock();
    if (!self) return;
    self->timer_.expires_at(when);
    self->timer_.async_wait([weak](boost::system::error_code ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->on_timer();
    });
  });
}

// Runs on the timer strand: fails every command whose deadline has passed and
// re-arms for the next deadline.
void SessionState::on_timer() {
  std::vector<ReplyHandler> expired;
  std::optional<Clock::time_point> next;
  {
    std::lock_guard lock(pending_mutex_);
    const auto now = Clock::now();
    while (!deadlines_.empty() && deadlines_.front().first <= now) {
      auto it = pending_.find(deadlines_.front().second);
      deadlines_.pop_front();
      if (it == pending_.end()) continue;
      expired.push_back(std::move(it->second));
      pending_.erase(it);
    }
    if (deadlines_.empty())
      timer_armed_ = false;
    else
      next = deadlines_.front().first;
  }
  for (auto& done : expired) done(fail({error::Timeout{reply_timeout}}));
  if (next) {
    timer_.expires_at(*next);
    timer_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->on_timer();
    });
  }
}

}  // namespace detail

namespace {

// "c-17" → 17; anything else is not an id this library issued.
std::optional<std::uint64_t> parse_command_id(std::string_view id) {
  if (id.size() < 3 || id[0] != 'c' || id[1] != '-') return std::nullopt;
  std::uint64_t n = 0;
  const char* first = id.data() + 2;
  const char* last = id.data() + id.size();
  if (*first == '0' && id.size() > 3) return std::nullopt;  // ids are never zero-padded
  auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc{} || ptr != last) return std::nullopt;
  return n;
}

}  // namespace

SessionCore::SessionCore(std::shared_ptr<detail::SessionState> state) : state_(std::move(state)) {}

SessionCore::~SessionCore() {
  // The last handle is gone: nobody can send any more, so the writer closes
  // the connection. Commands still waiting (there can be none once the
  // reader, which holds a handle, has ended) fail as on a close.
  state_->outbound->close();
  mark_closed();
}

void SessionCore::send(std::optional<std::string> module, std::string_view verb, Json target,
                       Json args, ReplyHandler done) {
  if (is_closed()) {
    done(fail(closed_error()));
    return;
  }
  const std::uint64_t n = state_->next_id->fetch_add(1, std::memory_order_relaxed);
  std::string id = "c-" + std::to_string(n);
  auto text = CommandFrame::make(id, std::move(module), verb, std::move(target), std::move(args))
                  .serialize();
  if (!text) {
    done(fail({error::Serialization{std::move(text.error())}}));
    return;
  }
  if (log::enabled()) log::trace("control: sending command", {{"id", id}});
  if (!state_->add_pending(n, done)) {
    // The session closed between the first check and the insert.
    done(fail(closed_error()));
    return;
  }
  if (!state_->outbound->push(std::move(*text))) {
    if (auto pending = state_->take_pending(n)) (*pending)(fail(closed_error()));
  }
}

void SessionCore::route_reply(ReplyFrame reply) {
  std::optional<ReplyHandler> done;
  if (auto n = parse_command_id(reply.id)) done = state_->take_pending(*n);
  if (!done) {
    log::debug("control: reply for unknown/expired id — dropping", {{"id", reply.id}});
    return;
  }
  (*done)(reply_to_result(std::move(reply)));
}

void SessionCore::mark_closed() {
  if (state_->closed.exchange(true, std::memory_order_acq_rel)) return;
  for (auto& done : state_->take_all_pending()) done(fail(closed_error()));
  state_->closed_event.set();
}

bool SessionCore::is_closed() const noexcept {
  return state_->closed.load(std::memory_order_acquire);
}

asio::awaitable<void> SessionCore::wait_closed() {
  auto state = state_;
  co_await state->closed_event.wait();
}

void SessionCore::stop_writer() { state_->outbound->request_stop(); }

std::size_t SessionCore::pending_count() const { return state_->pending_count(); }

std::chrono::nanoseconds SessionCore::reply_timeout() const noexcept {
  return state_->reply_timeout;
}

}  // namespace fenwix

namespace fenwix::detail {

void dispatch_text(std::string_view text, const SessionPtr& core, const EventSink& sink) {
  struct Visitor {
    const SessionPtr& core;
    const EventSink& sink;
    void operator()(inbound::Malformed& m) const {
      log::warn("control: malformed inbound frame — dropping", {{"error", std::move(m.error)}});
    }
    void operator()(inbound::Reply& r) const { core->route_reply(std::move(r.frame)); }
    void operator()(inbound::UnparseableReply& r) const {
      log::warn("control: unparseable reply frame", {{"error", std::move(r.error)}});
    }
    void operator()(inbound::Event& e) const {
      // A session marked closed has been given up by its owner (shut down,
      // or its hello failed) and only waits for the peer's Close: what it
      // still reads must not surface as calls nobody will look after.
      if (core->is_closed()) return;
      if (sink && *sink) (*sink)(std::move(e.frame), core);
    }
    void operator()(inbound::UnparseableEvent& e) const {
      log::warn("control: unparseable event frame", {{"error", std::move(e.error)}});
    }
    void operator()(inbound::UnknownType& u) const {
      log::debug("control: ignoring frame of unknown type", {{"other", std::move(u.type)}});
    }
  };
  auto outcome = classify_inbound(text);
  std::visit(Visitor{core, sink}, outcome);
}

}  // namespace fenwix::detail
