// The bridge's signals: each from the server's name to the unit's command.
// The subscriptions, the look-up of an update's names, where each value is
// kept and the order of a block's commands all come from this one table.
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "app/SimulatorSample.h"
#include "metrics/Metrics.h"

using com_nax::CSClient;

namespace {

// A block's commands, in the order the unit is sent them.
enum Step : uint8_t { kNotSent, kSpo2, kPleth, kNibp, kHr, kRr, kT1, kT2, kCo2, kAbp, kCvp, kPap };

// Repeat groups: the signals of one go out together, every 21st block or with
// the block after a change.
enum Group : uint8_t {
    kNoGroup,
    kSpo2Group,
    kNibpGroup,
    kHrGroup,
    kRrGroup,
    kTemperatureGroup,
    kCo2Group,
    kGroupEnd
};

// A changed value is stored and its group goes out with the next block.
template <typename T>
void storeChanged(T& field, T value, int32_t& countdown) {
    if (value != field) {
        field = value;
        countdown = 0;
    }
}

}  // namespace

template <bool SimulatorSample::Sensors::*state, uint8_t group>
void SimulatorSample::storeSensor(SimulatorSample& bridge, const InputValue& value) {
    storeChanged(bridge.sensors.*state, value.i != 0, bridge.countdowns.of[group]);
}

size_t SimulatorSample::repeatGroups() {
    return kGroupEnd;
}

// Every signal, in the order of its registration on each connection: frames
// the server may rely on. Integer inputs are read as integers, waveforms and
// other floats as floats.
const std::vector<SimulatorSample::Signal>& SimulatorSample::signals() {
    using S = SimulatorSample;
    using V = InputValue;
    using R = Relay;
    constexpr auto INT = CSClient::PARAM_INT;
    constexpr auto FLOAT = CSClient::PARAM_FLOAT;
    // The kinds of rows, so that each row says only what sets it apart.
    const auto control = [](const char* name, const char* debugText, void (*store)(S&, const V&),
                            bool steers = false) {
        Signal signal;
        signal.name = name;
        signal.sim = true;
        signal.debugText = debugText;
        signal.store = store;
        signal.steersCalibration = steers;
        return signal;
    };
    const auto sensor = [control](const char* name, const char* debugText,
                                  void (*store)(S&, const V&)) {
        Signal signal = control(name, debugText, store);
        signal.sim = false;
        return signal;
    };
    const auto sent = [](Step step, const char* name, CSClient::ParameterType type, Keep keep,
                         Group group, Gate gate, const char* unit, void (*sendClosed)(R&),
                         V (*adjust)(const S&, V)) {
        Signal signal;
        signal.name = name;
        signal.type = type;
        signal.step = step;
        signal.keep = keep;
        signal.group = group;
        signal.gate = gate;
        signal.unit = unit;
        signal.sendClosed = sendClosed;
        signal.adjust = adjust;
        return signal;
    };
    const auto waveform = [sent](Step step, const char* name, Keep keep, Gate gate,
                                 const char* unit, void (R::*send)(std::vector<float>&),
                                 Group group = kNoGroup, void (*sendClosed)(R&) = nullptr,
                                 V(*adjust)(const S&, V) = nullptr) {
        Signal signal = sent(step, name, FLOAT, keep, group, gate, unit, sendClosed, adjust);
        signal.rate = 1;
        signal.sendSamples = send;
        return signal;
    };
    const auto numeric =
        [sent](Step step, const char* name, CSClient::ParameterType type, Keep keep, Group group,
               Gate gate, const char* unit, void (*send)(R&, const V*) = nullptr,
               void (*sendClosed)(R&) = nullptr, V(*adjust)(const S&, V) = nullptr) {
            Signal signal = sent(step, name, type, keep, group, gate, unit, sendClosed, adjust);
            signal.send = send;
            return signal;
        };
    // Each row learns its position: the forwarding path indexes the slots by it.
    const auto numbered = [](std::vector<Signal> rows) {
        for (size_t i = 0; i < rows.size(); ++i) {
            rows[i].index = i;
        }
        return rows;
    };
    // Stores and adjustments run with the bridge's mutex held (storeAndForward):
    // REQUIRES has clang check what they touch.
    static const std::vector<Signal> table = numbered({
        // SIM: the simulation speed and the calibration controls.
        control("HW_PATSPEED", "MR>HW_PATSPEED_PARAM: ",
                [](S& b, const V& v) REQUIRES(b.mutex) { b.setSimulationSpeed(v.i); }),
        control(
            "HW_PATMON_CALIB_ACTION", "MR>CALIBRATION_ACTION: ",
            [](S& b, const V& v) REQUIRES(b.mutex) { b.calibration.calibrationAction = v.i; },
            true),
        control(
            "HW_PATMON_CALIB_ARG1", "MR>CALIBRATION_ARG1: ",
            [](S& b, const V& v) REQUIRES(b.mutex) { b.calibration.calibrationArgument = v.i; },
            true),
        // APP: sensors, probe and catheters; the gates of the signals below.
        sensor("ARTERIAL_CATHETER_DEPTH", "MR>ARTERIAL_CATHETER_DEPTH: ",
               [](S& b, const V& v)
                   REQUIRES(b.mutex) { b.sensors.arterialCatheterPlaced = (v.i >= 0); }),
        sensor("CVP_CATHETER_DEPTH", "MR>CVP_CATHETER_DEPTH: ",
               [](S& b, const V& v)
                   REQUIRES(b.mutex) { b.sensors.cvpCatheterPlaced = (v.i >= 0); }),
        sensor("PA_CATHETER_DEPTH", "MR>PA_CATHETER_DEPTH: ",
               [](S& b, const V& v) REQUIRES(b.mutex) { b.sensors.paCatheterPlaced = (v.i >= 0); }),
        sensor("PULSE_SENSOR", "MR>PULSE_SENSOR: ",
               [](S& b, const V& v) REQUIRES(b.mutex) {
                   storeChanged(b.sensors.pulseSensor, v.i, b.countdowns.of[kSpo2Group]);
               }),
        sensor("SPO2_PROBE", nullptr, &storeSensor<&Sensors::spo2ProbeConnected, kSpo2Group>),
        sensor("CAPNOGRAPH_SENSOR",
               "MR>CAPNOGRAPH_SENSOR: ", &storeSensor<&Sensors::capnographConnected, kCo2Group>),
        sensor("TEMP_BODY_SENSOR", "MR>TEMP_BODY_SENSOR: ",
               [](S& b, const V& v)
                   REQUIRES(b.mutex) { b.sensors.bodyTempSensorConnected = (v.i != 0); }),
        sensor("TEMP_BLOOD_SENSOR", "MR>TEMP_BLOOD_SENSOR: ",
               [](S& b, const V& v)
                   REQUIRES(b.mutex) { b.sensors.bloodTempSensorConnected = (v.i != 0); }),
        sensor("NIBP_SENSOR",
               "MR>NIBP_SENSOR: ", &storeSensor<&Sensors::nibpSensorConnected, kNibpGroup>),
        sensor("SIMULATOR_XCONNECTED", "MR>SIMULATOR_XCONNECTED: ",
               &storeSensor<&Sensors::simulatorCrossConnected, kSpo2Group>),
        // APP: waveforms, one sample per value. What a waveform command leaves
        // of its share (an unfinished conversion group) leads the next block.
        waveform(kAbp, "ARTLINE", Keep::Pace, Gate::ArterialCatheter, "ABP", &R::sendABP_50Hz),
        waveform(kPap, "PLINE", Keep::Paced, Gate::PaCatheter, "PAP", &R::sendPAP_50Hz),
        waveform(kCvp, "CVPLINE", Keep::Paced, Gate::CvpCatheter, "CVP", &R::sendCVP_25Hz),
        waveform(
            kCo2, "CAPNOGRAM", Keep::Paced, Gate::Capnograph, "CO2", &R::sendCO2_25Hz, kCo2Group,
            [](R& r) { r.sendDisableCO2(); },
            [](const S& b, V v) REQUIRES(b.mutex) {
                return V{0, b.calibrateCO2Value(v.f)};
            }),
        waveform(kPleth, "PLETH", Keep::OwnGroups, Gate::Probe, "PLETH", &R::sendPLETH_50Hz),
        // APP: numerics.
        numeric(
            kSpo2, "SAO2", FLOAT, Keep::Changed, kSpo2Group, Gate::Probe, "SPO2",
            [](R& r, const V* v) {
                r.enableSPO2Probe(true);
                r.sendSPO2_ratio(v->i);
            },
            [](R& r) { r.enableSPO2Probe(false); },
            [](const S& b, V v) REQUIRES(b.mutex) {
                return V{b.calibrateSPO2Value(v.f), 0.0f};
            }),
        // The three pressures are one command, sent by the first of them with
        // the two that follow it here.
        numeric(
            kNibp, "EXT_DABP", INT, Keep::Changed, kNibpGroup, Gate::NibpSensor, "DBP",
            [](R& r, const V* v) { r.sendNIBP_mmHg(v[2].i, v[0].i, v[1].i); },
            [](R& r) { r.sendDisableNIBP(); }),
        numeric(kNibp, "EXT_MAP", INT, Keep::Changed, kNibpGroup, Gate::NibpSensor, "MBP"),
        numeric(kNibp, "EXT_SABP", INT, Keep::Changed, kNibpGroup, Gate::NibpSensor, "SBP"),
        numeric(kHr, "HRPM", INT, Keep::Changed, kHrGroup, Gate::None, "HR",
                [](R& r, const V* v) { r.sendHR_bpm(v->i); }),
        numeric(kRr, "RRPM", INT, Keep::Changed, kRrGroup, Gate::None, "RR",
                [](R& r, const V* v) { r.sendRR_brpm(v->i); }),
        // Temperatures go out at their repetition, changed or not.
        numeric(
            kT1, "BODY_TEMP", FLOAT, Keep::Latest, kTemperatureGroup, Gate::BodyTempSensor, "T1",
            [](R& r, const V* v) { r.sendT1_degC(v->f); }, [](R& r) { r.sendDisableT1(); }),
        numeric(
            kT2, "bloodTemp", FLOAT, Keep::Latest, kTemperatureGroup, Gate::BloodTempSensor, "T2",
            [](R& r, const V* v) { r.sendT2_degC(v->f); }, [](R& r) { r.sendDisableT2(); }),
    });
    return table;
}

const std::vector<const SimulatorSample::Signal*>& SimulatorSample::unitOrder() {
    static const std::vector<const Signal*> order = [] {
        std::vector<const Signal*> sent;
        for (const Signal& signal : signals()) {
            if (signal.step != kNotSent) {
                sent.push_back(&signal);
            }
        }
        std::stable_sort(sent.begin(), sent.end(),
                         [](const Signal* a, const Signal* b) { return a->step < b->step; });
        return sent;
    }();
    return order;
}

size_t SimulatorSample::paceSignal() {
    const auto& all = signals();
    const auto pace =
        std::find_if(all.begin(), all.end(), [](const Signal& s) { return s.keep == Keep::Pace; });
    if (pace == all.end()) {
        throw std::logic_error("no signal makes the blocks");
    }
    return static_cast<size_t>(pace - all.begin());
}

namespace {

// Every sample's name is looked up, so the look-up is a small open-addressed
// table on a cheap hash of the name and then one comparison; its size is a
// power of two, at least four times the signals.
size_t inputSlot(std::string_view name, size_t mask) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(name[i]); };
    return (name.size() * 31 + at(0) * 7 + at(name.size() - 1) * 3 + at(name.size() / 2)) & mask;
}

}  // namespace

const SimulatorSample::Signal* SimulatorSample::findInput(const std::string& name) {
    using Slot = std::pair<std::string_view, const Signal*>;
    static const std::vector<Slot> slots = [] {
        size_t size = 1;
        while (size < 4 * signals().size()) {
            size *= 2;
        }
        std::vector<Slot> table(size);
        for (const Signal& signal : signals()) {
            size_t i = inputSlot(signal.name, size - 1);
            while (table[i].second) {
                i = (i + 1) & (size - 1);
            }
            table[i] = {signal.name, &signal};
        }
        return table;
    }();
    if (name.empty()) {
        return nullptr;
    }
    const size_t mask = slots.size() - 1;
    for (size_t i = inputSlot(name, mask);; i = (i + 1) & mask) {
        if (!slots[i].second || slots[i].first == name) {
            return slots[i].second;
        }
    }
}

std::vector<CSClient::InputDef> SimulatorSample::definitions(bool sim) {
    std::vector<CSClient::InputDef> defs;
    for (const Signal& input : signals()) {
        if (input.sim == sim) {
            CSClient::InputDef def;
            def.id = std::string(input.name);
            def.type = input.type;
            def.rate = input.rate;
            def.tag = &input;  // each value comes back with its signal
            defs.push_back(def);
        }
    }
    return defs;
}

const std::vector<CSClient::InputDef>& SimulatorSample::simInputs() {
    static const std::vector<CSClient::InputDef> defs = definitions(true);
    return defs;
}

const std::vector<CSClient::InputDef>& SimulatorSample::appInputs() {
    static const std::vector<CSClient::InputDef> defs = definitions(false);
    return defs;
}

std::vector<const char*> SimulatorSample::unitNames(bool waveforms) {
    std::vector<const char*> names;
    for (const Signal* signal : unitOrder()) {
        if ((signal->sendSamples != nullptr) == waveforms) {
            names.push_back(signal->unit);
        }
    }
    return names;
}

std::vector<std::string> SimulatorSample::unitCommands(bool waveforms) {
    const std::vector<const char*> names = unitNames(waveforms);
    return {names.begin(), names.end()};
}

void SimulatorSample::nameFigures() {
    psmr_metrics::metrics().nameNumerics(unitNames(false));
}
