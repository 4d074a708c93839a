#include "engine/HostMemory.h"

#include <algorithm>

#include "engine/Platform.h"

namespace fm {

bool workImagesFit(const Rect& work, const Rect& picture, int count) {
  constexpr double kAlwaysFits = double(1 << 27);
  auto area = [](const Rect& r) { return isEmpty(r) ? 0.0 : double(width(r)) * double(height(r)); };
  const double pixels = area(work);
  if (pixels <= std::max(kAlwaysFits, 2.0 * area(picture))) return true;
  static const double machine = physicalMemoryBytes();
  return pixels * 16.0 * std::max(count, 1) <= 0.5 * machine;
}

}  // namespace fm
