#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "relay/RelayTimings.h"
#include "sync/Mutex.h"

// The datagram link to one MonitorRelay unit: sends text datagrams to the
// unit's port 14996 and keeps the latest complete reply (text up to its first
// "@") that the receive thread collected, for callers that poll with a bound.
class UdpAdaptor {
  public:
    static constexpr unsigned short kPort = 14996;

    // Whose datagrams the link takes. A link to one unit drops (and counts)
    // everything not from that unit's port 14996, so that another host can
    // neither answer in its place nor splice text into its replies; a
    // broadcast probe takes whoever answers.
    enum class Peers { UnitOnly, AnyResponder };

    // Resolves `host`, opens the socket on `io` and binds port 14996 on the
    // local address that reaches `host` (without address reuse, so that a
    // second bridge cannot share the port). Throws
    // boost::system::system_error ("resolve", "bind") or, when the port is
    // already taken there, std::runtime_error with a text for the operator.
    UdpAdaptor(boost::asio::io_service& io, const char* host, const UdpTimings& timing = {},
               Peers peers = Peers::UnitOnly);
    virtual ~UdpAdaptor();

    UdpAdaptor(const UdpAdaptor&) = delete;
    UdpAdaptor& operator=(const UdpAdaptor&) = delete;

    void start_receive();
    void stop_receive();

    // Empties the reply slot and any partial replies, then sends `text` as
    // one datagram (a request).
    void sendCommand(std::string& text, boost::system::error_code& ec);
    // Sends `text` as one datagram that the unit does not answer (a command),
    // leaving alone a reply that a request on another thread is waiting for.
    void sendUnanswered(std::string& text, boost::system::error_code& ec);
    void sendUnanswered(const char* text, std::size_t size, boost::system::error_code& ec);
    // Takes the pending reply, waiting up to about 300 ms; empty text if none.
    // With `expected`, other replies are passed over while the wait lasts (a
    // late answer to an earlier request is not this one's); the last of them
    // is returned only when `expected` never came, for the caller's log.
    std::string waitResponse(const char* expected = nullptr);
    // Takes the pending reply and its sender address, waiting up to about 600 ms.
    bool waitConnection(std::string& senderAddress, std::string& reply);
    // Discovery: from now on also keeps every reply with its sender, so that
    // units answering one broadcast at once are all seen.
    void collectReplies();
    std::vector<std::pair<std::string, std::string>> takeCollected();

    void enableDebugMode() { debug_ = true; }
    // The debug echo of a datagram sent to the unit (by this link or by the
    // adaptor above it, which echoes what it meant to send).
    static void echoSent(const std::string& text);
    // Complete replies collected so far, stored or not yet taken; lets tests
    // wait for a reply to land without taking it.
    std::size_t receivedReplies() const { return receivedReplies_; }
    // Every datagram read from the socket, and those dropped as foreign.
    std::size_t receivedDatagrams() const { return receivedDatagrams_; }
    std::size_t droppedDatagrams() const { return droppedDatagrams_; }
    // When the last complete reply came, or when the link was opened.
    std::chrono::steady_clock::time_point lastReply() const;
    std::string localAddress() const;

    // Body of the receive thread.
    void handle_receive();

  private:
    static constexpr std::size_t kBufferSize = 250;
    void send(const char* text, std::size_t size, boost::system::error_code& ec);

    UdpTimings timing_;
    Peers peers_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint remote_;
    boost::asio::ip::udp::endpoint local_;
    boost::asio::ip::udp::endpoint sender_;  // written by the receive thread only
    char buffer_[kBufferSize];               // used by the receive thread only

    // Guards reply_, senderAddress_, collecting_ and collected_; no other
    // lock is held when taking it.
    psmr_sync::Mutex replyMutex_;
    std::string reply_ GUARDED_BY(replyMutex_);
    std::string senderAddress_ GUARDED_BY(replyMutex_);
    bool collecting_ GUARDED_BY(replyMutex_) = false;
    std::vector<std::pair<std::string, std::string>> collected_ GUARDED_BY(replyMutex_);

    std::atomic<bool> running_{false};
    std::atomic<bool> debug_{false};
    std::atomic<std::size_t> receivedReplies_{0};
    std::atomic<std::size_t> receivedDatagrams_{0};
    std::atomic<std::size_t> droppedDatagrams_{0};
    // Bumped by every request: partial replies from before it are dropped.
    std::atomic<std::uint64_t> requestGeneration_{0};
    std::atomic<std::chrono::steady_clock::rep> lastReply_;
    std::unique_ptr<std::thread> thread_;
};
