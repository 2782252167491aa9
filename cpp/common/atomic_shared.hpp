// A shared_ptr that threads may load and replace at once.
//
// std::atomic<std::shared_ptr> is C++20 and missing from older standard
// libraries (GCC 11's); there the C++11 atomic free functions on shared_ptr do
// the same job.
#pragma once

#include <atomic>
#include <memory>

namespace quillo {

template <typename T>
class AtomicShared {
public:
    std::shared_ptr<T> load() const {
#if defined(__cpp_lib_atomic_shared_ptr) && __cpp_lib_atomic_shared_ptr >= 201711L
        return ptr_.load();
#else
        return std::atomic_load(&ptr_);
#endif
    }

    void store(std::shared_ptr<T> value) {
#if defined(__cpp_lib_atomic_shared_ptr) && __cpp_lib_atomic_shared_ptr >= 201711L
        ptr_.store(std::move(value));
#else
        std::atomic_store(&ptr_, std::move(value));
#endif
    }

private:
#if defined(__cpp_lib_atomic_shared_ptr) && __cpp_lib_atomic_shared_ptr >= 201711L
    std::atomic<std::shared_ptr<T>> ptr_;
#else
    std::shared_ptr<T> ptr_;
#endif
};

} // namespace quillo
