// Outbound permessage-deflate: compressing one PUBLISH per frame, as the
// broker does for every packet to a client that negotiated the extension.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "base/byte_buf.h"
#include "mqtt/codec.h"
#include "net/ws_deflate.h"
#include "net/ws_frames.h"

namespace bvm {
namespace {

byte_buf publish_packet(size_t payload_len) {
  static constexpr char FILL[] = "{\"sensor\":\"bench\",\"value\":12.5,\"unit\":\"C\"} ";
  std::vector<uint8_t> p(payload_len);
  for (size_t i = 0; i < payload_len; ++i) p[i] = static_cast<uint8_t>(FILL[i % (sizeof FILL - 1)]);
  byte_buf out;
  if (!build_publish_packet("bench/p2p/42", p.data(), p.size(), 0, 0, 0, 4, &out)) out.reset();
  return out;
}

// Arg: payload bytes.
void BM_ws_deflate_packet(benchmark::State& state) {
  byte_buf packet = publish_packet(static_cast<size_t>(state.range(0)));
  size_t compressed = 0;
  for (auto _ : state) {
    byte_buf out;
    bool ok = ws_deflate_packet(packet.data(), packet.size(), WS_MAX_SEND_HEADER, &out);
    benchmark::DoNotOptimize(ok);
    compressed = out.size() - WS_MAX_SEND_HEADER;
  }
  state.counters["in_bytes"] = static_cast<double>(packet.size());
  state.counters["out_bytes"] = static_cast<double>(compressed);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(packet.size()));
}
BENCHMARK(BM_ws_deflate_packet)->ArgName("payload")->Arg(16)->Arg(1024);

// The same work on a thread of its own, as in the broker, whose network
// thread allocates from a secondary malloc arena: there each packet's
// stream and output buffer are mmapped heap that glibc hands back with
// madvise when they are freed, so every packet faults its pages in again.
// Timed by hand around batches of 256 packets. Arg: payload bytes.
void BM_ws_deflate_packet_worker_thread(benchmark::State& state) {
  byte_buf packet = publish_packet(static_cast<size_t>(state.range(0)));
  constexpr int BATCH = 256;
  for (auto _ : state) {
    double seconds = 0;
    std::thread worker([&] {
      auto begin = std::chrono::steady_clock::now();
      for (int i = 0; i < BATCH; ++i) {
        ws_frame frame;
        bool ok = ws_build_frame(packet.data(), packet.size(), true, &frame);
        benchmark::DoNotOptimize(ok);
      }
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    });
    worker.join();
    state.SetIterationTime(seconds / BATCH);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ws_deflate_packet_worker_thread)->ArgName("payload")->Arg(16)->UseManualTime();

// The whole outgoing frame, compressed or not. Args: payload bytes, deflate.
void BM_ws_build_frame(benchmark::State& state) {
  byte_buf packet = publish_packet(static_cast<size_t>(state.range(0)));
  bool deflate = state.range(1) != 0;
  for (auto _ : state) {
    ws_frame frame;
    bool ok = ws_build_frame(packet.data(), packet.size(), deflate, &frame);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(frame.size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ws_build_frame)
    ->ArgNames({"payload", "deflate"})
    ->Args({16, 0})
    ->Args({16, 1})
    ->Args({1024, 1});

}  // namespace
}  // namespace bvm
