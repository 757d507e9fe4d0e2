#pragma once

#include <chrono>

// Every wait and retry count of the unit link in one place. The defaults are
// the values the unit and the bridge are built around; tests shorten them so
// that failure paths (600 ms per probe try, 1 s per Wi-Fi poll) stay fast.
struct UdpTimings {
    // waitResponse: reply to a request.
    int responsePolls = 30;
    std::chrono::milliseconds responsePollSleep{10};
    // waitConnection: reply to a probe or a configuration step.
    int connectionPolls = 30;
    std::chrono::milliseconds connectionPollSleep{20};
};

struct RelayTimings {
    UdpTimings udp;
    // Discovery.
    unsigned boundedAttempts = 10;    // initialize without retryForever
    unsigned fixedAddressTries = 10;  // waits per fixed-address probe
    unsigned rangeTries = 3;          // waits per scanned address
    unsigned broadcastTries = 10;     // waits per directed-broadcast probe
    std::chrono::milliseconds attemptPause{100};
    std::chrono::milliseconds interfaceLookupPause{2000};
    // Health: health checks in a row without any reply before the log says
    // so, and the silence after which a unit found by a range or a broadcast
    // is searched for again (it may have a new address from DHCP).
    unsigned silentChecksReported = 5;
    std::chrono::milliseconds researchAfterSilence{60000};
    // Wi-Fi configuration.
    unsigned wifiResetPolls = 40;
    // The unit may take as long to store the settings as to reset them; after
    // that the procedure gives up instead of hanging.
    unsigned wifiConfigPolls = 60;
    std::chrono::milliseconds wifiPollPause{1000};
};
