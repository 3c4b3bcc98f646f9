// Helpers shared by the transport and call-model tests: a capturing log
// sink, bounded waits, coroutines run on the library's runtime, and the
// restoring of the upgrade deadline.
//
// Every wait here is bounded: a fault makes a test fail, never hang.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "deadline.hpp"
#include "fenwix/client/log.hpp"
#include "fenwix/client/runtime.hpp"
#include "fenwix/client/transport.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// The bound on anything that should happen promptly. Generous, so that a slow
// machine or a sanitizer build never turns a pass into a failure; a fault
// still fails the test instead of hanging it.
inline constexpr Millis kWait{10'000};

// Parses JSON that the test itself wrote; a typo there is a test bug.
inline Json json(std::string_view text) {
  auto value = parse_json(text);
  if (!value) throw std::invalid_argument("bad JSON in test: " + value.error());
  return std::move(*value);
}

// Polls `done` until it holds or `limit` passes; returns its last value.
inline bool wait_until(const std::function<bool()>& done, Millis limit = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Puts the upgrade deadline back to its default when it goes. A test that
// shortens the deadline (none can wait out the default) holds one, so that
// the next test starts from the default whatever happened.
struct RestoreUpgradeDeadline {
  RestoreUpgradeDeadline() = default;
  RestoreUpgradeDeadline(const RestoreUpgradeDeadline&) = delete;
  RestoreUpgradeDeadline& operator=(const RestoreUpgradeDeadline&) = delete;
  ~RestoreUpgradeDeadline() { detail::set_upgrade_deadline(detail::kDefaultUpgradeDeadline); }
};

// Captures every log record written while it lives. Records are written from
// runtime threads, so everything here is locked, and the state is shared with
// the sink: a record being written as the capture goes away must not find it
// gone.
class LogCapture {
 public:
  using Time = std::chrono::steady_clock::time_point;

  LogCapture() : state_(std::make_shared<State>()) {
    log::set_sink([state = state_](const log::Record& record) {
      std::lock_guard lock(state->mutex);
      state->records.push_back(record);
      state->times.push_back(std::chrono::steady_clock::now());
      state->changed.notify_all();
    });
  }
  ~LogCapture() { log::set_sink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<log::Record> records() const {
    std::lock_guard lock(state_->mutex);
    return state_->records;
  }

  // The records whose message starts with `prefix`.
  std::vector<log::Record> with_prefix(std::string_view prefix) const {
    std::vector<log::Record> out;
    std::lock_guard lock(state_->mutex);
    for (const auto& r : state_->records)
      if (r.message.starts_with(prefix)) out.push_back(r);
    return out;
  }

  // The records with this message, at any level.
  std::vector<log::Record> with_message(std::string_view message) const {
    std::vector<log::Record> out;
    std::lock_guard lock(state_->mutex);
    for (const auto& r : state_->records)
      if (r.message == message) out.push_back(r);
    return out;
  }

  std::size_t count(std::string_view message) const { return with_message(message).size(); }

  // When each record with this message was written.
  std::vector<Time> times(std::string_view message) const {
    std::vector<Time> out;
    std::lock_guard lock(state_->mutex);
    for (std::size_t i = 0; i < state_->records.size(); ++i)
      if (state_->records[i].message == message) out.push_back(state_->times[i]);
    return out;
  }

  // Waits until at least `n` records with this message have been written.
  bool wait_for(std::string_view message, std::size_t n = 1, Millis limit = kWait) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] {
      std::size_t seen = 0;
      for (const auto& r : state_->records)
        if (r.message == message) ++seen;
      return seen >= n;
    });
  }

  void clear() {
    std::lock_guard lock(state_->mutex);
    state_->records.clear();
    state_->times.clear();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<log::Record> records;
    std::vector<Time> times;
  };
  std::shared_ptr<State> state_;
};

// Checks level, message and the exact set of fields (name and value; a
// nullopt value is a field present without a value).
inline ::testing::AssertionResult is_record(
    const log::Record& r, log::Level level, std::string_view message,
    const std::vector<std::pair<std::string, std::optional<std::string>>>& fields = {}) {
  auto failure = [&] {
    auto f = ::testing::AssertionFailure();
    f << "record " << log::level_name(r.level) << " \"" << r.message << "\" {";
    for (const auto& field : r.fields)
      f << " " << field.name << "=" << (field.value ? "\"" + *field.value + "\"" : "(none)");
    f << " }";
    return f;
  };
  if (r.level != level || r.message != message) return failure();
  if (r.fields.size() != fields.size()) return failure() << " has other fields";
  for (const auto& [name, value] : fields) {
    if (!r.has_field(name)) return failure() << " lacks field " << name;
    if (r.field(name) != value) return failure() << " has another value for " << name;
  }
  return ::testing::AssertionSuccess();
}

// What a finished `void` coroutine yields in the helpers below.
struct Done {};
template <class T>
using Yield = std::conditional_t<std::is_void_v<T>, Done, T>;

namespace detail {
// Wraps the result in an optional, so that the completion handler needs
// nothing default-constructible from T.
template <class T>
boost::asio::awaitable<std::optional<Yield<T>>> capture(boost::asio::awaitable<T> body) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(body);
    co_return Done{};
  } else {
    co_return co_await std::move(body);
  }
}
}  // namespace detail

// A coroutine spawned on its own strand of the runtime, which the test can
// wait for (bounded) or cancel. Destroying it cancels it if still running.
template <class T>
class Task {
 public:
  explicit Task(boost::asio::awaitable<T> body) : state_(std::make_shared<State>()) {
    auto state = state_;
    boost::asio::co_spawn(
        state->strand, detail::capture(std::move(body)),
        boost::asio::bind_cancellation_slot(
            state->signal.slot(),
            [state](std::exception_ptr error, std::optional<Yield<T>> value) {
              std::lock_guard lock(state->mutex);
              state->error = error;
              state->value = std::move(value);
              state->done = true;
              state->cv.notify_all();
            }));
  }
  Task(Task&&) = default;
  ~Task() {
    if (state_ && !done()) cancel();
  }

  bool done() const {
    std::lock_guard lock(state_->mutex);
    return state_->done;
  }

  // The result, once the coroutine has finished within `limit`; nullopt (and
  // a test failure) if it has not, or if it threw.
  std::optional<Yield<T>> wait(Millis limit = kWait) {
    std::unique_lock lock(state_->mutex);
    if (!state_->cv.wait_for(lock, limit, [&] { return state_->done; })) {
      ADD_FAILURE() << "coroutine still running after " << limit.count() << " ms";
      return std::nullopt;
    }
    if (state_->error) {
      try {
        std::rethrow_exception(state_->error);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "coroutine threw: " << e.what();
      }
      return std::nullopt;
    }
    return state_->value;
  }

  // True if the coroutine is still running after `span`.
  bool still_running_after(Millis span) {
    std::unique_lock lock(state_->mutex);
    return !state_->cv.wait_for(lock, span, [&] { return state_->done; });
  }

  // True once the coroutine has ended by throwing (after a cancellation).
  bool threw() const {
    std::lock_guard lock(state_->mutex);
    return state_->done && state_->error != nullptr;
  }

  // Requests cancellation on the coroutine's own strand and waits (bounded)
  // until it has finished.
  void cancel() {
    auto state = state_;
    boost::asio::post(state->strand, [state] {
      bool done;
      {
        std::lock_guard lock(state->mutex);
        done = state->done;
      }
      if (!done) state->signal.emit(boost::asio::cancellation_type::terminal);
    });
    std::unique_lock lock(state->mutex);
    if (!state->cv.wait_for(lock, kWait, [&] { return state->done; }))
      ADD_FAILURE() << "coroutine did not stop when cancelled";
  }

 private:
  struct State {
    boost::asio::strand<boost::asio::io_context::executor_type> strand =
        boost::asio::make_strand(runtime());
    boost::asio::cancellation_signal signal;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
    std::optional<Yield<T>> value;
  };
  std::shared_ptr<State> state_;
};

// Runs a coroutine to completion (bounded) and returns its result.
template <class T>
std::optional<Yield<T>> run(boost::asio::awaitable<T> body, Millis limit = kWait) {
  Task<T> task(std::move(body));
  return task.wait(limit);
}

// Collects the outcome of one command sent through `CommandTransport::send`
// and counts how often the handler ran (it must run exactly once).
class Outcome {
 public:
  Outcome() : state_(std::make_shared<State>()) {}

  ReplyHandler handler() {
    return [state = state_](Result<Json> result) {
      std::lock_guard lock(state->mutex);
      ++state->calls;
      state->result.emplace(std::move(result));
      state->cv.notify_all();
    };
  }

  // The outcome once the handler has run, nullopt if it has not within `limit`.
  std::optional<Result<Json>> wait(Millis limit = kWait) const {
    std::unique_lock lock(state_->mutex);
    if (!state_->cv.wait_for(lock, limit, [&] { return state_->calls > 0; }))
      return std::nullopt;
    return state_->result;
  }

  // The outcome if the handler has already run.
  std::optional<Result<Json>> now() const {
    std::lock_guard lock(state_->mutex);
    return state_->result;
  }

  int calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    int calls = 0;
    std::optional<Result<Json>> result;
  };
  std::shared_ptr<State> state_;
};

// The display text of a failed result, or "(success)".
template <class T>
std::string error_text(const Result<T>& result) {
  return result ? std::string("(success)") : to_string(result.error());
}

// A transport that records what it is asked to send and answers nothing
// until the test says so.
class RecordingTransport final : public CommandTransport {
 public:
  struct Sent {
    std::optional<std::string> module;
    std::string verb;
    Json target;
    Json args;
  };

  void send(std::optional<std::string> module, std::string_view verb, Json target, Json args,
            ReplyHandler done) override {
    std::lock_guard lock(mutex_);
    sent_.push_back({std::move(module), std::string(verb), std::move(target), std::move(args)});
    handlers_.push_back(std::move(done));
  }

  std::vector<Sent> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

  // Completes the n-th command sent.
  void complete(std::size_t n, Result<Json> result) {
    ReplyHandler done;
    {
      std::lock_guard lock(mutex_);
      done = std::move(handlers_.at(n));
    }
    if (done) done(std::move(result));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
  std::vector<ReplyHandler> handlers_;
};

}  // namespace fenwix::test
