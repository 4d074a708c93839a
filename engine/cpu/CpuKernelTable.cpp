#include "engine/cpu/CpuKernelTable.h"

#include "engine/cpu/CpuConvBands.h"
#include "engine/cpu/CpuCopyBand.h"
#include "engine/cpu/CpuGroupRunner.h"
#include "engine/cpu/CpuKernels.h"
#include "engine/cpu/CpuPairs.h"
#include "engine/cpu/CpuSpecialRunners.h"

namespace fm {
namespace {

using KernelFn = void (*)(int, int, float4*, const float4*, const float4*, const float*,
                          const FMParams&);

// Built for AVX too, with the kernel and its helpers inlined into each build: the AVX build
// rounds and converts in single instructions where the plain x86-64 build needs sequences.
template <KernelFn K>
FM_AVX_CLONES __attribute__((flatten)) void runBand(int gridW, int first, int end, void* dst, const void* srcA,
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

// One plain item-by-item runner per identifier; a null entry would fail its launch.
const BandRunner kItemRunners[FM_KERNEL_COUNT] = {
    &runBand<fm_clear>,       &runBand<fm_copy>,        &runBand<fm_import>,
    &runBand<fm_export>,      &runBand<fm_box_rows>,    &runBand<fm_box_cols>,
    &runBand<fm_conv_rows>,   &runBand<fm_conv_cols>,   &runBand<fm_group>,
    &runBand<fm_prefix_rows>, &runBand<fm_lens_gather>, &runBand<fm_lens_prep>,
    &runBand<fm_lens_finish>, &runBand<fm_lens_radius>, &runBand<fm_down>,
    &runBand<fm_up>,          &runBand<fm_vec_scalar>,  &runBand<fm_vector>,
    &runBand<fm_feat>,        &runBand<fm_half>,        &runBand<fm_tmpl>,
    &runBand<fm_patch_init>,  &runBand<fm_patch_search>, &runBand<fm_densify>,
    &runBand<fm_flow_refine>, &runBand<fm_flow_up>,     &runBand<fm_flow_stats>,
    &runBand<fm_mvel>,        &runBand<fm_tilemax>,     &runBand<fm_neighbormax>,
    &runBand<fm_mblur>,       &runBand<fm_mvview>,      &runBand<fm_flow_warp>,
    &runBand<fm_flow_edges>,
};

const SpecialRunner kSpecialRunners[FM_KERNEL_COUNT] = {
    nullptr, nullptr, nullptr, nullptr, &runBoxRows, &runBoxCols, nullptr, nullptr,
    &runGroupTranslate, nullptr, &runLensGatherConstant,
};

}  // namespace

BandRunner cpuBandRunner(int kernel) {
  switch (kernel) {
    case FM_K_COPY:
      return &runCopyBand;
    case FM_K_CONV_ROWS:
      return &runConvRowsBand;
    case FM_K_CONV_COLS:
      return &runConvColsBand;
    case FM_K_GROUP:
      return &runGroupBand;
    default:
      return cpuItemRunner(kernel);
  }
}

BandRunner cpuItemRunner(int kernel) {
  if (kernel < 0 || kernel >= FM_KERNEL_COUNT) return nullptr;
  return kItemRunners[kernel];
}

SpecialRunner cpuSpecialRunner(int kernel) {
  if (kernel < 0 || kernel >= FM_KERNEL_COUNT) return nullptr;
  return kSpecialRunners[kernel];
}

}  // namespace fm
