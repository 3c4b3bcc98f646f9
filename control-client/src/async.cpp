// The asynchronous primitives are built on Asio's thread-safe channel: it
// queues receivers in order, supports per-operation cancellation, and a closed
// channel completes every current and later receive at once.
#include "fenwix/client/async.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "fenwix/client/runtime.hpp"
#include "fenwix/client/transport.hpp"

namespace fenwix {
namespace {

using Signal = asio::experimental::concurrent_channel<void(boost::system::error_code)>;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

}  // namespace

struct AsyncEvent::Waiters {
  Signal channel{runtime_executor(), 0};
};

AsyncEvent::AsyncEvent() : waiters_(std::make_shared<Waiters>()) {}
AsyncEvent::~AsyncEvent() = default;

void AsyncEvent::set() {
  if (set_.exchange(true, std::memory_order_acq_rel)) return;
  waiters_->channel.close();
}

asio::awaitable<void> AsyncEvent::wait() {
  if (is_set()) co_return;
  auto waiters = waiters_;  // keeps the channel alive while this waits
  auto [ec] = co_await waiters->channel.async_receive(kTuple);
  // A closed channel is the event being set; anything else is cancellation.
  if (ec && ec != asio::experimental::error::channel_closed && !is_set())
    throw boost::system::system_error(ec);
}

// The mutex is a channel holding at most one token: locking receives it,
// unlocking puts it back (handing it straight to the oldest waiter).
struct AsyncMutex::State {
  Signal channel{runtime_executor(), 1};
};

AsyncMutex::AsyncMutex() : state_(std::make_shared<State>()) {
  state_->channel.try_send(boost::system::error_code{});
}
AsyncMutex::~AsyncMutex() = default;

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
  auto state = state_;
  auto [ec] = co_await state->channel.async_receive(kTuple);
  if (ec) throw boost::system::system_error(ec);
  co_return Guard(this);
}

AsyncMutex::Guard AsyncMutex::try_lock() {
  bool taken = false;
  state_->channel.try_receive([&](boost::system::error_code ec) { taken = !ec; });
  return taken ? Guard(this) : Guard();
}

void AsyncMutex::unlock() { state_->channel.try_send(boost::system::error_code{}); }

asio::awaitable<Result<Json>> CommandTransport::command(std::optional<std::string> module,
                                                       std::string_view verb, Json target,
                                                       Json args) {
  struct Slot {
    Signal ready{runtime_executor(), 1};
    std::mutex mutex;
    std::optional<Result<Json>> outcome;
  };
  auto slot = std::make_shared<Slot>();
  send(std::move(module), verb, std::move(target), std::move(args), [slot](Result<Json> r) {
    {
      std::lock_guard lock(slot->mutex);
      slot->outcome = std::move(r);
    }
    slot->ready.try_send(boost::system::error_code{});
  });
  auto [ec] = co_await slot->ready.async_receive(kTuple);
  if (ec) throw boost::system::system_error(ec);
  std::lock_guard lock(slot->mutex);
  co_return std::move(*slot->outcome);
}

}  // namespace fenwix
