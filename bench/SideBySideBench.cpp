// The forwarding path beside its floor, on the same traffic: the bridge
// (SimulatorSample with its real clients) takes a scenario's APP update
// stream over loopback TCP and sends command sessions to an emulated unit;
// then the floor forwarder takes the same stream to the same unit. Prints the
// CPU per block of each and their ratio, and checks that the unit received
// the same datagrams from both.
#include <arpa/inet.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
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
    "                          [--chunk FRAMES] [--window BLOCKS] [--rounds R]\n"
    "Runs in a private network namespace: sh tests/netns-run.sh side_by_side_bench\n";

struct Options {
    fwdbench::TrafficOptions traffic;
    std::size_t chunk = 25;   // frames per feeder write
    std::size_t window = 40;  // blocks the forwarder may run ahead of the unit
    std::size_t rounds = 5;   // bridge and floors in turn, each from a fresh start
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
        } else if (a == "--rounds") {
            o.rounds = v;
        } else {
            return false;
        }
    }
    return true;
}

// Lines of one name the unit has received; its ABP lines count blocks, one
// per command session.
class LineCounter {
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

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The middle of a list of figures (the mean of the two middle ones when even).
double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// One forwarder's rounds: its figures are the medians over them, so that a
// round slowed by the machine's other work does not decide the result.
struct Rounds {
    std::string label;
    std::vector<Measure> measures;
    Measure middle() const {
        Measure m{label, 0, 0, 0, 0, 0};
        if (measures.empty()) {
            return m;
        }
        std::vector<double> cpu, wall, waits;
        for (const Measure& r : measures) {
            cpu.push_back(r.cpuMs);
            wall.push_back(r.wallMs);
            waits.push_back(static_cast<double>(r.waits));
        }
        m.blocks = measures.front().blocks;
        m.datagrams = measures.front().datagrams;
        m.cpuMs = median(cpu);
        m.wallMs = median(wall);
        m.waits = static_cast<std::uint64_t>(median(waits));
        return m;
    }
};

// A block is ten arterial samples, 120 ms of simulation: the headroom is how
// many times real time a forwarder keeps up with on its CPU per block.
constexpr double kBlockSimulatedUs = 120000.0;

void printRow(const Measure& m, double floorUs, double bufferedUs) {
    const double us = m.perBlockUs();
    std::printf("%-28s %7zu %9zu %8.1f %8.1f %11.2f %9.2f %6.2f %8.2f %9.0f\n", m.label.c_str(),
                m.blocks, m.datagrams, m.cpuMs, m.wallMs, m.waitsPerBlock(), us,
                floorUs > 0 ? us / floorUs : 0.0, bufferedUs > 0 ? us / bufferedUs : 0.0,
                us > 0 ? kBlockSimulatedUs / us : 0.0);
}

// With two processors or more, the forwarder measured runs alone on the last
// one and the peers (feeder, emulated unit and server) on the others: they
// would otherwise take turns on its processor and in its caches, and its CPU
// per block would measure them as much as itself. Threads inherit the
// calling thread's set, so the set is chosen before a forwarder's threads
// are made.
enum class Place { Peers, Forwarder };
void placeThisThread(Place place) {
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    if (processors < 2) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (place == Place::Forwarder) {
        CPU_SET(static_cast<int>(processors - 1), &set);
    } else {
        for (long cpu = 0; cpu < processors - 1; ++cpu) {
            CPU_SET(static_cast<int>(cpu), &set);
        }
    }
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// What both forwarders share: the traffic, the emulated unit that receives
// their datagrams, its block count and the bridge's configuration.
struct Rig {
    Options options;
    fwdbench::UpdateStream stream;
    std::size_t expectedBlocks = 0;
    std::filesystem::path dir;
    relayunit::EmulatorOptions unitOptions;
    relayunit::RelayUnitEmulator* unit = nullptr;
    LineCounter* counter = nullptr;                   // blocks: ABP lines
    LineCounter* co2Lines = nullptr;                  // the bridge sends one as it enables the unit
    LineCounter* stops = nullptr;                     // the bridge's link sends one as it closes
    std::map<std::string, std::uint32_t> subscribed;  // the bridge's server ids

    // Feeds the stream through `peer`, never more than the window ahead of the unit.
    bool feed(AppPeer& peer, std::size_t blocksBefore) const {
        return peer.feed(options.chunk, options.window, [&](std::size_t blocks) {
            return counter->waitFor(blocksBefore + blocks, 20s);
        });
    }

    // True when the feed went through and the unit received every block of it.
    bool allForwarded(const char* who, bool fed, std::size_t blocksBefore) const {
        if (fed && counter->waitFor(blocksBefore + expectedBlocks, 20s)) {
            return true;
        }
        std::cerr << who << " forwarded " << counter->count() - blocksBefore << " of "
                  << expectedBlocks << " blocks" << std::endl;
        return false;
    }
};

// One round of the bridge from a fresh start: a new SimulatorSample with its
// clients, a new scripted APP peer; the CPU counted over the feed only.
bool runBridge(Rig& rig, Measure& receiveOut, Measure& allOut,
               std::vector<std::string>& datagrams) {
    AppPeer appPeer(rig.stream, true);
    if (!appPeer.start("127.0.0.1", 55557)) {
        return false;
    }
    // Threads that exist now are the peers'; the bridge's are the ones that come.
    std::set<int> peerThreads;
    for (const auto& thread : threadStats()) {
        peerThreads.insert(thread.first);
    }
    const std::size_t co2Before = rig.co2Lines->count();
    Configuration configuration((rig.dir / "bridge.xml").c_str());
    placeThisThread(Place::Forwarder);
    auto bridge = std::make_unique<SimulatorSample>(&configuration);
    const bool started = bridge->initialize(false);
    placeThisThread(Place::Peers);
    if (!started) {
        std::cerr << "the bridge did not start" << std::endl;
        return false;
    }
    // Enabled by HW_PATSPEED before the APP inputs arrive, so that their
    // first samples are kept, as the floor keeps them.
    if (!rig.co2Lines->waitFor(co2Before + 1, 20s) ||
        (appPeer.releaseScenario(), !appPeer.waitSubscribed(20s))) {
        std::cerr << "the bridge never enabled the unit and subscribed its inputs" << std::endl;
        return false;
    }
    rig.subscribed = appPeer.subscribed();

    const std::size_t firstDatagram = rig.unit->datagramCount();
    const std::size_t blocksBefore = rig.counter->count();
    const auto statsBefore = threadStats();
    const auto wallStart = std::chrono::steady_clock::now();
    if (!rig.allForwarded("the bridge", rig.feed(appPeer, blocksBefore), blocksBefore)) {
        return false;
    }
    const double wallMs = msSince(wallStart);
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
    datagrams = datagramsSince(*rig.unit, firstDatagram);
    // Gone before the floor starts: its last datagram must not fall among the floor's.
    const std::size_t stopsBefore = rig.stops->count();
    bridge.reset();
    if (!rig.stops->waitFor(stopsBefore + 1, 20s)) {
        std::cerr << "the bridge's link never said it was closing" << std::endl;
        return false;
    }
    const auto measure = [&](const char* label, const ThreadStat& used) {
        return Measure{
            label,  rig.expectedBlocks, datagrams.size(), static_cast<double>(used.cpuNs) / 1e6,
            wallMs, used.waits};
    };
    receiveOut = measure("bridge, APP receive thread", receive);
    allOut = measure("bridge, all its threads", all);
    return true;
}

// One round of the floor from a fresh start, reading as the bridge does or
// through a buffer.
bool runFloor(Rig& rig, FloorForwarder::Reading reading, Measure& out,
              std::vector<std::string>& datagrams) {
    Configuration tables((rig.dir / "bridge.xml").c_str());
    tables.readConfiguration();
    std::vector<std::pair<std::uint32_t, float>> initial;
    for (const auto& input : fwdbench::trafficInputs()) {
        initial.emplace_back(fwdbench::serverIdOf(input.name), input.initial);
    }
    sockaddr_in unitAddress{};
    unitAddress.sin_family = AF_INET;
    unitAddress.sin_port = htons(rig.unitOptions.port);
    inet_pton(AF_INET, rig.unitOptions.address.c_str(), &unitAddress.sin_addr);

    AppPeer feeder(rig.stream, false);
    FloorForwarder floor(rig.subscribed, tableOf(tables.spo2Calibration),
                         tableOf(tables.co2Calibration), unitAddress);
    floor.applyInitial(initial);
    if (!feeder.start("127.0.0.1", 0) || !floor.connect("127.0.0.1", feeder.port()) ||
        !feeder.waitClient(20s)) {
        std::cerr << "the floor could not connect to its feeder" << std::endl;
        return false;
    }
    const std::size_t firstDatagram = rig.unit->datagramCount();
    const std::size_t blocksBefore = rig.counter->count();
    FloorForwarder::Result result;
    const auto wallStart = std::chrono::steady_clock::now();
    std::thread forwarder([&] {
        placeThisThread(Place::Forwarder);
        result = floor.run(rig.stream.frameEnds.size(), reading);
    });
    const bool fed = rig.feed(feeder, blocksBefore);
    forwarder.join();
    if (!rig.allForwarded("the floor", fed && result.ok, blocksBefore)) {
        return false;
    }
    const double wallMs = msSince(wallStart);
    datagrams = datagramsSince(*rig.unit, firstDatagram);
    out = {reading == FloorForwarder::Reading::Exact ? "floor, same system calls"
                                                     : "floor, buffered reads",
           static_cast<std::size_t>(result.blocks),
           datagrams.size(),
           static_cast<double>(result.cpuNs) / 1e6,
           wallMs,
           result.waits};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Rig rig;
    if (!parse(argc, argv, rig.options)) {
        std::cerr << kUsage;
        return 2;
    }
    placeThisThread(Place::Peers);
    rig.stream = fwdbench::makeUpdateStream(rig.options.traffic);
    rig.expectedBlocks = rig.stream.blocksThrough.back();

    rig.dir = std::filesystem::temp_directory_path() / ("side-by-side-" + std::to_string(getpid()));
    std::filesystem::create_directories(rig.dir);
    std::filesystem::current_path(rig.dir);  // the bridge keeps its last-address file here
    std::ofstream(rig.dir / "bridge.xml") << kBenchConfiguration;

    LineCounter counter;
    LineCounter co2Lines;
    LineCounter stops;
    rig.counter = &counter;
    rig.co2Lines = &co2Lines;
    rig.stops = &stops;
    rig.unitOptions.watchdogTimeout = std::chrono::hours(1);
    relayunit::RelayUnitEmulator unit(rig.unitOptions);
    rig.unit = &unit;
    unit.setLineObserver([&](const relayunit::ReceivedLine& line) {
        if (line.name == "ABP") {
            counter.add();
        } else if (line.name == "CO2") {
            co2Lines.add();
        } else if (line.name == "STOPME") {
            stops.add();
        }
    });
    unit.start();

    // The SIM side only starts the simulation (HW_PATSPEED 1); its APP port is
    // unused, the scripted peer serves 55557.
    simemu::EmulatorOptions simOptions;
    simOptions.appPort = 0;
    simOptions.quiet = true;
    simemu::SimServerEmulator sim(simOptions);
    sim.set("HW_PATSPEED", 1);
    if (!sim.start()) {
        return 1;
    }

    // The forwarders take turns, round after round, so that the machine's
    // other work weighs on all of them alike; each round's ratio compares
    // neighbours in time.
    Rounds bridgeReceive{"bridge, APP receive thread", {}};
    Rounds bridgeAll{"bridge, all its threads", {}};
    Rounds floorExact{"floor, same system calls", {}};
    Rounds floorBuffered{"floor, buffered reads", {}};
    std::vector<double> ratios;
    std::vector<double> bufferedRatios;
    bool same = true;
    for (std::size_t round = 0; round < rig.options.rounds; ++round) {
        Measure receive, all, exact, buffered;
        std::vector<std::string> bridgeDatagrams, exactDatagrams, bufferedDatagrams;
        if (!runBridge(rig, receive, all, bridgeDatagrams) ||
            !runFloor(rig, FloorForwarder::Reading::Exact, exact, exactDatagrams) ||
            !runFloor(rig, FloorForwarder::Reading::Buffered, buffered, bufferedDatagrams)) {
            return 1;
        }
        for (const auto* floor : {&exactDatagrams, &bufferedDatagrams}) {
            const long diff = firstDifference(bridgeDatagrams, *floor);
            if (diff >= 0) {
                same = false;
                const auto at = static_cast<std::size_t>(diff);
                std::cerr << (floor == &exactDatagrams ? exact.label : buffered.label) << ", round "
                          << round + 1 << ": datagram " << diff << " differs\n  bridge: "
                          << (at < bridgeDatagrams.size() ? bridgeDatagrams[at] : "(none)")
                          << "\n  floor:  " << (at < floor->size() ? (*floor)[at] : "(none)")
                          << std::endl;
            }
        }
        bridgeReceive.measures.push_back(receive);
        bridgeAll.measures.push_back(all);
        floorExact.measures.push_back(exact);
        floorBuffered.measures.push_back(buffered);
        ratios.push_back(exact.perBlockUs() > 0 ? receive.perBlockUs() / exact.perBlockUs() : 0);
        bufferedRatios.push_back(
            buffered.perBlockUs() > 0 ? receive.perBlockUs() / buffered.perBlockUs() : 0);
    }

    const double floorUs = floorExact.middle().perBlockUs();
    const double bufferedUs = floorBuffered.middle().perBlockUs();
    std::printf(
        "\ntraffic: %u updates of %u samples x 5 waveforms, numerics every %u updates; "
        "%zu blocks; %zu rounds (medians)\n",
        rig.options.traffic.updates, rig.options.traffic.samplesPerUpdate,
        rig.options.traffic.numericsEvery, rig.expectedBlocks, rig.options.rounds);
    std::printf("%-28s %7s %9s %8s %8s %11s %9s %6s %8s %9s\n", "forwarder", "blocks", "datagrams",
                "CPU ms", "wall ms", "waits/block", "us/block", "ratio", "/buffered", "x realtime");
    for (const Rounds* r : {&bridgeReceive, &bridgeAll, &floorExact, &floorBuffered}) {
        printRow(r->middle(), floorUs, bufferedUs);
    }
    std::printf("by round (bridge us/block, floor us/block, ratio):");
    for (std::size_t i = 0; i < ratios.size(); ++i) {
        std::printf(" %.2f/%.2f/%.2f", bridgeReceive.measures[i].perBlockUs(),
                    floorExact.measures[i].perBlockUs(), ratios[i]);
    }
    std::printf("\nratio bridge/floor (same system calls), CPU per block, median of rounds: %.2f\n",
                median(ratios));
    std::printf("ratio bridge/floor (buffered reads), CPU per block, median of rounds: %.2f\n",
                median(bufferedRatios));
    std::printf("datagrams: %s\n", same ? "identical" : "DIFFERENT");
    std::fflush(stdout);

    std::filesystem::current_path("/");
    std::filesystem::remove_all(rig.dir);
    return same ? 0 : 1;
}
