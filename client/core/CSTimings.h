#pragma once

#include <chrono>

namespace com_nax {

// Every timing of the client library in one place. The defaults are the real
// values; tests shorten them to keep reconnection and close scenarios quick.
struct CSTimings {
    // Pause after a lost connection before the next attempt, and the receive
    // thread's sleep while reconnecting.
    std::chrono::milliseconds reconnectPause{1000};
    // close() looks at the state this often, closeChecks times, then returns anyway.
    std::chrono::milliseconds closePollInterval{1000};
    unsigned closeChecks = 2;
    // Period of the facade's waiting operations and of the destructor's wait.
    std::chrono::milliseconds waitPollInterval{1000};
    // Socket receive timeout: how often a waiting receive thread regains control.
    std::chrono::milliseconds receiveTimeout{1000};
    // Socket send timeout: bound of one blocked write.
    std::chrono::milliseconds sendTimeout{30000};
    // A frame not whole this long after its first byte is given up and the
    // connection closed as after a read error: a server trickling bytes must
    // not hold the receive thread any more than a silent one.
    std::chrono::milliseconds payloadStallLimit{5000};
    // Bound of one connection attempt. A server whose listen queue is full never
    // answers the handshake; the attempt runs without the state lock, and a close
    // must not wait longer than about this for it.
    std::chrono::milliseconds connectTimeout{2000};
    // A connection that stays connected but never becomes ready (a server that
    // accepts and never answers the start-up) is given up after this long and
    // retried like a lost one.
    std::chrono::milliseconds readyTimeout{10000};
    // Period of the APP connection's keep-alive while ready; the server drops a
    // client it has not heard from for a while.
    std::chrono::milliseconds keepAlivePeriod{3000};
};

}  // namespace com_nax
