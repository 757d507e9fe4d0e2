#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A program started in the background with both streams going to files, so a
// test can watch its output while it runs and stop it at the end.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workDir);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string out() const;
    std::string err() const;
    bool running();
    // Sends `signal` and reaps the child; returns its exit status or -signal.
    int stop(int signal);

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace testsupport
