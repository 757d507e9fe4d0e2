#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "relay/RelayFixture.h"
#include "relay/UnitEncoding.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using relaytest::RelayFixture;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class Discovery : public RelayFixture {};

std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

relayunit::EmulatorOptions unitAt(const std::string& address, const std::string& serial) {
    relayunit::EmulatorOptions o;
    o.address = address;
    o.serial = serial;
    return o;
}

}  // namespace

TEST_F(Discovery, FixedAddressFindsTheUnitAndRemembersIt) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("", "127.0.0.2", "127.0.0.5", "127.0.0.9", false));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("MR>Initialization of the MonitorRelay adapter...\n"
                               "Fixed IP configured: 127.0.0.2\n"
                               "MR>Found MonitorRelay with serial Id: SN-0042 at endpoint: "
                               "127.0.0.2\n"
                               "MR>SerialId not provided, connecting to first MonitorRelay: "
                               "SN-0042\n"));
    EXPECT_THAT(out, Not(HasSubstr("Range of IPs")));
    EXPECT_TRUE(adaptor_->isConnected());
    EXPECT_EQ("SN-0042", adaptor_->serialId());
    EXPECT_EQ("127.0.0.2", adaptor_->unitAddress());
    EXPECT_EQ("127.0.0.2", MonitorRelayAdaptor::LastConnectedIP);
    EXPECT_EQ("127.0.0.2", readFile(MonitorRelayAdaptor::kLastConnectedFile));
    ASSERT_FALSE(unit_->datagrams().empty());
    EXPECT_EQ(MonitorRelayAdaptor::kProbeLine, unit_->datagrams().front().text);
}

TEST_F(Discovery, WrongSerialIsLoggedIgnoredAndTheProbeFails) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(adaptor_->connectIP("SN-WANTED", "127.0.0.2", 2));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(out, HasSubstr("MR>Found MonitorRelay with serial Id: SN-0042 at endpoint: "
                               "127.0.0.2\n"));
    EXPECT_THAT(err, HasSubstr("MR>Failed to find MonitorRelay on IP 127.0.0.2 with SerialId: "
                               "SN-WANTED\n"));
    EXPECT_FALSE(adaptor_->isConnected());
    EXPECT_FALSE(adaptor_->hasLink());
    EXPECT_TRUE(MonitorRelayAdaptor::LastConnectedIP.empty());
}

TEST_F(Discovery, MalformedRepliesAreNotCountedAsTries) {
    // Three units hear one broadcast probe and answer one after the other:
    // no ":", an empty serial, then a good answer. With a single try, a
    // malformed reply that counted would end the probe before the good one.
    unit_->stop();
    auto bad = unitAt("127.0.0.2", "SN-X");
    bad.alsoListen = {"127.255.255.255"};
    relayunit::RelayUnitEmulator noColon(bad);
    noColon.setIdReply("[ID]no colon here@");
    bad.address = "127.0.0.3";
    relayunit::RelayUnitEmulator emptySerial(bad);
    emptySerial.setIdReply("[ID]MonitorRelay v2.2:@");
    emptySerial.setReplyDelay(50ms);
    auto good = unitAt("127.0.0.4", "SN-LATE");
    good.alsoListen = {"127.255.255.255"};
    relayunit::RelayUnitEmulator late(good);
    late.setReplyDelay(100ms);
    noColon.start();
    emptySerial.start();
    late.start();

    EXPECT_TRUE(adaptor_->connectIP("", "127.255.255.255", 1, true))
        << "a malformed reply was counted as a try";
    EXPECT_EQ("SN-LATE", adaptor_->serialId());
    EXPECT_EQ("127.0.0.4", adaptor_->unitAddress());
}

TEST_F(Discovery, BoundedAttemptsGiveUp) {
    unit_->setSilent(true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(adaptor_->initialize("", "127.0.0.2", "", "", false));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(2u, count(out, "Fixed IP configured: 127.0.0.2\n"));  // boundedAttempts
    EXPECT_EQ(2u, count(err, "MR>Failed to find any MonitorRelay on IP 127.0.0.2\n"));
    EXPECT_FALSE(adaptor_->hasLink());
    // One probe per attempt, however many waits it gets; each failed link says stop.
    ASSERT_TRUE(unit_->waitForDatagrams(4, 2s)) << "the second link's stop line never arrived";
    EXPECT_THAT(datagramsAfter(0),
                ::testing::ElementsAre(MonitorRelayAdaptor::kProbeLine, "[STOPME]@",
                                       MonitorRelayAdaptor::kProbeLine, "[STOPME]@"));
}

TEST_F(Discovery, RetryForeverWaitsForTheUnit) {
    unit_->setSilent(true);
    std::thread wake([&] {
        // Three probes ignored, then the unit answers.
        if (unit_->waitForLine("ID", 5s, 3)) {
            unit_->setSilent(false);
        }
    });
    testing::internal::CaptureStdout();
    const bool found = adaptor_->initialize("", "127.0.0.2", "", "", true);
    const std::string out = testing::internal::GetCapturedStdout();
    wake.join();
    EXPECT_TRUE(found);
    EXPECT_GE(count(out, "Fixed IP configured"), 3u) << "it stopped trying too early";
}

TEST_F(Discovery, RangeScanCarriesOctetsAndTriesTheLastAddressFirst) {
    relayunit::RelayUnitEmulator far(unitAt("127.0.1.1", "SN-FAR"));
    far.start();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("", "", "127.0.0.254", "127.0.1.1", false));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Range of IPs configured: 127.0.0.254 to 127.0.1.1\n"
                               "Scanning 127.0.0.254\n"));
    EXPECT_THAT(out, HasSubstr("Scanning 127.0.0.255\n"));
    EXPECT_THAT(out, HasSubstr("Scanning 127.0.1.0\n"));
    EXPECT_THAT(out, HasSubstr("Scanning 127.0.1.1\n"));
    EXPECT_LT(out.find("Scanning 127.0.0.255"), out.find("Scanning 127.0.1.0"));
    EXPECT_THAT(out, Not(HasSubstr("Trying last")));
    EXPECT_EQ("SN-FAR", adaptor_->serialId());
    EXPECT_EQ("127.0.1.1", readFile(MonitorRelayAdaptor::kLastConnectedFile));

    // Now remembered, but outside the next range: not tried at all.
    far.stop();
    adaptor_.reset();  // it holds port 14996
    MonitorRelayAdaptor second(relaytest::fastTimings());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(second.initialize("", "", "127.0.0.1", "127.0.0.2", false));
    out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, Not(HasSubstr("Trying last")));
    EXPECT_EQ("SN-0042", second.serialId());
}

TEST_F(Discovery, RangeTriesTheRememberedAddressOnceAndBindsToWhoAnswered) {
    // Remembered and inside the range, but gone: tried once, before the scan.
    MonitorRelayAdaptor::LastConnectedIP = "127.0.0.3";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("", "", "127.0.0.1", "127.0.0.4", false));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1u, count(out, "Trying last successful IP address 127.0.0.3\n"));
    EXPECT_LT(out.find("Trying last"), out.find("Scanning 127.0.0.1"));
    EXPECT_EQ("127.0.0.2", adaptor_->unitAddress());
    EXPECT_EQ("127.0.0.2", readFile(MonitorRelayAdaptor::kLastConnectedFile));
    adaptor_->enable();
    EXPECT_TRUE(unit_->enabled()) << "the link does not reach the unit that answered";
}

TEST_F(Discovery, RangeWhoseStartIsNotBelowItsEndEndsTheProcess) {
    // No unit thread may run when the death test forks: the child exits with
    // that thread's memory unreachable, which the leak checker would report.
    unit_->stop();
    EXPECT_EXIT(adaptor_->connectRange("", "127.0.0.5", "127.0.0.5"), ::testing::ExitedWithCode(1),
                "MR>ERROR>IP Range incorrect, end address > start address");
    EXPECT_THROW(adaptor_->connectRange("", "127.0.0.300", "127.0.0.5"),
                 boost::system::system_error);
}

TEST_F(Discovery, BroadcastSelectsTheRequestedSerialAndTalksToTheUnitItself) {
    // Two units hear the broadcast; the wrong one answers first.
    unit_->stop();
    auto first = unitAt("127.0.0.2", "SN-A");
    first.alsoListen = {"127.255.255.255"};
    relayunit::RelayUnitEmulator a(first);
    auto second = unitAt("127.0.0.3", "SN-B");
    second.alsoListen = {"127.255.255.255"};
    relayunit::RelayUnitEmulator b(second);
    b.setReplyDelay(120ms);
    a.start();
    b.start();
    adaptor_->setHostNameSource([] { return std::string("127.255.0.1"); });

    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("SN-B", "", "127.0.0.1", "", false));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("UDP broadcast detection\nMR>Pinging 127.255.255.255\n"));
    EXPECT_THAT(out, HasSubstr("MR>Found MonitorRelay with serial Id: SN-A at endpoint: "
                               "127.0.0.2\n"));
    EXPECT_THAT(out, HasSubstr("MR>Found MonitorRelay with requested SerialId: SN-B\n"));
    EXPECT_EQ("127.0.0.3", adaptor_->unitAddress());
    // The unit's own address: a broadcast address is no unit's.
    EXPECT_EQ("127.0.0.3", readFile(MonitorRelayAdaptor::kLastConnectedFile));

    // The link was re-created to the unit's own address.
    adaptor_->enable();
    EXPECT_TRUE(adaptor_->isEnabled());
    EXPECT_TRUE(b.enabled());
    EXPECT_FALSE(a.associated());
}

TEST_F(Discovery, BroadcastWithoutInterfaceReportsAndFails) {
    adaptor_->setHostNameSource([] { return std::string("no-such-host.invalid"); });
    testing::internal::CaptureStderr();
    EXPECT_FALSE(adaptor_->connectUDP(""));
    EXPECT_EQ("MR>Unable to find a network interface...\n", testing::internal::GetCapturedStderr());
}

TEST_F(Discovery, LastConnectedFileRoundTrip) {
    MonitorRelayAdaptor::LoadLastConnectedIP();  // missing file: silent, empty
    EXPECT_TRUE(MonitorRelayAdaptor::LastConnectedIP.empty());

    MonitorRelayAdaptor::LastConnectedIP = "127.0.0.9";
    MonitorRelayAdaptor::SaveLastConnectedIP();
    EXPECT_EQ("127.0.0.9", readFile(MonitorRelayAdaptor::kLastConnectedFile));

    MonitorRelayAdaptor::LastConnectedIP.clear();
    testing::internal::CaptureStdout();
    MonitorRelayAdaptor::LoadLastConnectedIP();
    EXPECT_EQ("Loaded last connected IP 127.0.0.9\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("127.0.0.9", MonitorRelayAdaptor::LastConnectedIP);

    // A NUL ended the parse early and the junk after it went unnoticed.
    for (const std::string& bad :
         {std::string("127.0.0.9\n"), std::string(" 127.0.0.9"), std::string("junk"), std::string(),
          std::string("1.1.0.0\0junk", 12), std::string("1.1.0.0\0", 8),
          "127.0.0.9" + std::string(4096, ' ')}) {
        writeFile(MonitorRelayAdaptor::kLastConnectedFile, bad);
        MonitorRelayAdaptor::LastConnectedIP.clear();
        MonitorRelayAdaptor::LoadLastConnectedIP();
        EXPECT_TRUE(MonitorRelayAdaptor::LastConnectedIP.empty())
            << "accepted '" << unit_encoding::printable(bad.substr(0, 40)) << "'";
    }
}

TEST_F(Discovery, InitializeLoadsTheFileOnlyWhenNothingIsKnown) {
    writeFile(MonitorRelayAdaptor::kLastConnectedFile, "127.0.0.2");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("", "", "127.0.0.1", "127.0.0.8", false));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Loaded last connected IP 127.0.0.2\n"));
    // Found through the remembered address before the range was scanned.
    EXPECT_THAT(out, HasSubstr("Trying last successful IP address 127.0.0.2\n"));
    EXPECT_THAT(out, Not(HasSubstr("Scanning")));
    EXPECT_EQ("SN-0042", adaptor_->serialId());
}

TEST_F(Discovery, TheLastAddressIsSavedByRenameNotThroughALink) {
    writeFile("victim.txt", "keep me");
    ASSERT_EQ(0, symlink("victim.txt", MonitorRelayAdaptor::kLastConnectedFile));
    MonitorRelayAdaptor::LastConnectedIP = "127.0.0.7";
    const mode_t previousMask = umask(022);
    MonitorRelayAdaptor::SaveLastConnectedIP();
    umask(previousMask);
    EXPECT_EQ("keep me", readFile("victim.txt"));
    EXPECT_EQ("127.0.0.7", readFile(MonitorRelayAdaptor::kLastConnectedFile));
    struct stat st {};
    ASSERT_EQ(0, lstat(MonitorRelayAdaptor::kLastConnectedFile, &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0644u, st.st_mode & 0777) << "created with the usual mode under umask 022";
    // Nothing of the temporary file is left beside it.
    std::size_t entries = 0;
    for (DIR* dir = opendir("."); dir != nullptr;) {
        const dirent* e = readdir(dir);
        if (e == nullptr) {
            closedir(dir);
            break;
        }
        entries += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    }
    EXPECT_EQ(2u, entries);
}

TEST_F(Discovery, ASerialWithALineBreakIsLoggedEscaped) {
    unit_->setAnnouncedSerial("SN\nMR>forged line");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 2));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("MR>Found MonitorRelay with serial Id: SN\\x0aMR>forged line at "
                               "endpoint: 127.0.0.2\n"));
    EXPECT_THAT(out, HasSubstr("MR>SerialId not provided, connecting to first MonitorRelay: "
                               "SN\\x0aMR>forged line\n"));
    EXPECT_THAT(out, Not(HasSubstr("\nMR>forged")));
    // The serial itself is kept as the unit sent it: association needs it.
    EXPECT_EQ("SN\nMR>forged line", adaptor_->serialId());
}

TEST_F(Discovery, AStreamOfForeignDatagramsDoesNotHoldAProbe) {
    unit_->stop();
    relaytest::RawPeer peer("127.0.0.3");
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        // Answers without ":" are ignored; they used to restart the wait each time.
        while (flooding) {
            peer.sendToLink("[X]no serial here@");
            std::this_thread::sleep_for(2ms);
        }
    });
    auto probe =
        std::async(std::launch::async, [&] { return adaptor_->connectIP("", "127.0.0.3", 2); });
    // Two tries of 150 ms each; a generous bound for a loaded machine.
    const bool ended = probe.wait_for(5s) == std::future_status::ready;
    flooding = false;
    flood.join();
    EXPECT_TRUE(ended) << "the probe kept waiting while foreign datagrams arrived";
    EXPECT_FALSE(probe.get());
    EXPECT_FALSE(adaptor_->hasLink());
}
