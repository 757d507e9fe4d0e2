#include "relay/MonitorRelayAdaptor.h"

#include "metrics/Metrics.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <type_traits>

#include "relay/UnitEncoding.h"

using unit_encoding::formatLine;
using unit_encoding::formatValue;

MonitorRelayAdaptor::MonitorRelayAdaptor() : MonitorRelayAdaptor(RelayTimings()) {}

MonitorRelayAdaptor::MonitorRelayAdaptor(const RelayTimings& timing) : timing_(timing) {}

MonitorRelayAdaptor::~MonitorRelayAdaptor() {
    link_.reset();
}

template <typename T>
std::string MonitorRelayAdaptor::sendRequest(const char* name, T value, const char* expected) {
    const std::string line = formatLine(name, formatValue(value));
    if (!link_) {
        return std::string();  // nothing to ask before the first probe
    }
    sendDatagram(line, true);
    std::string reply = link_->waitResponse(expected);
    if (debug_) {
        UdpAdaptor::echoSent(line);
    }
    return reply;
}

template <typename T>
void MonitorRelayAdaptor::sendCommand(const char* name, T value) {
    if (!enabled_) {
        return;
    }
    sendCommandText(name, formatValue(value));
}

// A text goes out as it is, not copied: the waveforms pass here every block.
void MonitorRelayAdaptor::sendCommand(const char* name, const std::string& valueText) {
    if (!enabled_) {
        return;
    }
    sendCommandText(name, valueText);
}

template std::string MonitorRelayAdaptor::sendRequest<std::string>(const char*, std::string,
                                                                   const char*);
template std::string MonitorRelayAdaptor::sendRequest<const char*>(const char*, const char*,
                                                                   const char*);
template std::string MonitorRelayAdaptor::sendRequest<int>(const char*, int, const char*);
template void MonitorRelayAdaptor::sendCommand<const char*>(const char*, const char*);
template void MonitorRelayAdaptor::sendCommand<int>(const char*, int);
template void MonitorRelayAdaptor::sendCommand<float>(const char*, float);

void MonitorRelayAdaptor::sendCommandText(const char* name, std::string_view valueText) {
    // Another thread's open session is not ours to join: a health operation's
    // own commands go out alone.
    if (ownsSession()) {
        // Written straight into the session, in one piece: every block passes here.
        const std::size_t nameLength = std::strlen(name);
        const std::size_t length = nameLength + valueText.size() + 3;
        char* out = sessionRoom(length);
        *out++ = '[';
        std::memcpy(out, name, nameLength);
        out += nameLength;
        *out++ = ']';
        std::memcpy(out, valueText.data(), valueText.size());
        out += valueText.size();
        *out = '@';
        closeSessionLine(length);
        return;
    }
    if (!link_) {
        return;
    }
    const std::string line = formatLine(name, std::string(valueText));
    sendDatagram(line, false);
    if (debug_) {
        UdpAdaptor::echoSent(line);
    }
}

char* MonitorRelayAdaptor::sessionRoom(std::size_t size) {
    const std::size_t needed = sessionLength_ + size;
    if (session_.size() < needed) {
        session_.resize(std::max(needed, 2 * session_.size()));
    }
    return session_.data() + sessionLength_;
}

void MonitorRelayAdaptor::closeSessionLine(std::size_t length) {
    const std::size_t filled = sessionLength_ - datagramStart_;
    if (length + filled > kMaxSessionLength && filled > 0) {
        sessionCuts_.push_back(sessionLength_);
        datagramStart_ = sessionLength_;
    }
    sessionLength_ += length;
}

void MonitorRelayAdaptor::sendDatagram(const std::string& text, bool request) {
    std::string datagram = text;
    boost::system::error_code ignored;
    psmr_sync::LockGuard lock(wireMutex_);
    if (request) {
        link_->sendCommand(datagram, ignored);
    } else {
        link_->sendUnanswered(datagram, ignored);
    }
}

void MonitorRelayAdaptor::beginCommandSession() {
    if (!ownsSession()) {
        sessionOwner_ = std::this_thread::get_id();
        sessionLength_ = 0;
        datagramStart_ = 0;
        sessionCuts_.clear();
    }
}

void MonitorRelayAdaptor::commitCommandSession() {
    if (!ownsSession()) {
        return;
    }
    sessionOwner_ = std::thread::id();
    // A full session was cut into datagrams of at most kMaxSessionLength; they
    // leave together, so that no request lands between them.
    sessionCuts_.push_back(sessionLength_);
    psmr_sync::LockGuard lock(wireMutex_);
    std::size_t from = 0;
    for (const std::size_t end : sessionCuts_) {
        if (end == from) {
            continue;
        }
        const char* const text = session_.data() + from;
        const std::size_t size = end - from;
        from = end;
        if (enabled_ && link_) {
            boost::system::error_code ignored;
            link_->sendUnanswered(text, size, ignored);
        }
        // Echoed even when a disable in mid-session dropped it: the debug log
        // shows what the bridge meant to send.
        if (debug_) {
            UdpAdaptor::echoSent(std::string(text, size));
        }
    }
    sessionCuts_.clear();  // keeps its storage for the next block
    sessionLength_ = 0;
    datagramStart_ = 0;
}

// ---- Vital signs and waveforms ----------------------------------------------

void MonitorRelayAdaptor::sendSPO2Scale(int scale) {
    sendCommand("SPO2_SCALE", unit_encoding::clampInt(scale, 1, 10));
}

void MonitorRelayAdaptor::sendHR_bpm(int hr) {
    sendCommand("HR", unit_encoding::clampInt(hr, 20, 300));
    psmr_metrics::countNumerics(enabled_, {"HR"});
}

void MonitorRelayAdaptor::sendDisableHR() {
    sendCommand("HR", 0);
}

void MonitorRelayAdaptor::sendRR_brpm(int rr) {
    sendCommand("RR", unit_encoding::clampInt(rr, 0, 100));
    psmr_metrics::countNumerics(enabled_, {"RR"});
}

void MonitorRelayAdaptor::sendDisableRR() {
    sendCommand("RR", 0);
}

void MonitorRelayAdaptor::enableSPO2Probe(bool connected) {
    sendCommand("SPO2_PROBE", connected ? 1 : 0);
}

void MonitorRelayAdaptor::sendSPO2_ratio(int ratio) {
    sendCommand("SPO2", unit_encoding::clampInt(ratio, 1, 400));
    psmr_metrics::countNumerics(enabled_, {"SPO2"});
}

void MonitorRelayAdaptor::sendNIBP_mmHg(int systolic, int diastolic, int mean) {
    sendCommand("SBP", unit_encoding::clampInt(systolic, 0, 300));
    sendCommand("DBP", unit_encoding::clampInt(diastolic, 0, 300));
    sendCommand("MBP", unit_encoding::clampInt(mean, 0, 300));
    psmr_metrics::countNumerics(enabled_, {"SBP", "DBP", "MBP"});
}

void MonitorRelayAdaptor::sendDisableNIBP() {
    sendCommand("SBP", 0);
    sendCommand("MBP", 0);
    sendCommand("DBP", 0);
}

void MonitorRelayAdaptor::sendT1_degC(float t) {
    sendCommand("T1", unit_encoding::formatTemperature(t));
    psmr_metrics::countNumerics(enabled_, {"T1"});
}

void MonitorRelayAdaptor::sendDisableT1() {
    sendCommand("T1", 0.0f);
}

void MonitorRelayAdaptor::sendT2_degC(float t) {
    sendCommand("T2", unit_encoding::formatTemperature(t));
    psmr_metrics::countNumerics(enabled_, {"T2"});
}

void MonitorRelayAdaptor::sendDisableT2() {
    sendCommand("T2", 0.0f);
}

void MonitorRelayAdaptor::sendDisableCO2() {
    sendCommand("CO2", 0);
}

// The name's length is known here, so that its copy is a few moves.
template <std::size_t N>
void MonitorRelayAdaptor::sendWaveform(const char (&name)[N], std::vector<float>& samples,
                                       unit_encoding::WaveformEncoder encode) {
    if (!ownsSession()) {
        // No session open by this thread: the line goes out alone.
        thread_local std::string text;
        text.resize(unit_encoding::maxWaveformChars(samples.size()));
        const unit_encoding::WaveformText encoded = encode(samples, &text[0]);
        text.resize(static_cast<std::size_t>(encoded.end - &text[0]));
        if (encoded.values > 0) {
            sendCommand(name, text);
            psmr_metrics::countWaveformSent(enabled_, name, text);
        }
        return;
    }
    // Every block passes here: the values are written in place after the
    // line's name and kept only when the line goes out.
    constexpr std::size_t nameLength = N - 1;
    char* const line =
        sessionRoom(nameLength + 3 + unit_encoding::maxWaveformChars(samples.size()));
    char* out = line;
    *out++ = '[';
    std::memcpy(out, name, nameLength);
    out += nameLength;
    *out++ = ']';
    const unit_encoding::WaveformText encoded = encode(samples, out);
    if (encoded.values == 0 || !enabled_) {
        return;
    }
    *encoded.end = '@';
    closeSessionLine(static_cast<std::size_t>(encoded.end + 1 - line));
    psmr_metrics::metrics().countWaveformValues(psmr_metrics::waveformIndex(name), encoded.values);
}

void MonitorRelayAdaptor::sendABP_50Hz(std::vector<float>& samples) {
    sendWaveform("ABP", samples, unit_encoding::encodeABP);
}

void MonitorRelayAdaptor::sendPAP_50Hz(std::vector<float>& samples) {
    sendWaveform("PAP", samples, unit_encoding::encodePAP);
}

void MonitorRelayAdaptor::sendCVP_25Hz(std::vector<float>& samples) {
    sendWaveform("CVP", samples, unit_encoding::encodeCVP);
}

void MonitorRelayAdaptor::sendECG_100Hz(std::vector<float>& samples) {
    sendWaveform("ECG", samples, unit_encoding::encodeECG);
}

void MonitorRelayAdaptor::sendCO2_25Hz(std::vector<float>& samples) {
    sendWaveform("CO2", samples, unit_encoding::encodeCO2);
}

void MonitorRelayAdaptor::sendPLETH_50Hz(std::vector<float>& samples) {
    sendWaveform("PLETH", samples, unit_encoding::encodePLETH);
}
