// Histogram arithmetic and the /proc readers.
#include "stats.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>

namespace bvm::bench {

size_t latency_histogram::index(uint64_t v) {
  if (v < 256) return static_cast<size_t>(v);
  int e = 63 - std::countl_zero(v);  // 8..63
  uint64_t m = (v >> (e - 7)) & 127;
  return 256 + static_cast<size_t>(e - 8) * 128 + static_cast<size_t>(m);
}

uint64_t latency_histogram::middle(size_t i) {
  if (i < 256) return i;
  size_t e = 8 + (i - 256) / 128;
  uint64_t m = (i - 256) % 128;
  uint64_t low = (128 + m) << (e - 7);
  uint64_t width = uint64_t{1} << (e - 7);
  return low + width / 2;
}

uint64_t latency_histogram::quantile(double q) const {
  if (total_ == 0) return 0;
  auto rank = static_cast<uint64_t>(q * static_cast<double>(total_));
  if (rank >= total_) rank = total_ - 1;
  uint64_t seen = 0;
  for (size_t i = 0; i < counts_.size(); ++i) {
    seen += counts_[i];
    if (seen > rank) {
      uint64_t v = middle(i);
      return v > max_ ? max_ : v;
    }
  }
  return max_;
}

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

long long process_rss_kib(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return -1;
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::atoll(line + 6);
      break;
    }
  }
  std::fclose(f);
  return kib;
}

long long process_cpu_ns(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return -1;
  char buf[1024];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // The command name may hold spaces; the fields after it start past ')'.
  const char* p = std::strrchr(buf, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  // Fields 3..13 are skipped; 14 and 15 are utime and stime in clock ticks.
  if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                  &stime) != 2) {
    return -1;
  }
  long tick = sysconf(_SC_CLK_TCK);
  if (tick <= 0) tick = 100;
  return static_cast<long long>((utime + stime) *
                                (1000000000ull / static_cast<unsigned long long>(tick)));
}

long long self_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000ll + ts.tv_nsec;
}

std::string json_quote(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

}  // namespace bvm::bench
