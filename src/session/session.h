// Persistent sessions and their offline queues.
//
// A level 4 client that connects with clean session 0 gets a session that
// outlives its connection. While bound, the session's subscription list is
// on loan to the client (`subs` of the client); while detached, the session
// keeps its subscriptions and queues matching QoS 1 messages. The queue also
// records every QoS 1 message sent to the bound client until its PUBACK.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buf.h"
#include "broker/state.h"

namespace bvm {

struct mqtt_client;
struct subscription;

inline constexpr int32_t MAX_SESSIONS = 10000;
inline constexpr uint64_t MAX_QUEUE_ITEMS = 1000;
inline constexpr uint64_t MAX_QUEUE_BYTES = 4194304;

struct queued_message {
  char topic[256] = {};
  byte_buf payload;
  uint8_t retain = 0;
  uint16_t pid = 0;                // identifier of the last transmission; 0 = never sent
  queued_message* next = nullptr;  // towards the tail (newer)
};

struct mqtt_session {
  char client_id[128] = {};
  subscription* subs = nullptr;          // owned while detached; empty while bound
  queued_message* queue_head = nullptr;  // oldest
  queued_message* queue_tail = nullptr;
  uint64_t queue_count = 0;
  uint64_t queue_bytes = 0;
  mqtt_client* owner = nullptr;
  int64_t last_seen = 0;  // wall-clock seconds of the last attach or detach
  mqtt_session* next = nullptr;
};

extern mqtt_session* s_sessions GUARDED_BY(s_mutex);  // newest first
extern int32_t s_session_count GUARDED_BY(s_mutex);
extern int64_t s_session_dropped GUARDED_BY(s_mutex);

// A new detached session at the head of s_sessions, after evicting the
// least recently seen detached session when the limit is reached; null when
// memory is short.
mqtt_session* session_create(const char* client_id) noexcept REQUIRES(s_mutex);
// Unlinks and frees a session with its subscriptions and queue.
void session_destroy(mqtt_session* s) noexcept REQUIRES(s_mutex);
// Unbinds a client from its session, giving the subscriptions back.
void session_detach(mqtt_client* c) noexcept REQUIRES(s_mutex);
// Appends a message (QoS 1 delivery); the oldest entries go when a limit is
// passed, never the one just appended.
void session_enqueue(mqtt_session* s, const char* topic, const uint8_t* payload, size_t payload_len,
                     int retain, uint16_t pid) noexcept REQUIRES(s_mutex);
// Removes the oldest entry with this identifier (a PUBACK).
void session_ack(mqtt_session* s, uint16_t pid) noexcept REQUIRES(s_mutex);
// Sends the whole queue to the session's client after a resume.
void session_redeliver(mqtt_session* s, mqtt_client* c) noexcept REQUIRES(s_mutex);

mqtt_session* session_find(const char* client_id) noexcept REQUIRES(s_mutex);
// Binds a session to a client for a resume or a new persistent connection.
void session_attach(mqtt_session* s, mqtt_client* c) noexcept REQUIRES(s_mutex);
// Destroys every session.
void session_clear_all() noexcept REQUIRES(s_mutex);
// Sum of all queue_count values as the stats report adds them (32-bit).
int32_t session_queued_total() noexcept REQUIRES(s_mutex);

}  // namespace bvm
