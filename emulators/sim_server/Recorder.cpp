#include "emulators/sim_server/Recorder.h"

namespace simemu {

void Recorder::record(ReceivedMessage m) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(m));
    }
    changed_.notify_all();
}

void Recorder::connected(Protocol p) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++per_[slot(p)].connections;
    }
    changed_.notify_all();
}

void Recorder::disconnected(Protocol p) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++per_[slot(p)].disconnections;
    }
    changed_.notify_all();
}

void Recorder::setSubscriptions(Protocol p, Ids inputs, Ids outputs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        per_[slot(p)].inputs = std::move(inputs);
        per_[slot(p)].outputs = std::move(outputs);
    }
    changed_.notify_all();
}

std::vector<ReceivedMessage> Recorder::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<ReceivedMessage> Recorder::messages(MessageKind k) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReceivedMessage> out;
    for (const auto& m : messages_) {
        if (m.kind == k) {
            out.push_back(m);
        }
    }
    return out;
}

std::size_t Recorder::count(MessageKind k) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& m : messages_) {
        n += m.kind == k ? 1 : 0;
    }
    return n;
}

unsigned Recorder::connections(Protocol p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return per_[slot(p)].connections;
}

unsigned Recorder::disconnections(Protocol p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return per_[slot(p)].disconnections;
}

Recorder::Ids Recorder::inputs(Protocol p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return per_[slot(p)].inputs;
}

Recorder::Ids Recorder::outputs(Protocol p) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return per_[slot(p)].outputs;
}

void Recorder::clearMessages() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

std::optional<ReceivedMessage> Recorder::waitForMessage(MessageKind k, std::size_t n,
                                                        std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ReceivedMessage> found;
    changed_.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const auto& m : messages_) {
            if (m.kind == k && ++seen == n) {
                found = m;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool Recorder::waitForConnections(Protocol p, unsigned n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return per_[slot(p)].connections >= n; });
}

bool Recorder::waitForDisconnections(Protocol p, unsigned n,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return per_[slot(p)].disconnections >= n; });
}

std::optional<std::uint32_t> Recorder::waitForSubscription(
    Protocol p, const std::string& name, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<std::uint32_t> id;
    changed_.wait_for(lock, timeout, [&] {
        const auto& ins = per_[slot(p)].inputs;
        auto it = ins.find(name);
        if (it == ins.end()) {
            return false;
        }
        id = it->second;
        return true;
    });
    return id;
}

}  // namespace simemu
