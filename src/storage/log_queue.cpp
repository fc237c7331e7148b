// The producer side of the storage log queue.
#include "storage/storage.h"

namespace bvm {

void fs_log_enqueue(const char*, const uint8_t*, size_t, int, int, const char*) noexcept {
  // Storage is never active until a storage directory is configured and the
  // writer thread runs; until then nothing is queued and nothing counted.
}

}  // namespace bvm
