// cpp_host: brelvane-mqtt from C++, with the broker's lifetime tied to a scope.
//
// `embedded_broker` starts the broker in its constructor (throwing with the
// library's reason on failure) and stops it in its destructor, so an early
// return or an exception cannot leave the network thread running. The
// program publishes a few messages as the host, then reads the topics and
// stats reports back.
//
// Build against an installed package:
//   cmake -S . -B build -DCMAKE_PREFIX_PATH=<prefix> && cmake --build build
//   ./build/cpp_host [port]          (default port 1883)
#include <brelvane_mqtt.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

class embedded_broker {
 public:
  explicit embedded_broker(int tcp_port, int ws_port = 0, const char* users_json = nullptr) {
    if (mqtt_broker_status() != 0) {
      // The broker belongs to the whole process; a second owner would stop
      // it under the first one.
      throw std::runtime_error("the broker is already running");
    }
    if (mqtt_broker_start(tcp_port, ws_port, users_json) != 0) {
      throw std::runtime_error(std::string("mqtt_broker_start: ") + mqtt_last_error());
    }
  }
  ~embedded_broker() { mqtt_broker_stop(); }
  embedded_broker(const embedded_broker&) = delete;
  embedded_broker& operator=(const embedded_broker&) = delete;

  void publish(const std::string& topic, const std::string& payload, int qos = 0,
               bool retain = false) {
    if (mqtt_publish(topic.c_str(), payload.c_str(), qos, retain ? 1 : 0) != 0) {
      throw std::runtime_error("mqtt_publish(" + topic + "): " + mqtt_last_error());
    }
  }

  // The reports are copied at once: the library reuses their buffers on the
  // next call of the same function.
  std::string topics() const { return mqtt_get_topics_json(); }
  std::string stats() const { return mqtt_get_stats_json(); }
};

// One unsigned number field of a compact JSON object; enough for the flat
// stats report without a JSON library.
long long number_field(std::string_view json, std::string_view key) {
  std::string pattern = "\"" + std::string(key) + "\":";
  size_t at = json.find(pattern);
  if (at == std::string_view::npos) {
    throw std::runtime_error("no field " + std::string(key) + " in the stats report");
  }
  return std::strtoll(json.data() + at + pattern.size(), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 1883;
  try {
    std::printf("brelvane-mqtt %s\n", mqtt_version());
    embedded_broker broker(port);
    broker.publish("plant/line1/state", "running", 1, true);
    broker.publish("plant/line2/state", "idle", 1, true);
    broker.publish("plant/alarms", "none");

    std::string topics = broker.topics();
    std::string stats = broker.stats();
    std::printf("topics: %s\nstats: %s\n", topics.c_str(), stats.c_str());

    long long published = number_field(stats, "total_published");
    long long retained = number_field(stats, "retained_count");
    std::printf("published %lld, retained %lld\n", published, retained);
    if (published != 3 || retained != 2 ||
        topics.find("\"topic\":\"plant/line1/state\"") == std::string::npos) {
      std::fprintf(stderr, "cpp_host: the reports do not show what was published\n");
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cpp_host: %s\n", e.what());
    return 1;
  }
  std::printf("broker stopped (status %d)\n", mqtt_broker_status());
  return 0;
}
