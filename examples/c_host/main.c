/*
 * c_host: the smallest program that embeds brelvane-mqtt.
 *
 * It starts the broker, publishes two messages as the host, reads them back
 * from the message history and stops the broker. While it runs, any MQTT
 * client can connect to the port (give a port of your own as the first
 * argument, default 1883) and would receive what the host publishes.
 *
 * Build against an installed package, with CMake:
 *   cmake -S . -B build -DCMAKE_PREFIX_PATH=/usr/local && cmake --build build
 * or with pkg-config:
 *   make            (or: cc -std=c11 main.c $(pkg-config --cflags --libs brelvane-mqtt))
 *
 * Exit status: 0 on success, 1 when a call failed (the reason is printed).
 */
#include <brelvane_mqtt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char* what) {
  /* The reason of the last failed call, valid until this thread asks again. */
  fprintf(stderr, "c_host: %s failed: %s\n", what, mqtt_last_error());
  mqtt_broker_stop();
  return 1;
}

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 1883;

  printf("brelvane-mqtt %s\n", mqtt_version());
  /* No user list: every client may connect. No WebSocket listener. */
  if (mqtt_broker_start(port, 0, NULL) != 0) {
    return fail("mqtt_broker_start");
  }
  printf("broker running on port %d\n", port);

  /* A retained reading (new subscribers get it at once) and an event. */
  if (mqtt_publish("home/kitchen/temperature", "21.5", 1, 1) != 0) {
    return fail("mqtt_publish");
  }
  if (mqtt_publish("home/door/events", "opened", 0, 0) != 0) {
    return fail("mqtt_publish");
  }

  /* The text belongs to the library and is replaced by the next poll: print
   * it (or copy it) before polling again. */
  const char* history = mqtt_poll_messages_json(10);
  printf("history: %s\n", history);
  int seen = strstr(history, "\"topic\":\"home/kitchen/temperature\"") != NULL &&
             strstr(history, "\"topic\":\"home/door/events\"") != NULL;

  printf("stats: %s\n", mqtt_get_stats_json());

  mqtt_broker_stop();
  printf("broker stopped (status %d)\n", mqtt_broker_status());
  if (!seen) {
    fprintf(stderr, "c_host: the history lacks the published messages\n");
    return 1;
  }
  return 0;
}
