// The JSON reports, and a snapshot pass over 100,000 retained messages.
//
// The snapshot builder itself is internal to the storage writer, so the
// figure here is the whole pass the host can ask for (mqtt_storage_flush):
// serialising the retained store and the sessions under the broker lock,
// then writing both files. The directory is on tmpfs (/dev/shm) so that
// the disk's fsync does not drown the serialisation.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/alloc.h"
#include "base/text.h"
#include "brelvane_mqtt.h"
#include "broker/state.h"
#include "mqtt/retained.h"
#include "os/clock.h"

namespace bvm {
namespace {

constexpr char PAYLOAD[] = "{\"sensor\":\"bench\",\"value\":12.5}";

void BM_poll_messages_json_500(benchmark::State& state) {
  if (mqtt_reset_state() != 0) {
    state.SkipWithError("reset refused");
    return;
  }
  for (int i = 0; i < 500; ++i) {
    std::string topic = "bench/poll/" + std::to_string(i);
    mqtt_publish(topic.c_str(), PAYLOAD, 0, 0);
  }
  size_t len = 0;
  for (auto _ : state) {
    const char* text = mqtt_poll_messages_json(0);
    len = std::strlen(text);
    benchmark::DoNotOptimize(text);
  }
  state.counters["json_bytes"] = static_cast<double>(len);
  state.SetItemsProcessed(state.iterations() * 500);
  mqtt_reset_state();
}
BENCHMARK(BM_poll_messages_json_500);

// 1000 retained topics; the history then holds the last 500 of those
// publishes, which the report must look up among the retained ones.
void BM_get_topics_json_1000_retained(benchmark::State& state) {
  if (mqtt_reset_state() != 0) {
    state.SkipWithError("reset refused");
    return;
  }
  for (int i = 0; i < 1000; ++i) {
    std::string topic = "bench/topics/" + std::to_string(i);
    mqtt_publish(topic.c_str(), PAYLOAD, 0, 1);
  }
  size_t len = 0;
  for (auto _ : state) {
    const char* text = mqtt_get_topics_json();
    len = std::strlen(text);
    benchmark::DoNotOptimize(text);
  }
  state.counters["json_bytes"] = static_cast<double>(len);
  state.SetItemsProcessed(state.iterations() * 1000);
  mqtt_reset_state();
}
BENCHMARK(BM_get_topics_json_1000_retained);

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

// Fills the retained store directly: storing through the publish path
// looks each topic up in a list, which for 100,000 topics would take the
// set-up minutes.
bool fill_retained(int n) REQUIRES(s_mutex) {
  int64_t now = os::wall_seconds();
  for (int i = 0; i < n; ++i) {
    retained_message* m = try_new<retained_message>();
    if (m == nullptr) return false;
    std::string topic = "bench/retained/" + std::to_string(i);
    copy_text(m->topic, topic.c_str());
    if (!m->payload.assign_with_nul(reinterpret_cast<const uint8_t*>(PAYLOAD),
                                    sizeof PAYLOAD - 1)) {
      destroy(m);
      return false;
    }
    m->qos = i % 2;
    m->updated = now;
    m->next = s_retained;
    s_retained = m;
  }
  return true;
}

void BM_snapshot_pass_100k_retained(benchmark::State& state) {
  char dir_template[] = "/dev/shm/bv-snapshot-bench-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    state.SkipWithError("cannot create a directory in /dev/shm");
    return;
  }
  std::string dir = dir_template;
  int port = free_loopback_port();
  bool started = mqtt_reset_state() == 0 && mqtt_set_storage_dir(dir.c_str()) == 0 &&
                 mqtt_set_persistence_enabled(1) == 0 && mqtt_set_log_enabled(0) == 0 && port > 0 &&
                 mqtt_broker_start(port, 0, nullptr) == 0;
  if (!started) {
    state.SkipWithError("the broker with storage did not start");
  } else {
    bool filled;
    {
      lock_guard lock(s_mutex);
      filled = fill_retained(100000);
    }
    if (!filled) state.SkipWithError("out of memory");
    std::uintmax_t file_bytes = 0;
    for (auto _ : state) {
      if (mqtt_storage_flush() != 0) {
        state.SkipWithError("flush failed");
        break;
      }
    }
    std::error_code ec;
    file_bytes = std::filesystem::file_size(dir + "/retained.json", ec);
    state.counters["retained_json_bytes"] = static_cast<double>(file_bytes);
    state.SetItemsProcessed(state.iterations() * 100000);
  }
  mqtt_broker_stop();
  mqtt_reset_state();
  mqtt_set_storage_dir("");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_snapshot_pass_100k_retained)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace bvm
