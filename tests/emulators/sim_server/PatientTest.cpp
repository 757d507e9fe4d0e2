// The parameter store, the scenario timeline, the patient's waveforms and the
// operator's console.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "emulators/sim_server/CommandConsole.h"
#include "emulators/sim_server/PatientModel.h"
#include "emulators/sim_server/ScenarioScript.h"
#include "tests/support/RunProcess.h"

using namespace simemu;

TEST(ParameterStore, KeepsTypesAndCountsOnlyRealChanges) {
    ParameterStore s;
    s.define("HR", ParamType::Int, 72);
    s.define("T", ParamType::Float, 37.0);
    const auto v0 = s.get("HR")->version;
    EXPECT_FALSE(s.set("HR", 72.4)) << "72.4 truncates to the same integer";
    EXPECT_EQ(s.get("HR")->version, v0);
    EXPECT_TRUE(s.set("HR", -2.9));
    EXPECT_EQ(s.get("HR")->value, -2.0);
    EXPECT_EQ(s.get("HR")->version, v0 + 1);
    s.set("HR", 1e12);
    EXPECT_EQ(s.get("HR")->value, 2147483647.0) << "saturated";
    s.set("HR", std::nan(""));
    EXPECT_EQ(s.get("HR")->value, 0.0);
    EXPECT_TRUE(s.add("T", 0.5));
    EXPECT_FLOAT_EQ(static_cast<float>(s.get("T")->value), 37.5f);
    EXPECT_FALSE(s.add("NOPE", 1));

    EXPECT_TRUE(s.setFromText("NEW_I", "5"));
    EXPECT_TRUE(s.setFromText("NEW_F", "5.0"));
    EXPECT_EQ(s.get("NEW_I")->type, ParamType::Int);
    EXPECT_EQ(s.get("NEW_F")->type, ParamType::Float);
    EXPECT_TRUE(s.setFromText("HR", "80.9")) << "a known name keeps its type";
    EXPECT_EQ(s.get("HR")->value, 80.0);
    EXPECT_FALSE(s.setFromText("HR", "fast"));
    EXPECT_FALSE(s.setFromText("HR", "12x"));
    EXPECT_EQ(s.names(), (std::vector<std::string>{"HR", "T", "NEW_I", "NEW_F"}));
}

// That it holds every input of the bridge is checked against the bridge's
// table (tests/app/SignalTableTest.cpp).
TEST(ParameterStore, DefaultPatientTypesAndPlacedCatheters) {
    ParameterStore s;
    defineDefaultPatient(s);
    ASSERT_TRUE(s.get("SAO2") && s.get("EXT_MAP") && s.get("ARTERIAL_CATHETER_DEPTH"));
    EXPECT_EQ(s.get("SAO2")->type, ParamType::Float);
    EXPECT_EQ(s.get("EXT_MAP")->type, ParamType::Int);
    EXPECT_GE(s.get("ARTERIAL_CATHETER_DEPTH")->value, 0) << "placed by default";
}

TEST(ScenarioScript, ParsesSortsAndReportsTheBadLine) {
    std::istringstream ok(
        "# comment\n\nat 10 set HRPM 90  # trailing\nat 2.5 set SAO2 91.5\n"
        "at 2.5 set RRPM 20\n");
    std::string error;
    auto script = ScenarioScript::parse(ok, error);
    ASSERT_TRUE(script) << error;
    ASSERT_EQ(script->steps().size(), 3u);
    EXPECT_EQ(script->steps()[0].name, "SAO2");
    EXPECT_EQ(script->steps()[1].name, "RRPM") << "file order among equal times";
    EXPECT_EQ(script->steps()[2].at, 10.0);

    for (const char* bad : {"at 1 set HRPM\n", "at x set HRPM 1\n", "at -1 set HRPM 1\n",
                            "when 1 set HRPM 1\n", "at 1 set HRPM fast\n", "at 1 set A 1 2\n"}) {
        std::istringstream in(std::string("at 0 set HRPM 60\n") + bad);
        EXPECT_FALSE(ScenarioScript::parse(in, error)) << bad;
        EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
    }
    EXPECT_FALSE(ScenarioScript::load("/nonexistent/scenario.txt", error));
}

TEST(ScenarioScript, PlayerAppliesStepsAsTimePasses) {
    std::istringstream in("at 0 set HRPM 60\nat 1 set HRPM 70\nat 3 set HRPM 80\n");
    std::string error;
    ParameterStore store;
    store.define("HRPM", ParamType::Int, 0);
    ScenarioPlayer player(*ScenarioScript::parse(in, error));
    EXPECT_EQ(player.advance(0, store), 1u);
    EXPECT_EQ(store.get("HRPM")->value, 60);
    EXPECT_EQ(player.advance(2.0, store), 1u);
    EXPECT_EQ(store.get("HRPM")->value, 70);
    EXPECT_EQ(player.advance(5.0, store), 1u);
    EXPECT_EQ(player.advance(5.0, store), 0u);
    player.rewind();
    EXPECT_EQ(player.advance(0, store), 1u);
    EXPECT_EQ(store.get("HRPM")->value, 60);

    ParameterStore patient;
    defineDefaultPatient(patient);
    const ScenarioScript builtIn = ScenarioScript::builtIn();
    for (const auto& step : builtIn.steps()) {
        EXPECT_TRUE(patient.get(step.name)) << "built-in step names an unknown " << step.name;
    }
}

TEST(PatientModel, ShapesJoinAcrossCyclesAndStayInRange) {
    for (auto shape :
         {&PatientModel::arterialShape, &PatientModel::plethShape, &PatientModel::capnoShape}) {
        EXPECT_NEAR(shape(0.0), shape(0.999999), 1e-3) << "a step between cycles";
        double lo = 1, hi = 0, prev = shape(0);
        for (int i = 1; i <= 1000; ++i) {
            const double v = shape(i / 1000.0);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            EXPECT_LT(std::fabs(v - prev), 0.1) << "jump at " << i;
            prev = v;
        }
        EXPECT_GE(lo, 0.0);
        EXPECT_LE(hi, 1.0);
        EXPECT_GT(hi, 0.9);
    }
    EXPECT_NEAR(PatientModel::cvpShape(0.0), PatientModel::cvpShape(0.999999), 1e-3);
}

TEST(PatientModel, ArterialPulseSpansThePressuresAtTheHeartRate) {
    PatientVitals v;
    v.heartRate = 60;
    v.systolic = 140;
    v.diastolic = 70;
    v.respRate = 12;
    v.etco2 = 40;
    PatientModel m;
    std::vector<PatientSample> s;
    for (int i = 0; i < 1000; ++i) {  // 12 s at 12 ms
        m.advance(0.012, v);
        s.push_back(m.sample(v));
    }
    float artLo = 1e9f, artHi = -1e9f, co2Hi = 0, co2Lo = 1e9f, plethHi = 0;
    int upstrokes = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        artLo = std::min(artLo, s[i].artline);
        artHi = std::max(artHi, s[i].artline);
        co2Lo = std::min(co2Lo, s[i].capnogram);
        co2Hi = std::max(co2Hi, s[i].capnogram);
        plethHi = std::max(plethHi, s[i].pleth);
        // Count crossings of the mid pressure going up: one per beat.
        upstrokes += s[i - 1].artline < 105 && s[i].artline >= 105 ? 1 : 0;
    }
    EXPECT_NEAR(artLo, 70, 1.0);
    EXPECT_NEAR(artHi, 140, 1.0);
    EXPECT_NEAR(upstrokes, 12, 1) << "60 beats per minute over 12 s";
    EXPECT_NEAR(co2Hi, 40, 1.0) << "plateau reaches the end-tidal value";
    EXPECT_EQ(co2Lo, 0.0f) << "inspiratory baseline";
    EXPECT_GT(plethHi, 80.0f);
    EXPECT_LE(plethHi, 100.0f);

    v.heartRate = 0;  // asystole: a flat trace, not a frozen mid-beat value
    m.advance(0.012, v);
    EXPECT_EQ(m.sample(v).artline, 70.0f);
}

namespace {

// An emulator for console tests: ephemeral ports, never started.
EmulatorOptions consoleOptions() {
    EmulatorOptions o;
    o.simPort = 0;
    o.appPort = 0;
    o.quiet = true;
    return o;
}

}  // namespace

TEST(CommandConsole, CommandsDriveTheEmulator) {
    SimServerEmulator emu(consoleOptions());
    CommandConsole console(emu);
    std::ostringstream out, err;
    using O = CommandConsole::Outcome;
    EXPECT_EQ(console.execute("set HW_PATSPEED 1", out, err), O::Done);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 1);
    EXPECT_EQ(console.execute("calib 30 85", out, err), O::Done);
    EXPECT_EQ(emu.value("HW_PATMON_CALIB_ACTION")->value, 30);
    EXPECT_EQ(emu.value("HW_PATMON_CALIB_ARG1")->value, 85);
    EXPECT_EQ(console.execute("stop", out, err), O::Error) << "nothing to stop";
    EXPECT_EQ(console.execute("run", out, err), O::Done);
    EXPECT_EQ(emu.scenario().phase, ScenarioPhase::Running);
    EXPECT_EQ(console.execute("run", out, err), O::Error);
    EXPECT_EQ(console.execute("speed 4", out, err), O::Done);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 4) << "the running speed";
    EXPECT_EQ(console.execute("pause", out, err), O::Done);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 0);
    EXPECT_EQ(console.execute("stop", out, err), O::Done);
    EXPECT_EQ(emu.scenario().sceId, 0u);
    EXPECT_EQ(console.execute("set HRPM", out, err), O::Error);
    EXPECT_EQ(console.execute("calib x 1", out, err), O::Error);
    EXPECT_EQ(console.execute("fault explode sim", out, err), O::Error);
    EXPECT_EQ(console.execute("  # just a comment", out, err), O::Done);
    EXPECT_EQ(console.execute("frobnicate", out, err), O::Error);
    EXPECT_NE(err.str().find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(console.execute("quit", out, err), O::Quit);
}

TEST(CommandConsole, FaultSwitchesForARunningServer) {
    SimServerEmulator emu(consoleOptions());
    CommandConsole console(emu);
    std::ostringstream out, err;
    using O = CommandConsole::Outcome;
    EXPECT_EQ(console.execute("mute-app on", out, err), O::Done);
    EXPECT_TRUE(emu.appMuted());
    EXPECT_EQ(console.execute("mute-app off", out, err), O::Done);
    EXPECT_FALSE(emu.appMuted());
    EXPECT_EQ(console.execute("sim-float-values on", out, err), O::Done);
    EXPECT_TRUE(emu.simValuesAsFloats());
    EXPECT_EQ(console.execute("sim-float-values off", out, err), O::Done);
    EXPECT_FALSE(emu.simValuesAsFloats());
    EXPECT_EQ(console.execute("mute-app", out, err), O::Error);
    EXPECT_EQ(console.execute("sim-float-values yes", out, err), O::Error);
    EXPECT_FALSE(emu.simValuesAsFloats());
}

TEST(CommandConsole, FaultRequests) {
    auto f = CommandConsole::parseFault("refuse:app:1500:300");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, "refuse");
    EXPECT_EQ(f->protocol, Protocol::App);
    EXPECT_EQ(f->delay.count(), 1500);
    EXPECT_EQ(f->period.count(), 300);
    EXPECT_TRUE(CommandConsole::parseFault("stall:sim"));
    EXPECT_FALSE(CommandConsole::parseFault("stall"));
    EXPECT_FALSE(CommandConsole::parseFault("stall:tcp"));
    EXPECT_FALSE(CommandConsole::parseFault("stall:sim:-5"));
    EXPECT_FALSE(CommandConsole::parseFault("melt:sim:5"));
}

TEST(Program, HelpAndBadArguments) {
    auto r = testsupport::runProcess(SIM_SERVER_EMULATOR_PATH, {"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.out.find("--sim-port"), std::string::npos);
    EXPECT_NE(r.out.find("calib ACTION ARG"), std::string::npos);
    r = testsupport::runProcess(SIM_SERVER_EMULATOR_PATH, {"--no-such-option"});
    EXPECT_EQ(r.exitStatus, 2);
    r = testsupport::runProcess(SIM_SERVER_EMULATOR_PATH, {"--fault", "melt:sim"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.err.find("bad --fault"), std::string::npos);
    r = testsupport::runProcess(SIM_SERVER_EMULATOR_PATH, {"--scenario", "/nonexistent/s.txt"});
    EXPECT_EQ(r.exitStatus, 2);
}
