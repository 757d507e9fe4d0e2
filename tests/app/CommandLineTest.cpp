// Black-box tests of the executable: streams and exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "support/RunProcess.h"

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
    "                          WIFI_PWD)\n";

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
    EXPECT_NE(r.err.find("Unable to read the configuration file"), std::string::npos) << r.err;
    EXPECT_NE(
        r.err.find("MR>ERROR>Unable to initialize the MonitorRelay interface module. Leaving now!"),
        std::string::npos)
        << r.err;
}
