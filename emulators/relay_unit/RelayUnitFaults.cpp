#include "emulators/relay_unit/RelayUnitEmulator.h"

// Fault injection: which replies are dropped, delayed or split, and the
// switches a test or the control channel flips while the unit runs.

namespace relayunit {

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

// ---- Fault switches --------------------------------------------------------

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

bool RelayUnitEmulator::sendToBridge(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lastPeer_) {
        return false;
    }
    outgoing_.push_back({text, *lastPeer_, Clock::now()});
    return true;
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

}  // namespace relayunit
