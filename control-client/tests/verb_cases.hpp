// The two shapes of table the verb tests are written in: a builder's args
// against the exact compact text they must produce, and a reply's result
// against the summary it reads to.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <vector>

#include "fenwix/proto/json.hpp"

namespace fenwix::test {

// Short for an option left out, so that builder calls fit in a table row.
inline constexpr auto none = std::nullopt;

// One builder call and the exact compact text it must produce.
struct ArgsCase {
  std::string_view label;
  Json args;
  std::string_view wire;
};

inline void expect_wire(const std::vector<ArgsCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.args.dump(), c.wire);
  }
}

// One reply result, as the switch would send it, and the summary it must
// read to, as compact text.
struct ReplyCase {
  std::string_view label;
  std::string_view result;
  std::string_view summary;
};

// `read` turns a parsed result into the summary's JSON.
template <class Read>
void expect_summaries(const std::vector<ReplyCase>& cases, Read read) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(read(Json::parse(c.result)).dump(), c.summary);
  }
}

}  // namespace fenwix::test
