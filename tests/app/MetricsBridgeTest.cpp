// The figures of a bridge that forwards between the emulated peers, and the
// endpoint beside it: the counters agree with what the unit received, and no
// client of the endpoint disturbs the blocks' cadence.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>

#include "BridgeFixture.h"
#include "HttpProbe.h"
#include "app/MetricsEndpoint.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "metrics/Metrics.h"

namespace {

std::size_t entries(const char* directory) {
    std::size_t n = 0;
    if (DIR* dir = ::opendir(directory)) {
        while (const dirent* e = ::readdir(dir)) {
            n += e->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return n;
}

// The longest pause between two arterial lines at the unit within [from, to).
std::chrono::milliseconds longestGap(const std::vector<relayunit::ReceivedLine>& lines,
                                     relayunit::Clock::time_point from,
                                     relayunit::Clock::time_point to) {
    std::chrono::milliseconds longest{0};
    std::optional<relayunit::Clock::time_point> previous;
    for (const auto& l : lines) {
        if (l.name != "ABP" || l.at < from || l.at >= to) {
            continue;
        }
        if (previous) {
            longest = std::max(
                longest, std::chrono::duration_cast<std::chrono::milliseconds>(l.at - *previous));
        }
        previous = l.at;
    }
    return longest;
}

const char* kScrape = "GET /metrics HTTP/1.1\r\nHost: bridge\r\nConnection: close\r\n\r\n";

}  // namespace

class MetricsBridge : public BridgeFixture {
  protected:
    void SetUp() override {
        simemu::EmulatorOptions options;
        options.quiet = true;
        server = std::make_unique<simemu::SimServerEmulator>(options);
        ASSERT_TRUE(server->start());
        // Taken before the bridge probes the unit: every datagram since counts.
        datagramsBefore = psmr_metrics::metrics().datagrams();
        for (std::size_t i = 0; i < psmr_metrics::kWaveforms.size(); ++i) {
            valuesBefore[i] = psmr_metrics::metrics().waveformValues(i);
        }
        BridgeFixture::SetUp();
    }
    void TearDown() override {
        BridgeFixture::TearDown();
        server.reset();
    }

    std::unique_ptr<simemu::SimServerEmulator> server;
    std::uint64_t datagramsBefore = 0;
    std::array<std::uint64_t, psmr_metrics::kWaveforms.size()> valuesBefore{};
};

TEST_F(MetricsBridge, CountersMatchWhatTheUnitReceived) {
    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const auto totals = unit->monitor().waveformTotals;
            return totals.count("CVP") && totals.at("CVP") > 100;
        },
        10s))
        << "no waveforms reached the unit";
    ASSERT_TRUE(server->stopScenario());
    ASSERT_TRUE(testsupport::waitUntil([&] { return !unit->enabled(); }, 5s));

    auto& m = psmr_metrics::metrics();
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return m.datagrams() - datagramsBefore == unit->datagramCount(); }, 5s))
        << "counted " << m.datagrams() - datagramsBefore << " datagrams, the unit received "
        << unit->datagramCount();
    const auto totals = unit->monitor().waveformTotals;
    for (std::size_t i = 0; i < psmr_metrics::kWaveforms.size(); ++i) {
        const char* name = psmr_metrics::kWaveforms[i];
        const std::uint64_t received = totals.count(name) ? totals.at(name) : 0;
        EXPECT_EQ(received, m.waveformValues(i) - valuesBefore[i]) << name;
    }
}

TEST_F(MetricsBridge, ScrapesAndHostileClientsLeaveTheBlockCadence) {
    MetricsServer endpoint([] { return psmr_metrics::metrics().exposition(); });
    endpoint.start("127.0.0.1", 0);
    const std::uint16_t port = endpoint.port();
    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit->samples("ABP").size() > 100; }, 10s));

    // Scrapes while the bridge forwards: how long an answer takes.
    std::chrono::microseconds slowest{0};
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = HttpProbe::get(port, kScrape);
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start));
        ASSERT_NE(std::string::npos, answer.find("psmr_blocks_total ")) << answer;
    }
    std::cout << "slowest of 20 scrapes while forwarding: " << slowest.count() << " us\n";

    const auto quietFrom = relayunit::Clock::now();
    std::this_thread::sleep_for(2s);  // the stretch of undisturbed cadence to compare with
    const auto quietTo = relayunit::Clock::now();
    const std::size_t threadsBefore = entries("/proc/self/task");
    const std::size_t descriptorsBefore = entries("/proc/self/fd");

    std::atomic<bool> stop{false};
    std::atomic<unsigned> mostConnections{0};
    std::atomic<std::size_t> mostThreads{0};
    const std::string big(9000, 'x');
    std::vector<std::thread> clients;
    // Slowloris: requests that trickle in a byte at a time.
    clients.emplace_back([&] {
        std::vector<std::unique_ptr<HttpProbe>> slow;
        for (int i = 0; i < 12; ++i) {
            slow.push_back(std::make_unique<HttpProbe>(port));
        }
        while (!stop) {
            for (auto& s : slow) {
                s->send("G");
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    // Oversized, malformed and concurrent requests, over and over.
    clients.emplace_back([&] {
        while (!stop) {
            HttpProbe::get(port, "GET /metrics HTTP/1.1\r\nX-Pad: " + big + "\r\n\r\n");
            HttpProbe::get(port, "\x01\x02 garbage\r\n\r\n");
            std::vector<std::unique_ptr<HttpProbe>> burst;
            for (int i = 0; i < 16; ++i) {
                burst.push_back(std::make_unique<HttpProbe>(port));
                burst.back()->send(kScrape);
            }
        }
    });
    const auto abuseFrom = relayunit::Clock::now();
    while (relayunit::Clock::now() - abuseFrom < 2s) {
        mostConnections = std::max(mostConnections.load(), endpoint.openConnections());
        mostThreads = std::max(mostThreads.load(), entries("/proc/self/task"));
        std::this_thread::sleep_for(5ms);
    }
    const auto abuseTo = relayunit::Clock::now();
    stop = true;
    for (auto& c : clients) {
        c.join();
    }

    const auto lines = unit->lines();
    const auto quiet = longestGap(lines, quietFrom, quietTo);
    const auto abused = longestGap(lines, abuseFrom, abuseTo);
    std::cout << "longest block gap: " << quiet.count() << " ms quiet, " << abused.count()
              << " ms under hostile clients\n";
    ASSERT_GT(quiet.count(), 0) << "no blocks in the quiet stretch";
    EXPECT_LE(abused, 2 * quiet) << "forwarding stalled while clients misbehaved";
    EXPECT_LE(mostConnections.load(), MetricsLimits().maxConnections);
    // The test's own two client threads are the only new ones.
    EXPECT_LE(mostThreads.load(), threadsBefore + clients.size());
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return entries("/proc/self/fd") <= descriptorsBefore; }, 5s))
        << entries("/proc/self/fd") << " descriptors open, " << descriptorsBefore << " before";
}

// Without the element nothing listens; with it the endpoint answers on its port.
TEST(MetricsEndpointStart, OpensTheEndpointOnlyWhenTheConfigurationAsks) {
    testsupport::ScratchDir dir("psmr-metrics-element");
    const std::string path = dir.file("bridge.xml");
    std::ofstream(path) << kBridgeXml;
    const std::size_t descriptors = entries("/proc/self/fd");
    EXPECT_EQ(nullptr, startMetricsEndpoint(path));
    EXPECT_EQ(descriptors, entries("/proc/self/fd")) << "a descriptor opened without the element";
    EXPECT_FALSE(HttpProbe(9743).connected());

    std::string text = kBridgeXml;
    text.insert(text.find("</MonitorRelay>"),
                "    <Metrics address=\"127.0.0.1\" port=\"9743\"/>\n");
    std::ofstream(path, std::ios::trunc) << text;
    testing::internal::CaptureStdout();
    auto endpoint = startMetricsEndpoint(path);
    EXPECT_EQ("MR>Metrics endpoint listening on 127.0.0.1 port 9743\n",
              testing::internal::GetCapturedStdout());
    ASSERT_NE(nullptr, endpoint);
    EXPECT_NE(std::string::npos, HttpProbe::get(9743, kScrape).find("\npsmr_blocks_total "));
}
