// The receive thread of CSClientProtocol: connecting, reading frames and
// handing them to the protocol, giving up a connection never made ready; and
// the framed send.
#include <cerrno>
#include <chrono>
#include <iostream>

#include "client/core/CSClientProtocol.h"

namespace com_nax {

namespace {

// The lines of a lost connection, each written here only; the header read
// reports a close on standard error, the payload read on standard output.
void reportClosedByServer(std::ostream& stream, bool quiet) {
    if (!quiet) {
        stream << "Connection closed by server." << std::endl;
    }
}

void reportReadError(bool quiet) {
    if (!quiet) {
        std::cerr << "Read error. Closing connection." << std::endl;
    }
}

}  // namespace

void* CSClientProtocol::mainThread(void* engine) {
    if (engine == nullptr) {
        return nullptr;
    }
    auto* self = static_cast<CSClientProtocol*>(engine);
    for (;;) {
        if (self->pendingClose_.exchange(false)) {
            self->closeConnectionFor(self->pendingCloseGeneration_.load());
            continue;
        }
        if (self->reconnectPauseDue_.exchange(false)) {
            CSThread::sleep(self->getTimings().reconnectPause);
        }
        switch (self->state_.load()) {
            case CSClient::STATE_CONNECTING:
                self->startConnection();
                break;
            case CSClient::STATE_CONNECTED:
                // A server that accepts and never completes the start-up would
                // otherwise hold the connection for ever.
                if (self->readyOverdue()) {
                    self->giveUpNotReady();
                    break;
                }
                self->receiveMessage();
                break;
            case CSClient::STATE_READY:
                self->receiveMessage();
                break;
            case CSClient::STATE_RECONNECTING:
                CSThread::sleep(self->getTimings().reconnectPause);
                break;
            case CSClient::STATE_DISCONNECTED:
            case CSClient::STATE_DISCONNECTING:
            default:
                // The handle stays set: the next openConnection or the destructor
                // joins this thread, which only returns after this point.
                self->stateLock_.lock();
                self->finishCloseLocked();
                self->stateLock_.unlock();
                return nullptr;
        }
    }
}

CSClient::Result CSClientProtocol::startConnection() {
    unsigned address = 0;
    unsigned port = 0;
    stateLock_.lock();
    const bool attempt = state_.load() == CSClient::STATE_CONNECTING && transport_ != nullptr;
    if (attempt) {
        CSCommsInterfaceTCP::Options options;
        options.quiet = false;
        options.receiveBufferSize = connectionOptions_.receiveBufferSize;
        options.sendBufferSize = connectionOptions_.sendBufferSize;
        transport_->setOptions(options);
        const CSTimings timings = getTimings();
        transport_->setTimeouts(timings.receiveTimeout, timings.sendTimeout);
        transport_->setConnectTimeout(timings.connectTimeout);
        address = serverAddress_.load();
        port = serverPort_.load();
    }
    stateLock_.unlock();
    if (!attempt) {
        closeConnection();
        return CSClient::RESULT_COMMS_ERROR;
    }
    // The handshake is awaited without the state lock, so that a close never waits
    // for it; the transport stays ours, as it is only swapped while disconnected.
    const bool connected = transport_->openConnection(
        address, port, [this] { return state_.load() == CSClient::STATE_CONNECTING; });
    reportReachable(connected);
    stateLock_.lock();
    if (connected && state_.load() == CSClient::STATE_CONNECTING) {
        connectionGeneration_.fetch_add(1);
        pendingClose_.store(false);
        connectedAt_ = std::chrono::steady_clock::now();
        setState(CSClient::STATE_CONNECTED);
        stateLock_.unlock();
        return CSClient::RESULT_OK;
    }
    if (connected) {
        transport_->close();  // a close came while the handshake ran
    }
    stateLock_.unlock();
    closeConnection();
    return CSClient::RESULT_COMMS_ERROR;
}

void CSClientProtocol::reportReachable(bool reached) {
    if (hasOptions(OPTION_QUIET)) {
        return;
    }
    if (reached && unreachableReported_) {
        std::cout << "The simulation server is reached again on port " << serverPort_.load() << "."
                  << std::endl;
        unreachableReported_ = false;
    } else if (!reached && !unreachableReported_ && state_.load() == CSClient::STATE_CONNECTING) {
        std::cerr << "The simulation server cannot be reached on port " << serverPort_.load()
                  << "; trying again." << std::endl;
        unreachableReported_ = true;
    }
}

void CSClientProtocol::reportClosedAtOnce() {
    const auto now = std::chrono::steady_clock::now();
    if (now - connectedAt_ >= kClosedAtOnce) {
        closingAtOnce_.store(false);  // a connection that lasted: said as always
        closedAtOnce_ = 0;
        return;
    }
    if (closedAtOnce_++ == 0) {
        closedAtOnceSince_ = now;  // the first of a stretch is said as always
        return;
    }
    closingAtOnce_.store(true);
    if (now - closedAtOnceSince_ >= std::chrono::minutes(1)) {
        if (!hasOptions(OPTION_QUIET)) {
            std::cerr << "Connections closed at once by the simulation server on port "
                      << serverPort_.load() << ": " << closedAtOnce_ << " in the last minute."
                      << std::endl;
        }
        closedAtOnce_ = 1;  // still in the stretch
        closedAtOnceSince_ = now;
    }
}

bool CSClientProtocol::readyOverdue() const {
    return std::chrono::steady_clock::now() - connectedAt_ >= getTimings().readyTimeout;
}

void CSClientProtocol::giveUpNotReady() {
    if (!isQuiet()) {
        const auto limit = getTimings().readyTimeout;
        std::cerr << connectionName() << " did not become ready within ";
        if (limit.count() % 1000 == 0) {
            std::cerr << limit.count() / 1000 << " s.";
        } else {
            std::cerr << limit.count() << " ms.";
        }
        std::cerr << (hasOptions(OPTION_AUTO_RECONNECT) ? " Reconnecting..."
                                                        : " Closing connection.")
                  << std::endl;
    }
    closeConnection();
}

bool CSClientProtocol::readMessageHeader(RawMessage::Type& type, unsigned& payloadLength) {
    RawMessage& header = rxHeader_;
    header.clear();
    const int n = transport_->readMessage(RawMessage::HEADER_SIZE, header);
    if (n == -2) {
        return false;
    }
    const bool quiet = isQuiet();
    if (n == 0) {
        reportClosedAtOnce();  // first: it decides whether this close is said
        reportClosedByServer(std::cerr, isQuiet());
        closeConnection();
        return false;
    }
    if (n < 0) {
        reportReadError(quiet);
        closeConnection();
        return false;
    }
    uint32_t frameLength = 0;
    uint32_t length = 0;
    RawMessage::Type kind = RawMessage::MSG_INVALID;
    if (closingAtOnce_.load() && std::chrono::steady_clock::now() - connectedAt_ >= kClosedAtOnce) {
        closingAtOnce_.store(false);  // this one lasts: its lines are said again
        closedAtOnce_ = 0;
    }
    switch (RawMessage::parseFrameHeader(header, frameLength, length, kind)) {
        case RawMessage::HEADER_INCOMPLETE:
            if (!quiet) {
                std::cerr << "Couldn't read a complete header. Closing connection." << std::endl;
            }
            closeConnection();
            return false;
        case RawMessage::HEADER_INVALID_LENGTH:
            if (!quiet) {
                std::cerr << "Invalid message data received (" << frameLength
                          << "). Closing connection." << std::endl;
            }
            closeConnection();
            return false;
        case RawMessage::HEADER_OK:
        default:
            break;
    }
    type = kind;
    payloadLength = length;
    return true;
}

void CSClientProtocol::receiveMessage() {
    RawMessage::Type type = RawMessage::MSG_INVALID;
    unsigned payloadLength = 0;
    if (!readMessageHeader(type, payloadLength)) {
        return;
    }
    const bool quiet = isQuiet();
    // The receive thread's own buffer keeps its storage from frame to frame, so
    // the stream of updates costs no allocation here; a rare large frame gets a
    // buffer of its own, so that its size is not kept for ever.
    RawMessage large(type);
    RawMessage& message = payloadLength <= kKeptPayloadCapacity ? rxPayload_ : large;
    message.clear();
    message.setType(type);
    message.reserve(payloadLength);
    unsigned received = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (received < payloadLength) {
        const int n = transport_->readMessage(payloadLength - received, message);
        if (n == 0) {
            reportClosedByServer(std::cout, quiet);
            closeConnection();
            return;
        }
        if (n < 0 && n != -2) {
            reportReadError(quiet);
            closeConnection();
            return;
        }
        if (n > 0) {
            received += static_cast<unsigned>(n);
            if (received >= payloadLength) {
                break;  // the usual case: the clock and the timings are not needed
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (n > 0) {
            lastProgress = now;
        }
        // A stalled server must not hold the thread: a requested close, or no
        // progress for the stall limit, gives the frame up.
        const CSClient::State state = state_.load();
        if (state == CSClient::STATE_DISCONNECTING || state == CSClient::STATE_DISCONNECTED ||
            pendingClose_.load()) {
            return;
        }
        if (now - lastProgress >= getTimings().payloadStallLimit) {
            reportReadError(quiet);
            closeConnection();
            return;
        }
    }
    handleReceivedMessage(message);
}

CSClient::Result CSClientProtocol::sendMessage(const RawMessage& message) {
    const CSClient::State state = state_.load();
    if (state != CSClient::STATE_CONNECTED && state != CSClient::STATE_READY) {
        return CSClient::RESULT_NOT_CONNECTED;
    }
    RawMessage frame;
    if (!RawMessage::buildFrame(message, frame)) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    const unsigned generation = connectionGeneration_.load();
    const int written = transport_->writeMessage(frame);
    const int error = errno;
    if (written < 0 || static_cast<unsigned>(written) != frame.size()) {
        std::cerr << "Error writing to server (" << error << ") " << std::endl;
        closeConnectionFor(generation);
        return CSClient::RESULT_COMMS_ERROR;
    }
    return CSClient::RESULT_OK;
}

}  // namespace com_nax
