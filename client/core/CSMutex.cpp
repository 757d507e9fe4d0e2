#include "client/core/CSMutex.h"

#include <cerrno>

namespace com_nax {

CSMutex::CSMutex() {
    pthread_mutex_init(&mutex_, nullptr);
}

CSMutex::~CSMutex() {
    pthread_mutex_destroy(&mutex_);
}

int CSMutex::lock() {
    const int rc = pthread_mutex_lock(&mutex_);
    if (rc == 0) {
        owner_.store(pthread_self(), std::memory_order_relaxed);
        held_.store(true, std::memory_order_release);
        return 0;
    }
    return rc == EBUSY ? 1 : 2;
}

int CSMutex::unlock() {
    // Cleared before the release: only the holder writes these fields.
    held_.store(false, std::memory_order_relaxed);
    return pthread_mutex_unlock(&mutex_) == 0 ? 0 : 2;
}

bool CSMutex::heldByCurrentThread() const {
    // Only the calling thread can have stored its own id with held_ true, so a
    // stale value from another holder never compares equal.
    return held_.load(std::memory_order_acquire) &&
           pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self()) != 0;
}

}  // namespace com_nax
