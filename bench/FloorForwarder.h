#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The floor: the least a forwarder of the same frames to the same datagrams
// has to do, written plainly. Server ids index an array, samples sit in fixed
// arrays, lines are written straight into the session buffer, and the
// datagrams leave with sendto. It keeps the bridge's sample lists, block
// cutting, numeric countdowns and session splitting, so that the unit gets
// the same bytes. Not kept: the SIM side (the simulation counts as running
// throughout) and the calibration procedure, which never run in a block.
class FloorForwarder {
  public:
    // Calibration table points (key, value), in ascending key order.
    using Table = std::vector<std::pair<float, float>>;

    enum class Reading {
        Exact,     // recv of the 32-byte header, then recv of the payload, as the bridge
        Buffered,  // recv of whatever is there into a buffer, frames cut from it
    };

    struct Result {
        std::uint64_t frames = 0;
        std::uint64_t blocks = 0;  // command sessions
        std::uint64_t datagrams = 0;
        std::uint64_t cpuNs = 0;  // this thread, from the first read to the last send
        std::uint64_t waits = 0;  // times it blocked for input (voluntary switches)
        bool ok = false;
    };

    // The APP inputs the floor forwards: its own list, which a test holds
    // against the bridge's table.
    static std::vector<std::string> inputNames();

    // `ids`: the server id of each input name, as the subscription reply gave them.
    FloorForwarder(const std::map<std::string, std::uint32_t>& ids, Table spo2, Table co2,
                   const sockaddr_in& unit);
    ~FloorForwarder();
    FloorForwarder(const FloorForwarder&) = delete;
    FloorForwarder& operator=(const FloorForwarder&) = delete;

    // The values the subscription reply carried, as the bridge takes them.
    void applyInitial(const std::vector<std::pair<std::uint32_t, float>>& values);
    // Connects to the feeder; false when it cannot.
    bool connect(const std::string& address, std::uint16_t port);
    // Forwards `frames` frames, then returns.
    Result run(std::uint64_t frames, Reading reading);

  private:
    struct List;
    struct State;

    void handlePayload(const std::uint8_t* payload, std::size_t size);
    void apply(int input, float value);
    void forwardBlock();
    // Session: lines go straight into the buffer; a line that would make the
    // open datagram longer than the unit reads starts the next one.
    void beginLine(const char* name);
    void endLine();
    void dropLine();
    void command(const char* name, int value);
    void commit();

    State* state_;
    int tcp_ = -1;
    int udp_ = -1;
    sockaddr_in unit_;
    Result result_;
};
