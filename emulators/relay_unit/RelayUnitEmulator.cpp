#include "emulators/relay_unit/RelayUnitEmulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emulators/relay_unit/UnitLineParser.h"

namespace relayunit {

namespace {

constexpr const char* kIdMarker = "MonitorRelay v2.2";
constexpr const char* kWifiPrefix = "57600,14996,0,";
constexpr std::size_t kReceiveBuffer = 2048;  // longer than any line the bridge sends

int bindUdp(const std::string& address, unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        throw std::runtime_error("relay unit: not an IPv4 address: " + address);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("relay unit: socket: " + std::string(std::strerror(errno)));
    }
    // The bridge binds 0.0.0.0 on the same port; both must allow the overlap.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        throw std::runtime_error("relay unit: bind " + address + ": " + why);
    }
    return fd;
}

bool isWaveform(const std::string& name) {
    return name == "ABP" || name == "PAP" || name == "CVP" || name == "PLETH" || name == "ECG" ||
           name == "CO2";
}

}  // namespace

RelayUnitEmulator::RelayUnitEmulator(EmulatorOptions options)
    : options_(std::move(options)), loss_(options_.seed) {}

RelayUnitEmulator::~RelayUnitEmulator() {
    stop();
}

void RelayUnitEmulator::setLineObserver(std::function<void(const ReceivedLine&)> observer) {
    observer_ = std::move(observer);
}

void RelayUnitEmulator::start() {
    if (running_) {
        return;
    }
    std::vector<int> fds;
    try {
        fds.push_back(bindUdp(options_.address, options_.port));
        for (const auto& extra : options_.alsoListen) {
            fds.push_back(bindUdp(extra, options_.port));
        }
    } catch (...) {
        for (int fd : fds) {
            close(fd);
        }
        throw;
    }
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        for (int fd : fds) {
            close(fd);
        }
        throw std::runtime_error("relay unit: pipe failed");
    }
    sockets_ = std::move(fds);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastDatagram_ = Clock::now();
    }
    running_ = true;
    thread_ = std::thread(&RelayUnitEmulator::run, this);
}

void RelayUnitEmulator::stop() {
    if (!running_.exchange(false)) {
        return;
    }
    const char wake = 'x';
    (void)!write(wakePipe_[1], &wake, 1);
    thread_.join();
    for (int fd : sockets_) {
        close(fd);
    }
    sockets_.clear();
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
}

int RelayUnitEmulator::pollTimeoutMs() const {
    // Wakes for the next delayed reply and for the watchdog; 50 ms at most.
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = Clock::now() + std::chrono::milliseconds(50);
    for (const auto& out : outgoing_) {
        next = std::min(next, out.due);
    }
    if (watchdogArmed_) {
        next = std::min(next, lastDatagram_ + options_.watchdogTimeout);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0) + 1);
}

void RelayUnitEmulator::run() {
    std::vector<pollfd> fds;
    for (int fd : sockets_) {
        fds.push_back({fd, POLLIN, 0});
    }
    fds.push_back({wakePipe_[0], POLLIN, 0});
    while (running_) {
        for (auto& p : fds) {
            p.revents = 0;
        }
        poll(fds.data(), fds.size(), pollTimeoutMs());
        for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                receiveFrom(fds[i].fd);
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (watchdogArmed_ && Clock::now() - lastDatagram_ >= options_.watchdogTimeout) {
                // The bridge went quiet: forget it, as the hardware does.
                watchdogArmed_ = false;
                associated_ = false;
                enabled_ = false;
                ++watchdogExpiries_;
                changed_.notify_all();
            }
        }
        sendDue();
    }
}

void RelayUnitEmulator::receiveFrom(int fd) {
    char buffer[kReceiveBuffer];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
        return;
    }
    const std::string text(buffer, static_cast<std::size_t>(n));
    char source[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    const auto now = Clock::now();

    int malformed = 0;
    const auto parsed = parseDatagram(text, &malformed);
    std::vector<ReceivedLine> seen;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastDatagram_ = now;
        malformed_ += malformed;
        datagrams_.push_back({text, source, now});
        for (const auto& line : parsed) {
            ReceivedLine record{line.name, line.value, now, false};
            takePendingFaults(line.name);
            handleLine(line.name, line.value, from, record);
            lines_.push_back(record);
            seen.push_back(record);
        }
        trimHistory();
        changed_.notify_all();
    }
    if (observer_) {
        for (const auto& record : seen) {
            observer_(record);
        }
    }
}

void RelayUnitEmulator::reply(const std::string& text, const sockaddr_in& to,
                              std::chrono::milliseconds extra) {
    const auto now = Clock::now();
    // The loss draw comes last so that silence or a drop switch uses none.
    if (silent_ || now < silentUntil_ || dropThisLine_ || loss_.drop()) {
        ++dropped_;
        return;
    }
    const auto due = now + replyDelay_ + delayThisLine_ + extra;
    if (split_ && text.size() > 1) {
        const std::size_t half = text.size() / 2;
        outgoing_.push_back({text.substr(0, half), to, due});
        outgoing_.push_back({text.substr(half), to, due});
    } else {
        outgoing_.push_back({text, to, due});
    }
}

void RelayUnitEmulator::sendDue() {
    std::vector<Outgoing> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        // stable_partition keeps the halves of a split reply in order.
        auto split = std::stable_partition(outgoing_.begin(), outgoing_.end(),
                                           [&](const Outgoing& o) { return o.due <= now; });
        due.assign(outgoing_.begin(), split);
        outgoing_.erase(outgoing_.begin(), split);
    }
    for (const auto& out : due) {
        sendto(sockets_[0], out.text.data(), out.text.size(), 0,
               reinterpret_cast<const sockaddr*>(&out.to), sizeof out.to);
    }
}

void RelayUnitEmulator::takePendingFaults(const std::string& name) {
    dropThisLine_ = false;
    delayThisLine_ = std::chrono::milliseconds(0);
    const auto drop = dropNext_.find(name);
    if (drop != dropNext_.end()) {
        dropThisLine_ = true;
        if (--drop->second <= 0) {
            dropNext_.erase(drop);
        }
    }
    const auto delay = delayNext_.find(name);
    if (delay != delayNext_.end()) {
        delayThisLine_ = delay->second.delay;
        if (--delay->second.count <= 0) {
            delayNext_.erase(delay);
        }
    }
}

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

// ---- Fault switches and observation ----------------------------------------

void RelayUnitEmulator::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
    silentUntil_ = Clock::time_point{};
}

void RelayUnitEmulator::silenceFor(std::chrono::milliseconds duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    silentUntil_ = Clock::now() + duration;
}

void RelayUnitEmulator::dropReplies(const std::string& name, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > 0) {
        dropNext_[name] = count;
    } else {
        dropNext_.erase(name);
    }
}

void RelayUnitEmulator::delayReplies(const std::string& name, int count,
                                     std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > 0) {
        delayNext_[name] = {count, delay};
    } else {
        delayNext_.erase(name);
    }
}

void RelayUnitEmulator::setReplyLoss(double fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    loss_.setFraction(fraction);
}

int RelayUnitEmulator::droppedReplies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void RelayUnitEmulator::setAnnouncedSerial(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    announcedSerial_ = serial;
}

void RelayUnitEmulator::setIdReply(const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    idReply_ = reply;
}

void RelayUnitEmulator::setReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    replyDelay_ = delay;
}

void RelayUnitEmulator::setSplitReplies(bool split) {
    std::lock_guard<std::mutex> lock(mutex_);
    split_ = split;
}

void RelayUnitEmulator::dropAssociation() {
    std::lock_guard<std::mutex> lock(mutex_);
    associated_ = false;
    enabled_ = false;
    watchdogArmed_ = false;
}

void RelayUnitEmulator::setWifiResetCompletes(bool completes) {
    std::lock_guard<std::mutex> lock(mutex_);
    resetCompletes_ = completes;
}

void RelayUnitEmulator::setWifiConfigCompletes(bool completes) {
    std::lock_guard<std::mutex> lock(mutex_);
    configCompletes_ = completes;
}

std::vector<ReceivedLine> RelayUnitEmulator::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<ReceivedDatagram> RelayUnitEmulator::datagrams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
}

std::size_t RelayUnitEmulator::datagramCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_.size();
}

MonitorState RelayUnitEmulator::monitor() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitor_;
}

MonitorState RelayUnitEmulator::monitor(Clock::duration recent) const {
    std::lock_guard<std::mutex> lock(mutex_);
    MonitorState copy;
    copy.hr = monitor_.hr;
    copy.rr = monitor_.rr;
    copy.spo2 = monitor_.spo2;
    copy.spo2Probe = monitor_.spo2Probe;
    copy.spo2Scale = monitor_.spo2Scale;
    copy.sbp = monitor_.sbp;
    copy.dbp = monitor_.dbp;
    copy.mbp = monitor_.mbp;
    copy.t1 = monitor_.t1;
    copy.t2 = monitor_.t2;
    copy.co2Disabled = monitor_.co2Disabled;
    copy.waveformTotals = monitor_.waveformTotals;
    const auto since = Clock::now() - recent;
    for (const auto& wave : monitor_.waveforms) {
        const auto& blocks = wave.second;
        auto first = std::partition_point(blocks.begin(), blocks.end(),
                                          [&](const WaveformBlock& b) { return b.at < since; });
        copy.waveforms[wave.first].assign(first, blocks.end());
    }
    return copy;
}

UnitStatus RelayUnitEmulator::status(Clock::duration recent) const {
    std::lock_guard<std::mutex> lock(mutex_);
    UnitStatus s;
    s.associated = associated_;
    s.enabled = enabled_;
    s.watchdogArmed = watchdogArmed_;
    if (!datagrams_.empty()) {
        s.lastDatagram = datagrams_.back().at;
    }
    const auto since = Clock::now() - recent;
    for (auto d = datagrams_.rbegin(); d != datagrams_.rend() && d->at >= since; ++d) {
        s.recentDatagrams.push_back(d->at);
    }
    std::reverse(s.recentDatagrams.begin(), s.recentDatagrams.end());
    return s;
}

std::vector<float> RelayUnitEmulator::samples(const std::string& waveform) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<float> all;
    const auto it = monitor_.waveforms.find(waveform);
    if (it != monitor_.waveforms.end()) {
        for (const auto& block : it->second) {
            all.insert(all.end(), block.values.begin(), block.values.end());
        }
    }
    return all;
}

bool RelayUnitEmulator::associated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return associated_;
}

bool RelayUnitEmulator::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

bool RelayUnitEmulator::watchdogArmed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchdogArmed_;
}

int RelayUnitEmulator::watchdogExpiries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchdogExpiries_;
}

bool RelayUnitEmulator::configMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configMode_;
}

std::string RelayUnitEmulator::wifiSsid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ssid_;
}

std::string RelayUnitEmulator::wifiPassPhrase() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return passPhrase_;
}

std::string RelayUnitEmulator::ethSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eth_;
}

int RelayUnitEmulator::malformedLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return malformed_;
}

bool RelayUnitEmulator::waitForLine(const std::string& name, std::chrono::milliseconds timeout,
                                    std::size_t nth, ReceivedLine* found) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto match = [&] {
        std::size_t count = 0;
        for (const auto& line : lines_) {
            if (line.name == name && ++count == nth) {
                if (found) {
                    *found = line;
                }
                return true;
            }
        }
        return false;
    };
    return changed_.wait_for(lock, timeout, match);
}

bool RelayUnitEmulator::waitForDatagrams(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return datagrams_.size() >= count; });
}

namespace {

template <typename T>
void trimFront(std::vector<T>& v, std::size_t limit) {
    if (limit > 0 && v.size() > 2 * limit) {
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() - limit));
    }
}

}  // namespace

void RelayUnitEmulator::trimHistory() {
    const std::size_t limit = options_.historyLimit;
    trimFront(lines_, limit);
    trimFront(datagrams_, limit);
    for (auto& wave : monitor_.waveforms) {
        trimFront(wave.second, limit);
    }
}

}  // namespace relayunit
