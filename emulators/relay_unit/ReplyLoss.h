#pragma once

#include <cstdint>
#include <random>

namespace relayunit {

// Decides which replies a lossy unit drops. mt19937 is defined to the bit by
// the standard and the threshold is compared with its raw output, so a seed
// gives the same decisions with every compiler and library.
class ReplyLoss {
  public:
    explicit ReplyLoss(std::uint32_t seed = 1) : generator_(seed) {}

    void setFraction(double fraction) {
        fraction_ = fraction < 0 ? 0 : (fraction > 1 ? 1 : fraction);
    }
    double fraction() const { return fraction_; }

    // One draw per reply, and none while nothing is lost: switching the loss
    // on later continues the same sequence.
    bool drop() {
        if (fraction_ <= 0) {
            return false;
        }
        if (fraction_ >= 1) {
            return true;
        }
        const double draw = static_cast<double>(generator_()) / 4294967296.0;  // [0, 1)
        return draw < fraction_;
    }

  private:
    std::mt19937 generator_;
    double fraction_ = 0;
};

}  // namespace relayunit
