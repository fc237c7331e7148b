// Files and directories: the only code that makes file-system calls.
// Paths are UTF-8 byte strings used as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bvm::os {

// fopen with close-on-exec; null on failure (errno kept).
std::FILE* open_file(const char* path, const char* mode) noexcept;
// Flushes the stream and commits the file to disk; false on failure.
bool sync_file(std::FILE* f) noexcept;
// Commits a directory's entries (after a rename or create inside it).
bool sync_directory(const char* dir) noexcept;
// Atomically replaces `to` with `from`, then commits the directory.
bool rename_over(const char* from, const char* to) noexcept;
bool is_directory(const char* path) noexcept;
bool make_directory(const char* path) noexcept;
// Deletes a file; the result is not reported.
void remove_file(const char* path) noexcept;
// Size of a regular file, or -1.
int64_t file_size(const char* path) noexcept;

struct dir_entry {
  std::string name;
  uint64_t size = 0;
};
// Regular files of dir whose names end in suffix; false when the directory
// cannot be read. At most max entries are collected.
bool list_files(const char* dir, const char* suffix, size_t max, std::vector<dir_entry>* out);

// Local calendar day and UTC time of a Unix time in seconds.
struct calendar {
  int year, month, day, hour, minute, second;
};
bool local_calendar(int64_t unix_seconds, calendar* out) noexcept;
bool utc_calendar(int64_t unix_seconds, calendar* out) noexcept;

// Text of the last errno, thread-safe.
std::string last_error_text();

}  // namespace bvm::os
