#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "client/core/CSCommsInterface.h"
#include "client/core/CSMutex.h"
#include "client/core/ReceiveBuffer.h"

namespace com_nax {

// The TCP socket of one client connection (POSIX sockets). Reads are done by the
// engine's receive thread only; writes may come from any thread.
class CSCommsInterfaceTCP : public CSCommsInterface {
  public:
    struct Options {
        bool quiet = false;              // carried for the owner; never read here
        uint32_t receiveBufferSize = 0;  // bytes; 0 keeps the system default
        uint32_t sendBufferSize = 0;     // bytes; 0 keeps the system default
    };

    explicit CSCommsInterfaceTCP(const Options& options);
    ~CSCommsInterfaceTCP() override;

    CSCommsInterfaceTCP(const CSCommsInterfaceTCP&) = delete;
    CSCommsInterfaceTCP& operator=(const CSCommsInterfaceTCP&) = delete;

    // Take effect at the next openConnection. Not for use while a connection attempt
    // runs on another thread.
    void setOptions(const Options& options) EXCLUDES(socketLock_);
    Options getOptions() const EXCLUDES(socketLock_);
    // Socket timeouts (defaults 1 s receive, 30 s send) and the bound of a
    // connection attempt (default 2 s); take effect at the next openConnection.
    void setTimeouts(std::chrono::milliseconds receive, std::chrono::milliseconds send)
        EXCLUDES(socketLock_);
    void setConnectTimeout(std::chrono::milliseconds connect) EXCLUDES(socketLock_);

    bool openConnection(unsigned address, unsigned port) override;
    bool openConnection(const char* address, unsigned port);
    // As above; the wait for the handshake also ends, as a failure, as soon as
    // `keepWaiting` (asked every few tens of milliseconds) returns false.
    bool openConnection(unsigned address, unsigned port, const std::function<bool()>& keepWaiting);
    void close() override EXCLUDES(socketLock_);
    // As close(), for callers that already hold the socket lock.
    void closeSocket() REQUIRES(socketLock_);

    // Hands out bytes already buffered by receiveAvailable first.
    int readMessage(unsigned size, RawMessage& message) override;
    // One receive of whatever has arrived into the receive buffer, at least one
    // byte or the receive timeout; `wanted` (the bytes the caller needs in all)
    // only sizes the buffer. Results as readMessage. Receive thread only.
    virtual int receiveAvailable(unsigned wanted);
    ReceiveBuffer& receiveBuffer() { return received_; }
    int writeMessage(const RawMessage& message) override;

    int getSocket() const { return socket_.load(); }
    bool isOpen() const { return socket_.load() >= 0; }

    // inet_addr of the dotted text; all bits set for an invalid text.
    static unsigned convertIPAddressToOctet(const char* text);
    // Dotted text of an octet value, lowest-order byte first.
    static std::string convertIPOctetToAddress(unsigned address);

  private:
    std::atomic<int> socket_{-1};
    Options options_ GUARDED_BY(socketLock_);
    std::chrono::milliseconds receiveTimeout_ GUARDED_BY(socketLock_){1000};
    std::chrono::milliseconds sendTimeout_ GUARDED_BY(socketLock_){30000};
    std::chrono::milliseconds connectTimeout_ GUARDED_BY(socketLock_){2000};
    // Guards the settings, closing and storing the descriptor; not held while a
    // connection attempt waits. Taken after the engine's locks.
    mutable CSMutex socketLock_ ACQUIRED_BEFORE(writeLock_);
    // Serialises writes, and a close against a write in progress; may be taken with
    // the socket lock held (never the reverse).
    CSMutex writeLock_;
    // Bytes received and not yet taken; receive thread only, emptied by each
    // openConnection.
    ReceiveBuffer received_;
};

}  // namespace com_nax
