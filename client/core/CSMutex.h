#pragma once

#include <pthread.h>

#include <atomic>

#include "sync/ThreadAnnotations.h"

namespace com_nax {

// Plain non-recursive lock over a POSIX mutex. It also remembers which thread holds
// it, so that failure paths can tell whether the calling thread already holds it
// instead of locking it a second time. Annotated, so that clang checks the members
// each instance guards.
class CAPABILITY("mutex") CSMutex {
  public:
    CSMutex();
    virtual ~CSMutex();

    CSMutex(const CSMutex&) = delete;
    CSMutex& operator=(const CSMutex&) = delete;

    // 0 locked, 1 busy (EBUSY), 2 any other error.
    int lock() ACQUIRE();
    // 0 unlocked, 2 any error.
    int unlock() RELEASE();

    // True when the calling thread holds this lock.
    bool heldByCurrentThread() const;
    // Tells the analysis that the lock is held, after heldByCurrentThread() said
    // so: the paths that must not lock twice. No code.
    void assumeHeld() const ASSERT_CAPABILITY(this) {}

    // Scoped holder: locks in the constructor, unlocks in the destructor.
    class SCOPED_CAPABILITY Guard {
      public:
        explicit Guard(CSMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
        ~Guard() RELEASE() { mutex_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

      private:
        CSMutex& mutex_;
    };

  private:
    pthread_mutex_t mutex_;
    std::atomic<bool> held_{false};
    std::atomic<pthread_t> owner_{};
};

}  // namespace com_nax
