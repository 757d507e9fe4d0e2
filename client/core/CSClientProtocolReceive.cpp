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
            self->pauseBeforeReconnecting();
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
        rxFrameStarted_ = false;
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

CSClientProtocol::FrameScan CSClientProtocol::handleFrames(const unsigned char* data,
                                                           unsigned size) {
    FrameScan scan;
    for (;;) {
        const unsigned char* frame = data + scan.consumed;
        const unsigned left = size - scan.consumed;
        if (left < RawMessage::HEADER_SIZE) {
            scan.wanted = RawMessage::HEADER_SIZE;
            return scan;
        }
        uint32_t frameLength = 0;
        uint32_t payloadLength = 0;
        RawMessage::Type type = RawMessage::MSG_INVALID;
        if (RawMessage::parseFrameHeader(frame, left, frameLength, payloadLength, type) !=
            RawMessage::HEADER_OK) {
            scan.invalid = true;
            scan.frameLength = frameLength;
            return scan;
        }
        if (left - RawMessage::HEADER_SIZE < payloadLength) {
            scan.wanted = frameLength;
            return scan;
        }
        // The receive thread's own payload keeps its storage from frame to
        // frame, so the stream of updates costs no allocation here; a rare large
        // frame gets one of its own, so that its size is not kept for ever.
        RawMessage large;
        RawMessage& message = payloadLength <= kKeptPayloadCapacity ? rxPayload_ : large;
        message.clear();
        message.setType(type);
        message.write(reinterpret_cast<const char*>(frame + RawMessage::HEADER_SIZE),
                      payloadLength);
        scan.consumed += frameLength;
        handleReceivedMessage(message);
        const CSClient::State state = state_.load();
        if ((state != CSClient::STATE_READY && state != CSClient::STATE_CONNECTED) ||
            pendingClose_.load()) {
            return scan;
        }
    }
}

void CSClientProtocol::receiveMessage() {
    ReceiveBuffer& buffer = transport_->receiveBuffer();
    const bool quiet = isQuiet();
    unsigned wanted = RawMessage::HEADER_SIZE;
    for (;;) {
        if (!buffer.empty()) {
            const FrameScan scan = handleFrames(buffer.data(), buffer.size());
            buffer.consume(scan.consumed);
            if (scan.consumed > 0) {
                rxFrameStarted_ = false;
            }
            if (scan.invalid) {
                if (!quiet) {
                    std::cerr << "Invalid message data received (" << scan.frameLength
                              << "). Closing connection." << std::endl;
                }
                buffer.clear();
                closeConnection();
                return;
            }
            if (scan.consumed > 0) {
                if (closingAtOnce_.load() &&
                    std::chrono::steady_clock::now() - connectedAt_ >= kClosedAtOnce) {
                    closingAtOnce_.store(false);  // this one lasts: its lines are said again
                    closedAtOnce_ = 0;
                }
                if (!buffer.empty()) {
                    // The next frame has begun; its time counts from here.
                    rxFrameStarted_ = true;
                    rxFrameStart_ = std::chrono::steady_clock::now();
                }
                return;  // the thread looks at the state between receives
            }
            wanted = scan.wanted;
        }
        const int n = transport_->receiveAvailable(wanted);
        if (n > 0 && buffer.size() >= wanted) {
            continue;  // the usual case: a whole frame, no clock needed
        }
        const bool partialHeader = !buffer.empty() && buffer.size() < RawMessage::HEADER_SIZE;
        if (n == 0 || n == -1 || (n == -2 && partialHeader)) {
            if (n == -1) {
                reportReadError(quiet);
            } else if (partialHeader) {
                // A header is never waited for past one receive timeout.
                if (!quiet) {
                    std::cerr << "Couldn't read a complete header. Closing connection."
                              << std::endl;
                }
            } else {
                reportClosedAtOnce();  // first: it decides whether this close is said
                // Between frames the close is reported on standard error, inside
                // a frame on standard output.
                reportClosedByServer(buffer.empty() ? std::cerr : std::cout, isQuiet());
            }
            buffer.clear();
            rxFrameStarted_ = false;
            closeConnection();
            return;
        }
        if (buffer.empty()) {
            return;  // nothing within the receive timeout: the thread looks at the state
        }
        // A frame in progress. A requested close, or the frame outlasting the
        // stall limit from its first byte, gives it up.
        const CSClient::State state = state_.load();
        if (state == CSClient::STATE_DISCONNECTING || state == CSClient::STATE_DISCONNECTED ||
            pendingClose_.load()) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!rxFrameStarted_) {
            rxFrameStarted_ = true;
            rxFrameStart_ = now;
        } else if (now - rxFrameStart_ >= getTimings().payloadStallLimit) {
            reportReadError(quiet);
            buffer.clear();
            rxFrameStarted_ = false;
            closeConnection();
            return;
        }
    }
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
