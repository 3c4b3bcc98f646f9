#include "members.hpp"

namespace fenwix::verbs_detail {

namespace {

const Json* find_member(const Json& result, std::string_view key) {
  if (!result.is_object()) return nullptr;
  const auto it = result.find(key);
  return it == result.end() ? nullptr : &*it;
}

}  // namespace

std::optional<std::string> string_member(const Json& result, std::string_view key) {
  const Json* member = find_member(result, key);
  if (member == nullptr || !member->is_string()) return std::nullopt;
  return member->get<std::string>();
}

std::optional<std::uint64_t> unsigned_member(const Json& result, std::string_view key,
                                             std::uint64_t max) {
  const Json* member = find_member(result, key);
  if (member == nullptr) return std::nullopt;
  // Parsed text keeps non-negative integers unsigned, but a reply built in
  // process may hold a signed one; both count. A float never does, even 3.0:
  // the switch writes counts and seconds as integers.
  std::uint64_t value = 0;
  if (member->is_number_unsigned()) {
    value = member->get<std::uint64_t>();
  } else if (member->is_number_integer()) {
    const auto signed_value = member->get<std::int64_t>();
    if (signed_value < 0) return std::nullopt;
    value = static_cast<std::uint64_t>(signed_value);
  } else {
    return std::nullopt;
  }
  if (value > max) return std::nullopt;
  return value;
}

std::vector<DialBranchPayload> branches_member(const Json& result, std::string_view key) {
  std::vector<DialBranchPayload> branches;
  const Json* member = find_member(result, key);
  if (member == nullptr || !member->is_array()) return branches;
  // One malformed branch must not hide the others from the application.
  for (const Json& entry : *member) {
    if (auto branch = DialBranchPayload::from_json(entry)) branches.push_back(std::move(*branch));
  }
  return branches;
}

Json string_or_null(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json branches_to_json(const std::vector<DialBranchPayload>& branches) {
  Json list = Json::array();
  for (const auto& branch : branches) list.push_back(branch.to_json());
  return list;
}

}  // namespace fenwix::verbs_detail
