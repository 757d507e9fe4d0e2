// A stand-in MonitorRelay unit for rehearsals without hardware.
#include <signal.h>

#include <atomic>
#include <boost/program_options.hpp>
#include <chrono>
#include <iostream>
#include <thread>

#include "emulators/relay_unit/RelayUnitEmulator.h"

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

}  // namespace

int main(int argc, char* argv[]) {
    relayunit::EmulatorOptions options;
    std::string announcedSerial;
    int watchdogMs = 5000;
    int completionMs = 300;
    int delayMs = 0;

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
        "no-reset-completion", "Fault: never complete a Wi-Fi factory reset")(
        "no-config-completion", "Fault: never complete a Wi-Fi configuration")(
        "json", "Print JSON lines instead of text");

    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
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
    options.watchdogTimeout = std::chrono::milliseconds(watchdogMs);
    options.completionDelay = std::chrono::milliseconds(completionMs);
    const bool json = vm.count("json") > 0;

    relayunit::RelayUnitEmulator unit(options);
    const auto started = relayunit::Clock::now();
    unit.setLineObserver([&](const relayunit::ReceivedLine& line) {
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
    while (!stopRequested) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (unit.watchdogExpiries() != expiries) {
            expiries = unit.watchdogExpiries();
            std::cerr << "relay-unit-emulator: watchdog expired, association dropped" << std::endl;
        }
    }
    unit.stop();
    return 0;
}
