#include "bench/FloorForwarder.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "bench/FloorEncoding.h"

namespace {

enum Input {
    kArterialDepth,
    kCvpDepth,
    kPaDepth,
    kPulseSensor,
    kSpo2Probe,
    kCapnograph,
    kTempBodySensor,
    kTempBloodSensor,
    kNibpSensor,
    kCrossConnected,
    kArtline,
    kPline,
    kCvpline,
    kCapnogram,
    kPleth,
    kSao2,
    kDabp,
    kMap,
    kSabp,
    kHrpm,
    kRrpm,
    kBodyTemp,
    kBloodTemp,
    kInputCount
};

const char* const kInputNames[kInputCount] = {"ARTERIAL_CATHETER_DEPTH",
                                              "CVP_CATHETER_DEPTH",
                                              "PA_CATHETER_DEPTH",
                                              "PULSE_SENSOR",
                                              "SPO2_PROBE",
                                              "CAPNOGRAPH_SENSOR",
                                              "TEMP_BODY_SENSOR",
                                              "TEMP_BLOOD_SENSOR",
                                              "NIBP_SENSOR",
                                              "SIMULATOR_XCONNECTED",
                                              "ARTLINE",
                                              "PLINE",
                                              "CVPLINE",
                                              "CAPNOGRAM",
                                              "PLETH",
                                              "SAO2",
                                              "EXT_DABP",
                                              "EXT_MAP",
                                              "EXT_SABP",
                                              "HRPM",
                                              "RRPM",
                                              "BODY_TEMP",
                                              "bloodTemp"};

bool isFloatInput(int input) {
    return input == kSao2 || input == kBodyTemp || input == kBloodTemp ||
           (input >= kArtline && input <= kPleth);
}

constexpr std::size_t kMaxListSamples = 200;
constexpr std::size_t kBlockSamples = 10;
constexpr std::size_t kPlethGroup = 5;
constexpr int kCountdownReload = 20;
constexpr std::size_t kMaxDatagram = 230;
constexpr std::size_t kSessionBytes = 16384;
constexpr std::size_t kMaxCuts = 64;
constexpr std::size_t kReadBuffer = 65536;
constexpr std::size_t kHeaderSize = 32;

std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Saturated to the 32-bit range, NaN as 0; else `convert`.
template <typename Convert>
std::int32_t saturated(float v, Convert convert) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= 2147483647.0f) {
        return INT32_MAX;
    }
    if (v <= -2147483648.0f) {
        return INT32_MIN;
    }
    return convert(v);
}

// The client library's conversion of a float to an integer input.
std::int32_t truncateToInt32(float v) {
    return saturated(v, [](float x) { return static_cast<std::int32_t>(x); });
}

// The bridge's rounding of a calibrated SpO2 value: halves away from zero.
std::int32_t roundToInt32(float v) {
    return saturated(v, [](float x) { return static_cast<std::int32_t>(std::lround(x)); });
}

float interpolate(const FloorForwarder::Table& table, float anchorValue, float x) {
    float prevKey = 0.0f;
    float prevValue = anchorValue;
    if (!table.empty() && std::isinf(x) && x < 0) {
        return table.front().second;
    }
    for (const auto& point : table) {
        if (x < point.first) {
            if (!(point.first > prevKey)) {
                return point.second;
            }
            return prevValue +
                   ((point.second - prevValue) * (x - prevKey)) / (point.first - prevKey);
        }
        prevKey = point.first;
        prevValue = point.second;
    }
    return prevValue;
}

bool fires(std::int32_t& countdown) {
    if (countdown-- < 1) {
        countdown = kCountdownReload;
        return true;
    }
    return false;
}

std::uint64_t threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(t.tv_nsec);
}

std::uint64_t voluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<std::uint64_t>(usage.ru_nvcsw);
}

bool receiveAll(int fd, std::uint8_t* into, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, into, size, MSG_WAITALL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        into += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct FloorForwarder::List {
    float v[kMaxListSamples];
    std::size_t n = 0;

    void push(float sample) {
        if (n >= kMaxListSamples) {
            std::memmove(v, v + 1, (n - 1) * sizeof(float));
            --n;
        }
        v[n++] = sample;
    }
    void dropFront(std::size_t count) {
        std::memmove(v, v + count, (n - count) * sizeof(float));
        n -= count;
    }
    // Drops the oldest samples until no longer than `length`.
    void alignOn(std::size_t length) {
        if (n > length) {
            dropFront(n - length);
        }
    }
    // Moves the first `count` samples (or all there are) into `block`.
    void cut(std::size_t count, List& block) {
        block.n = count < n ? count : n;
        std::memcpy(block.v, v, block.n * sizeof(float));
        dropFront(block.n);
    }
    // Puts block[from..] back at the front: an unfinished group leads the next block.
    void keepRest(const List& block, std::size_t from) {
        const std::size_t rest = block.n - from;
        std::memmove(v + rest, v, n * sizeof(float));
        std::memcpy(v, block.v + from, rest * sizeof(float));
        n += rest;
    }
};

struct FloorForwarder::State {
    std::uint32_t idBase = 0;
    std::vector<int> slots;  // server id - idBase -> input, -1 for none
    Table spo2Table, co2Table;

    List abp, pap, cvp, co2, pleth, block;
    std::int32_t spo2Countdown = 0, spo2Value = 0;
    std::int32_t nibpCountdown = 0, diastolic = 0, mean = 0, systolic = 0;
    std::int32_t hrCountdown = 0, heartRate = 0;
    std::int32_t rrCountdown = 0, respirationRate = 0;
    std::int32_t temperatureCountdown = 0, co2Countdown = 0;
    float bodyTemperature = 0, bloodTemperature = 0;
    bool arterialPlaced = false, cvpPlaced = false, paPlaced = false;
    std::int32_t pulseSensor = 0;
    bool spo2ProbeConnected = true, crossConnected = false, capnographConnected = false;
    bool bodyTempConnected = false, bloodTempConnected = false, nibpConnected = false;

    char session[kSessionBytes];
    std::size_t length = 0;     // bytes in session
    std::size_t openStart = 0;  // where the datagram being filled starts
    std::size_t lineStart = 0;
    std::size_t cuts[kMaxCuts];  // end of each finished datagram
    std::size_t cutCount = 0;

    std::uint8_t read[kReadBuffer];
};

std::vector<std::string> FloorForwarder::inputNames() {
    return std::vector<std::string>(kInputNames, kInputNames + kInputCount);
}

FloorForwarder::FloorForwarder(const std::map<std::string, std::uint32_t>& ids, Table spo2,
                               Table co2, const sockaddr_in& unit)
    : state_(new State), unit_(unit) {
    State& s = *state_;
    s.spo2Table = std::move(spo2);
    s.co2Table = std::move(co2);
    std::uint32_t low = UINT32_MAX;
    std::uint32_t high = 0;
    for (int i = 0; i < kInputCount; ++i) {
        auto it = ids.find(kInputNames[i]);
        if (it != ids.end()) {
            low = std::min(low, it->second);
            high = std::max(high, it->second);
        }
    }
    if (low <= high) {
        s.idBase = low;
        s.slots.assign(high - low + 1, -1);
        for (int i = 0; i < kInputCount; ++i) {
            auto it = ids.find(kInputNames[i]);
            if (it != ids.end()) {
                s.slots[it->second - low] = i;
            }
        }
    }
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

FloorForwarder::~FloorForwarder() {
    if (tcp_ >= 0) {
        ::close(tcp_);
    }
    if (udp_ >= 0) {
        ::close(udp_);
    }
    delete state_;
}

bool FloorForwarder::connect(const std::string& address, std::uint16_t port) {
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    return tcp_ >= 0 && udp_ >= 0 &&
           ::connect(tcp_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

void FloorForwarder::applyInitial(const std::vector<std::pair<std::uint32_t, float>>& values) {
    bool any = false;
    for (const auto& [id, value] : values) {
        const std::uint32_t offset = id - state_->idBase;
        if (offset < state_->slots.size() && state_->slots[offset] >= 0) {
            apply(state_->slots[offset], value);
            any = true;
        }
    }
    if (any) {
        forwardBlock();
    }
}

FloorForwarder::Result FloorForwarder::run(std::uint64_t frames, Reading reading) {
    result_ = Result();
    State& s = *state_;
    const std::uint64_t start = threadCpuNs();
    const std::uint64_t switches = voluntarySwitches();
    if (reading == Reading::Exact) {
        std::uint8_t header[kHeaderSize];
        while (result_.frames < frames) {
            if (!receiveAll(tcp_, header, kHeaderSize)) {
                return result_;
            }
            const std::uint32_t length = be32(header);
            if (length <= kHeaderSize || length - kHeaderSize > kReadBuffer) {
                return result_;
            }
            if (!receiveAll(tcp_, s.read, length - kHeaderSize)) {
                return result_;
            }
            if (be32(header + 8) == 0) {
                handlePayload(s.read, length - kHeaderSize);
            }
            ++result_.frames;
        }
    } else {
        std::size_t begin = 0;
        std::size_t end = 0;
        while (result_.frames < frames) {
            const std::size_t have = end - begin;
            const std::uint32_t length = have >= kHeaderSize ? be32(s.read + begin) : 0;
            if (have >= kHeaderSize && (length <= kHeaderSize || length > kReadBuffer)) {
                return result_;
            }
            if (have >= kHeaderSize && have >= length) {
                if (be32(s.read + begin + 8) == 0) {
                    handlePayload(s.read + begin + kHeaderSize, length - kHeaderSize);
                }
                begin += length;
                ++result_.frames;
                continue;
            }
            if (begin > 0) {
                std::memmove(s.read, s.read + begin, have);
                begin = 0;
                end = have;
            }
            const ssize_t n = ::recv(tcp_, s.read + end, kReadBuffer - end, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return result_;
            }
            end += static_cast<std::size_t>(n);
        }
    }
    result_.cpuNs = threadCpuNs() - start;
    result_.waits = voluntarySwitches() - switches;
    result_.ok = true;
    return result_;
}

void FloorForwarder::handlePayload(const std::uint8_t* p, std::size_t size) {
    // A patient update: subprotocol 2, code 0x0008; kind at 16, N at 20, records at 24.
    if (size < 24 || p[1] != 2 || p[10] != 0 || p[11] != 8) {
        return;
    }
    const std::uint32_t kind = be32(p + 16);
    std::size_t count = be32(p + 20);
    if (kind == 1) {
        return;
    }
    count = std::min(count, (size - 24) / 8);
    bool any = false;
    const State& s = *state_;
    for (const std::uint8_t* r = p + 24; count > 0; --count, r += 8) {
        const std::uint32_t offset = be32(r) - s.idBase;
        if (offset >= s.slots.size() || s.slots[offset] < 0) {
            continue;
        }
        const std::uint32_t bits = be32(r + 4);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        apply(s.slots[offset], value);
        any = true;
    }
    if (any) {
        forwardBlock();
    }
}

void FloorForwarder::apply(int input, float f) {
    State& s = *state_;
    const std::int32_t i = isFloatInput(input) ? 0 : truncateToInt32(f);
    switch (input) {
        case kHrpm:
            if (i != s.heartRate) {
                s.heartRate = i;
                s.hrCountdown = 0;
            }
            break;
        case kSao2: {
            const std::int32_t v = roundToInt32(interpolate(s.spo2Table, 400.0f, f));
            if (v != s.spo2Value) {
                s.spo2Value = v;
                s.spo2Countdown = 0;
            }
            break;
        }
        case kDabp:
        case kMap:
        case kSabp: {
            std::int32_t& field =
                input == kDabp ? s.diastolic : (input == kMap ? s.mean : s.systolic);
            if (i != field) {
                field = i;
                s.nibpCountdown = 0;
            }
            break;
        }
        case kRrpm:
            if (i != s.respirationRate) {
                s.respirationRate = i;
                s.rrCountdown = 0;
            }
            break;
        case kBodyTemp:
            s.bodyTemperature = f;
            break;
        case kBloodTemp:
            s.bloodTemperature = f;
            break;
        case kArtline:
            s.abp.push(f);
            break;
        case kPline:
            s.pap.push(f);
            break;
        case kCvpline:
            s.cvp.push(f);
            break;
        case kCapnogram:
            s.co2.push(interpolate(s.co2Table, 1.0f, f) / 1000.0f);
            break;
        case kPleth:
            s.pleth.push(f);
            break;
        case kArterialDepth:
            s.arterialPlaced = i >= 0;
            break;
        case kCvpDepth:
            s.cvpPlaced = i >= 0;
            break;
        case kPaDepth:
            s.paPlaced = i >= 0;
            break;
        case kPulseSensor:
            if (i != s.pulseSensor) {
                s.pulseSensor = i;
                s.spo2Countdown = 0;
            }
            break;
        case kSpo2Probe:
        case kCrossConnected: {
            bool& flag = input == kSpo2Probe ? s.spo2ProbeConnected : s.crossConnected;
            if ((i != 0) != flag) {
                flag = i != 0;
                s.spo2Countdown = 0;
            }
            break;
        }
        case kCapnograph:
            if ((i != 0) != s.capnographConnected) {
                s.capnographConnected = i != 0;
                s.co2Countdown = 0;
            }
            break;
        case kTempBodySensor:
            s.bodyTempConnected = i != 0;
            break;
        case kTempBloodSensor:
            s.bloodTempConnected = i != 0;
            break;
        case kNibpSensor:
            if ((i != 0) != s.nibpConnected) {
                s.nibpConnected = i != 0;
                s.nibpCountdown = 0;
            }
            break;
        default:
            break;
    }
}

void FloorForwarder::beginLine(const char* name) {
    State& s = *state_;
    s.lineStart = s.length;
    char* out = s.session + s.length;
    *out++ = '[';
    const std::size_t n = std::strlen(name);
    std::memcpy(out, name, n);
    out += n;
    *out++ = ']';
    s.length = static_cast<std::size_t>(out - s.session);
}

void FloorForwarder::endLine() {
    State& s = *state_;
    s.session[s.length++] = '@';
    // The open datagram ends before this line when both would not fit (even
    // when it is empty: the bridge then sends an empty datagram too).
    if (s.length - s.openStart > kMaxDatagram && s.cutCount < kMaxCuts) {
        s.cuts[s.cutCount++] = s.lineStart;
        s.openStart = s.lineStart;
    }
}

void FloorForwarder::dropLine() {
    state_->length = state_->lineStart;
}

void FloorForwarder::command(const char* name, int value) {
    beginLine(name);
    State& s = *state_;
    s.length = static_cast<std::size_t>(floorenc::putInt(s.session + s.length, value) - s.session);
    endLine();
}

void FloorForwarder::commit() {
    State& s = *state_;
    if (s.length > s.openStart && s.cutCount < kMaxCuts) {
        s.cuts[s.cutCount++] = s.length;
    }
    std::size_t from = 0;
    for (std::size_t c = 0; c < s.cutCount; ++c) {
        ::sendto(udp_, s.session + from, s.cuts[c] - from, 0,
                 reinterpret_cast<const sockaddr*>(&unit_), sizeof unit_);
        from = s.cuts[c];
        ++result_.datagrams;
    }
    ++result_.blocks;
    s.length = s.openStart = s.lineStart = s.cutCount = 0;
}

void FloorForwarder::forwardBlock() {
    State& s = *state_;
    if (s.abp.n < kBlockSamples) {
        return;
    }
    const std::size_t count = s.abp.n / kBlockSamples * kBlockSamples;
    s.cvp.alignOn(s.abp.n);
    s.co2.alignOn(s.abp.n);
    s.pap.alignOn(s.abp.n);
    List& block = s.block;
    char* end = nullptr;

    s.pleth.cut(s.pleth.n / kPlethGroup * kPlethGroup, block);
    const bool probe =
        s.pulseSensor == 1 || (s.pulseSensor == 2 && (s.spo2ProbeConnected || !s.crossConnected));
    if (probe) {
        if (fires(s.spo2Countdown)) {
            command("SPO2_PROBE", 1);
            command("SPO2", floorenc::clampInt(s.spo2Value, 1, 400));
        }
        beginLine("PLETH");
        if (floorenc::encodePleth(block.v, block.n, s.session + s.length, &end) > 0) {
            s.length = static_cast<std::size_t>(end - s.session);
            endLine();
        } else {
            dropLine();
        }
    } else if (fires(s.spo2Countdown)) {
        command("SPO2_PROBE", 0);
    }

    if (fires(s.nibpCountdown)) {
        if (s.nibpConnected) {
            command("SBP", floorenc::clampInt(s.systolic, 0, 300));
            command("DBP", floorenc::clampInt(s.diastolic, 0, 300));
            command("MBP", floorenc::clampInt(s.mean, 0, 300));
        } else {
            command("SBP", 0);
            command("MBP", 0);
            command("DBP", 0);
        }
    }
    if (fires(s.hrCountdown)) {
        command("HR", floorenc::clampInt(s.heartRate, 20, 300));
    }
    if (fires(s.rrCountdown)) {
        command("RR", floorenc::clampInt(s.respirationRate, 0, 100));
    }
    if (fires(s.temperatureCountdown)) {
        beginLine("T1");
        s.length = static_cast<std::size_t>(
            (s.bodyTempConnected ? floorenc::putTemperature(s.session + s.length, s.bodyTemperature)
                                 : floorenc::putInt(s.session + s.length, 0)) -
            s.session);
        endLine();
        beginLine("T2");
        s.length = static_cast<std::size_t>(
            (s.bloodTempConnected
                 ? floorenc::putTemperature(s.session + s.length, s.bloodTemperature)
                 : floorenc::putInt(s.session + s.length, 0)) -
            s.session);
        endLine();
    }

    // The waveform lines: encode the whole groups of the cut, keep the rest
    // where the bridge keeps it.
    using Encoder = std::size_t (*)(const float*, std::size_t, char*, char**);
    auto waveform = [&](const char* name, Encoder encode) -> std::size_t {
        beginLine(name);
        const std::size_t used = encode(block.v, block.n, s.session + s.length, &end);
        if (used > 0) {
            s.length = static_cast<std::size_t>(end - s.session);
            endLine();
        } else {
            dropLine();
        }
        return used;
    };
    s.co2.cut(count, block);
    if (s.capnographConnected) {
        s.co2.keepRest(block, waveform("CO2", floorenc::encodeCo2));
    } else if (fires(s.co2Countdown)) {
        command("CO2", 0);
    }
    s.abp.cut(count, block);
    if (s.arterialPlaced) {
        waveform("ABP", floorenc::encodeAbp);
    }
    s.cvp.cut(count, block);
    if (s.cvpPlaced) {
        s.cvp.keepRest(block, waveform("CVP", floorenc::encodeCvp));
    }
    s.pap.cut(count, block);
    if (s.paPlaced) {
        s.pap.keepRest(block, waveform("PAP", floorenc::encodePap));
    }
    commit();
}
