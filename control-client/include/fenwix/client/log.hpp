// Structured logging: a level, a fixed message and named fields.
//
// Records go to one process-wide sink. There is none by default, and then a
// record costs one atomic load. Tests install a capturing sink.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fenwix::log {

enum class Level { Trace, Debug, Info, Warn, Error };

std::string_view level_name(Level level);

struct Field {
  std::string name;
  std::optional<std::string> value;  // nullopt: the field is present without a value
};

struct Record {
  Level level;
  std::string message;
  std::vector<Field> fields;

  // The value of the named field, if the record has it with a value.
  std::optional<std::string> field(std::string_view name) const;
  bool has_field(std::string_view name) const;
};

using Sink = std::function<void(const Record&)>;

// Installs (or, with an empty function, removes) the process-wide sink.
// Thread-safe; records being written while it changes go to either sink.
void set_sink(Sink sink);

// True when a sink is installed: one relaxed atomic load.
bool enabled() noexcept;

// Writes one record if a sink is installed. Callers build fields only when
// `enabled()` says it is worth it; `write` checks again.
void write(Level level, std::string_view message, std::vector<Field> fields = {});

inline void trace(std::string_view m, std::vector<Field> f = {}) { write(Level::Trace, m, std::move(f)); }
inline void debug(std::string_view m, std::vector<Field> f = {}) { write(Level::Debug, m, std::move(f)); }
inline void info(std::string_view m, std::vector<Field> f = {}) { write(Level::Info, m, std::move(f)); }
inline void warn(std::string_view m, std::vector<Field> f = {}) { write(Level::Warn, m, std::move(f)); }

}  // namespace fenwix::log
