// fenwix_bench_cpp: the command workload straight through the C++ client
// library, with no Python in the way. What it measures is the ceiling the
// Python module can approach: every round trip here pays only for framing,
// JSON, the session's pending table and the network.
//
// Two measurements, each printed as one JSON object per line:
//
//   closed loop  W commands in flight; every completion issues the next one.
//                Gives round trips per second for each W.
//   open loop    commands issued at a fixed rate (by default half the best
//                closed-loop rate) from one thread, as an application would;
//                gives the latency distribution of a command at that load.
//
// Latency runs from the moment the command is handed to the library until
// its reply handler runs.

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "fenwix/client/client.hpp"
#include "fenwix/client/runtime.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using fenwix::ControlClient;
using fenwix::Json;

struct Options {
  std::string url = "ws://127.0.0.1:9090/control/ws";
  std::string token = "tok";
  std::string app = "bench";
  std::vector<unsigned> inflight = {1, 16, 256};
  double duration = 3.0;   // seconds measured per closed-loop run
  double warmup = 0.5;     // seconds run before each measurement
  double latency_duration = 3.0;
  double latency_rate = 0;  // 0: half the best closed-loop rate
  std::string verb = "play";
  std::string channel = "b-1";
};

const char* usage =
    "usage: fenwix_bench_cpp [--url URL] [--token T] [--app NAME] [--inflight 1,16,256]\n"
    "                        [--duration SEC] [--warmup SEC] [--latency-duration SEC]\n"
    "                        [--latency-rate PER_SEC] [--verb play] [--channel b-1]\n"
    "Prints one JSON object per line.\n";

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// A log-linear histogram of nanosecond values, safe to record into from any
// thread: 64 sub-buckets per power of two, so a percentile read from it is
// within about 1.6% of the true value.
class Histogram {
 public:
  void record(std::int64_t ns) {
    const auto v = static_cast<std::uint64_t>(std::max<std::int64_t>(ns, 1));
    counts_[bucket(v)].fetch_add(1, std::memory_order_relaxed);
  }

  // The value below which `q` of the recorded values lie, in microseconds.
  double percentile_us(double q) const {
    std::uint64_t total = 0;
    for (const auto& c : counts_) total += c.load(std::memory_order_relaxed);
    if (total == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(total)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += counts_[i].load(std::memory_order_relaxed);
      if (seen >= std::max<std::uint64_t>(rank, 1)) return static_cast<double>(upper(i)) / 1000.0;
    }
    return static_cast<double>(upper(kBuckets - 1)) / 1000.0;
  }

  std::uint64_t count() const {
    std::uint64_t total = 0;
    for (const auto& c : counts_) total += c.load(std::memory_order_relaxed);
    return total;
  }

 private:
  static constexpr unsigned kSubBits = 6;
  static constexpr std::size_t kBuckets = 64 << kSubBits;

  static std::size_t bucket(std::uint64_t v) {
    if (v < (1u << kSubBits)) return static_cast<std::size_t>(v);
    const unsigned exponent = 63 - static_cast<unsigned>(std::countl_zero(v));
    const unsigned shift = exponent - kSubBits;
    const std::uint64_t mantissa = (v >> shift) & ((1u << kSubBits) - 1);
    return ((shift + 1) << kSubBits) + mantissa;
  }
  // Largest value that falls in bucket i.
  static std::uint64_t upper(std::size_t i) {
    if (i < (1u << kSubBits)) return i;
    const std::size_t shift = (i >> kSubBits) - 1;
    const std::uint64_t mantissa = (i & ((1u << kSubBits) - 1)) | (1u << kSubBits);
    return ((mantissa + 1) << shift) - 1;
  }

  std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
};

// One command's worth of input, built once: the module converts the
// application's arguments into values like these for every call of a verb.
struct Workload {
  std::string verb;
  Json target;
  Json args;
};

// The closed loop: `inflight` chains of commands, each link issued by the
// completion of the one before, until `stop` is set.
class ClosedLoop : public std::enable_shared_from_this<ClosedLoop> {
 public:
  ClosedLoop(ControlClient client, const Workload& work) : client_(std::move(client)), work_(work) {}

  void start(unsigned inflight) {
    outstanding_.store(inflight);
    for (unsigned i = 0; i < inflight; ++i) issue();
  }

  void stop() { stopping_.store(true); }
  // Blocks until every chain has seen `stop` and ended.
  void wait_drained() { drained_.get_future().wait(); }

  std::uint64_t completed() const { return completed_.load(std::memory_order_relaxed); }
  std::uint64_t failed() const { return failed_.load(std::memory_order_relaxed); }
  Histogram& latency() { return latency_; }

 private:
  void issue() {
    const auto started = Clock::now();
    client_.command("sip", work_.verb, work_.target, work_.args,
                    [self = shared_from_this(), started](fenwix::Result<Json> result) {
                      self->latency_.record((Clock::now() - started).count());
                      self->completed_.fetch_add(1, std::memory_order_relaxed);
                      if (!result) self->failed_.fetch_add(1, std::memory_order_relaxed);
                      // A failure (the connection went away) ends the chain
                      // rather than spinning on commands that fail at once.
                      if (result && !self->stopping_.load(std::memory_order_relaxed)) {
                        self->issue();
                      } else if (self->outstanding_.fetch_sub(1) == 1) {
                        self->drained_.set_value();
                      }
                    });
  }

  ControlClient client_;
  const Workload& work_;
  std::atomic<bool> stopping_{false};
  std::atomic<unsigned> outstanding_{0};
  std::atomic<std::uint64_t> completed_{0};
  std::atomic<std::uint64_t> failed_{0};
  std::promise<void> drained_;
  Histogram latency_;
};

void print_line(const Json& line) {
  std::cout << line.dump() << '\n' << std::flush;
}

double run_closed_loop(const ControlClient& client, const Workload& work, unsigned inflight,
                       const Options& options) {
  auto loop = std::make_shared<ClosedLoop>(client, work);
  loop->start(inflight);
  std::this_thread::sleep_for(std::chrono::duration<double>(options.warmup));
  const auto done_before = loop->completed();
  const auto cpu_before = cpu_seconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.duration));
  const auto done_after = loop->completed();
  const auto cpu_after = cpu_seconds();
  const auto t1 = Clock::now();
  loop->stop();
  loop->wait_drained();

  const double elapsed = seconds_between(t0, t1);
  const auto done = done_after - done_before;
  const double rate = static_cast<double>(done) / elapsed;
  print_line({{"bench", "cpp"},
              {"workload", "commands"},
              {"inflight", inflight},
              {"seconds", elapsed},
              {"completed", done},
              {"failed", loop->failed()},
              {"per_second", rate},
              {"cpu_us_per_command", done ? (cpu_after - cpu_before) * 1e6 / done : 0.0},
              {"p50_us", loop->latency().percentile_us(0.50)},
              {"p99_us", loop->latency().percentile_us(0.99)}});
  return rate;
}

// The open loop: one thread hands commands to the library on a fixed
// schedule, whatever the replies do.
void run_open_loop(const ControlClient& client, const Workload& work, double rate,
                   const Options& options) {
  struct State {
    Histogram latency;
    std::atomic<std::uint64_t> outstanding{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> done{0};
  };
  auto state = std::make_shared<State>();
  const auto total = static_cast<std::uint64_t>(rate * options.latency_duration);
  const auto interval = std::chrono::duration<double>(1.0 / rate);
  std::uint64_t late = 0;
  const auto cpu_before = cpu_seconds();
  const auto start = Clock::now();
  for (std::uint64_t i = 0; i < total; ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(interval * static_cast<double>(i));
    // Sleeping wakes tens of microseconds late, so at high rates commands
    // leave in small groups; spinning instead would take a core from the
    // runtime, which on a small machine costs more than it shows.
    const auto now = Clock::now();
    if (now < due) {
      std::this_thread::sleep_until(due);
    } else if (now - due > std::chrono::milliseconds(1)) {
      ++late;
    }
    state->outstanding.fetch_add(1, std::memory_order_relaxed);
    const auto started = Clock::now();
    client.command("sip", work.verb, work.target, work.args, [state, started](fenwix::Result<Json> result) {
      state->latency.record((Clock::now() - started).count());
      if (!result) state->failed.fetch_add(1, std::memory_order_relaxed);
      state->done.fetch_add(1, std::memory_order_relaxed);
      state->outstanding.fetch_sub(1, std::memory_order_release);
    });
  }
  const auto issued_at = Clock::now();
  while (state->outstanding.load(std::memory_order_acquire) > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto cpu_after = cpu_seconds();
  print_line({{"bench", "cpp"},
              {"workload", "latency"},
              {"target_per_second", rate},
              {"achieved_per_second", static_cast<double>(total) / seconds_between(start, issued_at)},
              {"commands", total},
              {"failed", state->failed.load()},
              {"issued_late_over_1ms", late},
              {"cpu_us_per_command", total ? (cpu_after - cpu_before) * 1e6 / total : 0.0},
              {"p50_us", state->latency.percentile_us(0.50)},
              {"p90_us", state->latency.percentile_us(0.90)},
              {"p99_us", state->latency.percentile_us(0.99)},
              {"p999_us", state->latency.percentile_us(0.999)},
              {"max_us", state->latency.percentile_us(1.0)}});
}

// co_spawn wants a default-constructible result, which a client is not.
boost::asio::awaitable<std::optional<fenwix::Result<ControlClient>>> connect_once(
    fenwix::ClientConfig config) {
  co_return co_await ControlClient::connect(std::move(config));
}

std::vector<unsigned> parse_list(std::string_view text) {
  std::vector<unsigned> out;
  std::stringstream in{std::string(text)};
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) out.push_back(static_cast<unsigned>(std::stoul(item)));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "missing value for " << flag << "\n" << usage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (flag == "--url") options.url = value();
    else if (flag == "--token") options.token = value();
    else if (flag == "--app") options.app = value();
    else if (flag == "--inflight") options.inflight = parse_list(value());
    else if (flag == "--duration") options.duration = std::stod(value());
    else if (flag == "--warmup") options.warmup = std::stod(value());
    else if (flag == "--latency-duration") options.latency_duration = std::stod(value());
    else if (flag == "--latency-rate") options.latency_rate = std::stod(value());
    else if (flag == "--verb") options.verb = value();
    else if (flag == "--channel") options.channel = value();
    else if (flag == "--help" || flag == "-h") {
      std::cout << usage;
      return 0;
    } else {
      std::cerr << "unknown flag " << flag << "\n" << usage;
      return 2;
    }
  }

  fenwix::ClientConfig config;
  config.url = options.url;
  config.token = options.token;
  config.app = options.app;
  auto connected = *boost::asio::co_spawn(fenwix::runtime(), connect_once(config),
                                          boost::asio::use_future)
                        .get();
  if (!connected) {
    std::cerr << "fenwix_bench_cpp: " << fenwix::to_string(connected.error()) << "\n";
    return 1;
  }
  const ControlClient client = std::move(*connected);

  const Workload work{options.verb, Json{{"channel", options.channel}}, Json{{"file", "welcome"}}};
  double best = 0;
  for (unsigned inflight : options.inflight)
    best = std::max(best, run_closed_loop(client, work, inflight, options));
  const double rate = options.latency_rate > 0 ? options.latency_rate : best / 2;
  if (rate > 0 && options.latency_duration > 0) run_open_loop(client, work, rate, options);

  client.shutdown();
  std::cout.flush();
  // The runtime's threads are never joined (see runtime.hpp): leave without
  // running static destructors underneath them.
  std::_Exit(0);
}
