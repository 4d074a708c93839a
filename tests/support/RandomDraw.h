// Random values for randomised tests: ordinary draws from a range, and in "wild" mode, now and
// then, the extremes that bad input brings (zero, negatives, huge values, NaN, infinities).
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace fmtest {

class RandomDraw {
 public:
  RandomDraw(uint32_t seed, bool wild) : rng(seed), wild(wild) {}

  // A value in [lo, hi), or in wild mode now and then an extreme.
  double real(double lo, double hi) {
    if (wild && chance(0.3)) {
      const double extremes[] = {0.0,  -1.0, -1e9, 1e9, std::nan(""), INFINITY, -INFINITY, 1e-30,
                                 -0.5, 3e38};
      return extremes[integer(0, 9)];
    }
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  }
  // A menu choice in lo..hi, or in wild mode now and then one outside it.
  int choice(int lo, int hi) {
    if (wild && chance(0.2)) {
      const int extremes[] = {0, -1, hi + 1, 1000, INT32_MIN, INT32_MAX};
      return extremes[integer(0, 5)];
    }
    return integer(lo, hi);
  }
  // Plain draws, never extreme: sizes, placements, coin tosses.
  int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng); }

  std::mt19937 rng;
  bool wild;
};

}  // namespace fmtest
