#include <gtest/gtest.h>

#include "TopicMatch.h"

TEST(SplitTopic, LevelsAtEverySlash) {
  struct Case {
    std::string in;
    std::vector<std::string> levels;
  };
  const std::vector<Case> cases = {
      {"", {""}},
      {"a/b", {"a", "b"}},
      {"/a", {"", "a"}},
      {"a/", {"a", ""}},
      {"a//b", {"a", "", "b"}},
      {"/", {"", ""}},
      {"\xc3\xa9/\xff", {"\xc3\xa9", "\xff"}}, // bytes, not decoded characters
  };
  for (const auto &c : cases) EXPECT_EQ(SplitTopic(c.in), c.levels) << "'" << c.in << "'";
}

TEST(MatchTopic, FilterAgainstTopic) {
  struct Case {
    const char *filter;
    const char *topic;
    bool match;
  };
  const Case cases[] = {
      {"#", "", true},
      {"#", "/x", true},
      {"#", "$x", true},
      {"#", "a/b/c", true},
      {"a/#", "a", true},
      {"a/#", "a/", true},
      {"a/#", "a/b/c", true},
      {"a/#", "ab", false},
      {"a/b/#", "a", false},
      {"+", "x", true},
      {"+", "", true},
      {"+", "x/y", false},
      {"+/+", "/x", true},
      {"a/+/c", "a/b/c", true},
      {"a/+/c", "a//c", true},
      {"a/+/c", "a/b/d", false},
      {"a/#/c", "a/#/c", true},
      {"a/#/c", "a/x/c", false},
      {"A", "a", false},
      {"a/b", "a/b", true},
      {"a/b", "a/b/c", false},
      {"a/b/c", "a/b", false},
      {"a+/b", "ax/b", false},  // a wildcard inside a level is literal
      {"a+/b", "a+/b", true},
      {"a/b#", "a/b#", true},
      {"+/#", "x", true},
      {"$SYS/#", "$SYS/x", true},
      {"\xc3\xa9/+", "\xc3\xa9/z", true},
      {"\xc3\xa9", "\xc3\xa8", false},
      {"$share/g/a/#", "a/b", true}, // a shared subscription matches on its filter
      {"$share/g/a/+", "a/b", true},
      {"$share/g/#", "x", true},
      {"$share/g/a", "$share/g/a", false},
      {"$share/g/a", "b", false},
      {"$shared/g/a", "$shared/g/a", true}, // not a shared subscription
  };
  for (const auto &c : cases)
    EXPECT_EQ(MatchTopic(c.filter, c.topic), c.match) << c.filter << " vs '" << c.topic << "'";
}
