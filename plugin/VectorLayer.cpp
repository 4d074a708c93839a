#include "plugin/VectorLayer.h"

#include "plugin/SuiteRef.h"

namespace fm {

bool isVectorLayer(const PF_InData* in) {
  if (!in || in->appId == PF_AppId_PremierePro) return false;
  SuiteRef<AEGP_PFInterfaceSuite1> pfInterface(in, AEGP_PFInterfaceSuite,
                                               AEGP_PFInterfaceSuiteVersion);
  SuiteRef<AEGP_LayerSuite15> layers(in, AEGP_LayerSuite, AEGP_LayerSuiteVersion);
  if (!pfInterface || !layers || !pfInterface->getEffectLayer || !layers->getLayerObjectType ||
      !layers->getLayerFlags) {
    return false;
  }
  AEGP_LayerRef layer = nullptr;
  int32_t type = -1;
  if (pfInterface->getEffectLayer(in->effect, &layer) != PF_Err_None || !layer ||
      layers->getLayerObjectType(layer, &type) != PF_Err_None) {
    return false;
  }
  if (type == AEGP_ObjectType_Text || type == AEGP_ObjectType_Shape) return true;
  uint32_t flags = 0;
  return type == AEGP_ObjectType_AudioVisual &&
         layers->getLayerFlags(layer, &flags) == PF_Err_None &&
         (flags & AEGP_LayerFlag_CollapseTransformations) != 0;
}

}  // namespace fm
