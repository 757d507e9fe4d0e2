#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace relaytest {

// Another host on a test network: a thread in network namespaces (and, when
// asked, UTS and mount namespaces) of its own, created here and gone with it.
// Sockets made and processes started by work run on it live in its network;
// a host name and an /etc/hosts of its own serve its name look-ups.
class NetnsHost {
  public:
    struct Options {
        std::string hostName;    // non-empty: own UTS namespace with this name
        std::string etcHosts;    // non-empty: own mount namespace, this /etc/hosts
        std::string scratchDir;  // where the /etc/hosts copy is written
    };

    explicit NetnsHost(Options options = {}) : options_(std::move(options)) {
        thread_ = std::thread([this] { body(); });
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return started_; });
    }
    ~NetnsHost() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    NetnsHost(const NetnsHost&) = delete;
    NetnsHost& operator=(const NetnsHost&) = delete;

    // Empty when the namespaces were made; else why not (the test skips).
    const std::string& error() const { return error_; }
    // The thread's id: `ip ... netns <tid>` reaches its network.
    pid_t tid() const { return tid_; }

    // Runs `work` on the host's thread and waits for it.
    void run(const std::function<void()>& work) {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ = &work;
        ready_.notify_all();
        ready_.wait(lock, [&] { return work_ == nullptr; });
    }
    // A shell command in the host's namespaces; true when it succeeded.
    bool sh(const std::string& command) {
        bool ok = false;
        run([&] { ok = std::system(command.c_str()) == 0; });
        return ok;
    }

  private:
    void body() {
        tid_ = static_cast<pid_t>(syscall(SYS_gettid));
        setUp();
        std::unique_lock<std::mutex> lock(mutex_);
        started_ = true;
        ready_.notify_all();
        for (;;) {
            ready_.wait(lock, [&] { return stopping_ || work_ != nullptr; });
            if (work_ == nullptr) {
                return;
            }
            (*work_)();
            work_ = nullptr;
            ready_.notify_all();
        }
    }

    void setUp() {
        int flags = CLONE_NEWNET;
        flags |= options_.hostName.empty() ? 0 : CLONE_NEWUTS;
        flags |= options_.etcHosts.empty() ? 0 : CLONE_NEWNS;
        if (unshare(flags) != 0) {
            error_ = std::string("unshare: ") + std::strerror(errno);
            return;
        }
        if (!options_.hostName.empty() &&
            sethostname(options_.hostName.data(), options_.hostName.size()) != 0) {
            error_ = std::string("sethostname: ") + std::strerror(errno);
            return;
        }
        if (!options_.etcHosts.empty()) {
            const std::string copy = options_.scratchDir + "/hosts";
            std::ofstream(copy) << options_.etcHosts;
            // Private first, so that the bind mount stays in this namespace.
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(copy.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
                error_ = std::string("mount: ") + std::strerror(errno);
                return;
            }
        }
        if (std::system("ip link set lo up") != 0) {
            error_ = "ip link set lo up failed";
        }
    }

    Options options_;
    std::thread thread_;
    pid_t tid_ = 0;
    std::string error_;
    // Guards started_, stopping_ and work_; taken by the test's thread and
    // the host's thread, with no other lock held.
    std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    bool stopping_ = false;
    const std::function<void()>* work_ = nullptr;
};

}  // namespace relaytest
