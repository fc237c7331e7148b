#include "broker/last_error.h"

#include <cstring>

#include "base/text.h"
#include "brelvane_mqtt.h"
#include "broker/sync.h"

namespace bvm {
namespace {
constinit mutex g_last_error_mutex;
char s_last_error[1024] GUARDED_BY(g_last_error_mutex);
}  // namespace

void set_last_error(const char* text) noexcept {
  lock_guard lock(g_last_error_mutex);
  copy_text(s_last_error, text);
}

void clear_last_error() noexcept {
  lock_guard lock(g_last_error_mutex);
  s_last_error[0] = '\0';
}

const char* last_error_buffer() noexcept {
  // The network and storage threads may write the text while the host reads
  // it, so the host gets a copy taken under the lock, one per calling thread.
  thread_local char copy[sizeof s_last_error];
  lock_guard lock(g_last_error_mutex);
  std::memcpy(copy, s_last_error, sizeof copy);
  return copy;
}

}  // namespace bvm

extern "C" BV_EXPORT const char* mqtt_last_error(void) { return bvm::last_error_buffer(); }
