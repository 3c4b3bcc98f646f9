#include "fenwix/client/log.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace fenwix::log {
namespace {

std::atomic<bool> g_has_sink{false};
std::mutex g_sink_mutex;
std::shared_ptr<const Sink> g_sink;

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "?";
}

std::optional<std::string> Record::field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.name == name) return f.value;
  return std::nullopt;
}

bool Record::has_field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.name == name) return true;
  return false;
}

void set_sink(Sink sink) {
  std::lock_guard lock(g_sink_mutex);
  if (sink) {
    g_sink = std::make_shared<const Sink>(std::move(sink));
    g_has_sink.store(true, std::memory_order_release);
  } else {
    g_has_sink.store(false, std::memory_order_release);
    g_sink.reset();
  }
}

bool enabled() noexcept { return g_has_sink.load(std::memory_order_relaxed); }

void write(Level level, std::string_view message, std::vector<Field> fields) {
  if (!enabled()) return;
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard lock(g_sink_mutex);
    sink = g_sink;
  }
  if (!sink) return;
  (*sink)(Record{level, std::string(message), std::move(fields)});
}

}  // namespace fenwix::log
