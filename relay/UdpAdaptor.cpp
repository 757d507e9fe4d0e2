#include "relay/UdpAdaptor.h"

#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>

#include "metrics/Metrics.h"
#include "relay/UnitEncoding.h"

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

namespace {

// The local address the system sends from to reach `remote`; "any" when no
// route is known yet (the bind then still refuses a second bridge).
address_v4 sourceAddressFor(boost::asio::io_service& io, const udp::endpoint& remote) {
    udp::socket probe(io);
    boost::system::error_code ec;
    probe.open(udp::v4(), ec);
    probe.set_option(boost::asio::socket_base::broadcast(true), ec);
    probe.connect(remote, ec);  // a datagram socket's connect sends nothing
    if (ec) {
        return address_v4::any();
    }
    const auto local = probe.local_endpoint(ec);
    return ec ? address_v4::any() : local.address().to_v4();
}

std::uint64_t senderKey(const udp::endpoint& sender) {
    return (std::uint64_t{sender.address().to_v4().to_uint()} << 16) | sender.port();
}

}  // namespace

UdpAdaptor::UdpAdaptor(boost::asio::io_service& io, const char* host, const UdpTimings& timing,
                       Peers peers)
    : timing_(timing), peers_(peers), socket_(io) {
    // No "address configured" filter: it hides IPv4 results on a host whose
    // only IPv4 addresses are loopback ones, where the unit may still be found.
    udp::resolver resolver(io);
    const auto results =
        resolver.resolve(udp::v4(), host, std::to_string(kPort), udp::resolver::numeric_service);
    remote_ = *results.begin();

    socket_.open(udp::v4());
    // Linux refuses datagrams to a directed broadcast address without it, and
    // discovery probes those.
    socket_.set_option(boost::asio::socket_base::broadcast(true));
    // No address reuse: with it a second bridge (or any program) would share
    // the port silently and take the unit's replies. Bound to the address
    // that reaches the unit, so that an emulated unit on another loopback
    // address of the same computer keeps its own port.
    local_ = udp::endpoint(sourceAddressFor(io, remote_), kPort);
    boost::system::error_code ec;
    socket_.bind(local_, ec);
    if (ec == boost::asio::error::address_in_use) {
        throw std::runtime_error("UDP port " + std::to_string(kPort) + " on " +
                                 local_.address().to_string() +
                                 " is already in use: is another bridge running? Stop it first.");
    }
    if (ec) {
        throw boost::system::system_error(ec, "bind");
    }
    lastReply_ = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memset(buffer_, 0, sizeof buffer_);
}

UdpAdaptor::~UdpAdaptor() {
    try {
        stop_receive();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
    boost::system::error_code ignored;
    if (socket_.is_open()) {
        socket_.close(ignored);
    }
}

void UdpAdaptor::start_receive() {
    if (running_) {
        return;
    }
    running_ = true;
    try {
        thread_ = std::make_unique<std::thread>(&UdpAdaptor::handle_receive, this);
    } catch (...) {
        running_ = false;
        throw;
    }
}

void UdpAdaptor::stop_receive() {
    if (!running_.exchange(false)) {
        return;
    }
    std::string stop = "[STOPME]@";
    boost::system::error_code ec;
    sendCommand(stop, ec);
    // A receive blocked in the kernel returns at once after a shutdown; the
    // close waits for the join so that the thread never uses a closed socket.
    socket_.shutdown(udp::socket::shutdown_both, ec);
    if (thread_) {
        thread_->join();
        thread_.reset();
    }
    socket_.close();
}

void UdpAdaptor::sendCommand(std::string& text, boost::system::error_code& ec) {
    // Emptied before sending, so that a quick answer to this datagram is kept.
    ++requestGeneration_;
    {
        psmr_sync::LockGuard lock(replyMutex_);
        reply_.clear();
        senderAddress_.clear();
    }
    send(text.data(), text.size(), ec);
}

void UdpAdaptor::sendUnanswered(std::string& text, boost::system::error_code& ec) {
    send(text.data(), text.size(), ec);
}

void UdpAdaptor::sendUnanswered(const char* text, std::size_t size, boost::system::error_code& ec) {
    send(text, size, ec);
}

void UdpAdaptor::echoSent(const std::string& text) {
    std::cout << "MR>Sending: " << text << std::endl;
}

void UdpAdaptor::send(const char* text, std::size_t size, boost::system::error_code& ec) {
    if (debug_) {
        echoSent(std::string(text, size));
    }
    socket_.send_to(boost::asio::buffer(text, size), remote_, 0, ec);
    psmr_metrics::countDatagramSent(ec);
}

std::string UdpAdaptor::waitResponse(const char* expected) {
    std::string other;
    for (int poll = 0; poll < timing_.responsePolls; ++poll) {
        std::this_thread::sleep_for(timing_.responsePollSleep);
        psmr_sync::LockGuard lock(replyMutex_);
        if (reply_.empty()) {
            continue;
        }
        std::string reply = std::move(reply_);
        reply_.clear();
        if (expected == nullptr || reply == expected) {
            other = std::move(reply);
            break;
        }
        other = std::move(reply);
    }
    if (debug_ && !other.empty()) {
        std::cout << "MR>Response: " << unit_encoding::printable(other) << std::endl;
    }
    return other;
}

bool UdpAdaptor::waitConnection(std::string& senderAddress, std::string& reply) {
    for (int poll = 0; poll < timing_.connectionPolls; ++poll) {
        std::this_thread::sleep_for(timing_.connectionPollSleep);
        psmr_sync::LockGuard lock(replyMutex_);
        if (!reply_.empty()) {
            reply = reply_;
            senderAddress = senderAddress_;
            reply_.clear();
            return true;
        }
    }
    return false;
}

void UdpAdaptor::collectReplies() {
    psmr_sync::LockGuard lock(replyMutex_);
    collecting_ = true;
}

std::vector<std::pair<std::string, std::string>> UdpAdaptor::takeCollected() {
    std::vector<std::pair<std::string, std::string>> taken;
    psmr_sync::LockGuard lock(replyMutex_);
    taken.swap(collected_);
    return taken;
}

std::chrono::steady_clock::time_point UdpAdaptor::lastReply() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastReply_));
}

std::string UdpAdaptor::localAddress() const {
    return local_.address().to_string();
}

void UdpAdaptor::handle_receive() {
    // Kept by many units at most, each at most kMaxPending: bounded.
    constexpr std::size_t kMaxCollected = 256;
    try {
        unit_encoding::SenderReplies pending;
        std::uint64_t generation = requestGeneration_;
        std::string reply;
        while (running_) {
            std::memset(buffer_, 0, sizeof buffer_);
            boost::system::error_code ec;
            const std::size_t length =
                socket_.receive_from(boost::asio::buffer(buffer_), sender_, 0, ec);
            if (ec && ec != boost::asio::error::message_size) {
                continue;
            }
            ++receivedDatagrams_;
            if (peers_ == Peers::UnitOnly && sender_ != remote_) {
                ++droppedDatagrams_;
                psmr_metrics::metrics().countForeignDatagram();
                continue;
            }
            // A request went out since: what was pending belongs to older ones.
            if (generation != requestGeneration_) {
                generation = requestGeneration_;
                pending.clear();
            }
            if (!pending.add(senderKey(sender_), buffer_, length, reply)) {
                continue;
            }
            if (debug_) {
                std::cout << "MR>Received: " << unit_encoding::printable(reply) << std::endl;
            }
            const std::string sender = sender_.address().to_v4().to_string();
            {
                psmr_sync::LockGuard lock(replyMutex_);
                reply_ = reply;
                senderAddress_ = sender;
                if (collecting_ && collected_.size() < kMaxCollected) {
                    collected_.emplace_back(sender, reply);
                }
            }
            lastReply_ = std::chrono::steady_clock::now().time_since_epoch().count();
            ++receivedReplies_;
            psmr_metrics::metrics().unitReplied();
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
}
