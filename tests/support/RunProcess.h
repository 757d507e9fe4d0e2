#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitStatus = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
    bool timedOut = false;
};

// Runs `program` with `args` (argv[1..]) in `workDir` (empty: current), feeding
// nothing on standard input; collects both streams. Kills the child after
// `timeoutMs` and reports timedOut.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         int timeoutMs = 10000, const std::string& workDir = "");

}  // namespace testsupport
