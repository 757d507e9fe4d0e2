#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `predicate` until it holds or `timeout` passes; returns its last value.
// Tests use it instead of fixed sleeps and fail with a message of their own.
template <typename Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testsupport
