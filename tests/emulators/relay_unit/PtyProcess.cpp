#include "PtyProcess.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

PtyProcess::PtyProcess(const std::string& program, const std::vector<std::string>& args,
                       int columns, int rows, const std::vector<std::string>& environment) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        for (const auto& assignment : environment) {
            putenv(const_cast<char*>(assignment.c_str()));
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
}

PtyProcess::~PtyProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void PtyProcess::type(const std::string& text) {
    (void)!write(master_, text.data(), text.size());
}

void PtyProcess::readAvailable(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

bool PtyProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                               std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text, from) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        readAvailable(20);
    }
    return true;
}

int PtyProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        // Keep draining: a child blocked on a full terminal never ends.
        readAvailable(10);
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            const std::size_t before = output_.size();
            readAvailable(0);
            while (output_.size() != before) {  // the rest of what it wrote
                const std::size_t now = output_.size();
                readAvailable(0);
                if (output_.size() == now) {
                    break;
                }
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1000;
        }
    }
    return -1000;
}

void PtyProcess::resize(int columns, int rows) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ioctl(master_, TIOCSWINSZ, &size);  // the kernel sends SIGWINCH to the child
}

void PtyProcess::signal(int number) {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}
