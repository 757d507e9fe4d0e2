#include "client/core/CSThread.h"

#include <time.h>

#include <cerrno>

namespace com_nax {

namespace {

struct StartRecord {
    void* (*function)(void*);
    void* argument;
};

// Runs the thread function with cancellation disabled: requests are acted upon
// only in CSThread::sleep and CSThread::testCancel, where no lock is held.
void* trampoline(void* raw) {
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
    StartRecord record = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    return record.function(record.argument);
}

// Runs `body` with deferred cancellation enabled, then restores the previous state.
template <typename Body>
void cancellable(Body body) {
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    body();
    int ignored = 0;
    pthread_setcancelstate(old, &ignored);
}

}  // namespace

CSThread::~CSThread() {
    stop();
}

bool CSThread::create(void* (*function)(void*), void* argument) {
    if (active_ || function == nullptr) {
        return false;
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    auto* record = new StartRecord{function, argument};
    pthread_t handle;
    const int rc = pthread_create(&handle, &attributes, trampoline, record);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete record;
        return false;
    }
    handle_ = handle;
    active_ = true;
    return true;
}

void CSThread::kill() {
    if (!active_) {
        return;
    }
    active_ = false;
    if (pthread_equal(handle_, pthread_self()) == 0) {
        pthread_cancel(handle_);
    }
    // Nobody will join it any more: let the system reclaim it when it ends.
    pthread_detach(handle_);
}

bool CSThread::stop() {
    if (!active_) {
        return false;
    }
    if (pthread_equal(handle_, pthread_self()) != 0) {
        kill();
        return false;
    }
    active_ = false;
    pthread_cancel(handle_);
    return pthread_join(handle_, nullptr) == 0;
}

bool CSThread::waitForThread() const {
    if (!active_ || pthread_equal(handle_, pthread_self()) != 0) {
        return false;
    }
    // Emptied after the join: a second join or a detach of the same thread is undefined.
    active_ = false;
    return pthread_join(handle_, nullptr) == 0;
}

void CSThread::sleep(std::chrono::milliseconds duration) {
    if (duration.count() < 0) {
        duration = std::chrono::milliseconds(0);
    }
    timespec request;
    request.tv_sec = static_cast<time_t>(duration.count() / 1000);
    request.tv_nsec = static_cast<long>((duration.count() % 1000) * 1000000L);
    cancellable([&request] {
        timespec remaining;
        while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
            request = remaining;
        }
    });
}

void CSThread::testCancel() {
    cancellable([] { pthread_testcancel(); });
}

}  // namespace com_nax
