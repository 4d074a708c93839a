// The CPU kernels and every runner as one instruction-set level builds them. Included once by
// each CpuLevel*.cpp, inside that level's namespace and after CpuLevelPrelude.h; the headers
// below include nothing themselves, so nothing from outside lands in the level's namespace.
#include "kernels/FMKernels.h"

#include "engine/cpu/StreamStore.h"
#include "engine/cpu/CpuPairs.h"
#include "engine/cpu/CpuLanes.h"
#include "engine/cpu/CpuLaneRows.h"
#include "engine/cpu/CpuBilinear.h"

#include "engine/cpu/CpuConvBands.h"
#include "engine/cpu/CpuCopyBand.h"
#include "engine/cpu/CpuLightBands.h"
#include "engine/cpu/CpuFlowRunners.h"
#include "engine/cpu/CpuRefineChain.h"
#include "engine/cpu/CpuPatchSearch.h"
#include "engine/cpu/CpuMotionRunners.h"
#include "engine/cpu/CpuPyramidRunners.h"
#include "engine/cpu/CpuGroupRunner.h"
#include "engine/cpu/CpuVectorRunner.h"
#include "engine/cpu/CpuSpecialRunners.h"
#include "engine/cpu/CpuBoxRunners.h"
#include "engine/cpu/CpuConvPair.h"

namespace {

// Every kernel with its helpers inlined into the loop.
template <KernelFn K>
__attribute__((flatten)) void runItems(int gridW, int first, int end, void* dst, const void* srcA,
                                       const void* srcB, const void* tab, const FMParams& p) {
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const float4* b = static_cast<const float4*>(srcB);
  const float* t = static_cast<const float*>(tab);
  // A local copy of the block: through the reference the compiler must assume that every
  // pixel store may change it, and would reload every field per pixel.
  const FMParams local = p;
  for (int gy = first; gy < end; ++gy)
    for (int gx = 0; gx < gridW; ++gx) K(gx, gy, d, a, b, t, local);
}

#define FM_ITEM_RUNNER(id, name) &runItems<name>,
constexpr BandRunner kItemRunners[FM_KERNEL_COUNT] = {FM_KERNEL_LIST(FM_ITEM_RUNNER)};
#undef FM_ITEM_RUNNER

constexpr BandRunner bandRunner(int kernel) {
  switch (kernel) {
    case FM_K_COPY:
      return &copy::runCopyBand;
    case FM_K_LENS_PREP:
      return &light::runLensPrepBand;
    case FM_K_LENS_FINISH:
      return &light::runLensFinishBand;
    case FM_K_CONV_ROWS:
      return &conv::runConvRowsBand;
    case FM_K_CONV_COLS:
      return &conv::runConvColsBand;
    case FM_K_GROUP:
      return &group::runGroupBand;
    case FM_K_VECTOR:
      return &vecblur::runVectorBand;
#if FM_CPU_LANES >= 8
    case FM_K_VEC_SCALAR:
      return &vecblur::runVecScalarBand;
#endif
    case FM_K_FEAT:
      return &pyramid::runFeatureBand;
    case FM_K_HALF:
      return &pyramid::runHalfBand;
    case FM_K_TMPL:
      return &pyramid::runTemplateBand;
    case FM_K_FLOW_UP:
      return &flow::runFlowUpBand;
    case FM_K_FLOW_STATS:
      return &flow::runFlowStatsBand;
    case FM_K_MVEL:
      return &motion::runVelocityBand;
    case FM_K_MBLUR:
      return &motion::runMotionBlurBand;
    case FM_K_PATCH_SEARCH:
      return &patch::runPatchSearchBand;
    case FM_K_DENSIFY:
      return &flow::runDensifyBand;
    case FM_K_FLOW_REFINE:
      return &flow::runRefineBand;
    case FM_K_FLOW_WARP:
      return &flow::runWarpBand;
    case FM_K_FLOW_EDGES:
      return &flow::runEdgesBand;
    default:
      return kItemRunners[kernel];
  }
}

constexpr SpecialRunner specialRunner(int kernel) {
  switch (kernel) {
    case FM_K_BOX_ROWS:
      return &special::runBoxRows;
    case FM_K_BOX_COLS:
      return &special::runBoxCols;
    case FM_K_GROUP:
      return &group::runGroupTranslate;
    case FM_K_LENS_GATHER:
      return &special::runLensGatherConstant;
    default:
      return nullptr;
  }
}

}  // namespace

#define FM_ITEM_RUNNER(id, name) kItemRunners[id],
#define FM_BAND_RUNNER(id, name) bandRunner(id),
#define FM_SPECIAL_RUNNER(id, name) specialRunner(id),
extern const CpuRunners kRunners = {
    {FM_KERNEL_LIST(FM_ITEM_RUNNER)},
    {FM_KERNEL_LIST(FM_BAND_RUNNER)},
    {FM_KERNEL_LIST(FM_SPECIAL_RUNNER)},
    &special::runRowChain,
    &special::runColumnChain,
    &conv::runConvPair,
    &flow::runRefineChain,
};
#undef FM_ITEM_RUNNER
#undef FM_BAND_RUNNER
#undef FM_SPECIAL_RUNNER
