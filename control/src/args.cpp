#include "args.hpp"

#include <array>
#include <utility>

#include "fenwix/client/quote.hpp"

namespace fenwix::py {

namespace {

using fenwix::quote;

bool raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool raise_type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

// The values of the named members, taken in one pass over the dict's own
// storage. Only exact key matches count; a missing member stays empty. The
// values are strong references, so code that a later conversion runs (an
// __index__, say) cannot free them by mutating the dict.
template <std::size_t N>
std::array<Ref, N> read_members(PyObject* dict, const std::array<std::string_view, N>& keys) {
  std::array<Ref, N> values;
  // Nothing in the walk runs Python code; the critical section keeps other
  // threads from resizing the dict under it where there is no global lock.
  Py_BEGIN_CRITICAL_SECTION(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    for (std::size_t i = 0; i < N; ++i) {
      if (!values[i] && PyUnicode_EqualToUTF8AndSize(key, keys[i].data(),
                                                     static_cast<Py_ssize_t>(keys[i].size()))) {
        values[i] = Ref::borrow(value);
        break;
      }
    }
  }
  Py_END_CRITICAL_SECTION();
  return values;
}

bool given(const Ref& member) { return member && member.get() != Py_None; }

// A member value that must be a str when present and not None.
bool string_member(const Ref& member, const ArgContext& where, std::optional<std::string>& out) {
  if (!given(member)) {
    out.reset();
    return true;
  }
  std::string text;
  if (!extract(member.get(), text, where)) return false;
  out = std::move(text);
  return true;
}

// A member holding a header dict: missing or None is no headers.
bool headers_member(const Ref& member, const ArgContext& where, fenwix::HeaderPairs& out) {
  out.clear();
  if (!given(member)) return true;
  return extract_string_pairs(member.get(), "headers", where, out);
}

char fold_ascii(Py_UCS4 c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// Parses an enumeration spelled in any ASCII case; refuses with
// `<what> must be <choices>, not <value>`.
template <class E>
bool case_insensitive(const std::optional<std::string>& text, const char* what,
                      const char* choices, std::optional<E>& out) {
  if (!text) {
    out.reset();
    return true;
  }
  out = fenwix::from_name<E>(*text);
  if (out) return true;
  return raise_value_error(std::string(what) + " must be " + choices + ", not " + quote(*text));
}

}  // namespace

bool extract_privacy(std::string_view context, const std::optional<std::string>& privacy,
                     std::optional<fenwix::Privacy>& out) {
  if (!privacy) {
    out.reset();
    return true;
  }
  out = fenwix::from_name<fenwix::Privacy>(*privacy);
  if (out) return true;
  return raise_value_error(std::string(context) +
                           " privacy must be \"allowed\" or \"restricted\", not " +
                           quote(*privacy));
}

Ref dict_member(PyObject* dict, std::string_view key) {
  return std::move(read_members<1>(dict, {key})[0]);
}

bool optional_string(PyObject* dict, std::string_view key, const ArgContext& where,
                     std::optional<std::string>& out) {
  return string_member(dict_member(dict, key), where, out);
}

bool extract_string_pairs(PyObject* obj, std::string_view context, const ArgContext& where,
                          fenwix::HeaderPairs& out) {
  out.clear();
  if (!PyDict_Check(obj)) {
    return raise_value_error(std::string(context) + " must be a dict of str -> str");
  }
  bool ok = true;
  // Converting a str runs no Python code, so the walk cannot be disturbed
  // from this thread; the critical section keeps other threads out.
  Py_BEGIN_CRITICAL_SECTION(obj);
  out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string name;
    std::string text;
    if (!extract(key, name, where) || !extract(value, text, where)) {
      ok = false;
      break;
    }
    out.emplace_back(std::move(name), std::move(text));
  }
  Py_END_CRITICAL_SECTION();
  return ok;
}

bool build_play_source(std::optional<std::string> file, std::optional<std::uint64_t> db_id,
                       std::optional<Bytes> blob, std::optional<std::string> tone,
                       std::optional<std::string> url, std::optional<fenwix::PlaySource>& out) {
  const int count = int(file.has_value()) + int(db_id.has_value()) + int(blob.has_value()) +
                    int(tone.has_value()) + int(url.has_value());
  if (count != 1) {
    return raise_value_error(
        "play requires exactly one of file (str), db_id (int), blob (bytes), tone (str), or url "
        "(str)");
  }
  using S = fenwix::PlaySource;
  if (file) {
    out = S{S::File{std::move(*file)}};
  } else if (db_id) {
    out = S{S::DbId{*db_id}};
  } else if (blob) {
    out = S{S::Blob{std::move(*blob)}};
  } else if (tone) {
    out = S{S::Tone{std::move(*tone)}};
  } else {
    out = S{S::Url{std::move(*url)}};
  }
  return true;
}

bool extract_play_repeat(PyObject* repeat, std::optional<fenwix::PlayRepeat>& out) {
  out.reset();
  if (repeat == nullptr || repeat == Py_None) return true;
  if (PyLong_Check(repeat)) {
    const unsigned long long count = PyLong_AsUnsignedLongLong(repeat);
    if (count != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      out = fenwix::PlayRepeat{std::uint64_t{count}};
      return true;
    }
    // Negative or too large: refused below like any other value.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else if (PyUnicode_Check(repeat) && PyUnicode_GET_LENGTH(repeat) == 3 &&
             fold_ascii(PyUnicode_READ_CHAR(repeat, 0)) == 'i' &&
             fold_ascii(PyUnicode_READ_CHAR(repeat, 1)) == 'n' &&
             fold_ascii(PyUnicode_READ_CHAR(repeat, 2)) == 'f') {
    out = fenwix::PlayRepeat{fenwix::PlayRepeat::Infinite{}};
    return true;
  }
  return raise_value_error(
      "repeat must be a total play count (a non-negative integer) or \"inf\" to play until "
      "stopped");
}

bool parse_peer_hangup(const std::optional<std::string>& on_peer_hangup,
                       std::optional<fenwix::PeerHangup>& out) {
  if (!on_peer_hangup) {
    out.reset();
    return true;
  }
  out = fenwix::from_name<fenwix::PeerHangup>(*on_peer_hangup);
  if (out) return true;
  return raise_value_error("on_peer_hangup must be \"hangup\" or \"hold\", got " +
                           quote(*on_peer_hangup));
}

bool extract_stream_mode(std::string_view mode, fenwix::StreamMode& out) {
  if (auto parsed = fenwix::from_name<fenwix::StreamMode>(mode)) {
    out = *parsed;
    return true;
  }
  return raise_value_error("stream mode must be \"tee\" or \"bridge\", not " + quote(mode));
}

bool extract_stream_direction(const std::optional<std::string>& direction,
                              std::optional<fenwix::StreamDirection>& out) {
  return case_insensitive(direction, "stream direction", "\"both\", \"caller\" or \"callee\"",
                          out);
}

bool extract_record_direction(const std::optional<std::string>& direction,
                              std::optional<fenwix::RecordDirection>& out) {
  return case_insensitive(direction, "record direction", "\"ingress\", \"egress\" or \"both\"",
                          out);
}

bool extract_record_channels(const std::optional<std::string>& channels,
                             std::optional<fenwix::RecordChannels>& out) {
  return case_insensitive(channels, "record channels", "\"mono\" or \"stereo\"", out);
}

bool extract_dial_strategy(const std::optional<std::string>& strategy,
                           std::optional<fenwix::DialStrategy>& out) {
  return case_insensitive(strategy, "dial strategy", "\"parallel\" or \"sequential\"", out);
}

bool extract_stream_channels(std::optional<std::uint8_t> channels,
                             std::optional<fenwix::StreamChannels>& out) {
  out.reset();
  if (!channels) return true;
  out = fenwix::stream_channels_from_number(*channels);
  if (out) return true;
  return raise_value_error("stream channels must be 1 (mono) or 2 (stereo), not " +
                           std::to_string(*channels));
}

bool extract_dial_on_answer(const std::optional<std::string>& on_answer, PyObject* ringback,
                            std::optional<fenwix::OnAnswer>& out) {
  using fenwix::OnAnswer;
  using fenwix::Ringback;
  out.reset();
  // The ringback's own type is checked before anything about on_answer, so
  // a malformed ringback is reported even when on_answer is wrong too.
  std::optional<Ringback> tone;
  if (ringback != nullptr && ringback != Py_None) {
    if (PyBool_Check(ringback)) {
      tone = Ringback{ringback == Py_True};
    } else if (PyUnicode_Check(ringback) && PyUnicode_GET_LENGTH(ringback) > 0) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(ringback, &size);
      if (data == nullptr) return false;
      tone = Ringback{std::string(data, static_cast<std::size_t>(size))};
    } else {
      return raise_type_error("dial ringback must be a non-empty tone string or a bool");
    }
  }
  static constexpr const char* kRingbackNeedsBridge =
      "dial ringback needs on_answer=\"bridge\": a connecting dial's caller hears the phones' "
      "own ringing";
  if (!on_answer) {
    if (tone) return raise_value_error(kRingbackNeedsBridge);
    return true;
  }
  if (*on_answer == "bridge") {
    out = OnAnswer{OnAnswer::Bridge{std::move(tone)}};
    return true;
  }
  if (*on_answer == "connect") {
    if (tone) return raise_value_error(kRingbackNeedsBridge);
    out = OnAnswer{OnAnswer::Connect{}};
    return true;
  }
  return raise_value_error("dial on_answer must be \"connect\" or \"bridge\", not " +
                           quote(*on_answer));
}

bool extract_dial_targets(const ObjectList& targets, const ArgContext& where,
                          std::vector<fenwix::DialTarget>& out) {
  using fenwix::DialTarget;
  out.clear();
  out.reserve(targets.size());
  for (const Ref& item : targets) {
    PyObject* target = item.get();
    if (!PyDict_Check(target)) {
      // A bare string is refused on purpose: it does not say whether it is a
      // URI to dial as written or an address-of-record to fork.
      return raise_value_error(
          "each dial target must be a dict: {\"uri\": ...} to dial it as written, or "
          "{\"aor\": ...} to fork to every registered contact over its own flow");
    }
    auto members = read_members<5>(target, {"uri", "aor", "next_hop", "to", "headers"});
    std::optional<std::string> uri;
    std::optional<std::string> aor;
    std::optional<std::string> next_hop;
    std::optional<std::string> to;
    fenwix::HeaderPairs headers;
    if (!string_member(members[0], where, uri) || !string_member(members[1], where, aor) ||
        !string_member(members[2], where, next_hop) || !string_member(members[3], where, to) ||
        !headers_member(members[4], where, headers)) {
      return false;
    }
    if (!uri && !aor) {
      return raise_value_error("a dial target requires a string \"uri\" or \"aor\"");
    }
    if (uri && aor) {
      // The switch would read the aor and silently ignore the uri beside it.
      return raise_value_error(
          "a dial target names \"uri\" or \"aor\", never both \u2014 fenwix reads the aor and "
          "ignores the uri beside it");
    }
    if (aor) {
      if (next_hop) {
        return raise_value_error(
            "an aor target takes no \"next_hop\": each of its branches routes over its own "
            "contact's captured flow");
      }
      out.push_back(
          DialTarget{DialTarget::Aor{std::move(*aor), std::move(to), std::move(headers)}});
    } else {
      out.push_back(DialTarget{DialTarget::Uri{std::move(*uri), std::move(next_hop), std::move(to),
                                               std::move(headers)}});
    }
  }
  return true;
}

bool extract_route_target(PyObject* target, const ArgContext& where, fenwix::RouteTarget& out) {
  out = fenwix::RouteTarget{};
  if (PyUnicode_Check(target)) return extract(target, out.uri, where);
  if (!PyDict_Check(target)) {
    return raise_value_error(
        "each route target must be a URI str or a dict {uri, next_hop, headers, timeout}");
  }
  auto members = read_members<5>(
      target, {"uri", "next_hop", "headers", "timeout", "reroute_after_progress"});
  if (!members[0]) return raise_value_error("route target dict requires a string 'uri'");
  if (!extract(members[0].get(), out.uri, where)) return false;
  if (!string_member(members[1], where, out.next_hop)) return false;
  if (!headers_member(members[2], where, out.headers)) return false;
  if (given(members[3])) {
    std::uint32_t timeout = 0;
    if (!extract(members[3].get(), timeout, where)) return false;
    out.timeout = timeout;
  }
  if (given(members[4])) {
    // 0 and 1 are refused too: a flag that changes when a call may be
    // rerouted is not something to guess from a number.
    if (!PyBool_Check(members[4].get())) {
      return raise_type_error("route target 'reroute_after_progress' must be a bool");
    }
    out.reroute_after_progress = members[4].get() == Py_True;
  }
  return true;
}

}  // namespace fenwix::py
