// Handle numbers for serial ports and sockets. A number is handed out once
// per process and never again, so a thread that holds a stale handle gets a
// failure instead of reaching whatever was opened after it. The objects are
// shared: a call keeps its object (and so the descriptor) alive until it
// returns, even when another thread closes the handle meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat::posix {

// The next unused handle number, or -1 once the numbers have run out.
std::int32_t NextHandle();

template <class T>
class Registry {
public:
    // -1 when no number is left.
    std::int32_t Add(std::shared_ptr<T> object) {
        const std::int32_t handle = NextHandle();
        if (handle < 0) return -1;
        std::lock_guard lock(mutex_);
        objects_.emplace(handle, std::move(object));
        return handle;
    }

    // onFound runs under the registry lock, so it cannot race with Remove.
    template <class F>
    std::shared_ptr<T> Find(std::int32_t handle, F&& onFound) const {
        std::lock_guard lock(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end()) return nullptr;
        onFound(*it->second);
        return it->second;
    }

    std::shared_ptr<T> Find(std::int32_t handle) const {
        return Find(handle, [](T&) {});
    }

    std::shared_ptr<T> Remove(std::int32_t handle) {
        std::lock_guard lock(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end()) return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::int32_t, std::shared_ptr<T>> objects_;
};

}  // namespace plat::posix
