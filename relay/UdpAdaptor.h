#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "relay/RelayTimings.h"

// The datagram link to one MonitorRelay unit: sends text datagrams to the
// unit's port 14996 and keeps the latest complete reply (text up to its first
// "@") that the receive thread collected, for callers that poll with a bound.
class UdpAdaptor {
  public:
    static constexpr unsigned short kPort = 14996;

    // Opens the socket on `io`, binds 0.0.0.0:14996 and resolves `host`.
    // Throws boost::system::system_error ("set_option", "bind", "resolve").
    UdpAdaptor(boost::asio::io_service& io, const char* host, const UdpTimings& timing = {});
    virtual ~UdpAdaptor();

    UdpAdaptor(const UdpAdaptor&) = delete;
    UdpAdaptor& operator=(const UdpAdaptor&) = delete;

    void start_receive();
    void stop_receive();

    // Empties the reply slot, then sends `text` as one datagram (a request).
    void sendCommand(std::string& text, boost::system::error_code& ec);
    // Sends `text` as one datagram that the unit does not answer (a command),
    // leaving alone a reply that a request on another thread is waiting for.
    void sendUnanswered(std::string& text, boost::system::error_code& ec);
    // Takes the pending reply, waiting up to about 300 ms; empty text if none.
    std::string waitResponse();
    // Takes the pending reply and its sender address, waiting up to about 600 ms.
    bool waitConnection(std::string& senderAddress, std::string& reply);

    void enableDebugMode() { debug_ = true; }
    // The debug echo of a datagram sent to the unit (by this link or by the
    // adaptor above it, which echoes what it meant to send).
    static void echoSent(const std::string& text);
    // Complete replies collected so far, stored or not yet taken; lets tests
    // wait for a reply to land without taking it.
    std::size_t receivedReplies() const { return receivedReplies_; }

    // Body of the receive thread.
    void handle_receive();

  private:
    static constexpr std::size_t kBufferSize = 250;
    void send(const std::string& text, boost::system::error_code& ec);

    UdpTimings timing_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint remote_;
    boost::asio::ip::udp::endpoint sender_;  // written by the receive thread only
    char buffer_[kBufferSize];               // used by the receive thread only

    // Guards reply_ and senderAddress_; no other lock is held when taking it.
    std::mutex replyMutex_;
    std::string reply_;
    std::string senderAddress_;

    std::atomic<bool> running_{false};
    std::atomic<bool> debug_{false};
    std::atomic<std::size_t> receivedReplies_{0};
    std::unique_ptr<std::thread> thread_;
};
