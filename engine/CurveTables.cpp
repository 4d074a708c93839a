// The CPU's transfer-curve tables, built from the exact curves on first use.
#include <cmath>

#include "engine/CpuKernels.h"

namespace fm {
namespace {

struct CurveTables {
  float t[4][FM_CURVE_N + 1];
  CurveTables() {
    for (int i = 0; i <= FM_CURVE_N; ++i) {
      const double u = double(i) / FM_CURVE_N;
      const float sq = float(u * u), q4 = float(u * u * u * u);
      t[FM_CURVE_GAMMA_DECODE][i] = fm_to_linear_exact(sq, 0);
      t[FM_CURVE_SRGB_DECODE][i] = fm_to_linear_exact(sq, 1);
      t[FM_CURVE_GAMMA_ENCODE][i] = fm_from_linear_exact(q4, 0);
      t[FM_CURVE_SRGB_ENCODE][i] = fm_from_linear_exact(q4, 1);
    }
  }
};

}  // namespace

const float* fm_curve_table(int which) {
  // Initialisation of a function-local static is thread-safe and happens once.
  static const CurveTables tables;
  return tables.t[which];
}

}  // namespace fm
