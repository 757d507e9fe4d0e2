#include "emulators/sim_server/PatientModel.h"

#include <cmath>

namespace simemu {

namespace {

constexpr double kPi = 3.14159265358979323846;

double wrap(double phase) {
    return phase - std::floor(phase);
}

// A smooth bump of width `w` around `centre`, measured round the cycle.
double bump(double phase, double centre, double w) {
    double d = std::fabs(phase - centre);
    d = std::fmin(d, 1.0 - d);
    return std::exp(-(d / w) * (d / w));
}

double rise(double t) {
    return 0.5 - 0.5 * std::cos(kPi * t);
}  // 0 -> 1

}  // namespace

double PatientModel::arterialShape(double p) {
    p = wrap(p);
    if (p < 0.15) {
        return rise(p / 0.15);  // systolic upstroke
    }
    if (p < 0.35) {
        return 1.0 - 0.4 * rise((p - 0.15) / 0.20);  // down to the notch level
    }
    if (p < 0.42) {
        return 0.6 - 0.08 * std::sin(kPi * (p - 0.35) / 0.07);  // dicrotic notch
    }
    const double t = (p - 0.42) / 0.58;
    return 0.6 * (1.0 - t) * std::exp(-1.2 * t);  // diastolic runoff
}

double PatientModel::plethShape(double p) {
    p = wrap(p);
    if (p < 0.30) {
        return rise(p / 0.30);
    }
    const double t = (p - 0.30) / 0.70;
    const double runoff = (1.0 - t) * (1.0 - 0.35 * t);
    return std::fmin(1.0, runoff + 0.06 * bump(p, 0.55, 0.05) * (1.0 - t));
}

double PatientModel::cvpShape(double p) {
    p = wrap(p);
    // a wave (atrial contraction), c wave (valve bulge), v wave (filling),
    // centred so that the trace swings about the mean.
    return 1.2 * bump(p, 0.02, 0.06) + 0.5 * bump(p, 0.14, 0.04) + 0.9 * bump(p, 0.55, 0.08) - 0.55;
}

double PatientModel::capnoShape(double q) {
    q = wrap(q);
    if (q < 0.08) {
        return 0.92 * rise(q / 0.08);  // expiratory upstroke
    }
    if (q < 0.55) {
        return 0.92 + 0.08 * (q - 0.08) / 0.47;  // alveolar plateau, slowly rising
    }
    if (q < 0.62) {
        return 1.0 - rise((q - 0.55) / 0.07);  // inspiratory downstroke
    }
    return 0.0;  // inspiration: baseline
}

void PatientModel::advance(double seconds, const PatientVitals& v) {
    if (v.heartRate > 0) {
        heartPhase_ = wrap(heartPhase_ + seconds * v.heartRate / 60.0);
    }
    if (v.respRate > 0) {
        breathPhase_ = wrap(breathPhase_ + seconds * v.respRate / 60.0);
    }
}

PatientSample PatientModel::sample(const PatientVitals& v) const {
    PatientSample s;
    const bool beating = v.heartRate > 0;
    const bool breathing = v.respRate > 0;
    const double art = beating ? arterialShape(heartPhase_) : 0.0;
    // The pulmonary artery pulse comes slightly earlier and is rounder; the
    // peripheral pulse arrives later than the central one.
    const double pa = beating ? arterialShape(heartPhase_ + 0.03) : 0.0;
    const double pleth = beating ? plethShape(heartPhase_ - 0.12) : 0.0;
    const double venous = beating ? cvpShape(heartPhase_) : 0.0;
    // Spontaneous breathing lowers intrathoracic pressure: CVP dips on inspiration.
    const double thorax = breathing ? std::sin(2 * kPi * breathPhase_) : 0.0;
    s.artline = static_cast<float>(v.diastolic + (v.systolic - v.diastolic) * art);
    s.pline = static_cast<float>(v.paDiastolic + (v.paSystolic - v.paDiastolic) * pa);
    s.cvpline = static_cast<float>(v.cvpMean + 2.0 * venous - 1.0 * thorax);
    s.pleth = static_cast<float>(95.0 * pleth);
    s.capnogram = static_cast<float>(breathing ? v.etco2 * capnoShape(breathPhase_) : 0.0);
    return s;
}

}  // namespace simemu
