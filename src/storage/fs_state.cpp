#include "storage/storage.h"

namespace bvm {

constinit std::atomic<int> s_fs_dirty_ret{0};
constinit std::atomic<int> s_fs_dirty_sess{0};

}  // namespace bvm
