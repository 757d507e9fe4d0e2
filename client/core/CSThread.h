#pragma once

#include <pthread.h>

#include <chrono>

namespace com_nax {

// Handle of one worker thread.
//
// Cancellation policy: a thread started by create() runs with cancellation
// DISABLED, so a cancellation request can never strike while it holds a lock (a
// write under the transport's write lock, a callback under the state lock). It is
// acted upon only inside CSThread::sleep() and CSThread::testCancel(), which the
// thread functions call where they hold nothing. A thread loop that sleeps through
// CSThread::sleep() therefore ends promptly when cancelled, at its next sleep.
//
// Threads whose handle is emptied by kill() are detached, so that their resources
// are reclaimed when they end; stop() and the destructor cancel and join.
class CSThread {
  public:
    CSThread() = default;
    // Cancels and joins a thread still attached (detaches it when called from the
    // thread itself): the thread function may use its owner, which is going away.
    virtual ~CSThread();

    CSThread(const CSThread&) = delete;
    CSThread& operator=(const CSThread&) = delete;

    // Starts function(argument) on a new joinable thread. False when a thread is
    // already attached, or when the thread cannot be created (handle left empty).
    bool create(void* (*function)(void*), void* argument);

    // Requests cancellation of the attached thread, detaches it and empties the
    // handle; does not wait. Called from the thread itself it only detaches.
    void kill();

    // Requests cancellation and waits for the thread to end, then empties the
    // handle. True when a thread was joined. From the thread itself: as kill().
    bool stop();

    // Joins the attached thread and empties the handle; false for an empty handle.
    bool waitForThread() const;

    bool isActive() const { return active_; }
    pthread_t getId() const { return handle_; }

    // Sleeps on the calling thread. This and testCancel() are the only places where
    // a CSThread thread can be cancelled; callers must hold no lock here.
    static void sleep(std::chrono::milliseconds duration);
    static void testCancel();

  private:
    // mutable: waitForThread empties the handle once the thread is joined.
    mutable pthread_t handle_{};
    mutable bool active_ = false;
};

}  // namespace com_nax
