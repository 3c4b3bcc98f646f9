// The readers of hello and resync results and of dial-branch payloads, on any
// JSON value a switch may send (the text is parsed first, as replies are).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fenwix/proto/events.hpp"
#include "fenwix/proto/json.hpp"
#include "fenwix/proto/payloads.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace fenwix;
using fuzz::check;
using fuzz::valid_utf8;

template <class T>
void check_error(const std::expected<T, std::string>& read, const char* what) {
  if (!read) check(valid_utf8(read.error()), what, read.error());
}

void check_snapshot(const ChannelSnapshot& snapshot) {
  const Json written = snapshot.to_json();
  check(written.is_object() && written.size() == 5, "snapshot not written with five members");
  auto again = ChannelSnapshot::from_json(written);
  check(again.has_value() && *again == snapshot, "snapshot round trip");
  check(dump_json(written).has_value(), "snapshot cannot be serialised");
}

void read_all(const Json& value) {
  auto hello = HelloResult::from_json(value);
  check_error(hello, "hello error text");
  if (hello) {
    check(value.is_object() && value.contains("app") && value.contains("protocol") &&
              value.contains("subprotocol"),
          "hello accepted without its three members");
    const auto& protocol = value.at("protocol");
    check(protocol.is_number_integer() && protocol.get<std::int64_t>() >= 0 &&
              protocol.get<std::uint64_t>() == hello->protocol,
          "hello protocol read wrongly");
  }

  auto snapshot = ChannelSnapshot::from_json(value);
  check_error(snapshot, "snapshot error text");
  if (snapshot) check_snapshot(*snapshot);

  auto resync = ResyncResult::from_json(value);
  check_error(resync, "resync error text");
  if (resync) {
    const auto it = value.find("channels");
    const std::size_t expected = it == value.end() ? 0 : it->size();
    check(resync->channels.size() == expected, "resync lost or invented channels");
    for (const auto& s : resync->channels) check_snapshot(s);
  }

  auto branch = DialBranchPayload::from_json(value);
  check_error(branch, "branch error text");
  if (branch) {
    auto again = DialBranchPayload::from_json(branch->to_json());
    check(again.has_value() && *again == *branch, "branch round trip");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!value) return 0;
  read_all(*value);
  // The same readers one level down, where results and payloads sit in frames.
  if (value->is_object()) {
    for (const char* key : {"result", "payload"}) {
      if (auto it = value->find(key); it != value->end()) read_all(*it);
    }
  }
  return 0;
}
