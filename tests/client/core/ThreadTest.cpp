#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "client/core/CSMutex.h"
#include "client/core/CSThread.h"
#include "support/WaitUntil.h"

using com_nax::CSMutex;
using com_nax::CSThread;
using namespace std::chrono_literals;

namespace {

// Loops on CSThread::sleep until cancelled, counting its passes.
void* sleeper(void* raw) {
    auto* passes = static_cast<std::atomic<int>*>(raw);
    for (;;) {
        passes->fetch_add(1);
        CSThread::sleep(5ms);
    }
    return nullptr;
}

void* once(void* raw) {
    static_cast<std::atomic<int>*>(raw)->fetch_add(1);
    return nullptr;
}

struct LockedSection {
    CSMutex mutex;
    std::atomic<bool> locked{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> sectionDone{false};
    std::atomic<bool> unwound{false};
};

struct SetOnUnwind {
    std::atomic<bool>& flag;
    ~SetOnUnwind() { flag.store(true); }
};

// Holds a lock across ordinary cancellation points (plain sleeps) after a
// cancellation was requested, then sleeps through CSThread::sleep.
void* lockedWorker(void* raw) {
    auto* s = static_cast<LockedSection*>(raw);
    SetOnUnwind marker{s->unwound};
    s->mutex.lock();
    s->locked.store(true);
    while (!s->cancelRequested.load()) {
        std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(1ms);  // nanosleep: a cancellation point elsewhere
    }
    s->sectionDone.store(true);
    s->mutex.unlock();
    for (;;) {
        CSThread::sleep(1000ms);
    }
    return nullptr;
}

}  // namespace

TEST(CSMutex, LockResultsAndOwnership) {
    CSMutex mutex;
    EXPECT_FALSE(mutex.heldByCurrentThread());
    EXPECT_EQ(mutex.lock(), 0);
    EXPECT_TRUE(mutex.heldByCurrentThread());
    bool heldElsewhere = true;
    std::thread([&] { heldElsewhere = mutex.heldByCurrentThread(); }).join();
    EXPECT_FALSE(heldElsewhere);
    EXPECT_EQ(mutex.unlock(), 0);
    EXPECT_FALSE(mutex.heldByCurrentThread());
}

TEST(CSThread, CreateRefusesSecondThreadAndKillEmptiesHandle) {
    // Static: a killed thread is detached and may make one more pass after kill().
    static std::atomic<int> passes{0};
    CSThread thread;
    EXPECT_FALSE(thread.isActive());
    EXPECT_FALSE(thread.waitForThread());
    ASSERT_TRUE(thread.create(sleeper, &passes));
    EXPECT_TRUE(thread.isActive());
    std::atomic<int> other{0};
    EXPECT_FALSE(thread.create(once, &other));
    thread.kill();
    EXPECT_FALSE(thread.isActive());
    EXPECT_FALSE(thread.waitForThread());

    ASSERT_TRUE(thread.create(once, &other));
    EXPECT_TRUE(thread.waitForThread());
    EXPECT_EQ(other.load(), 1) << "exactly one of the two create calls may have started";
    EXPECT_FALSE(thread.isActive());
}

TEST(CSThread, StopEndsASleepingLoopAndJoins) {
    std::atomic<int> passes{0};
    CSThread thread;
    ASSERT_TRUE(thread.create(sleeper, &passes));
    ASSERT_TRUE(testsupport::waitUntil([&] { return passes.load() >= 2; }, 2000ms))
        << "the worker never looped";
    EXPECT_TRUE(thread.stop());
    const int after = passes.load();
    std::this_thread::sleep_for(20ms);  // the thread is joined: nothing can run
    EXPECT_EQ(passes.load(), after);
    EXPECT_FALSE(thread.stop());
}

TEST(CSThread, CancellationWaitsUntilLocksAreReleased) {
    LockedSection section;
    {
        CSThread thread;
        ASSERT_TRUE(thread.create(lockedWorker, &section));
        ASSERT_TRUE(testsupport::waitUntil([&] { return section.locked.load(); }, 2000ms));
        thread.kill();  // request only; detached
        section.cancelRequested.store(true);
        ASSERT_TRUE(testsupport::waitUntil([&] { return section.unwound.load(); }, 3000ms))
            << "the cancelled worker never ended at its sleep";
    }
    EXPECT_TRUE(section.sectionDone.load()) << "the worker was cancelled inside its locked section";
    EXPECT_EQ(section.mutex.lock(), 0);
    EXPECT_EQ(section.mutex.unlock(), 0);
}

TEST(CSThread, DestructorStopsTheThread) {
    std::atomic<int> passes{0};
    {
        CSThread thread;
        ASSERT_TRUE(thread.create(sleeper, &passes));
        ASSERT_TRUE(testsupport::waitUntil([&] { return passes.load() >= 1; }, 2000ms));
    }
    const int after = passes.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(passes.load(), after) << "the thread outlived its handle";
}
