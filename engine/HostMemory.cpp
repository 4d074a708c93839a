#include "engine/HostMemory.h"

#include <algorithm>

#include "engine/Platform.h"

namespace fm {

bool workImagesFit(double pixels, int count, double contentPixels) {
  constexpr double kAlwaysFits = double(1 << 27);
  if (!(pixels >= 0)) return false;
  if (pixels <= std::max(kAlwaysFits, 2.0 * contentPixels)) return true;
  static const double machine = physicalMemoryBytes();
  return pixels * 16.0 * std::max(count, 1) <= 0.5 * machine;
}

}  // namespace fm
