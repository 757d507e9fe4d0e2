#include "emulators/sim_server/ParameterStore.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace simemu {

namespace {

double normalise(ParamType type, double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (type == ParamType::Float) {
        return static_cast<double>(static_cast<float>(value));
    }
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    return std::trunc(std::min(hi, std::max(lo, value)));
}

}  // namespace

void ParameterStore::define(const std::string& name, ParamType type, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = params_.find(name);
    if (it == params_.end()) {
        ParamValue p;
        p.type = type;
        p.value = normalise(type, value);
        p.index = nextIndex_++;
        params_.emplace(name, p);
        return;
    }
    it->second.type = type;
    assignLocked(it->second, value);
}

bool ParameterStore::assignLocked(ParamValue& p, double value) {
    const double v = normalise(p.type, value);
    if (v == p.value) {
        return false;
    }
    p.value = v;
    ++p.version;
    return true;
}

bool ParameterStore::set(const std::string& name, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = params_.find(name);
    if (it == params_.end()) {
        ParamValue p;
        p.type = ParamType::Float;
        p.value = normalise(p.type, value);
        p.index = nextIndex_++;
        params_.emplace(name, p);
        return true;
    }
    return assignLocked(it->second, value);
}

bool ParameterStore::add(const std::string& name, double delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = params_.find(name);
    if (it == params_.end()) {
        return false;
    }
    assignLocked(it->second, it->second.value + delta);
    return true;
}

bool ParameterStore::setFromText(const std::string& name, const std::string& text) {
    if (name.empty() || text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        return false;
    }
    const bool looksFloat = text.find_first_of(".eEnN") != std::string::npos;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (params_.count(name) == 0) {
            ParamValue p;
            p.type = looksFloat ? ParamType::Float : ParamType::Int;
            p.value = normalise(p.type, v);
            p.index = nextIndex_++;
            params_.emplace(name, p);
            return true;
        }
    }
    set(name, v);
    return true;
}

std::optional<ParamValue> ParameterStore::get(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = params_.find(name);
    if (it == params_.end()) {
        return std::nullopt;
    }
    return it->second;
}

double ParameterStore::valueOr(const std::string& name, double fallback) const {
    auto p = get(name);
    return p ? p->value : fallback;
}

std::vector<std::string> ParameterStore::names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::size_t, std::string>> order;
    for (const auto& kv : params_) {
        order.emplace_back(kv.second.index, kv.first);
    }
    std::sort(order.begin(), order.end());
    std::vector<std::string> out;
    for (auto& o : order) {
        out.push_back(std::move(o.second));
    }
    return out;
}

std::size_t ParameterStore::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return params_.size();
}

const std::vector<std::string>& waveformNames() {
    static const std::vector<std::string> names{"ARTLINE", "PLINE", "CVPLINE", "CAPNOGRAM",
                                                "PLETH"};
    return names;
}

bool isWaveform(const std::string& name) {
    const auto& w = waveformNames();
    return std::find(w.begin(), w.end(), name) != w.end();
}

void defineDefaultPatient(ParameterStore& store) {
    const ParamType I = ParamType::Int;
    const ParamType F = ParamType::Float;
    // SIM controls: stopped, no calibration.
    store.define("HW_PATSPEED", I, 0);
    store.define("HW_PATMON_CALIB_ACTION", I, 0);
    store.define("HW_PATMON_CALIB_ARG1", I, 0);
    // A healthy adult at rest. A catheter depth of 0 or more counts as placed.
    store.define("HRPM", I, 72);
    store.define("RRPM", I, 14);
    store.define("SAO2", F, 97);
    store.define("EXT_SABP", I, 120);
    store.define("EXT_DABP", I, 80);
    store.define("EXT_MAP", I, 93);
    store.define("BODY_TEMP", F, 37.0);
    store.define("bloodTemp", F, 37.2);
    store.define("ARTERIAL_CATHETER_DEPTH", I, 10);
    store.define("CVP_CATHETER_DEPTH", I, 15);
    store.define("PA_CATHETER_DEPTH", I, 45);
    store.define("PULSE_SENSOR", I, 1);
    store.define("SPO2_PROBE", I, 1);
    store.define("CAPNOGRAPH_SENSOR", I, 1);
    store.define("TEMP_BODY_SENSOR", I, 1);
    store.define("TEMP_BLOOD_SENSOR", I, 1);
    store.define("NIBP_SENSOR", I, 1);
    store.define("SIMULATOR_XCONNECTED", I, 0);
    // Shape inputs of the waveforms that the bridge does not read as numerics.
    store.define("PA_SYS", I, 25);
    store.define("PA_DIA", I, 10);
    store.define("CVP_MEAN", I, 6);
    store.define("ETCO2", F, 38);
    // The waveforms themselves hold their latest sample.
    for (const auto& w : waveformNames()) {
        store.define(w, F, 0);
    }
}

}  // namespace simemu
