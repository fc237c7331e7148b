// Topic filters: matching a topic name against a subscription filter, and
// the check a filter passes before it is subscribed. Pure functions.
#pragma once

namespace bvm {

// 1 when filter matches topic, else 0; both NUL-terminated, and a null
// argument never matches. Topics beginning with "$" are not matched by a
// filter that begins with "#" or "+". Expects a filter that
// topic_filter_valid accepts.
[[nodiscard]] int mqtt_topic_matches(const char* filter, const char* topic) noexcept;

// True when filter may be subscribed: not empty, "#" only as the whole last
// level, "+" only as a whole level. The caller has already cut the text at
// 255 bytes.
[[nodiscard]] bool topic_filter_valid(const char* filter) noexcept;

}  // namespace bvm
