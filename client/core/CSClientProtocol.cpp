#include "client/core/CSClientProtocol.h"

#include <cerrno>
#include <chrono>
#include <iostream>

#include "client/core/Printable.h"

namespace com_nax {

// How a failed write finds the close path. The state lock and the registry lock are
// not recursive, and a write can fail on a thread that already holds one of them
// (a connectionStateChanged callback, the re-registration at STATE_READY, a
// registry hook). So closeConnection looks at what the calling thread holds:
//   - nothing: the usual close, with the reconnection pause on this thread;
//   - the state lock only: the same transitions at once, without re-locking; the
//     pause is left to the receive thread before its next attempt;
//   - the registry lock: callbacks may register, so no transition is made here;
//     the receive thread performs the close on its next pass (within about one
//     receive timeout).

CSClientProtocol::CSClientProtocol(unsigned options) : options_(options) {
    CSCommsInterfaceTCP::Options transportOptions;
    transport_ = new CSCommsInterfaceTCP(transportOptions);
    transportOptions.quiet = hasOptions(OPTION_QUIET);
    transport_->setOptions(transportOptions);
}

CSClientProtocol::~CSClientProtocol() {
    stopReceiveThread();
    unregisterAllLocalParameters();
    delete transport_;
}

void CSClientProtocol::stopReceiveThread() {
    forceCloseConnection();
    stateLock_.lock();
    const bool running = receiveThread_.isActive();
    stateLock_.unlock();
    if (running) {
        // Joined without the lock: the thread needs it for its final close.
        receiveThread_.waitForThread();
    }
}

void CSClientProtocol::setTimings(const CSTimings& timings) {
    CSMutex::Guard guard(infoLock_);
    timings_ = timings;
}

CSTimings CSClientProtocol::getTimings() const {
    CSMutex::Guard guard(infoLock_);
    return timings_;
}

std::string CSClientProtocol::getServerIPAddress() const {
    return CSCommsInterfaceTCP::convertIPOctetToAddress(serverAddress_.load());
}

std::string CSClientProtocol::getServerVersion() const {
    CSMutex::Guard guard(infoLock_);
    return serverVersion_;
}

void CSClientProtocol::setServerVersion(const std::string& version) {
    CSMutex::Guard guard(infoLock_);
    serverVersion_ = version;
}

void CSClientProtocol::reportServerVersion(const std::string& version) const {
    if (!isQuiet()) {
        std::cout << "Found server version: " << printable(version) << std::endl;
    }
}

bool CSClientProtocol::changeCommsInterface(CSCommsInterfaceTCP* transport) {
    if (transport == nullptr) {
        return false;
    }
    CSMutex::Guard guard(stateLock_);
    if (state_.load() != CSClient::STATE_DISCONNECTED) {
        return false;
    }
    delete transport_;
    transport_ = transport;
    return true;
}

// ---- callbacks

bool CSClientProtocol::addCallbackInterface(CSClient::CallbackIface* callback) {
    CSMutex::Guard guard(callbackLock_);
    return callbacks_.insert(callback).second;
}

void CSClientProtocol::removeCallbackInterface(CSClient::CallbackIface* callback) {
    CSMutex::Guard guard(callbackLock_);
    callbacks_.erase(callback);
}

bool CSClientProtocol::hasCallbackInterface(CSClient::CallbackIface* callback) const {
    CSMutex::Guard guard(callbackLock_);
    return callbacks_.count(callback) != 0;
}

unsigned CSClientProtocol::getNumCallbackInterfaces() const {
    CSMutex::Guard guard(callbackLock_);
    return static_cast<unsigned>(callbacks_.size());
}

void CSClientProtocol::getCallbackInterfaces(std::set<CSClient::CallbackIface*>& out) const {
    CSMutex::Guard guard(callbackLock_);
    out = callbacks_;
}

// ---- state machine

void CSClientProtocol::setState(CSClient::State state) {
    const CSClient::State previous = state_.load();
    if (previous == state) {
        return;
    }
    state_.store(state);
    std::set<CSClient::CallbackIface*> callbacks;
    getCallbackInterfaces(callbacks);
    for (CSClient::CallbackIface* callback : callbacks) {
        callback->connectionStateChanged(previous, state);
    }
    handleConnectionStateChange(previous, state);
}

void CSClientProtocol::handleConnectionStateChange(CSClient::State previous,
                                                   CSClient::State current) {
    (void)previous;
    switch (current) {
        case CSClient::STATE_DISCONNECTED:
            unregisterAllLocalParameters();
            break;
        case CSClient::STATE_CONNECTED:
            // A callback may already have lost the connection again.
            if (state_.load() == CSClient::STATE_CONNECTED) {
                setState(CSClient::STATE_READY);
            }
            break;
        case CSClient::STATE_READY: {
            requestSimulatorVersion();
            if (state_.load() != CSClient::STATE_READY) {
                return;
            }
            unsigned inputs = 0;
            unsigned outputs = 0;
            {
                CSMutex::Guard guard(registryLock_);
                inputs = static_cast<unsigned>(inputs_.size());
            }
            {
                CSMutex::Guard guard(registryLock_);
                outputs = static_cast<unsigned>(outputs_.size());
            }
            if (inputs == 0 && outputs == 0) {
                return;
            }
            if (!isQuiet()) {
                std::cout << "Re-registering input/output parameters (" << inputs << "/" << outputs
                          << ")..." << std::endl;
            }
            reregisterAllInputParameters();
            reregisterAllOutputParameters();
            break;
        }
        default:
            break;
    }
}

CSClient::Result CSClientProtocol::openConnection(unsigned address, unsigned port,
                                                  const CSClient::ConnectionOptions* options) {
    // From a state-change callback the state lock is already ours.
    if (stateLock_.heldByCurrentThread()) {
        return CSClient::RESULT_COMMS_ERROR;
    }
    CSMutex::Guard guard(stateLock_);
    if (state_.load() != CSClient::STATE_DISCONNECTED) {
        return CSClient::RESULT_COMMS_ERROR;
    }
    // The previous receive thread, if any, released the state lock for the last time
    // when it made the state STATE_DISCONNECTED: it is ending and joins at once.
    if (receiveThread_.isActive()) {
        receiveThread_.waitForThread();
    }
    setState(CSClient::STATE_CONNECTING);
    serverPort_.store(port);
    serverAddress_.store(address);
    connectionOptions_ = options != nullptr ? *options : CSClient::ConnectionOptions();
    pendingClose_.store(false);
    reconnectPauseDue_.store(false);

    // Created with the lock held; the thread's first step waits for it.
    if (receiveThread_.create(&CSClientProtocol::mainThread, this)) {
        return CSClient::RESULT_OK;
    }
    beginDisconnectLocked(state_.load());
    // No thread exists to finish the close: finish it here, so that a later open
    // and the facade's destructor do not wait for ever.
    finishCloseLocked();
    return CSClient::RESULT_COMMS_ERROR;
}

void CSClientProtocol::beginDisconnectLocked(CSClient::State state) {
    if (state == CSClient::STATE_CONNECTING || state == CSClient::STATE_CONNECTED ||
        state == CSClient::STATE_READY || state == CSClient::STATE_RECONNECTING) {
        setState(CSClient::STATE_DISCONNECTING);
        serverAddress_.store(0);
        serverPort_.store(0);
    }
}

void CSClientProtocol::finishCloseLocked() {
    if (transport_ != nullptr) {
        transport_->close();
    }
    setState(CSClient::STATE_DISCONNECTED);
}

bool CSClientProtocol::closeConnectionLocked() {
    const CSClient::State state = state_.load();
    if (hasOptions(OPTION_AUTO_RECONNECT)) {
        switch (state) {
            case CSClient::STATE_CONNECTING:
            case CSClient::STATE_RECONNECTING:
                return true;
            case CSClient::STATE_CONNECTED:
                setState(CSClient::STATE_CONNECTING);
                return true;
            case CSClient::STATE_READY:
                if (!isQuiet()) {
                    std::cout << "Attempting to reconnect..." << std::endl;
                }
                setState(CSClient::STATE_RECONNECTING);
                setState(CSClient::STATE_CONNECTING);
                return true;
            default:
                return false;
        }
    }
    beginDisconnectLocked(state);
    return false;
}

void CSClientProtocol::closeConnection() {
    closeConnectionFor(connectionGeneration_.load());
}

void CSClientProtocol::closeConnectionFor(unsigned generation) {
    // A failure on a connection that has since been replaced concerns nobody.
    if (generation != connectionGeneration_.load()) {
        return;
    }
    if (registryLock_.heldByCurrentThread()) {
        pendingCloseGeneration_.store(generation);
        pendingClose_.store(true);
        return;
    }
    if (stateLock_.heldByCurrentThread()) {
        if (closeConnectionLocked()) {
            reconnectPauseDue_.store(true);
        }
        return;
    }
    stateLock_.lock();
    const bool pause = closeConnectionLocked();
    stateLock_.unlock();
    if (pause) {
        CSThread::sleep(getTimings().reconnectPause);
    }
}

void CSClientProtocol::forceCloseConnection() {
    const bool held = stateLock_.heldByCurrentThread();
    if (!held) {
        stateLock_.lock();
    }
    beginDisconnectLocked(state_.load());
    if (!held) {
        stateLock_.unlock();
    }
}

// ---- receive thread

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
    RawMessage header(RawMessage::MSG_INVALID);
    const int n = transport_->readMessage(RawMessage::HEADER_SIZE, header);
    if (n == -2) {
        return false;
    }
    const bool quiet = isQuiet();
    if (n == 0) {
        if (!quiet) {
            std::cerr << "Connection closed by server." << std::endl;
        }
        closeConnection();
        return false;
    }
    if (n < 0) {
        if (!quiet) {
            std::cerr << "Read error. Closing connection." << std::endl;
        }
        closeConnection();
        return false;
    }
    uint32_t frameLength = 0;
    uint32_t length = 0;
    RawMessage::Type kind = RawMessage::MSG_INVALID;
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
    const auto stallLimit = getTimings().payloadStallLimit;
    RawMessage message(type);
    message.reserve(payloadLength);
    unsigned received = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (received < payloadLength) {
        const int n = transport_->readMessage(payloadLength - received, message);
        if (n == 0) {
            if (!quiet) {
                std::cout << "Connection closed by server." << std::endl;
            }
            closeConnection();
            return;
        }
        if (n < 0 && n != -2) {
            if (!quiet) {
                std::cerr << "Read error. Closing connection." << std::endl;
            }
            closeConnection();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (n > 0) {
            received += static_cast<unsigned>(n);
            lastProgress = now;
            if (received >= payloadLength) {
                break;
            }
        }
        // A stalled server must not hold the thread: a requested close, or no
        // progress for the stall limit, gives the frame up.
        const CSClient::State state = state_.load();
        if (state == CSClient::STATE_DISCONNECTING || state == CSClient::STATE_DISCONNECTED ||
            pendingClose_.load()) {
            return;
        }
        if (now - lastProgress >= stallLimit) {
            if (!quiet) {
                std::cerr << "Read error. Closing connection." << std::endl;
            }
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
