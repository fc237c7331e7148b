// State snapshots with the whole broker: a restart brings back retained
// messages and sessions; a process killed at any moment while snapshots are
// being written always leaves complete files; a file-size limit that makes
// every write fail is retried, counted and survived without touching the
// old files.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "brelvane_mqtt.h"
#include "integration/support/test_client.h"
#include "mqtt/codec.h"
#include "mqtt/retained.h"
#include "session/session.h"
#include "storage/fs_state.h"
#include "storage/json.h"

namespace bvt {
namespace {

std::string make_temp_dir() {
  std::string base = (std::filesystem::temp_directory_path() / "bvm-snapint-XXXXXX").string();
  EXPECT_NE(::mkdtemp(base.data()), nullptr);
  return base;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size < 0) return "";
  std::string text(static_cast<size_t>(size), '\0');
  in.seekg(0);
  in.read(text.data(), size);
  return text;
}

std::vector<std::string> names_with_suffix(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(name);
    }
  }
  return out;
}

// One integer or string member of the storage status report.
struct storage_status {
  int64_t write_errors = -1;
  int64_t snapshots = -1;
  int64_t loaded_retained = -1;
  int64_t loaded_sessions = -1;
  std::string warning;
};

storage_status read_status() {
  storage_status st;
  const char* text = mqtt_get_storage_status_json();
  rapidjson::Document doc;
  if (text == nullptr || !bvm::parse_json(&doc, text, std::strlen(text))) {
    ADD_FAILURE() << "status report: " << (text ? text : "(null)");
    return st;
  }
  auto integer = [&](const char* key) {
    const rapidjson::Value* v = bvm::find_first_member(doc, key);
    return v != nullptr && v->IsInt64() ? v->GetInt64() : -1;
  };
  st.write_errors = integer("write_errors");
  st.snapshots = integer("snapshots");
  st.loaded_retained = integer("loaded_retained");
  st.loaded_sessions = integer("loaded_sessions");
  const rapidjson::Value* w = bvm::find_first_member(doc, "warning");
  if (w != nullptr && w->IsString()) st.warning = w->GetString();
  return st;
}

class StorageSnapshot : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override {
    if (mqtt_broker_status() != 0) mqtt_broker_stop();
    mqtt_set_storage_dir(nullptr);
    mqtt_reset_state();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  int start() {
    port_ = free_port();
    return mqtt_broker_start(port_, 0, nullptr);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
  int port_ = 0;
};

TEST_F(StorageSnapshot, RestartBringsBackRetainedMessagesAndSessions) {
  ASSERT_EQ(mqtt_set_storage_dir(dir_.c_str()), 0);
  ASSERT_EQ(start(), 0) << mqtt_last_error();
  {
    test_client c(port_);
    connect_opts o = opts("keeper");
    o.clean = false;
    c.handshake(o);
    c.subscribe_to("news/#", 1);
  }
  ASSERT_TRUE(eventually([] { return broker_client_count() == 0; }));
  ASSERT_EQ(mqtt_publish("news/retained", "kept", 0, 1), 0);
  ASSERT_EQ(mqtt_publish("news/queued", "waiting", 1, 0), 0);
  ASSERT_EQ(mqtt_broker_stop(), 0);  // the final snapshot writes both files

  // Forget everything in memory: the next start reads the files again.
  ASSERT_EQ(mqtt_reset_state(), 0);
  ASSERT_EQ(start(), 0) << mqtt_last_error();
  storage_status st = read_status();
  EXPECT_EQ(st.loaded_retained, 1);
  EXPECT_EQ(st.loaded_sessions, 1);
  EXPECT_EQ(st.warning, "");

  // The queued message was never sent, so the resume draws its identifier.
  uint16_t next_id = 0;
  {
    bvm::lock_guard lock(bvm::s_mutex);
    next_id = bvm::s_out_pkt_id;
  }
  test_client c(port_);
  connect_opts o = opts("keeper");
  o.clean = false;
  c.handshake(o, /*session_present=*/true);
  c.expect_publish("news/queued", "waiting", 1, next_id);
  c.subscribe_to("news/retained", 0);
  c.expect_publish("news/retained", "kept", 0, 0, /*retain=*/true);
}

// The child: a broker with persistence on, persistent sessions that are fed
// QoS 1 messages (two of them connected and never acknowledging, two
// detached), and retained messages replaced as fast as the writer can take
// them. It runs until the parent kills it.
[[noreturn]] void crash_child(const std::string& dir, int port, unsigned seed) {
  if (mqtt_set_storage_dir(dir.c_str()) != 0 || mqtt_broker_start(port, 0, nullptr) != 0) {
    std::_Exit(3);
  }
  std::vector<test_client> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back(port);
    connect_opts o = opts("crash-" + std::to_string(i));
    o.clean = false;
    clients.back().send(connect_packet(o));
    clients.back().read_packet();
    clients.back().send(subscribe_packet(1, {{"load/#", 1}}));
    clients.back().read_packet();
    if (i % 2 == 0) clients.back().close();
  }
  std::mt19937 rng(seed);
  for (uint64_t n = 0;; ++n) {
    std::string topic = "load/" + std::to_string(rng() % 400);
    std::string payload(64 + rng() % 1024, static_cast<char>('a' + n % 26));
    mqtt_publish(topic.c_str(), payload.c_str(), 1, 1);
    if (n % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Waits until a file inside the watched directory (not the directory
// itself, which the writer also opens to commit it) is opened or written.
void wait_for_file_event(int watch, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  alignas(inotify_event) char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{watch, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return;
    ssize_t n = ::read(watch, buf, sizeof buf);
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      if (ev->len > 0) return;
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

struct load_counts {
  int32_t retained = 0;
  int32_t sessions = 0;
  int64_t queued = 0;
  std::string warning;
};

// A fresh load of the directory's files in this process, as a start does.
load_counts load_fresh(const std::string& dir) {
  using namespace bvm;
  load_counts out;
  copy_text(s_fs_dir, dir.c_str());
  s_fs_usable.store(1);
  s_fs_cfg_persist.store(1);
  {
    lock_guard lock(s_fs_qmutex);
    s_fs_warning[0] = '\0';
    s_fs_loaded_retained = 0;
    s_fs_loaded_sessions = 0;
  }
  lock_guard lock(s_mutex);
  retained_clear_all();
  session_clear_all();
  fs_load_retained();
  fs_load_sessions();
  for (mqtt_session* s = s_sessions; s != nullptr; s = s->next) {
    out.queued += static_cast<int64_t>(s->queue_count);
  }
  {
    lock_guard q(s_fs_qmutex);
    out.retained = s_fs_loaded_retained;
    out.sessions = s_fs_loaded_sessions;
    out.warning = s_fs_warning;
  }
  // The next child must start from the files alone.
  retained_clear_all();
  session_clear_all();
  s_fs_usable.store(0);
  s_fs_dir[0] = '\0';
  return out;
}

TEST_F(StorageSnapshot, KilledWhileWritingAlwaysLeavesCompleteFiles) {
  constexpr int ROUNDS = 24;
  std::mt19937 rng(20240601);
  load_counts previous;
  int killed_mid_write = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int port = free_port();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) crash_child(dir_, port, static_cast<unsigned>(round));
    // Never leaves a child running, also when an assertion ends the test.
    struct reaper {
      pid_t pid;
      ~reaper() {
        if (pid > 0) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, nullptr, 0);
        }
      }
    } guard{child};

    // Every other round kills the moment a snapshot file is being written;
    // the others after a random delay.
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 650));
    if (round % 2 == 1) {
      // Kill at the first file opened or written in the directory from now
      // on: the writer has just started a snapshot file.
      int watch = ::inotify_init1(IN_CLOEXEC);
      ASSERT_GE(watch, 0);
      ASSERT_GE(::inotify_add_watch(watch, dir_.c_str(), IN_OPEN | IN_MODIFY), 0);
      wait_for_file_event(watch, 3000);
      ::kill(child, SIGKILL);  // at once; the close below takes time
      ::close(watch);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    guard.pid = -1;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child ended by itself, status " << status;
    const bool mid_write = !names_with_suffix(dir_, ".tmp").empty();
    if (mid_write) ++killed_mid_write;

    load_counts now = load_fresh(dir_);
    std::printf("round %2d: loaded %d retained, %d sessions, %lld queued%s\n", round, now.retained,
                now.sessions, static_cast<long long>(now.queued),
                mid_write ? " (killed mid-write)" : "");
    EXPECT_EQ(now.warning, "");
    EXPECT_TRUE(names_with_suffix(dir_, ".corrupt").empty());
    // Retained topics and sessions are only ever added or replaced, so a
    // complete newer file never holds fewer of them.
    EXPECT_GE(now.retained, previous.retained);
    EXPECT_GE(now.sessions, previous.sessions);
    previous = now;
  }
  std::printf("%d of %d kills left a temporary file behind\n", killed_mid_write, ROUNDS);
  EXPECT_GT(previous.retained, 0);
  EXPECT_EQ(previous.sessions, 4);
  EXPECT_GT(killed_mid_write, 0) << "no kill landed during a write";
}

// Root cannot write past RLIMIT_FSIZE either, so this is a full disk that
// the test can arrange and lift.
TEST_F(StorageSnapshot, WritesThatKeepFailingAreRetriedAndTheOldFileKept) {
  ASSERT_EQ(mqtt_set_storage_dir(dir_.c_str()), 0);
  ASSERT_EQ(start(), 0) << mqtt_last_error();
  ASSERT_EQ(mqtt_publish("keep/small", "small", 0, 1), 0);
  ASSERT_TRUE(eventually(
      [&] { return slurp(path("retained.json")).find("keep/small") != std::string::npos; }));
  const std::string old_retained = slurp(path("retained.json"));

  test_client watcher(port_);
  watcher.handshake(opts("watcher"));
  watcher.subscribe_to("live/#", 0);

  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &saved), 0);
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

  const int64_t errors_before = read_status().write_errors;
  const std::string big(64 * 1024, 'B');
  ASSERT_EQ(mqtt_publish("keep/big", big.c_str(), 0, 1), 0);
  // The writer tries again at every tick while the fault lasts.
  EXPECT_TRUE(eventually([&] { return read_status().write_errors >= errors_before + 3; }));
  EXPECT_EQ(read_status().warning,
            "storage: state snapshot write failed (" + dir_ + "); will retry");
  // Routing goes on meanwhile.
  ASSERT_EQ(mqtt_publish("live/x", "still routing", 0, 0), 0);
  watcher.expect_publish("live/x", "still routing");
  watcher.close();

  // The stop's final snapshot fails too; nothing half-written is left.
  ASSERT_EQ(mqtt_broker_stop(), 0);
  EXPECT_EQ(slurp(path("retained.json")), old_retained);
  EXPECT_TRUE(names_with_suffix(dir_, ".tmp").empty());

  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  ASSERT_EQ(::sigaction(SIGXFSZ, &saved, nullptr), 0);

  // Space is back: the next run rewrites both files from memory.
  ASSERT_EQ(start(), 0) << mqtt_last_error();
  EXPECT_TRUE(eventually(
      [&] { return slurp(path("retained.json")).find("keep/big") != std::string::npos; }));
  const int64_t errors_after = read_status().write_errors;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(read_status().write_errors, errors_after);
}

}  // namespace
}  // namespace bvt
