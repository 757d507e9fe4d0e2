#include "emulators/relay_unit/RelayUnitEmulator.h"

#include <cstring>

#include "emulators/relay_unit/UnitLineParser.h"

// What the unit does with each line: answers to the bridge's requests and the
// commands it applies to the monitor while enabled.

namespace relayunit {

namespace {

constexpr const char* kIdMarker = "MonitorRelay v2.2";
constexpr const char* kWifiPrefix = "57600,14996,0,";

bool isWaveform(const std::string& name) {
    return name == "ABP" || name == "PAP" || name == "CVP" || name == "PLETH" || name == "ECG" ||
           name == "CO2";
}

}  // namespace

void RelayUnitEmulator::handleLine(const std::string& name, const std::string& value,
                                   const sockaddr_in& from, ReceivedLine& record) {
    record.taken = true;
    if (name == "ID") {
        if (associated_) {
            reply("[ID]associated@", from);  // no ":": searching bridges pass us by
        } else if (!idReply_.empty()) {
            reply(idReply_, from);
        } else {
            const std::string& serial =
                announcedSerial_.empty() ? options_.serial : announcedSerial_;
            reply(std::string("[ID]") + kIdMarker + ":" + serial + "@", from);
        }
    } else if (name == "ASSOC") {
        if (value == options_.serial) {
            associated_ = true;
            reply("[assoc]@", from);
        } else {
            reply("[assoc]refused@", from);
        }
    } else if (name == "ENABLE") {
        enabled_ = associated_;
        reply(associated_ ? "[enabled]@" : "[enable]not_associated@", from);
    } else if (name == "DISABLE") {
        enabled_ = false;
        associated_ = false;
        watchdogArmed_ = false;
        reply("[disabled]@", from);
    } else if (name == "WDT") {
        if (!associated_) {
            reply("[wdt]not_associated@", from);
        } else {
            watchdogArmed_ = value == "1";
            reply("[wdt]ok@", from);
        }
    } else if (name == "GET_BATT" && !options_.batteryReply.empty()) {
        reply(options_.batteryReply, from);
    } else if (name == "GET_BATT") {
        reply("[batt]" + std::to_string(options_.batteryRaw) + "," +
                  std::to_string(options_.batterySupply) + "@",
              from);
    } else if (name == "CONFIG") {
        configMode_ = value == "1";
        reply("[config]ok@", from);
    } else if (name == "ETH_SETTINGS") {
        reply("[eth_settings]" + eth_ + "@", from);
    } else if (name == "WIFI_SETTINGS") {
        reply("[wifi_settings]" + ssid_ + "," + passPhrase_ + "@", from);
    } else if (name == "WIFI_REPORT") {
        reply(ssid_.empty() ? std::string("[wifi_report]factory@")
                            : "[wifi_report]ssid=" + ssid_ + "@",
              from);
    } else if (name == "STOPME") {
        // The bridge's link is going away; nothing to answer.
    } else if (enabled_) {
        applyCommand(name, value, from);
    } else {
        record.taken = false;  // commands count only while enabled
    }
}

void RelayUnitEmulator::applyCommand(const std::string& name, const std::string& value,
                                     const sockaddr_in& from) {
    int number = 0;
    float real = 0;
    std::vector<float> values;
    if (name == "WIFI_FACTORY_RESET") {
        ssid_.clear();
        passPhrase_.clear();
        reply("[wifi_factory_reset]@", from);
        if (resetCompletes_) {
            reply("[wifi_factory_reset]done@", from, options_.completionDelay);
        }
    } else if (name == "WIFI_CFG") {
        // Name and pass phrase follow the fixed prefix; the first comma after
        // it separates them.
        const std::string rest = value.compare(0, std::strlen(kWifiPrefix), kWifiPrefix) == 0
                                     ? value.substr(std::strlen(kWifiPrefix))
                                     : value;
        const std::size_t comma = rest.find(',');
        ssid_ = rest.substr(0, comma);
        passPhrase_ = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        reply("[wifi_cgf]ok@", from);
        if (configCompletes_) {
            reply("[wifi_cfg]stored@", from, options_.completionDelay);
        }
    } else if (name == "ETH_CGF_STATIC") {
        eth_ = value;
    } else if (name == "CO2" && value.find(',') == std::string::npos && parseFloat(value, real) &&
               real == 0.0f) {
        monitor_.co2Disabled = true;
    } else if (isWaveform(name) && parseFloatList(value, values)) {
        if (name == "CO2") {
            monitor_.co2Disabled = false;
        }
        monitor_.waveforms[name].push_back({values, Clock::now()});
        monitor_.waveformTotals[name] += values.size();
    } else if ((name == "T1" || name == "T2") && parseFloat(value, real)) {
        (name == "T1" ? monitor_.t1 : monitor_.t2) = real;
    } else if (parseInt(value, number)) {
        if (name == "HR") {
            monitor_.hr = number;
        } else if (name == "RR") {
            monitor_.rr = number;
        } else if (name == "SPO2") {
            monitor_.spo2 = number;
        } else if (name == "SPO2_PROBE") {
            monitor_.spo2Probe = number;
        } else if (name == "SPO2_SCALE") {
            monitor_.spo2Scale = number;
        } else if (name == "SBP") {
            monitor_.sbp = number;
        } else if (name == "DBP") {
            monitor_.dbp = number;
        } else if (name == "MBP") {
            monitor_.mbp = number;
        } else {
            ++malformed_;
        }
    } else {
        ++malformed_;  // a command the unit does not know, or a bad value
    }
}

}  // namespace relayunit
