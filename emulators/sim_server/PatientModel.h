#pragma once

namespace simemu {

// The inputs that shape the waveforms, read from the store once per batch.
struct PatientVitals {
    double heartRate = 72;    // beats per minute (HRPM)
    double respRate = 14;     // breaths per minute (RRPM)
    double systolic = 120;    // arterial, mmHg (EXT_SABP)
    double diastolic = 80;    // arterial, mmHg (EXT_DABP)
    double paSystolic = 25;   // pulmonary artery, mmHg (PA_SYS)
    double paDiastolic = 10;  // (PA_DIA)
    double cvpMean = 6;       // central venous, mmHg (CVP_MEAN)
    double etco2 = 38;        // end-tidal CO2, mmHg (ETCO2)
};

struct PatientSample {
    float artline = 0;    // mmHg, between diastolic and systolic
    float pline = 0;      // mmHg
    float cvpline = 0;    // mmHg
    float capnogram = 0;  // mmHg, baseline 0 and plateau near ETCO2
    float pleth = 0;      // 0..100
};

// A beating, breathing patient: cardiac and respiratory phases advanced by
// time, waveforms as shapes of those phases. Not thread-safe; one owner.
class PatientModel {
  public:
    // Moves both phases forward by `seconds` of patient time.
    void advance(double seconds, const PatientVitals& v);
    PatientSample sample(const PatientVitals& v) const;

    double heartPhase() const { return heartPhase_; }
    double breathPhase() const { return breathPhase_; }

    // Shapes over one cycle, phase in [0, 1), each 0 at both ends so that
    // consecutive cycles join without a step.
    static double arterialShape(double phase);  // 0..1: upstroke, notch, runoff
    static double plethShape(double phase);     // 0..1: slower rise, no sharp peak
    static double cvpShape(double phase);       // about -1..1: a, c and v waves
    static double capnoShape(double phase);     // 0..1: upstroke, plateau, downstroke

  private:
    double heartPhase_ = 0;
    double breathPhase_ = 0;
};

}  // namespace simemu
