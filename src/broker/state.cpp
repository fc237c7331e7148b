#include "broker/state.h"

namespace bvm {

constinit mutex s_mutex;
mqtt_client* s_clients = nullptr;
int64_t s_bytes_in = 0;
int64_t s_bytes_out = 0;
int64_t s_total_received = 0;
int64_t s_total_published = 0;
int32_t s_tcp_port = 1883;
int32_t s_ws_port = 9001;
int64_t s_start_time = 0;
constinit std::atomic<int> s_broker_running{0};

}  // namespace bvm
