#include "platform/posix/registry.h"

#include <atomic>
#include <limits>

namespace plat::posix {

std::int32_t NextHandle() {
    // Serial ports and sockets draw from one sequence; numbers below 3 are
    // left out so a handle never looks like a standard stream.
    static std::atomic<std::int32_t> next{3};
    std::int32_t handle = next.load();
    do {
        if (handle == std::numeric_limits<std::int32_t>::max()) return -1;
    } while (!next.compare_exchange_weak(handle, handle + 1));
    return handle;
}

}  // namespace plat::posix
