// Network configuration of the unit: configuration mode, static Ethernet
// settings and the two-step Wi-Fi exchanges (acknowledgement, then completion).
#include <algorithm>
#include <initializer_list>
#include <iostream>
#include <string>
#include <thread>

#include "relay/MonitorRelayAdaptor.h"
#include "relay/UnitEncoding.h"

using unit_encoding::printable;

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Waits up to `polls` times for the step's completion: a message of the
// step's own kind (its bracketed name, one of `kinds`) other than
// `acknowledgement`. Anything else (a stop line, a late reply) is not one;
// the link already takes only the unit's datagrams. `echo` writes each
// message that came, as the factory reset shows them.
bool waitForCompletion(UdpAdaptor* link, const std::string& acknowledgement,
                       std::initializer_list<const char*> kinds, unsigned polls,
                       std::chrono::milliseconds pause, bool echo) {
    for (unsigned poll = 0; poll < polls; ++poll) {
        std::string sender;
        std::string message;
        if (link && link->waitConnection(sender, message)) {
            if (echo) {
                std::cout << "Reading: " << printable(message) << std::endl;
            }
            const bool ofTheStep = std::any_of(kinds.begin(), kinds.end(), [&](const char* kind) {
                return startsWith(message, kind);
            });
            if (ofTheStep && message != acknowledgement) {
                return true;
            }
        }
        std::this_thread::sleep_for(pause);
    }
    return false;
}

}  // namespace

bool MonitorRelayAdaptor::enableConfigMode() {
    const std::string reply = sendRequest("CONFIG", 1);
    std::cout << "Reading: " << printable(reply) << std::endl;
    return true;
}

void MonitorRelayAdaptor::setEthConfig(const char* address, const char* mask, const char* gateway) {
    std::string text = std::string(address) + "," + mask + "," + gateway;
    sendCommand("ETH_CGF_STATIC", text);
}

void MonitorRelayAdaptor::getEthConfig() {
    sendRequest("ETH_SETTINGS", "");
}

bool MonitorRelayAdaptor::setWifiFactoryReset() {
    sendCommand("WIFI_FACTORY_RESET", "");
    return waitForCompletion(link_.get(), "[wifi_factory_reset]@", {"[wifi_factory_reset]"},
                             timing_.wifiResetPolls, timing_.wifiPollPause, true);
}

bool MonitorRelayAdaptor::setWifiCfg(const char* ssid, const char* passPhrase) {
    // Commas inside the name or pass phrase are not escaped: the unit has no way to.
    std::string text = std::string("57600,14996,0,") + ssid + "," + passPhrase;
    sendCommand("WIFI_CFG", text);
    // Bounded: a unit that never completes would otherwise hang the Wi-Fi mode.
    // The unit spells its acknowledgement "cgf"; either spelling is its own.
    return waitForCompletion(link_.get(), "[wifi_cgf]ok@", {"[wifi_cgf]", "[wifi_cfg]"},
                             timing_.wifiConfigPolls, timing_.wifiPollPause, false);
}

std::string MonitorRelayAdaptor::getWifiCfg() {
    const std::string reply = sendRequest("WIFI_SETTINGS", "");
    std::cout << "MR>WIFI_SETTINGS: " << printable(reply) << std::endl;
    return reply;
}

std::string MonitorRelayAdaptor::getWifiReport() {
    const std::string reply = sendRequest("WIFI_REPORT", "");
    std::cout << "MR>WIFI_REPORT: " << printable(reply) << std::endl;
    return reply;
}
