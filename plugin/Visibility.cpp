#include <algorithm>
#include <atomic>

#include "plugin/Commands.h"
#include "plugin/Log.h"
#include "plugin/ParamTable.h"
#include "plugin/Registration.h"
#include "plugin/SuiteRef.h"

namespace fm {
namespace {

// Some hosts accept the HIDDEN flag but never report it back. Once one is seen, visibility is
// rewritten only when a selector changes, instead of being compared on every UI update.
std::atomic<bool> hiddenFlagLatch{false};
constexpr const char* kHiddenNotReported =
    "AEGP_GetDynamicStreamFlags does not report HIDDEN: controls are set on type changes only";

struct Choice {
  int32_t kind;
  int32_t motionBlurType;
  bool vectorsOutput;
};

bool isSelector(int32_t index) {
  return index == kParamBlurType || index == kParamMotionBlurType || index == kParamMotionOutput;
}

// A popup's value in the parameter array; fallback when the host passed none there.
int32_t popupValue(const PF_InData* in, PF_ParamDef* const* params, int32_t index,
                   int32_t fallback) {
  if (index >= in->paramCount) return fallback;
  const PF_ParamDef* def = params[index];
  return def && def->type == PF_Param_Popup ? def->u.popup.value : fallback;
}

bool visibleFor(const ParamOwner& owner, const Choice& choice) {
  return owner.kind == choice.kind &&
         (owner.motionBlurType == 0 || owner.motionBlurType == choice.motionBlurType) &&
         (!owner.onlyWithVectorsOutput || choice.vectorsOutput);
}

// Sets every control's HIDDEN flag for choice; direct writes without reading first. True when
// a flag was written.
bool writeHiddenFlags(const PF_InData* in, AEGP_PluginId pluginId, const Choice& choice,
                      bool direct) {
  SuiteRef<AEGP_PFInterfaceSuite1> pfInterface(in, AEGP_PFInterfaceSuite,
                                               AEGP_PFInterfaceSuiteVersion);
  SuiteRef<AEGP_StreamSuite11> streams(in, AEGP_StreamSuite, AEGP_StreamSuiteVersion);
  SuiteRef<AEGP_DynamicStreamSuite5> dynamic(in, AEGP_DynamicStreamSuite,
                                             AEGP_DynamicStreamSuiteVersion);
  SuiteRef<AEGP_EffectSuite4> effects(in, AEGP_EffectSuite, AEGP_EffectSuiteVersion);
  if (!pfInterface || !streams || !dynamic || !effects || !pfInterface->getNewEffectForEffect ||
      !streams->getNewEffectStreamByIndex || !streams->disposeStream ||
      !dynamic->getDynamicStreamFlags || !dynamic->setDynamicStreamFlag ||
      !effects->disposeEffect) {
    return false;
  }
  AEGP_EffectRef effect = nullptr;
  if (pfInterface->getNewEffectForEffect(pluginId, in->effect, &effect) != PF_Err_None || !effect) {
    return false;
  }

  bool changed = false;
  for (int32_t index = kParamVectorType; index < kParamCount; ++index) {
    const ParamRow& row = paramRow(index);
    if (row.type == PF_Param_GroupEnd) continue;
    const bool hide = !visibleFor(row.owner, choice);
    AEGP_StreamRef stream = nullptr;
    if (streams->getNewEffectStreamByIndex(pluginId, effect, index, &stream) != PF_Err_None ||
        !stream) {
      continue;
    }
    uint32_t flags = 0;
    const bool write = direct || (dynamic->getDynamicStreamFlags(stream, &flags) == PF_Err_None &&
                                  ((flags & AEGP_DynStreamFlag_Hidden) != 0) != hide);
    if (write &&
        dynamic->setDynamicStreamFlag(stream, AEGP_DynStreamFlag_Hidden, 0, hide) == PF_Err_None) {
      changed = true;
      uint32_t after = 0;
      if (!direct && hide && dynamic->getDynamicStreamFlags(stream, &after) == PF_Err_None &&
          !(after & AEGP_DynStreamFlag_Hidden) && !hiddenFlagLatch.exchange(true)) {
        logLine(kHiddenNotReported);
      }
    }
    streams->disposeStream(stream);
  }
  effects->disposeEffect(effect);
  return changed;
}

}  // namespace

PF_Err updateVisibility(const PF_InData* in, PF_OutData* out, PF_ParamDef* const* params,
                        bool userChange, int32_t changedIndex) {
  if (!in || !params || in->appId == PF_AppId_PremierePro) return PF_Err_None;
  Choice choice;
  choice.kind =
      std::clamp<int32_t>(popupValue(in, params, kParamBlurType, 1), kVectorBlur, kMotionBlur);
  choice.motionBlurType = std::clamp<int32_t>(popupValue(in, params, kParamMotionBlurType, 1),
                                              kDirectionalBlur, kTrackedMotionBlur);
  choice.vectorsOutput = popupValue(in, params, kParamMotionOutput, 1) == kOutputMotionVectors;

  SuiteRef<PF_ParamUtilsSuite3> paramUtils(in, PF_ParamUtilsSuite, PF_ParamUtilsSuiteVersion);
  AEGP_PluginId pluginId = 0;
  if (!registeredPluginId(&pluginId)) return PF_Err_None;

  const bool selectorChange = userChange && isSelector(changedIndex);
  const bool latched = hiddenFlagLatch.load();
  if (latched && !selectorChange) return PF_Err_None;
  if (!writeHiddenFlags(in, pluginId, choice, latched)) return PF_Err_None;

  // Re-submitting the first definition makes the panel redraw the controls.
  if (paramUtils && paramUtils->updateParamUi && kParamBlurType < in->paramCount &&
      params[kParamBlurType]) {
    const PF_ParamDef def = *params[kParamBlurType];
    paramUtils->updateParamUi(in->effect, kParamBlurType, &def);
  }
  if (userChange && out) out->outFlags |= PF_OutFlag_RefreshUi;
  return PF_Err_None;
}

}  // namespace fm
