// Latency histogram and process figures (/proc) for the load generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvm::bench {

// Log-linear histogram of nanosecond values: exact below 256, then 128
// buckets per power of two (under 0.8 % relative error), fixed memory
// whatever the number of samples.
class latency_histogram {
 public:
  latency_histogram() : counts_(BUCKETS, 0) {}
  void record(uint64_t ns) {
    ++counts_[index(ns)];
    ++total_;
    if (ns > max_) max_ = ns;
  }
  uint64_t count() const { return total_; }
  uint64_t max() const { return max_; }
  // The value at quantile q (0..1), the middle of its bucket; 0 when empty.
  uint64_t quantile(double q) const;

 private:
  static constexpr size_t BUCKETS = 256 + 56 * 128;
  static size_t index(uint64_t v);
  static uint64_t middle(size_t i);
  std::vector<uint64_t> counts_;
  uint64_t total_ = 0;
  uint64_t max_ = 0;
};

// Monotonic nanoseconds.
uint64_t now_ns();

// Resident set of a process in KiB from /proc/<pid>/status (VmRSS); -1 when
// unreadable.
long long process_rss_kib(int pid);
// User plus system CPU time of a process in nanoseconds from
// /proc/<pid>/stat; -1 when unreadable.
long long process_cpu_ns(int pid);
// CPU time of this process in nanoseconds.
long long self_cpu_ns();

// Text as a JSON string literal.
std::string json_quote(const std::string& s);

}  // namespace bvm::bench
