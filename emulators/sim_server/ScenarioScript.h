#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "emulators/sim_server/ParameterStore.h"

namespace simemu {

// One timeline step: `at T set NAME VALUE`, T in seconds of scenario time.
struct ScenarioStep {
    double at = 0;
    std::string name;
    std::string value;
};

// A patient timeline. Text format, one step a line; '#' starts a comment and
// blank lines are skipped:
//     at 0 set HRPM 72
//     at 90.5 set SAO2 91.5
// Steps run in time order (file order among equal times).
class ScenarioScript {
  public:
    // A five-minute story: rest, a worsening with tachycardia, hypotension and
    // desaturation, then recovery.
    static ScenarioScript builtIn();
    // nullopt and `error` ("line N: ...") on the first bad line.
    static std::optional<ScenarioScript> parse(std::istream& in, std::string& error);
    static std::optional<ScenarioScript> load(const std::string& path, std::string& error);

    const std::vector<ScenarioStep>& steps() const { return steps_; }

  private:
    std::vector<ScenarioStep> steps_;
};

// Plays a script into a store as scenario time passes.
class ScenarioPlayer {
  public:
    explicit ScenarioPlayer(ScenarioScript script) : script_(std::move(script)) {}
    void rewind() {
        next_ = 0;
        time_ = 0;
    }
    // Moves scenario time forward by `seconds` and applies the steps now due;
    // returns how many were applied.
    std::size_t advance(double seconds, ParameterStore& store);
    double time() const { return time_; }

  private:
    ScenarioScript script_;
    std::size_t next_ = 0;
    double time_ = 0;
};

}  // namespace simemu
