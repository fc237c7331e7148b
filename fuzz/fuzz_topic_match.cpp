// The topic matcher (character by character, no splitting) against a
// reference that splits filter and topic into levels and compares them.
// Only filters that topic_filter_valid accepts are compared; other filters
// still run through the matcher, which must stay within the texts.
//
// Input: the filter, a zero byte, the topic (up to the next zero byte).
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "mqtt/topic.h"

namespace {

std::vector<std::string_view> levels(std::string_view s) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    size_t slash = s.find('/', start);
    if (slash == std::string_view::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, slash - start));
    start = slash + 1;
  }
}

// "+" matches exactly one level, an empty one included; "#" (always last)
// matches the parent level and any number of levels below it; filters
// starting with a wildcard leave out topics starting with "$".
bool reference_match(std::string_view filter, std::string_view topic) {
  if (!topic.empty() && topic[0] == '$' && (filter[0] == '#' || filter[0] == '+')) return false;
  std::vector<std::string_view> f = levels(filter);
  std::vector<std::string_view> t = levels(topic);
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == "#") return true;
    if (i >= t.size()) return false;
    if (f[i] != "+" && f[i] != t[i]) return false;
  }
  return f.size() == t.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  if (zero == nullptr) return 0;
  std::string filter(reinterpret_cast<const char*>(data), static_cast<size_t>(zero - data));
  std::string rest(reinterpret_cast<const char*>(zero + 1),
                   size - static_cast<size_t>(zero - data) - 1);
  std::string topic(rest.c_str());  // up to the next zero byte
  int got = bvm::mqtt_topic_matches(filter.c_str(), topic.c_str());
  FUZZ_CHECK(got == 0 || got == 1);
  if (!bvm::topic_filter_valid(filter.c_str())) return 0;
  bool want = reference_match(filter, topic);
  if ((got != 0) != want) {
    std::fprintf(stderr, "filter \"%s\" topic \"%s\": matcher %d, reference %d\n", filter.c_str(),
                 topic.c_str(), got, want ? 1 : 0);
    std::abort();
  }
  return 0;
}
