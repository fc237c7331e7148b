#include "os/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "os/socket.h"

namespace bvm::os {
namespace {

// Failure injection for write-type operations: g_fail_skip operations pass,
// then g_fail_count fail.
constinit std::atomic<int> g_fail_skip{0};
constinit std::atomic<int> g_fail_count{0};
constinit std::mutex g_fail_mutex;

bool injected_write_failure() noexcept {
  if (g_fail_count.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard lock(g_fail_mutex);
  if (g_fail_count.load(std::memory_order_relaxed) == 0) return false;
  if (g_fail_skip.load(std::memory_order_relaxed) > 0) {
    g_fail_skip.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  g_fail_count.fetch_sub(1, std::memory_order_relaxed);
  errno = ENOSPC;
  return true;
}

}  // namespace

void test_fail_file_writes(int n, int count) noexcept {
  std::lock_guard lock(g_fail_mutex);
  g_fail_skip.store(n > 0 ? n - 1 : 0, std::memory_order_relaxed);
  g_fail_count.store(n > 0 && count > 0 ? count : 0, std::memory_order_relaxed);
}

std::FILE* open_file(const char* path, const char* mode) noexcept {
  char m[16];
  size_t n = strnlen(mode, 13);
  std::memcpy(m, mode, n);
  m[n] = 'e';  // O_CLOEXEC
  m[n + 1] = '\0';
  return std::fopen(path, m);
}

bool write_all(std::FILE* f, const void* bytes, size_t n) noexcept {
  if (injected_write_failure()) return false;
  return std::fwrite(bytes, 1, n, f) == n;
}

bool flush_file(std::FILE* f) noexcept {
  if (injected_write_failure()) {
    ::__fpurge(f);  // the buffered bytes are lost, as after a real failure
    return false;
  }
  return std::fflush(f) == 0;
}

bool close_file(std::FILE* f) noexcept {
  bool ok = true;
  if (injected_write_failure()) {
    ::__fpurge(f);
    ok = false;
  }
  return std::fclose(f) == 0 && ok;
}

int64_t seek_end(std::FILE* f) noexcept {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  long pos = std::ftell(f);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int read_last_byte(const char* path, uint8_t* byte) noexcept {
  int fd;
  do {
    // O_NONBLOCK: a FIFO under the name must not hang the caller.
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  struct stat st {};
  int result = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (st.st_size == 0) {
      result = 0;
    } else {
      for (;;) {
        ssize_t n = ::pread(fd, byte, 1, st.st_size - 1);
        if (n < 0 && errno == EINTR) continue;
        result = n == 1 ? 1 : -1;
        break;
      }
    }
  }
  ::close(fd);
  return result;
}

bool sync_file(std::FILE* f) noexcept {
  if (injected_write_failure()) {
    ::__fpurge(f);
    return false;
  }
  if (std::fflush(f) != 0) return false;
  for (;;) {
    if (::fsync(::fileno(f)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool sync_directory(const char* dir) noexcept {
  int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool rename_over(const char* from, const char* to) noexcept {
  if (::rename(from, to) != 0) return false;
  std::string dir(to);
  size_t slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  sync_directory(dir.c_str());
  return true;
}

bool is_directory(const char* path) noexcept {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_directory(const char* path) noexcept { return ::mkdir(path, 0777) == 0; }

void remove_file(const char* path) noexcept { ::unlink(path); }

int64_t file_size(const char* path) noexcept {
  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool list_files(const char* dir, const char* suffix, size_t max, std::vector<dir_entry>* out) {
  return list_files(dir, suffix, max, nullptr, out);
}

bool list_files(const char* dir, const char* suffix, size_t max, bool (*accept)(const char* name),
                std::vector<dir_entry>* out) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return false;
  size_t suffix_len = std::strlen(suffix);
  std::string path;
  try {
    // readdir is safe on a stream of our own; readdir_r is deprecated.
    while (dirent* e = ::readdir(d)) {  // NOLINT(concurrency-mt-unsafe)
      if (out->size() >= max) break;
      size_t len = std::strlen(e->d_name);
      if (len < suffix_len || std::memcmp(e->d_name + len - suffix_len, suffix, suffix_len) != 0) {
        continue;
      }
      if (accept != nullptr && !accept(e->d_name)) continue;
      path.assign(dir);
      if (!path.empty() && path.back() != '/') path += '/';
      path += e->d_name;
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      out->push_back(dir_entry{e->d_name, static_cast<uint64_t>(st.st_size)});
    }
  } catch (...) {
    ::closedir(d);  // the caller sees the exception; the directory is not leaked
    throw;
  }
  ::closedir(d);
  return true;
}

namespace {
bool fill(const struct tm& t, calendar* out) {
  *out = calendar{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
  return true;
}
}  // namespace

bool local_calendar(int64_t unix_seconds, calendar* out) noexcept {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm {};
  if (::localtime_r(&t, &tm) == nullptr) return false;
  return fill(tm, out);
}

bool utc_calendar(int64_t unix_seconds, calendar* out) noexcept {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm {};
  if (::gmtime_r(&t, &tm) == nullptr) return false;
  return fill(tm, out);
}

std::string last_error_text() { return error_text(errno); }

}  // namespace bvm::os

// --- whole-file reading (snapshot loading) ----------------------------------
namespace bvm::os {

read_status read_whole_file(const char* path, size_t max_size, std::string* out) noexcept {
  int fd = -1;
  do {
    // O_NONBLOCK so that a FIFO planted under the name cannot hang the open;
    // it has no effect on reading a regular file.
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? read_status::absent : read_status::unreadable;

  read_status result = read_status::unreadable;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
      static_cast<uint64_t>(st.st_size) <= max_size) {
    const auto size = static_cast<size_t>(st.st_size);
    std::string bytes;
    bool allocated = true;
    try {
      bytes.resize(size);
    } catch (...) {
      allocated = false;
    }
    size_t got = 0;
    while (allocated && got < size) {
      ssize_t r = ::read(fd, bytes.data() + got, size - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;  // an error, or the file shrank under us
      got += static_cast<size_t>(r);
    }
    if (allocated && got == size) {
      *out = std::move(bytes);
      result = read_status::ok;
    }
  }
  ::close(fd);
  return result;
}

}  // namespace bvm::os
