// The forwarding path beside its floor, on the same traffic: the bridge
// (SimulatorSample with its real clients) takes a scenario's APP update
// stream over loopback TCP and sends command sessions to an emulated unit;
// then the floor forwarder takes the same stream to the same unit. Prints the
// CPU per block of each and their ratio, and checks that the unit received
// the same datagrams from both.
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/SimulatorSample.h"
#include "bench/AppPeer.h"
#include "bench/BenchConfiguration.h"
#include "bench/FloorForwarder.h"
#include "bench/Traffic.h"
#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "emulators/sim_server/SimServerEmulator.h"

namespace {

using namespace std::chrono_literals;
using fwdbench::AppPeer;

const char* kUsage =
    "Usage: side_by_side_bench [--updates N] [--samples S] [--numerics-every K]\n"
    "                          [--chunk FRAMES] [--window BLOCKS]\n"
    "Runs in a private network namespace: sh tests/netns-run.sh side_by_side_bench\n";

struct Options {
    fwdbench::TrafficOptions traffic;
    std::size_t chunk = 25;   // frames per feeder write
    std::size_t window = 40;  // blocks the forwarder may run ahead of the unit
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const unsigned long v = std::strtoul(argv[++i], nullptr, 10);
        if (v == 0 && a != "--numerics-every") {
            return false;
        }
        if (a == "--updates") {
            o.traffic.updates = static_cast<unsigned>(v);
        } else if (a == "--samples") {
            o.traffic.samplesPerUpdate = static_cast<unsigned>(v);
        } else if (a == "--numerics-every") {
            o.traffic.numericsEvery = static_cast<unsigned>(v);
        } else if (a == "--chunk") {
            o.chunk = v;
        } else if (a == "--window") {
            o.window = v;
        } else {
            return false;
        }
    }
    return true;
}

// Blocks the unit has received: its ABP lines, one per command session.
class BlockCounter {
  public:
    void add() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    bool waitFor(std::size_t target, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ >= target; });
    }

  private:
    // Guards count_; taken alone (on the unit's thread and the feeder's).
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t count_ = 0;
};

struct ThreadStat {
    std::uint64_t cpuNs = 0;
    std::uint64_t waits = 0;  // voluntary context switches: blocked for input
};

// Every thread of this process, as the scheduler counts them.
std::map<int, ThreadStat> threadStats() {
    std::map<int, ThreadStat> stats;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return stats;
    }
    while (dirent* entry = readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0) {
            continue;
        }
        const std::string task = "/proc/self/task/" + std::string(entry->d_name);
        ThreadStat stat;
        std::ifstream schedstat(task + "/schedstat");
        if (!(schedstat >> stat.cpuNs)) {
            continue;  // the thread has gone
        }
        std::ifstream status(task + "/status");
        std::string line;
        const std::string key = "voluntary_ctxt_switches:";
        while (std::getline(status, line)) {
            if (line.compare(0, key.size(), key) == 0) {
                stat.waits = std::strtoull(line.c_str() + key.size(), nullptr, 10);
            }
        }
        stats[tid] = stat;
    }
    closedir(dir);
    return stats;
}

struct Measure {
    std::string label;
    std::size_t blocks = 0;
    std::size_t datagrams = 0;
    double cpuMs = 0;
    double wallMs = 0;
    std::uint64_t waits = 0;
    double perBlockUs() const { return blocks ? cpuMs * 1000.0 / static_cast<double>(blocks) : 0; }
    double waitsPerBlock() const {
        return blocks ? static_cast<double>(waits) / static_cast<double>(blocks) : 0;
    }
};

std::vector<std::string> datagramsSince(const relayunit::RelayUnitEmulator& unit,
                                        std::size_t first) {
    std::vector<std::string> texts;
    const auto all = unit.datagrams();
    for (std::size_t i = first; i < all.size(); ++i) {
        texts.push_back(all[i].text);
    }
    return texts;
}

// Index of the first difference, or -1 when the two are the same.
long firstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

FloorForwarder::Table tableOf(const std::map<float, float>& points) {
    return FloorForwarder::Table(points.begin(), points.end());
}

void printRow(const Measure& m, double floorUs) {
    std::printf("%-28s %7zu %9zu %8.1f %8.1f %11.2f %9.2f %6.2f\n", m.label.c_str(), m.blocks,
                m.datagrams, m.cpuMs, m.wallMs, m.waitsPerBlock(), m.perBlockUs(),
                floorUs > 0 ? m.perBlockUs() / floorUs : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    const fwdbench::UpdateStream stream = fwdbench::makeUpdateStream(options.traffic);
    const std::size_t frames = stream.frameEnds.size();
    const std::size_t expectedBlocks = stream.blocksThrough.back();

    const auto dir =
        std::filesystem::temp_directory_path() / ("side-by-side-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);  // the bridge keeps its last-address file here
    std::ofstream(dir / "bridge.xml") << kBenchConfiguration;

    BlockCounter counter;
    relayunit::EmulatorOptions unitOptions;
    unitOptions.watchdogTimeout = std::chrono::hours(1);
    relayunit::RelayUnitEmulator unit(unitOptions);
    unit.setLineObserver([&counter](const relayunit::ReceivedLine& line) {
        if (line.name == "ABP") {
            counter.add();
        }
    });
    unit.start();

    // The SIM side only starts the simulation (HW_PATSPEED 1); its APP port is
    // unused, the scripted peer below serves 55557.
    simemu::EmulatorOptions simOptions;
    simOptions.appPort = 0;
    simOptions.quiet = true;
    simemu::SimServerEmulator sim(simOptions);
    sim.set("HW_PATSPEED", 1);
    AppPeer appPeer(stream, true);
    if (!sim.start() || !appPeer.start("127.0.0.1", 55557)) {
        return 1;
    }

    // Threads that exist now are the peers'; the bridge's are the ones that come.
    std::set<int> peerThreads;
    for (const auto& thread : threadStats()) {
        peerThreads.insert(thread.first);
    }
    Configuration configuration((dir / "bridge.xml").c_str());
    auto bridge = std::make_unique<SimulatorSample>(&configuration);
    if (!bridge->initialize(false)) {
        std::cerr << "the bridge did not start" << std::endl;
        return 1;
    }
    // Enabled by HW_PATSPEED before the APP inputs arrive, so that their
    // first samples are kept, as the floor keeps them.
    if (!unit.waitForLine("CO2", 20s) ||
        (appPeer.releaseScenario(), !appPeer.waitSubscribed(20s))) {
        std::cerr << "the bridge never enabled the unit and subscribed its inputs" << std::endl;
        return 1;
    }

    auto feed = [&](AppPeer& peer, std::size_t blocksBefore) {
        return peer.feed(options.chunk, options.window, [&](std::size_t blocks) {
            return counter.waitFor(blocksBefore + blocks, 20s);
        });
    };

    // --- the bridge ----------------------------------------------------------
    std::size_t firstDatagram = unit.datagramCount();
    std::size_t blocksBefore = counter.count();
    const auto statsBefore = threadStats();
    auto wallStart = std::chrono::steady_clock::now();
    if (!feed(appPeer, blocksBefore) || !counter.waitFor(blocksBefore + expectedBlocks, 20s)) {
        std::cerr << "the bridge forwarded " << counter.count() - blocksBefore << " of "
                  << expectedBlocks << " blocks" << std::endl;
        return 1;
    }
    double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
            .count();
    // The APP receive thread does the forwarding: of the bridge's threads, it
    // is the one that worked; the others wake now and then for timeouts.
    ThreadStat receive;
    ThreadStat all;
    for (const auto& [tid, after] : threadStats()) {
        if (peerThreads.count(tid) != 0) {
            continue;
        }
        const auto found = statsBefore.find(tid);
        const ThreadStat before = found == statsBefore.end() ? ThreadStat() : found->second;
        const ThreadStat used{after.cpuNs - before.cpuNs, after.waits - before.waits};
        all.cpuNs += used.cpuNs;
        all.waits += used.waits;
        if (used.cpuNs > receive.cpuNs) {
            receive = used;
        }
    }
    const std::vector<std::string> bridgeDatagrams = datagramsSince(unit, firstDatagram);
    Measure bridgeReceive{"bridge, APP receive thread",
                          expectedBlocks,
                          bridgeDatagrams.size(),
                          static_cast<double>(receive.cpuNs) / 1e6,
                          wallMs,
                          receive.waits};
    Measure bridgeAll{"bridge, all its threads",
                      expectedBlocks,
                      bridgeDatagrams.size(),
                      static_cast<double>(all.cpuNs) / 1e6,
                      wallMs,
                      all.waits};

    // --- the floor, reading as the bridge does, then through a buffer ---------
    Configuration tables((dir / "bridge.xml").c_str());
    tables.readConfiguration();
    std::vector<std::pair<std::uint32_t, float>> initial;
    for (const auto& input : fwdbench::trafficInputs()) {
        initial.emplace_back(fwdbench::serverIdOf(input.name), input.initial);
    }
    sockaddr_in unitAddress{};
    unitAddress.sin_family = AF_INET;
    unitAddress.sin_port = htons(unitOptions.port);
    inet_pton(AF_INET, unitOptions.address.c_str(), &unitAddress.sin_addr);

    bool same = true;
    std::vector<Measure> floors;
    for (const auto reading : {FloorForwarder::Reading::Exact, FloorForwarder::Reading::Buffered}) {
        AppPeer feeder(stream, false);
        FloorForwarder floor(appPeer.subscribed(), tableOf(tables.spo2Calibration),
                             tableOf(tables.co2Calibration), unitAddress);
        floor.applyInitial(initial);
        if (!feeder.start("127.0.0.1", 0) || !floor.connect("127.0.0.1", feeder.port()) ||
            !feeder.waitClient(20s)) {
            std::cerr << "the floor could not connect to its feeder" << std::endl;
            return 1;
        }
        firstDatagram = unit.datagramCount();
        blocksBefore = counter.count();
        FloorForwarder::Result result;
        wallStart = std::chrono::steady_clock::now();
        std::thread forwarder([&] { result = floor.run(frames, reading); });
        const bool fed = feed(feeder, blocksBefore);
        forwarder.join();
        if (!fed || !result.ok || !counter.waitFor(blocksBefore + expectedBlocks, 20s)) {
            std::cerr << "the floor forwarded " << counter.count() - blocksBefore << " of "
                      << expectedBlocks << " blocks" << std::endl;
            return 1;
        }
        wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
                .count();
        const auto floorDatagrams = datagramsSince(unit, firstDatagram);
        const long diff = firstDifference(bridgeDatagrams, floorDatagrams);
        const char* label = reading == FloorForwarder::Reading::Exact ? "floor, same system calls"
                                                                      : "floor, buffered reads";
        if (diff >= 0) {
            same = false;
            const auto at = static_cast<std::size_t>(diff);
            std::cerr << label << ": datagram " << diff << " differs\n  bridge: "
                      << (at < bridgeDatagrams.size() ? bridgeDatagrams[at] : "(none)")
                      << "\n  floor:  "
                      << (at < floorDatagrams.size() ? floorDatagrams[at] : "(none)") << std::endl;
        }
        floors.push_back({label, static_cast<std::size_t>(result.blocks), floorDatagrams.size(),
                          static_cast<double>(result.cpuNs) / 1e6, wallMs, result.waits});
    }

    const double floorUs = floors.front().perBlockUs();
    std::printf(
        "\ntraffic: %u updates of %u samples x 5 waveforms, numerics every %u updates; "
        "%zu blocks\n",
        options.traffic.updates, options.traffic.samplesPerUpdate, options.traffic.numericsEvery,
        expectedBlocks);
    std::printf("%-28s %7s %9s %8s %8s %11s %9s %6s\n", "forwarder", "blocks", "datagrams",
                "CPU ms", "wall ms", "waits/block", "us/block", "ratio");
    printRow(bridgeReceive, floorUs);
    printRow(bridgeAll, floorUs);
    for (const auto& f : floors) {
        printRow(f, floorUs);
    }
    std::printf("ratio bridge/floor (same system calls), CPU per block: %.2f\n",
                bridgeReceive.perBlockUs() / floorUs);
    std::printf("datagrams: %s\n", same ? "identical" : "DIFFERENT");
    std::fflush(stdout);

    bridge.reset();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return same ? 0 : 1;
}
