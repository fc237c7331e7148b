#!/usr/bin/env python3
"""python_host: brelvane-mqtt embedded in a Python program through the binding.

Starts the broker, publishes a few readings as the host, prints the message
history, the topics and a few counters, and stops the broker when the
`with` block ends.

Run it with the binding importable and the library findable, for example
from an installed package under PREFIX:

    PYTHONPATH=bindings/python LD_LIBRARY_PATH=PREFIX/lib python3 host.py [port]

(or set BRELVANE_MQTT_LIBRARY=/path/to/libbrelvane-mqtt.so instead of
LD_LIBRARY_PATH; with the Debian package installed neither is needed).
Exits 1 when a call fails or the reports do not show the published messages.
"""
import sys

from brelvane_mqtt import Broker, BrokerError


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 1883
    try:
        with Broker(tcp_port=port) as broker:
            print("brelvane-mqtt %s on port %d" % (broker.library.version(), port))
            for room, value in [("kitchen", "21.5"), ("hall", "19.0")]:
                broker.publish("home/%s/temperature" % room, value, qos=1, retain=True)
            broker.publish("home/door/events", "opened")

            for m in broker.poll_messages():
                print("#%d %s = %r (qos %d%s)" % (m.id, m.topic, m.payload, m.qos,
                                                 ", retained" if m.retain else ""))
            retained = [t.topic for t in broker.topics() if t.retained]
            stats = broker.stats()
            print("retained topics: %s" % ", ".join(retained))
            print("published %d, clients %d" % (stats.total_published, stats.active_clients))
    except BrokerError as e:
        print("python_host: %s" % e, file=sys.stderr)
        return 1
    if stats.total_published != 3 or len(retained) != 2:
        print("python_host: the reports do not show what was published", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
