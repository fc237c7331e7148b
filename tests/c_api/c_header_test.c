/* The public header is plain C11. */
#include <string.h>

#include "brelvane_mqtt.h"

int main(void) {
  if (strcmp(mqtt_version(), "1.4.2") != 0) return 1;
  if (mqtt_broker_status() != 0) return 1;
  return 0;
}
