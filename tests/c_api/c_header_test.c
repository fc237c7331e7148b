/*
 * The public header as a C11 program sees it: it must compile on its own
 * with -std=c11 -pedantic -Werror, and every call must link against the
 * shared library with the signature declared here. Each call is stored in a
 * pointer of its exact type, so a changed signature fails the build, and the
 * table has external linkage, so every call stays referenced at link time.
 */
#include "brelvane_mqtt.h" /* first, so it is seen to compile on its own */
/* what the test itself uses */
#include <stdio.h>
#include <string.h>

struct bv_c_api {
  int (*broker_start)(int, int, const char*);
  int (*broker_stop)(void);
  int (*broker_status)(void);
  const char* (*version)(void);
  const char* (*last_error)(void);
  int (*publish)(const char*, const char*, int, int);
  const char* (*poll_messages_json)(int);
  const char* (*get_topics_json)(void);
  const char* (*get_stats_json)(void);
  int (*set_storage_dir)(const char*);
  int (*set_persistence_enabled)(int);
  int (*set_log_enabled)(int);
  int (*set_log_limits)(int, int, int);
  void (*debug_set_clock_offset)(int64_t);
  int (*storage_flush)(void);
  int (*reset_state)(void);
  const char* (*get_storage_status_json)(void);
};

const struct bv_c_api bv_c_api_table = {
    mqtt_broker_start,
    mqtt_broker_stop,
    mqtt_broker_status,
    mqtt_version,
    mqtt_last_error,
    mqtt_publish,
    mqtt_poll_messages_json,
    mqtt_get_topics_json,
    mqtt_get_stats_json,
    mqtt_set_storage_dir,
    mqtt_set_persistence_enabled,
    mqtt_set_log_enabled,
    mqtt_set_log_limits,
    mqtt_debug_set_clock_offset,
    mqtt_storage_flush,
    mqtt_reset_state,
    mqtt_get_storage_status_json,
};

int main(void) {
  const char* version = bv_c_api_table.version();
  if (version == NULL || strcmp(version, "1.4.2") != 0) {
    fprintf(stderr, "mqtt_version() returned \"%s\", expected \"1.4.2\"\n",
            version == NULL ? "(null)" : version);
    return 1;
  }
  if (bv_c_api_table.broker_status() != 0) {
    fprintf(stderr, "mqtt_broker_status() is not 0 before any start\n");
    return 1;
  }
  return 0;
}
