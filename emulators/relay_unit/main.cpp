// A stand-in MonitorRelay unit for rehearsals without hardware.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <boost/program_options.hpp>
#include <chrono>
#include <clocale>
#include <iostream>
#include <sstream>
#include <thread>

#include "Version.h"
#include "emulators/relay_unit/ControlCommands.h"
#include "emulators/relay_unit/MonitorPicture.h"
#include "emulators/relay_unit/MonitorScreen.h"
#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "emulators/relay_unit/SvgSnapshot.h"

namespace po = boost::program_options;

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested = true;
}

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// The window the rates and the traces need.
constexpr std::chrono::seconds kRecent{10};

bool writeSnapshot(const relayunit::RelayUnitEmulator& unit, const std::string& path,
                   std::string* error) {
    const auto now = relayunit::Clock::now();
    const auto picture = relayunit::buildPicture(unit.monitor(kRecent), unit.status(kRecent), now);
    return relayunit::writeFileAtomically(path, relayunit::renderSvg(picture), error);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Character handling only (UTF-8 Braille cells on the screen): numbers in
    // lines and SVG keep their decimal point whatever the user's locale.
    std::setlocale(LC_CTYPE, "");
    relayunit::EmulatorOptions options;
    std::string announcedSerial;
    int watchdogMs = 5000;
    int completionMs = 300;
    int delayMs = 0;
    std::vector<std::string> dropTexts, delayTexts;
    double replyLoss = 0;
    std::string snapshotPath;
    double snapshotEvery = 5;

    po::options_description desc("relay-unit-emulator: a stand-in MonitorRelay unit on UDP 14996");
    desc.add_options()("help,h", "Print this help")(
        "address,a", po::value<std::string>(&options.address)->default_value("127.0.0.2"),
        "IPv4 address to answer on")(
        "also-listen", po::value<std::vector<std::string>>(&options.alsoListen)->composing(),
        "Extra address to receive on, e.g. a broadcast address (repeatable)")(
        "serial,s", po::value<std::string>(&options.serial)->default_value("MR-EMU-0001"),
        "Serial identifier of the unit")(
        "watchdog-ms", po::value<int>(&watchdogMs)->default_value(5000),
        "Silence after which an armed watchdog drops the association")(
        "completion-ms", po::value<int>(&completionMs)->default_value(300),
        "Delay of the Wi-Fi completion messages")(
        "battery-raw", po::value<int>(&options.batteryRaw)->default_value(500),
        "Raw battery level reported by GET_BATT")(
        "battery-supply", po::value<int>(&options.batterySupply)->default_value(100),
        "Supply value reported by GET_BATT (above 50: plugged in)")(
        "silent", "Fault: answer nothing")("announce-serial",
                                           po::value<std::string>(&announcedSerial),
                                           "Fault: answer ID with this serial instead")(
        "delay-ms", po::value<int>(&delayMs)->default_value(0), "Fault: delay every reply")(
        "split", "Fault: send every reply in two datagrams")(
        "drop-replies", po::value<std::vector<std::string>>(&dropTexts)->composing(),
        "Fault NAME:N: drop the replies to the next N requests named NAME (repeatable)")(
        "delay-replies", po::value<std::vector<std::string>>(&delayTexts)->composing(),
        "Fault NAME:N:MS: delay the replies to the next N requests named NAME (repeatable)")(
        "reply-loss", po::value<double>(&replyLoss)->default_value(0),
        "Fault: drop this fraction (0..1) of all replies")(
        "seed", po::value<std::uint32_t>(&options.seed)->default_value(options.seed),
        "Seed of the reply-loss draws")("no-reset-completion",
                                        "Fault: never complete a Wi-Fi factory reset")(
        "no-config-completion", "Fault: never complete a Wi-Fi configuration")(
        "json", "Print JSON lines instead of text")(
        "monitor-view", "Instead of every line, print once a second what a monitor would show")(
        "screen", "Show the monitor full-screen on the terminal (q or Ctrl-C leaves)")(
        "snapshot", po::value<std::string>(&snapshotPath),
        "Write what the monitors show to this SVG file, again and again")(
        "snapshot-every", po::value<double>(&snapshotEvery)->default_value(5),
        "Seconds between two snapshots")(
        "history", po::value<std::size_t>(&options.historyLimit)->default_value(20000),
        "Received lines kept in memory (0: all)")("version,V", "Print the version and exit");

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
        std::cerr << "relay-unit-emulator: " << e.what() << std::endl;
        std::cerr << desc << std::endl;
        return 2;
    }
    if (vm.count("help")) {
        std::cout << desc << std::endl;
        return 0;
    }
    if (vm.count("version")) {
        std::cout << "relay-unit-emulator " << PSMR_VERSION << std::endl;
        return 0;
    }
    std::vector<relayunit::ReplyFault> drops, delays;
    for (const auto& channel : dropTexts) {
        const auto fault = relayunit::parseReplyFault(channel, false);
        if (!fault) {
            std::cerr << "relay-unit-emulator: --drop-replies wants NAME:N, not " << channel
                      << std::endl;
            return 2;
        }
        drops.push_back(*fault);
    }
    for (const auto& channel : delayTexts) {
        const auto fault = relayunit::parseReplyFault(channel, true);
        if (!fault) {
            std::cerr << "relay-unit-emulator: --delay-replies wants NAME:N:MS, not " << channel
                      << std::endl;
            return 2;
        }
        delays.push_back(*fault);
    }
    if (!(replyLoss >= 0 && replyLoss <= 1)) {
        std::cerr << "relay-unit-emulator: --reply-loss wants a fraction from 0 to 1" << std::endl;
        return 2;
    }
    if (!(snapshotEvery >= 0.1 && snapshotEvery <= 86400)) {
        std::cerr << "relay-unit-emulator: --snapshot-every wants 0.1 to 86400 seconds"
                  << std::endl;
        return 2;
    }
    options.watchdogTimeout = std::chrono::milliseconds(watchdogMs);
    options.completionDelay = std::chrono::milliseconds(completionMs);
    const bool json = vm.count("json") > 0;
    const bool monitorView = vm.count("monitor-view") > 0;
    // The screen needs a terminal to draw on and to read keys from.
    const bool screen =
        vm.count("screen") > 0 && isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
    if (vm.count("screen") > 0 && !screen) {
        std::cerr << "relay-unit-emulator: --screen needs a terminal; printing lines instead"
                  << std::endl;
    }

    relayunit::RelayUnitEmulator unit(options);
    const auto started = relayunit::Clock::now();
    unit.setLineObserver([&](const relayunit::ReceivedLine& line) {
        if (monitorView || screen) {
            return;
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(line.at - started).count();
        if (json) {
            std::cout << "{\"t_ms\":" << ms << ",\"name\":\"" << jsonEscape(line.name)
                      << "\",\"value\":\"" << jsonEscape(line.value)
                      << "\",\"taken\":" << (line.taken ? "true" : "false") << "}" << std::endl;
        } else {
            std::cout << ms << " ms " << line.name << " " << line.value
                      << (line.taken ? "" : " (ignored: not enabled)") << std::endl;
        }
    });
    unit.setSilent(vm.count("silent") > 0);
    unit.setAnnouncedSerial(announcedSerial);
    unit.setReplyDelay(std::chrono::milliseconds(delayMs));
    unit.setSplitReplies(vm.count("split") > 0);
    unit.setWifiResetCompletes(vm.count("no-reset-completion") == 0);
    unit.setWifiConfigCompletes(vm.count("no-config-completion") == 0);
    for (const auto& fault : drops) {
        unit.dropReplies(fault.name, fault.count);
    }
    for (const auto& fault : delays) {
        unit.delayReplies(fault.name, fault.count, fault.delay);
    }
    unit.setReplyLoss(replyLoss);
    try {
        unit.start();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    std::cerr << "relay-unit-emulator: serial " << options.serial << " on " << options.address
              << ":" << options.port << std::endl;

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    int expiries = 0;
    const auto snapshotPeriod = std::chrono::duration_cast<relayunit::Clock::duration>(
        std::chrono::duration<double>(snapshotEvery));
    auto nextSnapshot = relayunit::Clock::now() + snapshotPeriod;
    std::string snapshotError;
    // Snapshots and watchdog news; nothing goes to the terminal while the screen has it.
    const auto periodic = [&] {
        if (!snapshotPath.empty() && relayunit::Clock::now() >= nextSnapshot) {
            nextSnapshot += snapshotPeriod;
            std::string error;
            if (!writeSnapshot(unit, snapshotPath, &error) && error != snapshotError && !screen) {
                std::cerr << "relay-unit-emulator: snapshot not written: " << error << std::endl;
            }
            snapshotError = error;  // say it once, not every period
        }
        if (unit.watchdogExpiries() != expiries) {
            expiries = unit.watchdogExpiries();
            if (!screen) {
                std::cerr << "relay-unit-emulator: watchdog expired, association dropped"
                          << std::endl;
            }
        }
    };

    if (screen) {
        relayunit::runMonitorScreen(unit, stopRequested, periodic);
        unit.stop();
        if (!snapshotError.empty()) {
            std::cerr << "relay-unit-emulator: snapshot not written: " << snapshotError
                      << std::endl;
        }
        return 0;
    }

    // Standard input is the control channel: one command a line. At its end
    // (or from /dev/null) the unit just keeps running.
    bool controlOpen = true;
    std::string pending;
    auto nextView = relayunit::Clock::now() + std::chrono::seconds(1);
    while (!stopRequested) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (controlOpen && poll(&in, 1, 50) > 0) {
            char buffer[512];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                controlOpen = false;
            } else {
                pending.append(buffer, static_cast<std::size_t>(n));
            }
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::ostringstream answer;
                relayunit::runControlCommand(unit, pending.substr(0, end), answer);
                pending.erase(0, end + 1);
                std::cerr << "relay-unit-emulator: " << answer.str() << std::flush;
            }
        } else if (!controlOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (monitorView && relayunit::Clock::now() >= nextView) {
            nextView += std::chrono::seconds(1);
            std::cout << relayunit::monitorLine(unit.monitor(kRecent), unit.enabled(),
                                                relayunit::Clock::now())
                      << std::endl;
        }
        periodic();
    }
    unit.stop();
    return 0;
}
