#include "tracking/MatchMeasure.h"

#include <cmath>
#include <new>
#include <vector>

namespace fm {
namespace {

constexpr double kStillLimit = 1e-5;      // largest unmoved difference of a repeated frame
constexpr double kMinPixels = 16.0;       // fewer matched pixels say nothing
constexpr double kMinVariance = 2.5e-5;   // flatter frames cannot be judged

}  // namespace

MatchMeasure poolMatchStatistics(const float* stats, int rows, int pitch) {
  MatchMeasure m;
  double still = 0.0, N = 0.0, S0 = 0.0, S1 = 0.0;
  for (int y = 0; y < rows; ++y) {
    const float* c0 = stats + size_t(y) * size_t(pitch) * 4u;
    const float* c1 = c0 + 4;
    // A NaN difference in any row keeps the frame from passing for still: it replaces the
    // maximum and no later row replaces it.
    if (!std::isnan(still) && !(double(c1[3]) <= still)) still = c1[3];
    N += c0[2];
    S0 += double(c0[2]) * c0[0];
    S1 += double(c0[2]) * c0[1];
  }
  m.held = still < kStillLimit;
  if (!(N >= kMinPixels)) return m;
  const double M0 = S0 / N, M1 = S1 / N;
  double C00 = 0.0, C11 = 0.0, C01 = 0.0;
  for (int y = 0; y < rows; ++y) {
    const float* c0 = stats + size_t(y) * size_t(pitch) * 4u;
    const float* c1 = c0 + 4;
    const double count = c0[2], d0 = c0[0] - M0, d1 = c0[1] - M1;
    C00 += c1[0] + count * d0 * d0;
    C11 += c1[1] + count * d1 * d1;
    C01 += c1[2] + count * d0 * d1;
  }
  if (C00 / N >= kMinVariance && C11 / N >= kMinVariance && std::isfinite(C00 / N + C11 / N + C01)) {
    m.correlation = C01 / std::sqrt(C00 * C11);
    m.correlationValid = true;
  }
  return m;
}

MatchMeasure measureMatch(Backend& be, ScratchPool& pool, const Buffer& flow, const Buffer& tmpl) {
  if (!flow.data || !tmpl.data || flow.width != tmpl.width || flow.height != tmpl.height) return MatchMeasure{};
  Buffer* stats = pool.take(2, tmpl.height);
  if (!stats) return MatchMeasure{};
  MatchMeasure m;
  try {
    FMParams p;
    makeParams(p, stats, &flow, &tmpl);
    std::vector<float> host(size_t(stats->height) * size_t(stats->pitch) * 4u, 0.0f);
    if (be.launch(FM_K_FLOW_STATS, stats, &flow, &tmpl, nullptr, &p, 1, tmpl.height, double(tmpl.width) * 12.0) &&
        be.download(*stats, host.data()))
      m = poolMatchStatistics(host.data(), stats->height, stats->pitch);
  } catch (const std::bad_alloc&) {
    m = MatchMeasure{};
  }
  pool.release(stats);
  return m;
}

}  // namespace fm
