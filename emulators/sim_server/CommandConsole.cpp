#include "emulators/sim_server/CommandConsole.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace simemu {

namespace {

const char* const kHelp =
    "commands: set NAME VALUE | run | stop | pause | resume | speed X | reset | load | start |\n"
    "          calib ACTION ARG | fault KIND sim|app [MS] | mute-app on|off |\n"
    "          sim-float-values on|off | status | help | quit\n"
    "faults:   drop midframe len32 stall unknown badkind refuse";

bool parseInt(const std::string& s, long& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtol(s.c_str(), &end, 10);
    return *end == '\0';
}

bool parseProtocol(const std::string& s, Protocol& p) {
    if (s == "sim" || s == "SIM") {
        p = Protocol::Sim;
        return true;
    }
    if (s == "app" || s == "APP") {
        p = Protocol::App;
        return true;
    }
    return false;
}

bool parseSwitch(const std::string& s, bool& on) {
    if (s == "on" || s == "off") {
        on = s == "on";
        return true;
    }
    return false;
}

bool knownFault(const std::string& k) {
    for (const char* f : {"drop", "midframe", "len32", "stall", "unknown", "badkind", "refuse"}) {
        if (k == f) {
            return true;
        }
    }
    return false;
}

const char* phaseName(ScenarioPhase p) {
    switch (p) {
        case ScenarioPhase::None:
            return "none";
        case ScenarioPhase::Loaded:
            return "loaded";
        case ScenarioPhase::Running:
            return "running";
        case ScenarioPhase::Paused:
            return "paused";
    }
    return "?";
}

}  // namespace

std::optional<FaultRequest> CommandConsole::parseFault(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) {
        parts.push_back(part);
    }
    FaultRequest f;
    long ms = 0;
    if (parts.size() < 2 || parts.size() > 4 || !knownFault(parts[0]) ||
        !parseProtocol(parts[1], f.protocol)) {
        return std::nullopt;
    }
    f.kind = parts[0];
    if (parts.size() > 2) {
        if (!parseInt(parts[2], ms) || ms < 0) {
            return std::nullopt;
        }
        f.delay = std::chrono::milliseconds(ms);
    }
    if (parts.size() > 3) {
        if (!parseInt(parts[3], ms) || ms < 0) {
            return std::nullopt;
        }
        f.period = std::chrono::milliseconds(ms);
    }
    return f;
}

void CommandConsole::inject(SimServerEmulator& emu, const FaultRequest& f) {
    if (f.kind == "drop") {
        emu.dropConnection(f.protocol);
    } else if (f.kind == "midframe") {
        emu.closeMidFrame(f.protocol);
    } else if (f.kind == "len32") {
        emu.sendFrameLength32(f.protocol);
    } else if (f.kind == "stall") {
        emu.stallMidFrame(f.protocol);
    } else if (f.kind == "unknown") {
        emu.sendUnknownCode(f.protocol);
    } else if (f.kind == "badkind") {
        emu.sendUnknownFrameKind(f.protocol);
    } else if (f.kind == "refuse") {
        // Refuse first, then drop, so that the reconnecting client meets the refusal.
        emu.refuseConnections(f.protocol, f.period);
        emu.dropConnection(f.protocol);
    }
}

CommandConsole::Outcome CommandConsole::execute(const std::string& rawLine, std::ostream& out,
                                                std::ostream& err) {
    std::string line = rawLine.substr(0, rawLine.find('#'));
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) {
        w.push_back(s);
    }
    if (w.empty()) {
        return Outcome::Done;
    }
    const std::string& cmd = w[0];
    const auto fail = [&](const std::string& why) {
        err << "error: " << why << std::endl;
        return Outcome::Error;
    };
    if (cmd == "quit" || cmd == "exit") {
        return Outcome::Quit;
    }
    if (cmd == "help") {
        out << kHelp << std::endl;
    } else if (cmd == "set") {
        if (w.size() != 3 || !emu_.store().setFromText(w[1], w[2])) {
            return fail("usage: set NAME VALUE (VALUE a number)");
        }
        out << w[1] << " = " << emu_.value(w[1])->value << std::endl;
    } else if (cmd == "calib") {
        long action = 0, argument = 0;
        if (w.size() != 3 || !parseInt(w[1], action) || !parseInt(w[2], argument)) {
            return fail("usage: calib ACTION ARG (integers)");
        }
        emu_.calibration(static_cast<int>(action), static_cast<int>(argument));
        out << "HW_PATMON_CALIB_ACTION = " << action << ", HW_PATMON_CALIB_ARG1 = " << argument
            << std::endl;
    } else if (cmd == "run") {
        const auto id = emu_.runScenario();
        if (id == 0) {
            return fail("a scenario is active; stop it first");
        }
        out << "scenario " << id << " running" << std::endl;
    } else if (cmd == "load") {
        const auto id = emu_.loadScenario();
        if (id == 0) {
            return fail("a scenario is active; stop it first");
        }
        out << "scenario " << id << " loaded" << std::endl;
    } else if (cmd == "start") {
        if (!emu_.startLoaded(true)) {
            return fail("no loaded scenario");
        }
        out << "scenario running" << std::endl;
    } else if (cmd == "stop") {
        if (!emu_.stopScenario()) {
            return fail("no active scenario");
        }
        out << "scenario stopped" << std::endl;
    } else if (cmd == "pause" || cmd == "resume") {
        if (!emu_.pauseScenario(cmd == "pause")) {
            return fail("no started scenario");
        }
        out << "scenario " << (cmd == "pause" ? "paused" : "running") << std::endl;
    } else if (cmd == "speed") {
        char* end = nullptr;
        const float s = w.size() == 2 ? std::strtof(w[1].c_str(), &end) : -1.0f;
        if (w.size() != 2 || *end != '\0' || !emu_.changeSpeed(s)) {
            return fail("usage: speed X, with a started scenario");
        }
        out << "speed " << s << std::endl;
    } else if (cmd == "reset") {
        if (!emu_.resetScenario()) {
            return fail("no active scenario");
        }
        out << "scenario reset" << std::endl;
    } else if (cmd == "fault") {
        std::optional<FaultRequest> f;
        if (w.size() == 3 || w.size() == 4) {
            f = parseFault(w[1] + ":" + w[2] + (w.size() == 4 ? ":0:" + w[3] : ""));
        }
        if (!f) {
            return fail(
                "usage: fault drop|midframe|len32|stall|unknown|badkind|refuse sim|app [MS]");
        }
        inject(emu_, *f);
        out << "fault " << f->kind << " on " << protocolName(f->protocol) << std::endl;
    } else if (cmd == "mute-app" || cmd == "sim-float-values") {
        // Switches a fault on a running server, for scripts that inject faults.
        bool on = false;
        if (w.size() != 2 || !parseSwitch(w[1], on)) {
            return fail("usage: " + cmd + " on|off");
        }
        if (cmd == "mute-app") {
            emu_.muteApp(on);
            out << "APP side " << (on ? "mute" : "answering") << std::endl;
        } else {
            emu_.sendSimValuesAsFloats(on);
            out << "SIM values " << (on ? "all sent as floats" : "sent by their type") << std::endl;
        }
    } else if (cmd == "status") {
        const auto sce = emu_.scenario();
        out << "scenario " << sce.sceId << " " << phaseName(sce.phase) << " speed " << sce.speed
            << " at " << sce.time << " s; SIM client "
            << (emu_.clientConnected(Protocol::Sim) ? "connected" : "absent") << ", APP client "
            << (emu_.clientConnected(Protocol::App) ? "connected" : "absent") << std::endl;
        for (const auto& name : emu_.store().names()) {
            out << "  " << name << " = " << emu_.value(name)->value << std::endl;
        }
    } else {
        return fail("unknown command '" + cmd + "' (try help)");
    }
    return Outcome::Done;
}

}  // namespace simemu
