#include "os/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "os/socket.h"

namespace bvm::os {

std::FILE* open_file(const char* path, const char* mode) noexcept {
  char m[16];
  size_t n = strnlen(mode, 13);
  std::memcpy(m, mode, n);
  m[n] = 'e';  // O_CLOEXEC
  m[n + 1] = '\0';
  return std::fopen(path, m);
}

bool sync_file(std::FILE* f) noexcept {
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
  DIR* d = ::opendir(dir);
  if (d == nullptr) return false;
  size_t suffix_len = std::strlen(suffix);
  std::string path;
  while (dirent* e = ::readdir(d)) {
    if (out->size() >= max) break;
    size_t len = std::strlen(e->d_name);
    if (len < suffix_len || std::memcmp(e->d_name + len - suffix_len, suffix, suffix_len) != 0) {
      continue;
    }
    path.assign(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path += e->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out->push_back(dir_entry{e->d_name, static_cast<uint64_t>(st.st_size)});
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
