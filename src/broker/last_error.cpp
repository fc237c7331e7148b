#include "broker/last_error.h"

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

const char* last_error_buffer() noexcept NO_THREAD_SAFETY_ANALYSIS { return s_last_error; }

}  // namespace bvm

extern "C" BV_EXPORT const char* mqtt_last_error(void) { return bvm::last_error_buffer(); }
