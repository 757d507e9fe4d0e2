#pragma once

#include <condition_variable>
#include <mutex>

#include "sync/ThreadAnnotations.h"

namespace psmr_sync {

// std::mutex with the annotations the standard library lacks, so that clang
// checks which members it guards. Every call is inline onto std::mutex.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class UniqueLock;
    std::mutex mutex_;
};

// std::lock_guard for Mutex.
class SCOPED_CAPABILITY LockGuard {
  public:
    explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~LockGuard() RELEASE() { mutex_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Mutex& mutex_;
};

// std::unique_lock for Mutex: may be unlocked and locked again within its
// scope, and waits on a std::condition_variable through native(). A wait
// releases and retakes the lock inside the call, so the analysis sees the
// lock held throughout, as the caller does.
class SCOPED_CAPABILITY UniqueLock {
  public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    // Not locked yet; lock() takes it.
    UniqueLock(Mutex& mutex, std::defer_lock_t) EXCLUDES(mutex)
        : lock_(mutex.mutex_, std::defer_lock) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }
    bool owns_lock() const { return lock_.owns_lock(); }

    // For std::condition_variable::wait and its timed forms only: handing the
    // lock to anything that keeps it unlocked would defeat the analysis.
    std::unique_lock<std::mutex>& native() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace psmr_sync
