#include "core/strings.h"

#include <gtest/gtest.h>

namespace ardentix {
namespace {

TEST(FormatText, FillsTheNumberedPlacesOnly) {
  const struct {
    const char* pattern;
    const char* expected;
  } cases[] = {
      {"%1 of %2", "a of b"},
      {"%2 before %1", "b before a"},
      {"%1%", "a%"},               // a percent sign after a place stays
      {"100% sure", "100% sure"},  // as does one without a number
      {"%0 %3 %", "%0 %3 %"},      // no such argument: left as written
      {"%1%1", "aa"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatText(c.pattern, {"a", "b"}), c.expected) << c.pattern;
}

TEST(StringIds, ListEveryTextOnceInOrder) {
  const std::vector<int> ids = StringIds();
  ASSERT_FALSE(ids.empty());
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  for (int id : ids) EXPECT_STRNE(StringText(id), "") << id;
  EXPECT_STREQ(StringText(115), "Start");
}

}  // namespace
}  // namespace ardentix
