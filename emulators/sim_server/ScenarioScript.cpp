#include "emulators/sim_server/ScenarioScript.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace simemu {

namespace {

bool isNumber(const std::string& text, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0';
}

const char* const kBuiltIn = R"(# Built-in patient: an adult at rest who worsens and recovers.
at 0 set HRPM 72
at 0 set RRPM 14
at 0 set SAO2 97
at 0 set EXT_SABP 120
at 0 set EXT_DABP 80
at 0 set EXT_MAP 93
at 0 set BODY_TEMP 37.0
at 0 set bloodTemp 37.2
at 0 set ETCO2 38
at 60 set HRPM 88
at 60 set RRPM 18
at 60 set SAO2 94
at 120 set HRPM 112
at 120 set RRPM 24
at 120 set SAO2 89
at 120 set EXT_SABP 96
at 120 set EXT_DABP 58
at 120 set EXT_MAP 71
at 120 set ETCO2 46
at 120 set BODY_TEMP 38.1
at 200 set HRPM 84
at 200 set RRPM 16
at 200 set SAO2 96
at 200 set EXT_SABP 116
at 200 set EXT_DABP 76
at 200 set EXT_MAP 89
at 200 set ETCO2 39
at 200 set BODY_TEMP 37.4
)";

}  // namespace

ScenarioScript ScenarioScript::builtIn() {
    std::istringstream in(kBuiltIn);
    std::string error;
    return *parse(in, error);
}

std::optional<ScenarioScript> ScenarioScript::parse(std::istream& in, std::string& error) {
    ScenarioScript script;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::string at, time, set, name, value, extra;
        if (!(words >> at)) {
            continue;
        }
        words >> time >> set >> name >> value;
        ScenarioStep step;
        double v = 0;
        if (at != "at" || set != "set" || name.empty() || (words >> extra)) {
            error = "line " + std::to_string(number) + ": expected 'at T set NAME VALUE'";
            return std::nullopt;
        }
        if (!isNumber(time, step.at) || !(step.at >= 0) || std::isinf(step.at)) {
            error = "line " + std::to_string(number) + ": bad time '" + time + "'";
            return std::nullopt;
        }
        if (!isNumber(value, v)) {
            error = "line " + std::to_string(number) + ": bad value '" + value + "'";
            return std::nullopt;
        }
        step.name = name;
        step.value = value;
        script.steps_.push_back(step);
    }
    std::stable_sort(script.steps_.begin(), script.steps_.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.at < b.at; });
    return script;
}

std::optional<ScenarioScript> ScenarioScript::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    return parse(in, error);
}

std::size_t ScenarioPlayer::advance(double seconds, ParameterStore& store) {
    time_ += seconds;
    std::size_t applied = 0;
    const auto& steps = script_.steps();
    while (next_ < steps.size() && steps[next_].at <= time_) {
        store.setFromText(steps[next_].name, steps[next_].value);
        ++next_;
        ++applied;
    }
    return applied;
}

}  // namespace simemu
