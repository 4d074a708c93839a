// One call rendered twice into memory poisoned differently (1e30, then NaN), and what the two
// runs must show: the same success, nothing left allocated, an output of the asked size, and
// the same pixels bit for bit, since a pixel the call forgets to write keeps the poison.
#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "engine/Rect.h"
#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"

namespace fmtest {

struct PoisonedRun {
  bool ok = false;
  std::string message;
  HostImage pixels;
  int leftAllocated = 0;
};

// `render(backend, out, message)` renders into `out`, which this releases afterwards.
template <class Render>
PoisonedRun runPoisoned(Render&& render, float poison) {
  fm::ThreadParallel par(2);
  PoisonBackend be(&par, poison);
  fm::Buffer out;
  PoisonedRun r;
  r.ok = render(be, out, r.message);
  if (r.ok) {
    r.pixels = HostImage(out.width, out.height);
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x)
        r.pixels.at(x, y) = static_cast<const Px*>(out.data)[size_t(y) * out.pitch + x];
  } else if (out.data) {
    r.message += " (and the output was left allocated)";
  }
  be.freeImage(out);
  r.leftAllocated = be.liveImages;
  return r;
}

// Checks the two runs of a call over `outRect`; a failure must say why, and with `finite` the
// output must be finite too. Returns whether the call rendered.
template <class Render>
bool expectCleanRenders(Render&& render, const fm::Rect& outRect, bool finite) {
  const PoisonedRun a = runPoisoned(render, 1e30f);
  const PoisonedRun b = runPoisoned(render, -std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(a.leftAllocated, 0);
  EXPECT_EQ(a.ok, b.ok) << a.message << " / " << b.message;
  if (!a.ok || !b.ok) {
    EXPECT_FALSE(a.message.empty());
    EXPECT_EQ(a.message.find("left allocated"), std::string::npos) << a.message;
    return false;
  }
  EXPECT_EQ(a.pixels.width(), int(fm::width(outRect)));
  EXPECT_EQ(a.pixels.height(), int(fm::height(outRect)));
  EXPECT_EQ(firstDifference(a.pixels, b.pixels), "") << "output depends on unwritten memory";
  if (finite) {
    EXPECT_TRUE(allFinite(a.pixels)) << "ordinary settings gave NaN or infinity";
  }
  return true;
}

}  // namespace fmtest
