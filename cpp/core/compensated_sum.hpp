// A compensated (Neumaier) running sum: the moves of a group may mix large
// and small values, and the distributed study must agree with the one-process
// study to 1e-10.
#pragma once

#include <cmath>

namespace orvane::core {

class Sum {
 public:
  void add(double v) {
    const double t = total_ + v;
    // the larger term first, chosen without a branch (signs of moves are a coin toss)
    const bool larger = std::abs(total_) >= std::abs(v);
    const double big = larger ? total_ : v, small = larger ? v : total_;
    carry_ += (big - t) + small;
    total_ = t;
  }
  // an infinite total leaves a NaN carry (inf - inf) that must not hide it
  double value() const { return std::isfinite(total_) ? total_ + carry_ : total_; }

 private:
  double total_ = 0.0, carry_ = 0.0;
};

}  // namespace orvane::core
