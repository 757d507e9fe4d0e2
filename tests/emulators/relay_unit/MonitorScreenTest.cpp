// The monitor screen under a pseudo-terminal: it shows the numerics that
// arrive, redraws on resize and gives the terminal back on `q` and on SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "BridgeSide.h"
#include "PtyProcess.h"
#include "support/ChildProcess.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace {

// xterm's "leave the alternate screen": what endwin sends to restore the terminal.
const std::string kLeaveScreen = "\x1b[?1049l";
const std::string kTitle = "MonitorRelay unit (emulated)";

PtyProcess startScreen(int columns, int rows) {
    return PtyProcess(RELAY_UNIT_EMULATOR_PATH, {"--screen", "--serial", "SN-7"}, columns, rows,
                      {"TERM=xterm", "LANG=C.UTF-8", "LC_ALL="});
}

}  // namespace

TEST(MonitorScreen, ShowsTheNumericsAndLeavesCleanlyOnQ) {
    PtyProcess screen = startScreen(80, 24);
    ASSERT_TRUE(screen.waitForOutput(kTitle, 5s)) << screen.output();
    EXPECT_EQ(std::string::npos, screen.output().find("too small"));
    Bridge bridge;
    ASSERT_EQ("[assoc]@", bridge.ask("[ASSOC]SN-7@"));
    ASSERT_EQ("[enabled]@", bridge.ask("[ENABLE]@"));
    // Values whose characters all differ from "---", so the screen writes them whole.
    bridge.send("[HR]137@[RR]19@[SPO2_PROBE]0@");
    EXPECT_TRUE(screen.waitForOutput("137", 5s)) << "the heart rate never appeared";
    EXPECT_TRUE(screen.waitForOutput("probe off", 5s)) << "the probe state never appeared";
    EXPECT_TRUE(screen.waitForOutput("datagrams/s", 5s)) << "no status line";

    const std::size_t before = screen.output().size();
    screen.resize(100, 30);
    EXPECT_TRUE(screen.waitForOutput(kTitle, 5s, before)) << "no redraw after the resize";

    screen.type("q");
    EXPECT_EQ(0, screen.waitForExit(5s)) << "q did not end the program";
    EXPECT_NE(std::string::npos, screen.output().rfind(kLeaveScreen)) << "terminal not restored";
}

TEST(MonitorScreen, SigtermRestoresTheTerminal) {
    PtyProcess screen = startScreen(80, 24);
    ASSERT_TRUE(screen.waitForOutput(kTitle, 5s)) << screen.output();
    screen.signal(SIGTERM);
    EXPECT_EQ(0, screen.waitForExit(5s));
    EXPECT_NE(std::string::npos, screen.output().rfind(kLeaveScreen)) << "terminal not restored";
}

TEST(MonitorScreen, WithoutATerminalItPrintsLines) {
    char dir[] = "/tmp/screen-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    testsupport::ChildProcess unit(RELAY_UNIT_EMULATOR_PATH, {"--screen"}, dir);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return unit.err().find("serial MR-EMU-0001") != std::string::npos; }, 5s))
        << unit.err();
    EXPECT_NE(std::string::npos, unit.err().find("--screen needs a terminal"));
    Bridge bridge;
    bridge.send("[HR]72@");
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return unit.out().find("HR 72 (ignored: not enabled)") != std::string::npos; }, 5s))
        << "no line view: " << unit.out();
    EXPECT_EQ(0, unit.stop(SIGTERM));
    std::remove((std::string(dir) + "/child.out").c_str());
    std::remove((std::string(dir) + "/child.err").c_str());
    rmdir(dir);
}
