// Black-box tests of the executable: streams and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "support/RunProcess.h"
#include "support/ScratchDir.h"
#include "support/WaitUntil.h"

using testsupport::ProcessResult;
using testsupport::runProcess;

namespace {

const std::string kUsage =
    "PatientSimulatorMonitorRelay Usage:\n"
    "  -h [ --help ]           Print usage message\n"
    "  -d [ --debug ]          Print debug info\n"
    "  -n [ --nogui ]          Hide the console, Windows only\n"
    "  -f [ --configfile ] arg Pathname to the configuration XML file\n"
    "  -w [ --wifi ] arg       Configure WIFI settings (arg: MR_IP WIFI_SSID \n"
    "                          WIFI_PWD)\n"
    "  -D [ --discover ]       List the MonitorRelay units that answer\n"
    "  -c [ --check ]          Check the configuration file and exit\n"
    "  -V [ --version ]        Print the version and exit\n";

ProcessResult run(const std::vector<std::string>& args, int timeoutMs = 10000) {
    ProcessResult r = runProcess(PSMR_EXECUTABLE, args, timeoutMs);
    EXPECT_FALSE(r.timedOut) << "the program did not end";
    return r;
}

}  // namespace

TEST(CommandLine, HelpPrintsTheUsageListingAndWinsOverEverything) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"-h", "--wifi", "1.2.3.4"}, {"--debug", "-w", "a", "b", "-h"}}) {
        SCOPED_TRACE(args.back());
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "\n" + kUsage + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, UnparsableCommandLineIsAFailure) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--bogus"}, {"-f"}, {"--configfile"}}) {
        SCOPED_TRACE(args.front());
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err.rfind("MR>ERROR>", 0), 0u) << r.err;
        EXPECT_GT(r.err.size(), std::string("MR>ERROR>\n").size()) << "parser text missing";
        EXPECT_EQ(r.out, "MR>ERROR>" + kUsage + "\n");
    }
    EXPECT_EQ(run({"--bogus"}).err, "MR>ERROR>unrecognised option '--bogus'\n");
}

TEST(CommandLine, NoArgumentsMeansMissingConfigurationPath) {
    const ProcessResult r = run({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "MR>Missing configuration file path in parameters\n");
    EXPECT_EQ(r.out, "\n" + kUsage + "\n");
}

TEST(CommandLine, DebugSwitchIsAnnouncedBeforeTheMissingPathFailure) {
    const ProcessResult r = run({"-d"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "MR>Debug mode enabled\n\n" + kUsage + "\n");
    EXPECT_EQ(r.err, "MR>Missing configuration file path in parameters\n");
}

TEST(CommandLine, WifiNeedsExactlyThreeArguments) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--wifi", "127.0.0.2"},
                                               {"--wifi", "127.0.0.2", "net"},
                                               {"-w", "127.0.0.2", "net", "pwd", "extra"},
                                               {"-f", "x.xml", "-w", "127.0.0.2", "net"}}) {
        SCOPED_TRACE(args.size());
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "MR>Incorrect parameters for wifi configuration mode\n");
        EXPECT_EQ(r.out, "\n" + kUsage + "\n");
    }
}

TEST(CommandLine, WifiModeIgnoresTheConfigurationFile) {
    relayunit::RelayUnitEmulator unit;  // 127.0.0.2, in this test's own network
    unit.start();
    const ProcessResult r =
        run({"--configfile", "/nonexistent/bridge.xml", "--wifi", "127.0.0.2", "Ward 3", "s3cret"},
            20000);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.rfind("MR>>Configuration of the MR unit @ IP <127.0.0.2> for SSID <Ward 3> "
                          "and password <s3cret>\n",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(r.out.find("Reading configuration file"), std::string::npos);
    EXPECT_NE(r.out.find("MR>WIFI configuration succeeded; power cycle the MonitorRelay unit for "
                         "changes to take effect\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(unit.wifiSsid(), "Ward 3");
    EXPECT_EQ(unit.wifiPassPhrase(), "s3cret");
}

TEST(CommandLine, BridgeModeWithAnUnreadableFileLeavesWithStatusOne) {
    const ProcessResult r = run({"-f", "/nonexistent/bridge.xml"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.out.find("MR>Reading configuration file: /nonexistent/bridge.xml\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("Unable to read the configuration file\n"), std::string::npos) << r.err;
    // Each failure on a line of its own, none spliced into the next.
    EXPECT_NE(r.err.find("MR>ERROR>Unable to read the configuration!\n"
                         "MR>ERROR>Unable to initialize the MonitorRelay interface module. Leaving "
                         "now!\n"),
              std::string::npos)
        << r.err;
}

TEST(CommandLine, AClosedReaderOfTheOutputDoesNotEndTheUnitSearch) {
    testsupport::ScratchDir scratch("psmr-pipe");
    const std::string dir = scratch.path();
    const std::string config = scratch.file("bridge.xml");
    std::ofstream(config) << "<MonitorRelay><IPAddress>127.0.0.9</IPAddress><IPRangeStart/>"
                             "<IPRangeEnd/><SerialID/><SPO2Scale>5</SPO2Scale>"
                             "<CO2Calibration><Entry key=\"1\" value=\"1\"/></CO2Calibration>"
                             "<SPO2Calibration><Entry key=\"1\" value=\"1\"/></SPO2Calibration>"
                             "</MonitorRelay>";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        if (chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        execl(PSMR_EXECUTABLE, PSMR_EXECUTABLE, "--configfile", config.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    close(fds[0]);  // nobody reads: every write fails
    // The search writes a line per try; a process killed by SIGPIPE is gone at once.
    int status = 0;
    const bool ended = testsupport::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                              std::chrono::milliseconds(1500));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_FALSE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE)
        << "the bridge died of SIGPIPE";
    EXPECT_FALSE(ended) << "the bridge ended while searching for the unit";
}

namespace {

// The source tree, where the example configuration lives.
std::string sourceDirectory() {
    return PSMR_SOURCE_DIR;
}

const std::string kCheckedFile =
    "<MonitorRelay><IPAddress/><IPRangeStart>10.0.0.1</IPRangeStart>"
    "<IPRangeEnd>10.0.0.9</IPRangeEnd><SerialID>MR-7</SerialID><SPO2Scale>5</SPO2Scale>"
    "<CO2Calibration><Entry key=\"1\" value=\"1\"/></CO2Calibration><SPO2Calibration>"
    "<Entry key=\"90\" value=\"80\"/><Entry key=\"85\" vaule=\"60\"/></SPO2Calibration>"
    "</MonitorRelay>";

}  // namespace

TEST(CommandLine, CheckListsTheSettingsOfTheExampleAndWritesNothing) {
    const std::string example = sourceDirectory() + "/examples/bridge.xml";
    ASSERT_TRUE(std::ifstream(example).good()) << example;
    const ProcessResult r = run({"--check", "--configfile", example});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "MR>Reading configuration file: " + example +
                         "\nMR>Configuration file read succesfully.\n"
                         "MR>Unit address: 127.0.0.2\n"
                         "MR>Unit serial: first unit\n"
                         "MR>SpO2 scale: 4\n"
                         "MR>SpO2 calibration points: 5\n"
                         "MR>CO2 calibration points: 3\n");

    // Not even what a killed save left: that is the bridge's to remove.
    testsupport::ScratchDir scratch("psmr-check");
    std::ofstream(scratch.file("bridge.xml")) << kCheckedFile;
    std::ofstream(scratch.file("bridge.xml.saving-Ab12Cd")) << "<Monitor";
    EXPECT_EQ(run({"-c", "-f", scratch.file("bridge.xml")}).exitStatus, 0);
    EXPECT_TRUE(std::ifstream(scratch.file("bridge.xml.saving-Ab12Cd")).good());
}

TEST(CommandLine, CheckWarnsAboutAMisspeltAttributeAndATableOutOfOrder) {
    testsupport::ScratchDir scratch("psmr-check");
    const std::string file = scratch.file("bridge.xml");
    std::ofstream(file) << kCheckedFile;
    const ProcessResult r = run({"-c", "-f", file});
    EXPECT_EQ(r.exitStatus, 0) << "the bridge would start with it";
    EXPECT_EQ(r.err,
              "MR>WARNING>unknown attribute \"vaule\" in MonitorRelay.SPO2Calibration (child 2)\n"
              "MR>WARNING>no value attribute in MonitorRelay.SPO2Calibration (child 2): read as "
              "0\n"
              "MR>WARNING>MonitorRelay.SPO2Calibration is not increasing: the key 85 of child 2 "
              "follows 90\n");
    EXPECT_NE(r.out.find("MR>Unit address range: 10.0.0.1 to 10.0.0.9\nMR>Unit serial: MR-7\n"),
              std::string::npos)
        << r.out;
}

TEST(CommandLine, CheckOfABrokenFileFailsWithTheReadersReason) {
    testsupport::ScratchDir scratch("psmr-check");
    const std::string file = scratch.file("bridge.xml");
    std::ofstream(file) << kCheckedFile.substr(0, kCheckedFile.size() - 3);
    const ProcessResult r = run({"--check", "--configfile", file});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.rfind("MR>ERROR>" + file + "(1): expected >", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nUnable to read the configuration file\n"), std::string::npos);
    EXPECT_EQ(r.out.find("MR>Unit"), std::string::npos) << r.out;

    const ProcessResult noFile = run({"--check"});
    EXPECT_EQ(noFile.exitStatus, 1);
    EXPECT_EQ(noFile.err, "MR>Missing configuration file path in parameters\n");
}

TEST(CommandLine, DiscoverOnLoopbackOnlyFindsNoUnit) {
    // This test's namespace has loopback only: no interface to broadcast on,
    // and no unit behind the host name's addresses.
    testsupport::ScratchDir dir("discover", false);
    const ProcessResult r = runProcess(PSMR_EXECUTABLE, {"--discover"}, 10000, dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No MonitorRelay unit answered.\n");
    EXPECT_FALSE(std::ifstream(dir.path() + "/_lastconnectedIPAddress.txt").good());
}
