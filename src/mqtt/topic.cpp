// Topic matching walks filter and topic together, character by character,
// without splitting either into levels: it runs for every subscription on
// every message.
#include "mqtt/topic.h"

#include <cstddef>

namespace bvm {
namespace {

// The topic has ended at its position and the filter has not: what is left
// of the filter, from f, may still match nothing at all.
int match_at_topic_end(const char* filter, size_t f) noexcept {
  switch (filter[f]) {
    case '#':
      return f == 0 || filter[f - 1] == '/' ? 1 : 0;
    case '/':  // "/#" also matches the parent level
      return filter[f + 1] == '#' ? 1 : 0;
    case '+':
      // "+" takes one empty last level; "/#" may follow it and match the
      // parent level, just as after a "+" that took a non-empty level.
      if (filter[f + 1] == '\0') return 1;
      return filter[f + 1] == '/' && filter[f + 2] == '#' ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace

int mqtt_topic_matches(const char* filter, const char* topic) noexcept {
  if (filter == nullptr || topic == nullptr) return 0;
  // Wildcards at the start of a filter leave out the "$" topics.
  if (topic[0] == '$' && (filter[0] == '#' || filter[0] == '+')) return 0;

  size_t f = 0;
  size_t t = 0;
  for (;;) {
    char fc = filter[f];
    if (fc == '\0') return topic[t] == '\0' ? 1 : 0;
    if (topic[t] == '\0') return match_at_topic_end(filter, f);
    if (fc == '#') return 1;
    if (fc == '+') {
      char next = filter[f + 1];
      if (topic[t] == '/') {  // "+" meets an empty level inside the topic
        if (next != '/') return 0;
        f += 2;
        t += 1;
        continue;
      }
      while (topic[t] != '\0' && topic[t] != '/') ++t;
      if (next != '/') return next == '\0' && topic[t] == '\0' ? 1 : 0;
      if (topic[t] == '/') {
        f += 2;
        t += 1;
        continue;
      }
      // The topic ended with the level "+" took: only "/#" may follow,
      // matching the parent level.
      return filter[f + 2] == '#' ? 1 : 0;
    }
    if (fc != topic[t]) return 0;
    ++f;
    ++t;
  }
}

bool topic_filter_valid(const char* filter) noexcept {
  if (filter == nullptr || filter[0] == '\0') return false;
  if (filter[0] == '#') return filter[1] == '\0';
  for (size_t i = 0; filter[i] != '\0'; ++i) {
    char c = filter[i];
    bool after_separator = i == 0 || filter[i - 1] == '/';
    if (c == '#') {
      if (filter[i + 1] != '\0' || !after_separator) return false;
    } else if (c == '+') {
      if (!after_separator || (filter[i + 1] != '\0' && filter[i + 1] != '/')) return false;
    }
  }
  return true;
}

}  // namespace bvm
