#pragma once

#include "client/core/Printable.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Text of the unit's command lines and the conversions of vital signs and
// waveform samples, free of sockets so that they can be tested alone.
namespace unit_encoding {

// Value texts: decimal integers, floats as %g with 6 significant digits,
// texts unchanged.
std::string formatValue(int value);
std::string formatValue(float value);
std::string formatValue(const char* value);
std::string formatValue(const std::string& value);
// "[" name "]" value "@".
std::string formatLine(const char* name, const std::string& valueText);

int clampInt(int value, int low, int high);
// Rounds half away from zero into low..high. A NaN gives `low`, infinities the
// nearer bound, so that no non-finite or huge value reaches an int conversion.
int roundToRange(float value, int low, int high);
// Temperature text: clamped to 21.0..47.0 (NaN gives 21.0), one decimal.
std::string formatTemperature(float degC);

// Bounds used where the unit sets none: wide enough for any physiological
// pressure, narrow enough for an int. A NaN sample is sent as 0.
constexpr int kPapLimit = 1000;  // PAP passes -1000..1000
constexpr int kCvpLimit = 1000;  // CVP passes 0..1000

// Waveform value texts. Each takes the whole groups at the front of
// `samples`, removes them and returns the comma-separated values (empty when
// not one whole group was there; the vector is then unchanged).
std::string encodeABP(std::vector<float>& samples);    // 5 samples -> 3 values
std::string encodePAP(std::vector<float>& samples);    // 5 -> 3
std::string encodePLETH(std::vector<float>& samples);  // 5 -> 3
std::string encodeCVP(std::vector<float>& samples);    // 10 -> 3
std::string encodeCO2(std::vector<float>& samples);    // 10 -> 3, three decimals
std::string encodeECG(std::vector<float>& samples);    // 5 -> 6, 0..4095
// The same, written into `text` (its old content replaced, its storage kept).
void encodeABP(std::vector<float>& samples, std::string& text);
void encodePAP(std::vector<float>& samples, std::string& text);
void encodePLETH(std::vector<float>& samples, std::string& text);
void encodeCVP(std::vector<float>& samples, std::string& text);
void encodeCO2(std::vector<float>& samples, std::string& text);
void encodeECG(std::vector<float>& samples, std::string& text);

// The same, written at `out`, which has room for maxWaveformChars(samples.size())
// characters: the forwarding path writes every block straight into its
// datagram. Gives the end of the text and how many values it holds (0: none
// written).
struct WaveformText {
    char* end;
    std::size_t values;
};
using WaveformEncoder = WaveformText (*)(std::vector<float>&, char*);
WaveformText encodeABP(std::vector<float>& samples, char* out);
WaveformText encodePAP(std::vector<float>& samples, char* out);
WaveformText encodePLETH(std::vector<float>& samples, char* out);
WaveformText encodeCVP(std::vector<float>& samples, char* out);
WaveformText encodeCO2(std::vector<float>& samples, char* out);
WaveformText encodeECG(std::vector<float>& samples, char* out);
// Room any waveform encoder needs for `samples` samples: the longest group is
// ECG's five samples, six values of up to 11 characters and their commas.
constexpr std::size_t maxWaveformChars(std::size_t samples) {
    return (samples / 5) * (6 * 11 + 6);
}

// Text that came from the network, fit for one log line: the client
// library's escaping (control bytes as \xHH), so that both peers' texts read
// alike in the log.
using com_nax::printable;

// The serial identifier of a probe reply: the text between its last ":" and
// its last "@". False when there is none (no ":", no "@", or nothing between).
bool probeSerial(const std::string& reply, std::string& serial);

// A GET_BATT reply "[batt]<raw>,<supply>@": the battery level computed from
// the raw reading and whether the supply reads as plugged in (above 50).
// False when the reply lacks "]", "," or "@" in that order with text between.
struct BatteryReading {
    float level = 0.0f;
    bool pluggedIn = false;
};
bool parseBattery(const std::string& reply, BatteryReading& reading);

// Gathers the unit's datagrams into replies: a reply is the text up to its
// first "@" and may span several datagrams (what follows the "@" in the same
// datagram is dropped). Text without an "@" is dropped once it exceeds
// kMaxPending, so a stream of foreign datagrams cannot grow it without bound.
class ReplyAccumulator {
  public:
    static constexpr std::size_t kMaxPending = 4096;
    // Adds one datagram's bytes, up to its first NUL; true when `reply` now
    // holds a whole reply.
    bool add(const char* data, std::size_t size, std::string& reply);

  private:
    std::string pending_;
};

// Partial replies kept apart per sender (address and port packed into one
// number), so that one host's fragment never splices into another's reply.
// A flood of new senders clears them all rather than growing without bound.
class SenderReplies {
  public:
    static constexpr std::size_t kMaxSenders = 16;
    bool add(std::uint64_t sender, const char* data, std::size_t size, std::string& reply);
    void clear() { pending_.clear(); }

  private:
    std::map<std::uint64_t, ReplyAccumulator> pending_;
};

}  // namespace unit_encoding
