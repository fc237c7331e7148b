// Topic matching and filter validation: the documented cases, and the
// matcher checked against a plain level-by-level matcher over every small
// filter and topic.
#include "mqtt/topic.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace bvm {
namespace {

struct match_case {
  const char* filter;
  const char* topic;
  int expected;
};

TEST(TopicMatch, DocumentedCases) {
  const match_case cases[] = {
      {"a/b", "a/b", 1}, {"a/+", "a/b", 1},   {"a/+", "a/b/c", 0},
      {"a/+", "a/", 1},                    // empty last level
      {"+/+", "/", 1},   {"a/#", "a", 1},  // parent level
      {"a/#", "a/", 1},  {"a/#", "a/b/c", 1}, {"a/+/#", "a/b", 1},
      {"+/#", "a", 1},   {"#", "$SYS/x", 0},  {"$SYS/#", "$SYS/x", 1},
      {"+", "", 1},      {"A", "a", 0},  // case-sensitive
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mqtt_topic_matches(c.filter, c.topic), c.expected) << c.filter << " vs " << c.topic;
  }
}

TEST(TopicMatch, MoreLevelCases) {
  const match_case cases[] = {
      {"a", "ab", 0},      {"ab", "a", 0},       {"a", "a/", 0},        {"a/", "a", 0},
      {"a/b", "a/c", 0},   {"+", "a/b", 0},      {"+", "/", 0},         {"a/+", "a//", 0},
      {"+/b", "/b", 1},    {"a/+/c", "a//c", 1}, {"a/+/c", "a/b/d", 0}, {"/", "", 0},
      {"/#", "", 1},       {"#", "", 1},         {"#", "/", 1},         {"+/+", "a", 0},
      {"a/+/+", "a/b", 0}, {"+/#", "/", 1},      {"a//#", "a", 0},      {"a//#", "a/", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mqtt_topic_matches(c.filter, c.topic), c.expected) << c.filter << " vs " << c.topic;
  }
}

// "+" may take an empty last level, and "#" after it still matches the parent
// level, whether the level "+" took was empty or not.
TEST(TopicMatch, PlusOnEmptyLastLevelThenHashMatchesParent) {
  const match_case cases[] = {
      {"a/+/#", "a/", 1}, {"a/+/#", "a/b", 1}, {"a/+/#", "a//c", 1}, {"+/#", "", 1},
      {"+/+/#", "/", 1},  {"+/+/#", "a/", 1},  {"a/+/+", "a/", 0},   {"a/+/b", "a/", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mqtt_topic_matches(c.filter, c.topic), c.expected) << c.filter << " vs " << c.topic;
  }
}

// "$" topics are reached only by filters that name the "$" level themselves;
// the rule concerns the first level only.
TEST(TopicMatch, DollarTopicsNeedALiteralFirstLevel) {
  const match_case cases[] = {
      {"$SYS/#", "$SYS/load", 1}, {"#", "$SYS/load", 0}, {"+/load", "$SYS/load", 0},
      {"+/#", "$SYS", 0},         {"+", "$", 0},         {"$SYS/+", "$SYS/load", 1},
      {"a/+", "a/$x", 1},         {"a/#", "a/$x/b", 1},  {"#", "x$", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mqtt_topic_matches(c.filter, c.topic), c.expected) << c.filter << " vs " << c.topic;
  }
}

TEST(TopicMatch, NullNeverMatches) {
  EXPECT_EQ(mqtt_topic_matches(nullptr, "a"), 0);
  EXPECT_EQ(mqtt_topic_matches("#", nullptr), 0);
  EXPECT_EQ(mqtt_topic_matches(nullptr, nullptr), 0);
}

TEST(TopicFilter, Validation) {
  struct valid_case {
    const char* filter;
    bool valid;
  };
  const valid_case cases[] = {
      {"a/+/c", true},  {"#", true},     {"+", true},   {"sport/#", true}, {"a/b", true},
      {"/", true},      {"+/+", true},   {"+/#", true}, {"/#", true},      {"a//b", true},
      {"$SYS/#", true}, {"a b/c", true}, {"", false},   {"a#", false},     {"a/#/b", false},
      {"a+/b", false},  {"+a", false},   {"##", false}, {"#/", false},     {"#/a", false},
      {"a/b#", false},  {"a/+b", false}, {"+#", false}, {"a/#/", false},   {"a/++", false},
      {"a/+#", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(topic_filter_valid(c.filter), c.valid) << "\"" << c.filter << "\"";
  EXPECT_FALSE(topic_filter_valid(nullptr));
}

// ---------------------------------------------------------------------------
// Differential check against a matcher that splits both texts into levels.

std::vector<std::string> split_levels(std::string_view text) {
  std::vector<std::string> levels(1);
  for (char ch : text) {
    if (ch == '/') {
      levels.emplace_back();
    } else {
      levels.back() += ch;
    }
  }
  return levels;
}

// "+" takes exactly one level (empty ones too), "#" the rest including none
// (so "a/#" matches "a"); a topic starting with "$" needs a literal first
// filter level.
bool reference_match(const std::vector<std::string>& filter, const std::string& topic,
                     const std::vector<std::string>& topic_levels) {
  if (!topic.empty() && topic[0] == '$' && (filter[0] == "+" || filter[0] == "#")) return false;
  for (size_t i = 0; i < filter.size(); ++i) {
    if (filter[i] == "#") return true;
    if (i >= topic_levels.size()) return false;
    if (filter[i] != "+" && filter[i] != topic_levels[i]) return false;
  }
  return filter.size() == topic_levels.size();
}

// Every text of 1 to max_levels levels, each level taken from parts.
std::vector<std::string> all_texts(const std::vector<std::string>& parts, size_t max_levels) {
  std::vector<std::string> out;
  std::vector<std::string> frontier{""};
  for (size_t depth = 1; depth <= max_levels; ++depth) {
    std::vector<std::string> next;
    for (const auto& prefix : frontier) {
      for (const auto& part : parts) next.push_back(depth == 1 ? part : prefix + "/" + part);
    }
    out.insert(out.end(), next.begin(), next.end());
    frontier = std::move(next);
  }
  return out;
}

TEST(TopicMatch, AgreesWithLevelMatcherOnAllSmallCases) {
  // "ab" next to "a" catches prefix confusion in a character-wise walk.
  const auto filter_texts = all_texts({"a", "b", "ab", "", "+", "#", "$x"}, 4);
  const auto topic_texts = all_texts({"a", "b", "ab", "", "$x"}, 4);

  std::vector<std::string> filters;
  for (const auto& f : filter_texts) {
    if (topic_filter_valid(f.c_str())) filters.push_back(f);
  }
  ASSERT_GT(filters.size(), 1000u);

  std::vector<std::vector<std::string>> topic_levels;
  for (const auto& t : topic_texts) topic_levels.push_back(split_levels(t));

  size_t matches = 0;
  size_t disagreements = 0;
  for (const auto& f : filters) {
    const auto filter_levels = split_levels(f);
    for (size_t i = 0; i < topic_texts.size(); ++i) {
      const int expected = reference_match(filter_levels, topic_texts[i], topic_levels[i]) ? 1 : 0;
      const int got = mqtt_topic_matches(f.c_str(), topic_texts[i].c_str());
      matches += static_cast<size_t>(expected);
      if (got != expected && ++disagreements <= 20) {
        ADD_FAILURE() << "filter \"" << f << "\" topic \"" << topic_texts[i] << "\": got " << got
                      << ", level matcher says " << expected;
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
  EXPECT_GT(matches, 10000u);  // the generator reaches matches, not just misses
}

}  // namespace
}  // namespace bvm
