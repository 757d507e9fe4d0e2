#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program run on a pseudo-terminal of the given size: the test types into
// it and reads everything it printed, as a person at a terminal would.
class PtyProcess {
  public:
    PtyProcess(const std::string& program, const std::vector<std::string>& args, int columns,
               int rows, const std::vector<std::string>& environment = {});
    ~PtyProcess();  // kills the child if it still runs
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    void type(const std::string& text);
    // Reads until the output from byte `from` on contains `text`, or the deadline passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                       std::size_t from = 0);
    // Waits for the child to end; its exit status, -signal, or -1000 on time-out.
    int waitForExit(std::chrono::milliseconds timeout);
    void resize(int columns, int rows);
    void signal(int number);
    const std::string& output() const { return output_; }

  private:
    void readAvailable(int timeoutMs);

    pid_t pid_ = -1;
    int master_ = -1;
    std::string output_;
};
