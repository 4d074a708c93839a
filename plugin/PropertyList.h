// The module's identity as the host sees it: version, global flags and the embedded property
// list. Global setup reports the same constants the list carries, so the two cannot drift.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/EffectInterface.h"
#include "plugin/EffectIdentity.h"

namespace fm {

inline constexpr uint32_t kEffectVersion = PF_VersionWord(
    FM_VERSION_MAJOR, FM_VERSION_MINOR, FM_VERSION_BUG, PF_Stage_Release, FM_VERSION_BUILD);

inline constexpr uint32_t kOutFlags = PF_OutFlag_WideTimeInput | PF_OutFlag_ExpandsBuffer |
                                      PF_OutFlag_DeepColorAware | PF_OutFlag_SendUpdateParamsUi;

inline constexpr uint32_t kOutFlags2 =
    PF_OutFlag2_ParamGroupStartCollapsedFlag | PF_OutFlag2_SupportsSmartRender |
    PF_OutFlag2_FloatColorAware | PF_OutFlag2_AutomaticWideTimeInput |
    PF_OutFlag2_MixesRenderCacheKey | PF_OutFlag2_SupportsGpuRenderF32 |
    PF_OutFlag2_SupportsThreadedRendering;

struct ByteView {
  const unsigned char* data;
  size_t size;
};

// The serialised property list, the bytes the module file carries.
ByteView propertyListBytes();

}  // namespace fm
