// Packet cutting, PUBLISH encoding and topic matching.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/byte_buf.h"
#include "base/text.h"
#include "broker/state.h"
#include "inspect/history.h"
#include "mqtt/codec.h"
#include "mqtt/topic.h"
#include "net/client.h"

namespace bvm {
namespace {

constexpr int PACKETS_PER_BATCH = 1000;

std::vector<uint8_t> text_payload(size_t n) {
  static constexpr char FILL[] = "{\"sensor\":\"bench\",\"value\":12.5,\"unit\":\"C\"} ";
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(FILL[i % (sizeof FILL - 1)]);
  return p;
}

// A batch of PUBLISHes as one receive would hand them over, cut and handled
// on a connected client record without a socket: the figure is the packet
// layer, the history entry and a dispatch to nobody, with no system call.
// Args: payload bytes, QoS.
void BM_cut_packets(benchmark::State& state) {
  auto payload_len = static_cast<size_t>(state.range(0));
  int qos = static_cast<int>(state.range(1));
  std::vector<uint8_t> payload = text_payload(payload_len);
  byte_buf batch;
  for (int i = 0; i < PACKETS_PER_BATCH; ++i) {
    byte_buf one;
    if (!build_publish_packet("bench/cut/topic", payload.data(), payload.size(), qos, 0,
                              static_cast<uint16_t>(i + 1), 4, &one) ||
        !batch.append(one.data(), one.size())) {
      state.SkipWithError("out of memory");
      return;
    }
  }
  mqtt_client* c = try_new<mqtt_client>();
  if (c == nullptr) {
    state.SkipWithError("out of memory");
    return;
  }
  c->connected = 1;
  c->protocol_level = 4;
  copy_text(c->client_id, "bench-cutter");
  {
    lock_guard lock(s_mutex);
    for (auto _ : state) {
      c->in_buf.clear();
      if (!c->in_buf.append(batch.data(), batch.size())) break;
      cut_packets(c, &c->in_buf);
      benchmark::DoNotOptimize(c->in_buf.size());
    }
    history_clear();
  }
  destroy(c);
  state.SetItemsProcessed(state.iterations() * PACKETS_PER_BATCH);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(batch.size()));
}
BENCHMARK(BM_cut_packets)
    ->ArgNames({"payload", "qos"})
    ->Args({16, 0})
    ->Args({1024, 0})
    ->Args({16, 1});

// Args: payload bytes, protocol level, QoS.
void BM_build_publish_packet(benchmark::State& state) {
  std::vector<uint8_t> payload = text_payload(static_cast<size_t>(state.range(0)));
  int level = static_cast<int>(state.range(1));
  int qos = static_cast<int>(state.range(2));
  for (auto _ : state) {
    byte_buf out;
    bool ok = build_publish_packet("sensors/building-1/floor-3/temperature", payload.data(),
                                   payload.size(), qos, 0, 42, level, &out);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_build_publish_packet)
    ->ArgNames({"payload", "level", "qos"})
    ->Args({16, 4, 0})
    ->Args({16, 5, 1})
    ->Args({1024, 4, 0});

struct match_case {
  const char* name;
  const char* filter;
  const char* topic;
};

constexpr match_case MATCH_CASES[] = {
    {"exact_hit", "sensors/building-1/floor-3/room-12/temperature",
     "sensors/building-1/floor-3/room-12/temperature"},
    {"exact_miss_at_end", "sensors/building-1/floor-3/room-12/temperature",
     "sensors/building-1/floor-3/room-12/humidity"},
    {"exact_miss_at_start", "actuators/building-1/floor-3/room-12/valve",
     "sensors/building-1/floor-3/room-12/temperature"},
    {"plus_hit", "sensors/+/floor-3/+/temperature",
     "sensors/building-1/floor-3/room-12/temperature"},
    {"hash_hit", "sensors/#", "sensors/building-1/floor-3/room-12/temperature"},
    {"hash_on_dollar_topic", "#", "$SYS/broker/clients/connected"},
    {"p2p_neighbour", "bench/p2p/123", "bench/p2p/124"},
};

void BM_topic_matches(benchmark::State& state) {
  const match_case& m = MATCH_CASES[state.range(0)];
  state.SetLabel(m.name);
  for (auto _ : state) {
    int r = mqtt_topic_matches(m.filter, m.topic);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_topic_matches)->DenseRange(0, static_cast<int>(std::size(MATCH_CASES)) - 1);

}  // namespace
}  // namespace bvm
