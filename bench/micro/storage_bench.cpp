// The daily log's two halves, without a broker thread: queueing a routed
// message (what the network thread pays, under s_mutex) and draining the
// queue into a log file (what the writer thread pays per record).
//
// Payloads are the load generator's: 16 bytes starting with binary numbers,
// so they go to the log in Base64, and 1 KiB of text. The log directory is
// on tmpfs (/dev/shm) when there is one, so the disk does not drown the
// formatting.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "broker/state.h"
#include "storage/fs_state.h"

namespace bvm {
namespace {

constexpr int BATCH = 10000;  // records per drain: about one 50 ms tick at 200,000 msgs/s

std::vector<uint8_t> payload_of(size_t size) {
  std::vector<uint8_t> p(size, 'x');
  if (size == 16) {
    const uint32_t publisher = 7;
    const uint32_t seq = 123456;
    const uint64_t due = 1714567890123456789u;
    std::memcpy(p.data(), &publisher, 4);
    std::memcpy(p.data() + 4, &seq, 4);
    std::memcpy(p.data() + 8, &due, 8);
  }
  return p;
}

struct log_on {
  log_on() {
    s_fs_active.store(1);
    s_fs_log_on.store(1);
  }
  ~log_on() {
    s_fs_active.store(0);
    s_fs_log_on.store(0);
    fs_log_free_list(fs_log_take_all());
  }
};

void BM_log_enqueue(benchmark::State& state) {
  const std::vector<uint8_t> payload = payload_of(static_cast<size_t>(state.range(0)));
  log_on on;
  int queued = 0;
  for (auto _ : state) {
    lock_guard lock(s_mutex);
    fs_log_enqueue("bench/fanin/topic", payload.data(), payload.size(), 0, 0, "loadgen-pub-42");
    if (++queued == BATCH) {
      state.PauseTiming();
      fs_log_free_list(fs_log_take_all());
      queued = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_log_enqueue)->Arg(16)->Arg(1024);

void BM_log_drain(benchmark::State& state) {
  const std::vector<uint8_t> payload = payload_of(static_cast<size_t>(state.range(0)));
  std::filesystem::path base =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  std::string dir = (base / "bv-storage-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  copy_text(s_fs_dir, dir.c_str());
  {
    log_on on;
    for (auto _ : state) {
      state.PauseTiming();
      {
        // The files go each time, so tmpfs does not fill up; the drain then
        // opens its file once, as a writer tick does after a day change.
        lock_guard io(s_fs_iomutex);
        fs_log_close();
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
          std::filesystem::remove(e.path());
        }
      }
      {
        lock_guard lock(s_mutex);
        for (int i = 0; i < BATCH; ++i) {
          fs_log_enqueue("bench/fanin/topic", payload.data(), payload.size(), 0, 0,
                         "loadgen-pub-42");
        }
      }
      state.ResumeTiming();
      lock_guard io(s_fs_iomutex);
      fs_log_drain();
    }
    lock_guard io(s_fs_iomutex);
    fs_log_close();
  }
  s_fs_dir[0] = '\0';
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(BM_log_drain)->Arg(16)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bvm
