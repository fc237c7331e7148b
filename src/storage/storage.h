// What the rest of the broker needs from storage: the dirty flags that tell
// the writer thread a snapshot is due, and the log queue's producer side.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace bvm {

// Set (under s_mutex) by every change of the retained store and of the
// persistent sessions; cleared by a snapshot pass. Read without a lock.
extern constinit std::atomic<int> s_fs_dirty_ret;
extern constinit std::atomic<int> s_fs_dirty_sess;

inline void mark_retained_dirty() noexcept { s_fs_dirty_ret.store(1, std::memory_order_relaxed); }
inline void mark_sessions_dirty() noexcept { s_fs_dirty_sess.store(1, std::memory_order_relaxed); }

// The storage half of log_message: queues a copy of the message for the
// daily log when storage is active and logging is on. Never blocks on the
// disk; a refused record is only counted. Called with s_mutex held.
void fs_log_enqueue(const char* topic, const uint8_t* payload, size_t payload_len, int qos,
                    int retain, const char* client_id) noexcept;

}  // namespace bvm

namespace bvm {

// The storage steps of the broker's start and stop.
// Start-up, with s_mutex held, after the user list and before the listeners:
// checks and creates the directory and loads the snapshot files. Never fails
// the start: problems become a storage warning.
void storage_startup() noexcept;
// After the network thread runs: starts the writer when storage is usable.
void storage_start_writer() noexcept;
// After the clients are freed, without s_mutex: stops the writer, writes the
// last log records and a final snapshot, closes the log file.
void storage_shutdown() noexcept;

}  // namespace bvm
