// The commands the module answers, one handler each; EffectMain dispatches to them.
#pragma once

#include "host/EffectInterface.h"

namespace fm {

// PF_Cmd_ABOUT: the About text into the output record's message.
PF_Err about(PF_OutData* out);

// PF_Cmd_GLOBAL_SETUP: version and flags, and registration with the host's plug-in registry.
PF_Err globalSetup(const PF_InData* in, PF_OutData* out);

// PF_Cmd_PARAMS_SETUP: declares indices 1 to kParamCount - 1, stopping at the first host error.
PF_Err setUpParams(const PF_InData* in, PF_OutData* out);

// PF_Cmd_USER_CHANGED_PARAM (userChange, with the index the user changed) and
// PF_Cmd_UPDATE_PARAMS_UI: hides the controls of the blur kinds not chosen. Visibility problems
// are never the host's business: always PF_Err_None.
PF_Err updateVisibility(const PF_InData* in, PF_OutData* out, PF_ParamDef* const* params,
                        bool userChange, int32_t changedIndex);

// PF_Cmd_SMART_PRE_RENDER: the settings record, the layer checkouts and the result rectangles;
// the record goes to the host as the pre-render data, with the callback that frees it.
PF_Err preRender(const PF_InData* in, PF_PreRenderExtra* extra);

// PF_Cmd_SMART_RENDER: the frame that pre-render planned, on the CPU.
PF_Err smartRender(const PF_InData* in, PF_SmartRenderExtra* extra);

// PF_Cmd_GPU_DEVICE_SETUP: builds the device's kernels and hands the host the device record; a
// device whose kernels cannot be made is logged and left to the CPU (no record, still 0).
PF_Err gpuDeviceSetup(const PF_InData* in, PF_OutData* out, PF_GpuDeviceSetupExtra* extra);

// PF_Cmd_GPU_DEVICE_SETDOWN: releases what device setup made.
PF_Err gpuDeviceSetdown(PF_GpuDeviceSetdownExtra* extra);

// PF_Cmd_SMART_RENDER_GPU: the frame on the device's worlds, on the CPU when the device fails.
PF_Err smartRenderGpu(const PF_InData* in, PF_SmartRenderExtra* extra);

}  // namespace fm
