// Storage settings, start-up and shut-down steps.
#include "storage/fs_state.h"

namespace bvm {

void storage_startup() noexcept {}
void storage_start_writer() noexcept {}
void storage_shutdown() noexcept {}

}  // namespace bvm
