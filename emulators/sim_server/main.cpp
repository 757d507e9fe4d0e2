// sim-server-emulator: the simulation-server stand-in as a program. Only wires
// options, the console and signals to the library.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "Version.h"
#include "emulators/sim_server/CommandConsole.h"
#include "emulators/sim_server/SimServerEmulator.h"

namespace po = boost::program_options;
using namespace simemu;

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    EmulatorOptions options;
    std::string scenarioFile;
    std::vector<std::string> faults;
    int versionSimId = -1;
    unsigned samplesPerUpdate = options.timing.samplesPerUpdate;

    po::options_description desc("sim-server-emulator options");
    desc.add_options()("help,h", "print this help and exit")(
        "address", po::value(&options.address)->default_value(options.address),
        "IPv4 address to listen on")("sim-port",
                                     po::value(&options.simPort)->default_value(options.simPort),
                                     "SIM protocol port (0: any free port)")(
        "app-port", po::value(&options.appPort)->default_value(options.appPort),
        "APP protocol port (0: any free port)")("scenario", po::value(&scenarioFile),
                                                "timeline file ('at T set NAME VALUE' lines)")(
        "idle", "start without a running scenario (type 'run' to start one)")(
        "list-before-flow-control",
        "answer a flow-control start with the scenario list first, then the answer")(
        "samples-per-update", po::value(&samplesPerUpdate)->default_value(samplesPerUpdate),
        "waveform samples (12 ms apart) batched into one patient update")(
        "version-sim-id", po::value(&versionSimId),
        "SIM version replies carry this simulator id instead of the client's")(
        "fault", po::value(&faults)->composing(),
        "KIND:PROTO[:DELAY_MS[:PERIOD_MS]], repeatable; KIND drop, midframe, len32, stall, "
        "unknown, badkind or refuse (PERIOD_MS long, default 2000); PROTO sim or app; "
        "injected DELAY_MS after start")(
        "mute-app", "the APP port accepts and reads but never answers (console: mute-app off)")(
        "sim-float-values", "SIM values carry the float flag, integers too (HW_PATSPEED 1.0)")(
        "quiet,q", "no progress lines")("version,V", "print the version and exit");

    po::variables_map vm;
    try {
        // No guessing: "--version" must not be taken for a longer option.
        po::store(
            po::command_line_parser(argc, argv)
                .options(desc)
                .style(po::command_line_style::unix_style & ~po::command_line_style::allow_guessing)
                .run(),
            vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "sim-server-emulator: " << e.what() << std::endl;
        std::cerr << desc << std::endl;
        return 2;
    }
    if (vm.count("help") != 0) {
        std::cout << desc << std::endl;
        std::cout << "Standard input takes one command a line: set NAME VALUE, run, stop, pause,\n"
                     "resume, speed X, reset, load, start, calib ACTION ARG, fault KIND sim|app\n"
                     "[MS], mute-app on|off, sim-float-values on|off, status, help, quit.\n"
                     "See README.md."
                  << std::endl;
        return 0;
    }
    if (vm.count("version") != 0) {
        std::cout << "sim-server-emulator " << PSMR_VERSION << std::endl;
        return 0;
    }
    options.autoRun = vm.count("idle") == 0;
    options.listBeforeFlowControl = vm.count("list-before-flow-control") != 0;
    options.quiet = vm.count("quiet") != 0;
    options.muteApp = vm.count("mute-app") != 0;
    options.simFloatValues = vm.count("sim-float-values") != 0;
    options.timing.samplesPerUpdate = samplesPerUpdate == 0 ? 1 : samplesPerUpdate;
    if (!scenarioFile.empty()) {
        std::string error;
        auto script = ScenarioScript::load(scenarioFile, error);
        if (!script) {
            std::cerr << "sim-server-emulator: " << scenarioFile << ": " << error << std::endl;
            return 2;
        }
        options.script = *script;
    }
    std::vector<FaultRequest> schedule;
    for (const auto& text : faults) {
        auto f = CommandConsole::parseFault(text);
        if (!f) {
            std::cerr << "sim-server-emulator: bad --fault '" << text << "'" << std::endl;
            return 2;
        }
        schedule.push_back(*f);
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimServerEmulator emu(options);
    emu.setVersionReplySimulatorId(versionSimId);
    if (!emu.start()) {
        return 1;
    }
    std::cout << "sim-server-emulator ready: SIM port " << emu.simPort() << ", APP port "
              << emu.appPort() << std::endl;

    CommandConsole console(emu);
    const auto started = std::chrono::steady_clock::now();
    bool stdinOpen = true;
    std::string pending;
    while (gStop == 0) {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = schedule.begin(); it != schedule.end();) {
            if (now - started >= it->delay) {
                std::cout << "injecting fault " << it->kind << " on " << protocolName(it->protocol)
                          << std::endl;
                CommandConsole::inject(emu, *it);
                it = schedule.erase(it);
            } else {
                ++it;
            }
        }
        // Short polls keep the fault schedule and the signals responsive.
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (!stdinOpen) {
            ::poll(nullptr, 0, 50);
            continue;
        }
        if (::poll(&in, 1, 50) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            stdinOpen = false;  // keep serving until a signal
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (console.execute(line, std::cout, std::cerr) == CommandConsole::Outcome::Quit) {
                gStop = 1;
                break;
            }
        }
    }
    std::cout << "sim-server-emulator stopping" << std::endl;
    emu.stop();
    return 0;
}
