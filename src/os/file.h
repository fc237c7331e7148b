// Files and directories: the only code that makes file-system calls.
// Paths are UTF-8 byte strings used as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bvm::os {

// True for a character that separates path components here ("/").
inline bool is_path_separator(char c) noexcept { return c == '/'; }

// fopen with close-on-exec; null on failure (errno kept).
std::FILE* open_file(const char* path, const char* mode) noexcept;
// Writes all n bytes to the stream's buffer; false on failure.
bool write_all(std::FILE* f, const void* bytes, size_t n) noexcept;
// Hands the stream's buffered bytes to the system; false on failure.
bool flush_file(std::FILE* f) noexcept;
// Flushes the stream and commits the file to disk; false on failure.
bool sync_file(std::FILE* f) noexcept;
// Closes the stream (always); false when its last bytes could not be written.
bool close_file(std::FILE* f) noexcept;
// Moves to the end and returns that position (the file's size), or -1.
int64_t seek_end(std::FILE* f) noexcept;
// The last byte of a regular file: 1 with *byte set, 0 when the file is
// missing or empty, -1 when it exists but cannot be read.
int read_last_byte(const char* path, uint8_t* byte) noexcept;
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
// The same, collecting only names that accept() takes; the limit counts
// accepted names, so foreign files never crowd out the wanted ones.
bool list_files(const char* dir, const char* suffix, size_t max, bool (*accept)(const char* name),
                std::vector<dir_entry>* out);

// Local calendar day and UTC time of a Unix time in seconds.
struct calendar {
  int year, month, day, hour, minute, second;
};
bool local_calendar(int64_t unix_seconds, calendar* out) noexcept;
bool utc_calendar(int64_t unix_seconds, calendar* out) noexcept;

// Text of the last errno, thread-safe.
std::string last_error_text();

// Test seam: the nth following write, flush or commit (1 = the next one) and
// the count - 1 after it fail with ENOSPC, as on a full disk; n = 0 ends it.
void test_fail_file_writes(int n, int count = 1) noexcept;

}  // namespace bvm::os

// --- whole-file reading (snapshot loading) ----------------------------------
namespace bvm::os {

enum class read_status { ok, absent, unreadable };

// Reads the whole regular file at path into *out. `absent`: there is no such
// file. `unreadable`: something is there but cannot be opened, is not a
// regular file (a directory, a FIFO: never waited on), is larger than
// max_size, or cannot be read completely (also when memory is short).
read_status read_whole_file(const char* path, size_t max_size, std::string* out) noexcept;

}  // namespace bvm::os
