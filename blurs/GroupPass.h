// Group passes: the average of many shifted, rotated or scaled copies of an image, factored into
// a few passes of at most FM_MAX_TAPS taps whose composition places every sample (16 x 9 = 144
// samples cost 25 taps per pixel). Directional Motion Blur and Radial Blur are built on them.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/Backend.h"

namespace fm {

struct GroupPass {
  int32_t mode = FM_GROUP_TRANSLATE;  // FM_GROUP_TRANSLATE, FM_GROUP_ROTATE or FM_GROUP_SCALE
  // Tap triples (a, b, w), at most FM_MAX_TAPS: a shift (a, b) in pixels, a rotation with
  // cosine a and sine b, or a scale a (b = 0); w is the weight, and a pass's weights sum to 1.
  std::vector<float> taps;
};

// The planners cap their sample counts here (five passes of 16): beyond it a sweep is so long
// that the samples' spacing no longer shows against where they land, far outside any layer.
constexpr int64_t kMaxGroupSamples = 1048576;

// Appends passes that together average `sampleCount` (or slightly more) values of a transform
// parameter spread evenly from lo to hi: pass sizes are 16 while more than 32 samples remain,
// then the rest. Rotations and shifts add their parameters; scalings multiply, so a scale
// pass's parameter is the logarithm of its scale. `weighted` weighs each sample by
// exp(parameter), which makes the log-even scale samples average evenly over the linear range.
void buildGroupPasses(int mode, double lo, double hi, int64_t sampleCount, std::vector<GroupPass>& passes,
                      bool weighted);

// Taps per pixel of a pass list (the sum of the pass sizes).
int64_t groupTapCount(const std::vector<GroupPass>& passes);

// The work rectangle cut to what a group blur can use: the rectangle holding the output and
// the input, grown on every side by the larger of its diagonal times `stretch` (1 to 2) and
// 1024 pixels. Blurs whose samples stay near their layer (a centre inside it, lengths within
// the parameters' ranges) are unaffected; absurd lengths or far centres would otherwise ask for
// work images no memory holds, for samples that land almost all in empty space.
Rect limitGroupWork(const Rect& work, const Rect& outputRect, const Rect& inputRect, double stretch);

// Runs the passes over `workRect` and writes `destination`, which covers `outputRect`:
// the source is copied into a work image (transparent outside it) and the passes ping-pong
// between two work images; the last one writes the destination directly when the output lies
// within the work rectangle, and its result is copied out otherwise. (cx, cy) is the rotation
// or scaling centre in pixel-edge layer coordinates; kx the square units per x pixel relative
// to y. An empty work rectangle clears the destination. False when a pass is malformed, the
// work rectangle is too large, or an allocation, a launch or the abort check fails; every image
// it allocates is released before it returns.
bool runGroupPasses(Backend& be, const std::vector<GroupPass>& passes, const PlacedImage& source,
                    const Rect& workRect, const Rect& outputRect, Buffer& destination, float cx, float cy,
                    float kx);

}  // namespace fm
