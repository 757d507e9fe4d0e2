// The bridge under a service manager, played by the test: notifications on a
// datagram socket of the test's own named in NOTIFY_SOCKET, the journal's
// priority prefixes on a pipe named in JOURNAL_STREAM, and the orderly stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BridgeFixture.h"
#include "Version.h"
#include "app/LineAtomicOutput.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "support/ChildProcess.h"
#include "support/RunProcess.h"

using Clock = std::chrono::steady_clock;

namespace {

// The service manager's end of the notification socket: records every
// datagram with its arrival time.
class NotifyListener {
  public:
    explicit NotifyListener(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval timeout{0, 100000};  // lets the reader see the end
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        reader_ = std::thread([this] { read(); });
    }
    ~NotifyListener() {
        stop_ = true;
        reader_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }

    struct Message {
        std::string text;
        Clock::time_point at;
    };
    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The arrival of the first message whose text begins with `prefix` and
    // holds `part`, waited for up to `timeout`.
    bool waitFor(const std::string& prefix, const std::string& part,
                 std::chrono::milliseconds timeout, Clock::time_point* at = nullptr) const {
        return testsupport::waitUntil(
            [&] {
                for (const Message& m : messages()) {
                    if (m.text.rfind(prefix, 0) == 0 && m.text.find(part) != std::string::npos) {
                        if (at) {
                            *at = m.at;
                        }
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }
    std::string all() const {
        std::string text;
        for (const Message& m : messages()) {
            text += m.text + "\n";
        }
        return text;
    }

  private:
    void read() {
        char buffer[4096];
        while (!stop_) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back({std::string(buffer, static_cast<size_t>(n)), Clock::now()});
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards messages_; taken alone
    std::vector<Message> messages_;
    std::thread reader_;
};

// Sets environment variables for the children started meanwhile.
class Environment {
  public:
    void set(const char* name, const std::string& value) {
        names_.push_back(name);
        setenv(name, value.c_str(), 1);
    }
    ~Environment() {
        for (const char* name : names_) {
            unsetenv(name);
        }
    }

  private:
    std::vector<const char*> names_;
};

std::unique_ptr<simemu::SimServerEmulator> startServer() {
    simemu::EmulatorOptions options;
    options.quiet = true;
    auto server = std::make_unique<simemu::SimServerEmulator>(options);
    EXPECT_TRUE(server->start()) << "the emulated server could not bind its ports";
    return server;
}

// Runs the bridge with both streams on one pipe, as the journal connects
// them, and returns what it wrote; `journal` names the pipe in JOURNAL_STREAM,
// otherwise JOURNAL_STREAM names another file.
std::string runOnPipe(const std::vector<std::string>& args, bool journal) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    struct stat info;
    fstat(journal ? fds[1] : STDIN_FILENO, &info);
    const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        std::vector<char*> argv{const_cast<char*>(PSMR_EXECUTABLE)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(PSMR_EXECUTABLE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

}  // namespace

// Readiness, the status while forwarding, the watchdog and the stop, as
// systemd would see them, against both emulated peers.
TEST(Service, NotifiesReadinessStatusWatchdogAndStopping) {
    testsupport::ScratchDir scratch("service");
    const std::string dir = scratch.path();
    std::ofstream(dir + "/bridge.xml") << kBridgeXml;
    auto server = startServer();
    relayunit::RelayUnitEmulator unit;
    unit.start();
    NotifyListener manager(dir + "/notify");
    ASSERT_TRUE(manager.bound());

    constexpr auto kWatchdog = std::chrono::seconds(3);
    Environment environment;
    environment.set("NOTIFY_SOCKET", dir + "/notify");
    environment.set("WATCHDOG_USEC", std::to_string(std::chrono::microseconds(kWatchdog).count()));
    testsupport::ChildProcess bridge(PSMR_EXECUTABLE, {"--configfile", "bridge.xml"}, dir);

    EXPECT_TRUE(manager.waitFor("READY=1", "", 10s)) << manager.all();
    ASSERT_TRUE(server->waitForSubscription(simemu::Protocol::Sim, "HW_PATSPEED", 10s))
        << bridge.err();
    EXPECT_TRUE(manager.waitFor("STATUS=Searching for the unit (address 127.0.0.2)", "", 1s))
        << manager.all();
    EXPECT_TRUE(manager.waitFor("STATUS=Simulation stopped", "", 10s)) << manager.all();
    ASSERT_NE(server->runScenario(), 0u);
    EXPECT_TRUE(manager.waitFor(
        "STATUS=Forwarding to MR-EMU-0001 at 127.0.0.2: ", "values/s; server SIM up, APP up", 10s))
        << manager.all();

    // At least two pings in any watchdog period, measured over two periods.
    Clock::time_point first;
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", "", kWatchdog, &first)) << manager.all();
    std::this_thread::sleep_until(first + 2 * kWatchdog);  // the stretch to measure
    std::vector<Clock::time_point> pings;
    for (const auto& m : manager.messages()) {
        if (m.text == "WATCHDOG=1" && m.at >= first && m.at <= first + 2 * kWatchdog) {
            pings.push_back(m.at);
        }
    }
    ASSERT_GE(pings.size(), 4u) << manager.all();
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LT(pings[i] - pings[i - 1], kWatchdog / 2) << "a gap of more than half a period";
    }

    ASSERT_TRUE(unit.enabled());
    const auto stopAt = Clock::now();
    const int status = bridge.stop(SIGTERM);
    const auto stopTook = Clock::now() - stopAt;
    EXPECT_EQ(status, 0) << bridge.err();
    EXPECT_LT(stopTook, 2s);
    EXPECT_TRUE(manager.waitFor("STOPPING=1", "", 1s)) << manager.all();
    // The monitors are released at once, not left on the last values.
    EXPECT_TRUE(unit.waitForLine("DISABLE", 1s)) << bridge.out() << bridge.err();
    EXPECT_FALSE(unit.enabled());
    EXPECT_NE(bridge.out().find("MR>Stopping on SIGTERM...\n"), std::string::npos) << bridge.out();
    EXPECT_EQ(bridge.out().find("MR>Disconnected!!"), std::string::npos) << bridge.out();
    EXPECT_EQ(bridge.err().find("took too long"), std::string::npos) << bridge.err();
}

// Without NOTIFY_SOCKET the bridge sends nothing and SIGINT stops it the same way.
TEST(Service, SigintStopsInAnOrderlyWayOutsideTheServiceManager) {
    testsupport::ScratchDir scratch("sigint");
    const std::string dir = scratch.path();
    std::ofstream(dir + "/bridge.xml") << kBridgeXml;
    auto server = startServer();
    relayunit::RelayUnitEmulator unit;
    unit.start();
    testsupport::ChildProcess bridge(PSMR_EXECUTABLE, {"--configfile", "bridge.xml"}, dir);
    ASSERT_TRUE(server->waitForSubscription(simemu::Protocol::Sim, "HW_PATSPEED", 10s));
    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit.enabled(); }, 10s)) << bridge.out();
    EXPECT_EQ(bridge.stop(SIGINT), 0) << bridge.err();
    EXPECT_TRUE(unit.waitForLine("DISABLE", 1s)) << bridge.out();
}

// A stop during the unit search, before anything is open, ends at once with 0.
TEST(Service, StopDuringTheSearchEndsAtOnce) {
    testsupport::ScratchDir scratch("searchstop");
    const std::string dir = scratch.path();
    std::ofstream(dir + "/bridge.xml") << kBridgeXml;  // no unit answers at 127.0.0.2
    testsupport::ChildProcess bridge(PSMR_EXECUTABLE, {"--configfile", "bridge.xml"}, dir);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return bridge.out().find("Fixed IP configured") != std::string::npos; }, 10s));
    const auto stopAt = Clock::now();
    EXPECT_EQ(bridge.stop(SIGTERM), 0) << bridge.err();
    EXPECT_LT(Clock::now() - stopAt, 2s);
}

// On the journal's stream every line carries its priority; elsewhere none.
TEST(Journal, LinesCarryTheirPriorityOnlyOnTheJournalsStream) {
    const std::vector<std::string> args = {"--configfile", "/nonexistent/bridge.xml"};
    const std::string journal = runOnPipe(args, true);
    EXPECT_NE(journal.find("<6>MR>Reading configuration file: /nonexistent/bridge.xml\n"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("<3>MR>ERROR>/nonexistent/bridge.xml: cannot open file\n"),
              std::string::npos)
        << journal;
    std::istringstream lines(journal);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>') << line;
    }

    const std::string plain = runOnPipe(args, false);
    EXPECT_NE(plain.find("MR>Reading configuration file: /nonexistent/bridge.xml\n"),
              std::string::npos)
        << plain;
    EXPECT_EQ(plain.find('<'), std::string::npos) << plain;
}

// Conditions the bridge retries are warnings; a line handed over in pieces
// gets one prefix.
TEST(Journal, RetriedConditionsAreWarningsAndPiecesOfALineArePrefixedOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        std::unique_ptr<std::streambuf> buffer(newLineAtomicBuffer(fds[1], true));
        std::ostream out(buffer.get());
        out << "Connection closed by server." << std::endl;
        out << "MR>ERROR>Unable to reach the MonitorRelay unit... (2). Reconnecting..."
            << std::endl;
        out << "MR>ERROR>Connection reestablished..." << std::endl;
        out << "MR>ERROR>Unable to read the configuration!" << std::flush;
        out << "MR>ERROR>Leaving now!" << std::endl;
        out << "two\nlines\n" << std::flush;
    }
    close(fds[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    // The descriptor is neither 1 nor 2: progress unless the text says otherwise.
    EXPECT_EQ(text,
              "<4>Connection closed by server.\n"
              "<4>MR>ERROR>Unable to reach the MonitorRelay unit... (2). Reconnecting...\n"
              "<6>MR>ERROR>Connection reestablished...\n"
              "<3>MR>ERROR>Unable to read the configuration!MR>ERROR>Leaving now!\n"
              "<6>two\n<6>lines\n");
}

// The version of the build, and no abbreviation taken for another option
// (the emulated server once took --version for --version-sim-id).
TEST(Version, EveryProgramPrintsItsVersionAndGuessesNoAbbreviation) {
    const auto bridge = testsupport::runProcess(PSMR_EXECUTABLE, {"-V"});
    EXPECT_EQ(bridge.exitStatus, 0);
    EXPECT_EQ(bridge.out, std::string("PatientSimulatorMonitorRelay ") + PSMR_VERSION + "\n");
    const auto server = testsupport::runProcess(PSMR_SIM_SERVER_EMULATOR, {"--version"});
    EXPECT_EQ(server.exitStatus, 0) << server.err;
    EXPECT_EQ(server.out, std::string("sim-server-emulator ") + PSMR_VERSION + "\n");
    const auto unit = testsupport::runProcess(PSMR_RELAY_UNIT_EMULATOR, {"--version"});
    EXPECT_EQ(unit.exitStatus, 0) << unit.err;
    EXPECT_EQ(unit.out, std::string("relay-unit-emulator ") + PSMR_VERSION + "\n");

    const auto abbreviated = testsupport::runProcess(PSMR_EXECUTABLE, {"--config", "bridge.xml"});
    EXPECT_EQ(abbreviated.exitStatus, 1);
    EXPECT_EQ(abbreviated.err, "MR>ERROR>unrecognised option '--config'\n");
}
