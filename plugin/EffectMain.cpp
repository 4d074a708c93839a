// The module's one exported function: dispatches the host's commands. Nothing throws across
// the boundary; commands without a handler do nothing.
#include <new>

#include "host/EffectInterface.h"
#include "plugin/Commands.h"

#if defined(_WIN32)
#define FM_EXPORT __declspec(dllexport)
#else
#define FM_EXPORT __attribute__((visibility("default")))
#endif

extern "C" FM_EXPORT PF_Err EffectMain(PF_Cmd command, PF_InData* in, PF_OutData* out,
                                       PF_ParamDef* params[], PF_World* output, void* extra) {
  (void)output;
  try {
    switch (command) {
      case PF_Cmd_ABOUT:
        return fm::about(out);
      case PF_Cmd_GLOBAL_SETUP:
        return fm::globalSetup(in, out);
      case PF_Cmd_PARAMS_SETUP:
        return fm::setUpParams(in, out);
      case PF_Cmd_USER_CHANGED_PARAM: {
        const auto* changed = static_cast<const PF_UserChangedParamExtra*>(extra);
        if (!changed) return PF_Err_BadCallbackParam;
        return fm::updateVisibility(in, out, params, true, changed->paramIndex);
      }
      case PF_Cmd_UPDATE_PARAMS_UI:
        return fm::updateVisibility(in, out, params, false, -1);
      case PF_Cmd_SMART_PRE_RENDER:
        return fm::preRender(in, static_cast<PF_PreRenderExtra*>(extra));
      case PF_Cmd_SMART_RENDER:
        return fm::smartRender(in, static_cast<PF_SmartRenderExtra*>(extra));
      case PF_Cmd_SMART_RENDER_GPU:
        return fm::smartRenderGpu(in, static_cast<PF_SmartRenderExtra*>(extra));
      case PF_Cmd_GPU_DEVICE_SETUP:
        return fm::gpuDeviceSetup(in, out, static_cast<PF_GpuDeviceSetupExtra*>(extra));
      case PF_Cmd_GPU_DEVICE_SETDOWN:
        return fm::gpuDeviceSetdown(static_cast<PF_GpuDeviceSetdownExtra*>(extra));
      default:
        return PF_Err_None;
    }
  } catch (const std::bad_alloc&) {
    return PF_Err_OutOfMemory;
  } catch (...) {
    return PF_Err_InternalStructDamaged;
  }
}
