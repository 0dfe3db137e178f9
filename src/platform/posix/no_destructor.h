// Process-wide state that must outlive static destruction: worker threads
// that end with the process may still call in while exit() tears down the
// statics, so these objects are built in place and never destroyed.
#pragma once

#include <new>
#include <utility>

namespace plat::posix {

template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& operator*() { return *get(); }
    T* operator->() { return get(); }
    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace plat::posix
