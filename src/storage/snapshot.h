// State snapshots: the file helpers shared by the snapshot writer and the
// loaders of retained.json and sessions.json. The pass and the two loaders
// themselves are declared in storage/fs_state.h.
#pragma once

#include <cstddef>
#include <string>

namespace bvm {

inline constexpr const char RETAINED_FILE[] = "retained.json";
inline constexpr const char SESSIONS_FILE[] = "sessions.json";

// The largest snapshot file the loaders read (512 MiB).
inline constexpr size_t SNAPSHOT_MAX_BYTES = 536870912;

// Replaces the file `name` of the storage directory with the bytes: writes
// "<name>.tmp", commits it to disk, closes it and renames it over the target
// (committing the directory too). 0 on success; -1 on any failure, after
// which the temporary file is gone and the previous target is untouched.
int fs_write_atomic(const char* name, const char* bytes, size_t length) noexcept;

enum class fs_read_result { ok, absent, unreadable };

// Reads the whole file `name` of the storage directory into *out.
fs_read_result fs_read_whole(const char* name, std::string* out) noexcept;

// Moves the file `name` aside as "<name>.corrupt", replacing an older one;
// deletes it when it cannot be moved. Either way the name is free afterwards
// (unless it is a directory that can be neither moved nor deleted).
void fs_quarantine(const char* name) noexcept;

}  // namespace bvm
