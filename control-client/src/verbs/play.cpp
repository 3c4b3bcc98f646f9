#include <span>

#include "fenwix/client/verbs.hpp"
#include "members.hpp"

namespace fenwix {

using verbs_detail::put;
using verbs_detail::put_number;

namespace {

// Standard alphabet with "=" padding and no line breaks: the switch decodes
// the blob as one token, and a URL-safe alphabet or wrapped lines would not
// round-trip through it.
std::string base64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) |
                                (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[(group >> 18) & 0x3f];
    out += kAlphabet[(group >> 12) & 0x3f];
    out += kAlphabet[(group >> 6) & 0x3f];
    out += kAlphabet[group & 0x3f];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(group >> 18) & 0x3f];
    out += kAlphabet[(group >> 12) & 0x3f];
    out += rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
    out += '=';
  }
  return out;
}

struct SourceWriter {
  Json& args;
  void operator()(const PlaySource::File& file) const { args["file"] = file.path; }
  void operator()(const PlaySource::DbId& db) const { args["db_id"] = db.id; }
  void operator()(const PlaySource::Blob& blob) const { args["blob"] = base64(blob.bytes); }
  void operator()(const PlaySource::Tone& tone) const { args["tone"] = tone.tone; }
  void operator()(const PlaySource::Url& url) const { args["url"] = url.url; }
};

}  // namespace

void PlaySource::insert_into(Json& args) const { std::visit(SourceWriter{args}, source); }

Json PlayRepeat::to_json() const {
  if (const auto* count = std::get_if<std::uint64_t>(&value)) return *count;
  return "inf";
}

void PlayOptions::insert_into(Json& args) const {
  if (repeat) args["repeat"] = repeat->to_json();
  put_number(args, "start_ms", start_ms);
  put_number(args, "duration_ms", duration_ms);
  put_number(args, "gain_decibels", gain_decibels);
  put(args, "to_tag", to_tag);
}

void DtmfOptions::insert_into(Json& args) const {
  put_number(args, "duration_ms", duration_ms);
  put_number(args, "volume_dbm0", volume_dbm0);
  put_number(args, "pause_ms", pause_ms);
  put(args, "to_tag", to_tag);
}

Json play_args(const PlaySource& source, const PlayOptions& options) {
  Json args = Json::object();
  source.insert_into(args);
  options.insert_into(args);
  return args;
}

Json dtmf_args(std::string_view digits, const DtmfOptions& options) {
  Json args = Json::object();
  args["digits"] = std::string(digits);
  options.insert_into(args);
  return args;
}

}  // namespace fenwix
