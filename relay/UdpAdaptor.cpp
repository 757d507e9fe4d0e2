#include "relay/UdpAdaptor.h"

#include <cstring>
#include <exception>
#include <iostream>

#include "metrics/Metrics.h"
#include "relay/UnitEncoding.h"

using boost::asio::ip::udp;

UdpAdaptor::UdpAdaptor(boost::asio::io_service& io, const char* host, const UdpTimings& timing)
    : timing_(timing), socket_(io) {
    socket_.open(udp::v4());
    socket_.set_option(boost::asio::socket_base::reuse_address(true));
    // Linux refuses datagrams to a directed broadcast address without it, and
    // discovery probes those.
    socket_.set_option(boost::asio::socket_base::broadcast(true));
    socket_.bind(udp::endpoint(boost::asio::ip::address_v4::any(), kPort));

    // No "address configured" filter: it hides IPv4 results on a host whose
    // only IPv4 addresses are loopback ones, where the unit may still be found.
    udp::resolver resolver(io);
    const auto results =
        resolver.resolve(udp::v4(), host, std::to_string(kPort), udp::resolver::numeric_service);
    remote_ = *results.begin();
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
    {
        std::lock_guard<std::mutex> lock(replyMutex_);
        reply_.clear();
        senderAddress_.clear();
    }
    send(text, ec);
}

void UdpAdaptor::sendUnanswered(std::string& text, boost::system::error_code& ec) {
    send(text, ec);
}

void UdpAdaptor::echoSent(const std::string& text) {
    std::cout << "MR>Sending: " << text << std::endl;
}

void UdpAdaptor::send(const std::string& text, boost::system::error_code& ec) {
    if (debug_) {
        echoSent(text);
    }
    socket_.send_to(boost::asio::buffer(text), remote_, 0, ec);
    psmr_metrics::countDatagramSent(ec);
}

std::string UdpAdaptor::waitResponse() {
    for (int poll = 0; poll < timing_.responsePolls; ++poll) {
        std::this_thread::sleep_for(timing_.responsePollSleep);
        std::lock_guard<std::mutex> lock(replyMutex_);
        if (!reply_.empty()) {
            if (debug_) {
                std::cout << "MR>Response: " << unit_encoding::printable(reply_) << std::endl;
            }
            std::string reply = std::move(reply_);
            reply_.clear();
            return reply;
        }
    }
    return std::string();
}

bool UdpAdaptor::waitConnection(std::string& senderAddress, std::string& reply) {
    for (int poll = 0; poll < timing_.connectionPolls; ++poll) {
        std::this_thread::sleep_for(timing_.connectionPollSleep);
        std::lock_guard<std::mutex> lock(replyMutex_);
        if (!reply_.empty()) {
            reply = reply_;
            senderAddress = senderAddress_;
            reply_.clear();
            return true;
        }
    }
    return false;
}

void UdpAdaptor::handle_receive() {
    try {
        unit_encoding::ReplyAccumulator accumulator;
        std::string reply;
        while (running_) {
            std::memset(buffer_, 0, sizeof buffer_);
            boost::system::error_code ec;
            const std::size_t length =
                socket_.receive_from(boost::asio::buffer(buffer_), sender_, 0, ec);
            if (ec && ec != boost::asio::error::message_size) {
                continue;
            }
            if (!accumulator.add(buffer_, length, reply)) {
                continue;
            }
            if (debug_) {
                std::cout << "MR>Received: " << unit_encoding::printable(reply) << std::endl;
            }
            {
                std::lock_guard<std::mutex> lock(replyMutex_);
                reply_ = reply;
                senderAddress_ = sender_.address().to_v4().to_string();
            }
            ++receivedReplies_;
            psmr_metrics::metrics().unitReplied();
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    }
}
