#include "client/core/CSClientProtocol.h"

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
    const bool added = callbacks_.insert(callback).second;
    callbacksVersion_.fetch_add(1, std::memory_order_release);
    return added;
}

void CSClientProtocol::removeCallbackInterface(CSClient::CallbackIface* callback) {
    CSMutex::Guard guard(callbackLock_);
    callbacks_.erase(callback);
    callbacksVersion_.fetch_add(1, std::memory_order_release);
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
    forEachCallback([previous, state](CSClient::CallbackIface* callback) {
        callback->connectionStateChanged(previous, state);
    });
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

void CSClientProtocol::pauseBeforeReconnecting() const {
    // A pause shortened to nothing (the fuzz target's) costs no sleep at all.
    const std::chrono::milliseconds pause = getTimings().reconnectPause;
    if (pause.count() > 0) {
        CSThread::sleep(pause);
    }
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
        stateLock_.assumeHeld();
        if (closeConnectionLocked()) {
            reconnectPauseDue_.store(true);
        }
        return;
    }
    stateLock_.lock();
    const bool pause = closeConnectionLocked();
    stateLock_.unlock();
    if (pause) {
        pauseBeforeReconnecting();
    }
}

void CSClientProtocol::forceCloseConnection() {
    if (stateLock_.heldByCurrentThread()) {
        stateLock_.assumeHeld();
        beginDisconnectLocked(state_.load());
        return;
    }
    CSMutex::Guard guard(stateLock_);
    beginDisconnectLocked(state_.load());
}

}  // namespace com_nax
