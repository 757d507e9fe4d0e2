// The executable makes console lines whole before anything else runs; the
// test programs that run the bridge in-process do the same, or lines of its
// threads (receive threads, the supervision loop) could splice together and
// fail the tests that read the log in order.
#include <gtest/gtest.h>

#include "app/LineAtomicOutput.h"

namespace {

struct ConsoleLines : testing::Environment {
    void SetUp() override { makeConsoleLinesAtomic(); }
};

const testing::Environment* const kConsoleLines =
    testing::AddGlobalTestEnvironment(new ConsoleLines);

}  // namespace
