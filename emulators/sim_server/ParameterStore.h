#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace simemu {

enum class ParamType { Int, Float };

struct ParamValue {
    ParamType type = ParamType::Float;
    double value = 0;           // integers hold whole numbers within the 32-bit range
    std::uint64_t version = 0;  // grows by one on every change of value
    std::size_t index = 0;      // order of definition; server ids derive from it
};

// The server's parameters: name -> typed value. Thread-safe; the sides poll
// `version` to find what changed since they last sent it.
class ParameterStore {
  public:
    // Adds the parameter, or changes its type and value when it exists.
    void define(const std::string& name, ParamType type, double value);
    // Sets a known parameter (integers are truncated toward zero and saturated;
    // NaN becomes 0). An unknown name is added as a float. Returns true when the
    // value changed.
    bool set(const std::string& name, double value);
    // Adds `delta` to a known parameter; false when unknown.
    bool add(const std::string& name, double delta);
    // Parses VALUE text: an unknown name becomes an integer when the text has no
    // '.', 'e' or "nan", else a float. False (and no change) when not a number.
    bool setFromText(const std::string& name, const std::string& text);

    std::optional<ParamValue> get(const std::string& name) const;
    double valueOr(const std::string& name, double fallback) const;
    std::vector<std::string> names() const;  // in definition order
    std::size_t size() const;

  private:
    bool assignLocked(ParamValue& p, double value);

    // Guards params_ and nextIndex_; a leaf lock (any other lock may be held).
    mutable std::mutex mutex_;
    std::map<std::string, ParamValue> params_;
    std::size_t nextIndex_ = 0;
};

// The numerics, sensors and SIM controls of the built-in patient, with types.
void defineDefaultPatient(ParameterStore& store);

// The five streamed waveforms, in the order the patient stream sends them.
const std::vector<std::string>& waveformNames();
bool isWaveform(const std::string& name);

}  // namespace simemu
