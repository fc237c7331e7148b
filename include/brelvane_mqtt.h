/*
 * brelvane-mqtt: an MQTT broker that runs inside the host's process.
 *
 * One loaded copy of the library is one broker. The host starts it with
 * mqtt_broker_start(), publishes into it with mqtt_publish(), watches it
 * through the JSON reports and stops it with mqtt_broker_stop(). The broker
 * serves MQTT 3.1.1 and 5.0 over TCP and, optionally, over WebSocket.
 *
 * Conventions
 *  1. Calls that can fail return 0 on success and -1 on failure. The reason
 *     is then readable through mqtt_last_error(). Only mqtt_broker_start()
 *     clears that text; storage warnings and a few protocol events also
 *     overwrite it.
 *  2. Every text returned by the library is owned by the library. It stays
 *     valid until the next call of the same function (the version text for
 *     the life of the library). Copy it if you need it longer; never free it.
 *  3. All calls may come from any host thread. A host that calls one report
 *     function from several threads at once must serialise those calls,
 *     since each call replaces the text the previous one returned.
 *  4. State that lives as long as the library is loaded: retained messages,
 *     persistent sessions, the message history, the traffic counters and the
 *     storage settings. Connected clients end with a stop.
 *  5. JSON reports are compact (no white space) with keys in a fixed order.
 *     An array report that cannot be built is returned as "[]".
 */
#ifndef BRELVANE_MQTT_H
#define BRELVANE_MQTT_H

#include <stdint.h>

#if defined(BV_BUILDING_LIBRARY) && defined(__GNUC__)
#define BV_EXPORT __attribute__((visibility("default")))
#else
#define BV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lifecycle --------------------------------------------------------- */

/* Starts the broker: MQTT over TCP on tcp_port (1883 when tcp_port < 1) and,
 * when ws_port > 0, MQTT over WebSocket on ws_port; both on all IPv4
 * addresses. auth_json is NULL, "" or a user list, either
 *   [{"username":"u","password":"p"}, ...]   or   {"users":[...]};
 * an empty list lets every client in. Returns 0 when running, -1 on failure
 * (the broker then stays stopped). Starting a running broker returns 0, sets
 * the last error to "Broker is already running" and changes nothing else.
 * A WebSocket port that cannot be opened does not fail the start. */
BV_EXPORT int mqtt_broker_start(int tcp_port, int ws_port, const char* auth_json);

/* Stops the broker: closes the listeners and every connection (no will is
 * published), waits for the network thread, then runs the storage shut-down.
 * Always returns 0; stopping a stopped broker does nothing. */
BV_EXPORT int mqtt_broker_stop(void);

/* 1 while the broker runs, else 0. Takes no lock. */
BV_EXPORT int mqtt_broker_status(void);

/* The library version, "1.4.2". Valid for the life of the library. */
BV_EXPORT const char* mqtt_version(void);

/* The last error or warning text (empty when there is none), as it stands at
 * the call. The text is a copy owned by the library for the calling thread:
 * it stays valid until the same thread calls mqtt_last_error() again. */
BV_EXPORT const char* mqtt_last_error(void);

/* ---- Publishing -------------------------------------------------------- */

/* Publishes payload (a NUL-terminated text, NULL for an empty payload) on
 * topic as the publisher "broker", with QoS qos (0, 1 or 2 offered) and the
 * RETAIN flag when retain is non-zero. Works whether or not the broker runs:
 * the message always reaches the history, the retained store and the queues
 * of persistent sessions. Returns 0, or -1 with "Invalid topic name" for a
 * NULL or empty topic and "Invalid QoS" for a qos outside 0..2. Never blocks
 * on a slow subscriber. */
BV_EXPORT int mqtt_publish(const char* topic, const char* payload, int qos, int retain);

/* ---- Inspection -------------------------------------------------------- */

/* The newest routed messages (at most 500), oldest first, as a JSON array of
 * {"id","topic","payload","qos","retain","client_id","timestamp"}. With
 * 0 < limit < count only the newest `limit` entries are returned. Ids only
 * grow, so a host tells new entries by id. Valid until the next call. */
BV_EXPORT const char* mqtt_poll_messages_json(int limit);

/* Topics that carry data: every retained message, then the messages of the
 * history whose topic has no retained message, as a JSON array of
 * {"topic","retained","payload","qos","last_updated"}. Valid until the next
 * call. */
BV_EXPORT const char* mqtt_get_topics_json(void);

/* Counters and settings as one JSON object (status, ports, clients, message
 * and byte counters, uptime, retained and session figures). Valid until the
 * next call. */
BV_EXPORT const char* mqtt_get_stats_json(void);

/* ---- Storage ----------------------------------------------------------- */

/* Sets the storage directory (UTF-8; NULL or "" turns storage off). Only
 * while the broker is stopped; at most 959 bytes. Returns 0 or -1. */
BV_EXPORT int mqtt_set_storage_dir(const char* dir);

/* Turns snapshots of retained messages and sessions on (non-zero) or off.
 * Only while the broker is stopped. Returns 0 or -1. */
BV_EXPORT int mqtt_set_persistence_enabled(int enabled);

/* Turns the daily message log on (non-zero) or off; takes effect at once
 * while storage is active. Always returns 0. */
BV_EXPORT int mqtt_set_log_enabled(int enabled);

/* Log retention in days, total log size in MiB and part size in MiB; a
 * negative argument keeps the current value, 0 means no limit. Always 0. */
BV_EXPORT int mqtt_set_log_limits(int retention_days, int max_total_mb, int max_file_mb);

/* Shifts the storage clock (log file days, retention, snapshot timing) by
 * the given number of seconds. For tests. */
BV_EXPORT void mqtt_debug_set_clock_offset(int64_t seconds);

/* Writes queued log records, sweeps old logs and writes both snapshot
 * files now. Returns 0, or -1 when storage is not active. */
BV_EXPORT int mqtt_storage_flush(void);

/* Empties the retained store, the persistent sessions and the message
 * history (files are not touched). Only while the broker is stopped.
 * Returns 0 or -1. */
BV_EXPORT int mqtt_reset_state(void);

/* Storage settings, counters and the latest warning as one JSON object.
 * Valid until the next call. */
BV_EXPORT const char* mqtt_get_storage_status_json(void);

#ifdef __cplusplus
}
#endif

#endif /* BRELVANE_MQTT_H */
