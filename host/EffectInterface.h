/* The compositing host's effect interface as the effect module uses it: selectors, records,
 * callbacks and suites. Only plain C crosses the module boundary (structs, function pointers,
 * fixed-width integers), so a module and a host built by different compilers agree on it. The
 * effect module and the headless host are its two sides. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PF_FOURCC(a, b, c, d)                                        \
  (((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | \
   ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d))

typedef int32_t PF_Err;
typedef int32_t PF_Cmd;
typedef int32_t PF_Fixed; /* 16.16 fixed point */

/* An effect's version word: major, minor, bug-fix, stage (3 release) and build. */
#define PF_VersionWord(major, minor, bug, stage, build)                              \
  (((uint32_t)(major) << 19) | ((uint32_t)(minor) << 15) | ((uint32_t)(bug) << 11) | \
   ((uint32_t)(stage) << 9) | (uint32_t)(build))
#define PF_Stage_Release 3

/* ------------------------------------------------------------------ error codes */
enum {
  PF_Err_None = 0,
  PF_Err_OutOfMemory = 4,
  PF_Err_InternalStructDamaged = 512,
  PF_Err_UnrecognizedParamType = 514,
  PF_Err_BadCallbackParam = 516,
  PF_Interrupt_Cancel = 517,
  /* Returned by suite acquisition when the host does not offer that name and version. */
  PF_Err_SuiteNotFound = 1040
};

/* ------------------------------------------------------------------ command selectors */
enum {
  PF_Cmd_ABOUT = 0,
  PF_Cmd_GLOBAL_SETUP = 1,
  PF_Cmd_PARAMS_SETUP = 4,
  PF_Cmd_USER_CHANGED_PARAM = 13,
  PF_Cmd_UPDATE_PARAMS_UI = 14,
  PF_Cmd_SMART_PRE_RENDER = 23,
  PF_Cmd_SMART_RENDER = 24,
  PF_Cmd_SMART_RENDER_GPU = 31,
  PF_Cmd_GPU_DEVICE_SETUP = 32,
  PF_Cmd_GPU_DEVICE_SETDOWN = 33
};

/* ------------------------------------------------------------------ flags */
/* Output flags (global setup, and the refresh request of a parameter change). */
#define PF_OutFlag_WideTimeInput 0x00000002u
#define PF_OutFlag_RefreshUi 0x00000008u
#define PF_OutFlag_ExpandsBuffer 0x00000200u
#define PF_OutFlag_DeepColorAware 0x02000000u
#define PF_OutFlag_SendUpdateParamsUi 0x04000000u

/* Output flags 2. */
#define PF_OutFlag2_ParamGroupStartCollapsedFlag 0x00000008u
#define PF_OutFlag2_SupportsSmartRender 0x00000400u
#define PF_OutFlag2_FloatColorAware 0x00001000u
#define PF_OutFlag2_AutomaticWideTimeInput 0x00020000u
#define PF_OutFlag2_MixesRenderCacheKey 0x00200000u
#define PF_OutFlag2_SupportsGpuRenderF32 0x02000000u
#define PF_OutFlag2_SupportsThreadedRendering 0x08000000u

/* Parameter flags. */
#define PF_ParamFlag_CannotTimeVary 0x00000002u
#define PF_ParamFlag_StartCollapsed 0x00000020u
#define PF_ParamFlag_Supervise 0x00000040u
#define PF_ParamFlag_SkipRevealWhenUnhidden 0x00000200u

/* Value display flags of sliders. */
#define PF_ValueDisplay_Percent 0x0001u
#define PF_ValueDisplay_PixelValue 0x0002u

/* Dynamic stream flags of a parameter's stream. */
#define AEGP_DynStreamFlag_Hidden 0x00000002u

/* Layer object types and layer flags. */
enum { AEGP_ObjectType_AudioVisual = 0, AEGP_ObjectType_Text = 3, AEGP_ObjectType_Shape = 4 };
#define AEGP_LayerFlag_CollapseTransformations 0x00000080u

/* Pre-render output flags. */
#define PF_RenderOutputFlag_GpuRenderPossible 0x0002u

/* World flags. */
#define PF_WorldFlag_Deep 0x0001u

/* Pixel formats a world suite reports. */
#define PF_PixelFormat_Argb32 PF_FOURCC('a', 'r', 'g', 'b')     /* 8-bit ARGB */
#define PF_PixelFormat_Argb64 PF_FOURCC('a', 'e', '1', '6')     /* 16-bit ARGB, 0 to 32768 */
#define PF_PixelFormat_Argb128 PF_FOURCC('a', 'e', '3', '2')    /* 32-bit float ARGB */
#define PF_PixelFormat_GpuBgra128 PF_FOURCC('@', 'C', 'D', 'A') /* GPU float BGRA */

enum { PF_GpuFramework_None = 0, PF_GpuFramework_OpenCL = 1, PF_GpuFramework_Cuda = 3 };
enum { PF_Quality_Low = 0, PF_Quality_High = 1 };

#define PF_AppId_PremierePro PF_FOURCC('P', 'r', 'M', 'r')

/* ------------------------------------------------------------------ property list
 * The module's identity, readable without running its code: a resource on Windows (type
 * "PiPL", id 16000, language 1033), the same bytes in the section ".pipl" of an ELF module.
 * Layout, little-endian: uint32 list version (1), uint32 property count, then per property
 * vendor[4], key[4] (characters in reading order), uint32 id (0), uint32 data length, data
 * padded with zeros to a multiple of 4. Data by key: "kind" four characters; "name", "catg",
 * "eMNA", "eURL" a length byte and the characters; "8664" a NUL-terminated entry point name;
 * "ePVR", "eSVR" uint16 major, uint16 minor; "eVER", "eINF", "eGLO", "eGL2", "aeFL" uint32. */
#define PF_PropertyList_ResourceType "PiPL"
#define PF_PropertyList_ResourceId 16000
#define PF_PropertyList_Language 1033
#define PF_PropertyList_Section ".pipl"
#define PF_PropertyList_Version 1u
#define PF_PropertyList_Vendor "8BIM"
#define PF_PropertyList_EffectKind "eFKT"

/* ------------------------------------------------------------------ basic records */
typedef struct PF_Ratio {
  int32_t num;
  uint32_t den;
} PF_Ratio;

/* Right and bottom exclusive. */
typedef struct PF_Rect {
  int32_t left, top, right, bottom;
} PF_Rect;

/* Opaque handles. The host defines what they point to; the module only passes them back. */
typedef struct PF_OpaqueHost* PF_HostRef;
typedef struct PF_OpaqueEffect* PF_EffectRef;
typedef struct AEGP_OpaqueEffect* AEGP_EffectRef;
typedef struct AEGP_OpaqueStream* AEGP_StreamRef;
typedef struct AEGP_OpaqueLayer* AEGP_LayerRef;
typedef int32_t AEGP_PluginId;

/* An image the host owns: pixels in the host's channel order, rows rowBytes apart. */
typedef struct PF_World {
  void* data;
  int32_t rowBytes;
  int32_t width, height;
  int32_t originX, originY;
  uint32_t worldFlags;
} PF_World;

/* ------------------------------------------------------------------ parameters */
enum {
  PF_Param_Layer = 0,
  PF_Param_Popup = 1,
  PF_Param_FloatSlider = 2,
  PF_Param_IntSlider = 3,
  PF_Param_FixedSlider = 4,
  PF_Param_Angle = 5,
  PF_Param_Checkbox = 6,
  PF_Param_Point = 7,
  PF_Param_GroupStart = 8,
  PF_Param_GroupEnd = 9
};

enum { PF_LayerDefault_None = 0, PF_LayerDefault_Myself = 1 };

/* A layer parameter's value is the host's layer id, 0 for none. */
typedef struct PF_LayerParam {
  int32_t layerId;
  int32_t defaultLayer;
} PF_LayerParam;

/* choices: the labels separated by '|'; values count from 1. */
typedef struct PF_PopupParam {
  int32_t value;
  int32_t defaultValue;
  int32_t choiceCount;
  const char* choices;
} PF_PopupParam;

typedef struct PF_FloatSliderParam {
  double value;
  double validMin, validMax;
  double sliderMin, sliderMax;
  double defaultValue;
  float curveTolerance;
  int16_t precision; /* decimals shown */
  uint16_t displayFlags;
} PF_FloatSliderParam;

typedef struct PF_IntSliderParam {
  int32_t value;
  int32_t validMin, validMax;
  int32_t sliderMin, sliderMax;
  int32_t defaultValue;
} PF_IntSliderParam;

typedef struct PF_FixedSliderParam {
  PF_Fixed value;
  PF_Fixed validMin, validMax;
  PF_Fixed sliderMin, sliderMax;
  PF_Fixed defaultValue;
  int16_t precision;
  uint16_t displayFlags;
} PF_FixedSliderParam;

/* Degrees. */
typedef struct PF_AngleParam {
  PF_Fixed value;
  PF_Fixed defaultValue;
} PF_AngleParam;

/* The label is shown beside the box, the name in the parameter column. */
typedef struct PF_CheckboxParam {
  int32_t value; /* 0 or 1 */
  int32_t defaultValue;
  const char* label;
} PF_CheckboxParam;

/* The value is in the layer's pixels at the current downsampling; the default is a
 * percentage of the layer's size. */
typedef struct PF_PointParam {
  PF_Fixed x, y;
  PF_Fixed defaultXPercent, defaultYPercent;
} PF_PointParam;

typedef union PF_ParamValue {
  PF_LayerParam layer;
  PF_PopupParam popup;
  PF_FloatSliderParam floatSlider;
  PF_IntSliderParam intSlider;
  PF_FixedSliderParam fixedSlider;
  PF_AngleParam angle;
  PF_CheckboxParam checkbox;
  PF_PointParam point;
} PF_ParamValue;

#define PF_ParamNameSize 32

/* A parameter's definition, and its value at one time once checked out. id is the persistent
 * identifier projects store the value under. */
typedef struct PF_ParamDef {
  int32_t type;
  char name[PF_ParamNameSize];
  int32_t id;
  uint32_t flags;
  uint32_t uiFlags;
  PF_ParamValue u;
} PF_ParamDef;

/* ------------------------------------------------------------------ callbacks and suites */
typedef struct PF_InteractCallbacks {
  /* A parameter's value at a time; every successful checkout is checked in again. */
  PF_Err (*checkoutParam)(PF_EffectRef effect, int32_t index, int32_t time, int32_t timeStep,
                          uint32_t timeScale, PF_ParamDef* param);
  PF_Err (*checkinParam)(PF_EffectRef effect, PF_ParamDef* param);
  /* index -1 appends. The host copies the definition, strings included. */
  PF_Err (*addParam)(PF_EffectRef effect, int32_t index, const PF_ParamDef* def);
  /* Non-zero (the cancel code): stop. */
  PF_Err (*abort)(PF_EffectRef effect);
} PF_InteractCallbacks;

/* Every suite is acquired by name and version and released again; a host that does not offer
 * one returns an error and leaves *suite null. */
typedef struct PF_SuiteAccess {
  PF_Err (*acquireSuite)(PF_HostRef host, const char* name, int32_t version, const void** suite);
  PF_Err (*releaseSuite)(PF_HostRef host, const char* name, int32_t version);
} PF_SuiteAccess;

#define PF_ParamUtilsSuite "PF Param Utils Suite"
#define PF_ParamUtilsSuiteVersion 3
typedef struct PF_ParamUtilsSuite3 {
  /* Re-submits a parameter's definition so the panel redraws it. */
  PF_Err (*updateParamUi)(PF_EffectRef effect, int32_t index, const PF_ParamDef* def);
} PF_ParamUtilsSuite3;

#define PF_WorldSuite "PF World Suite"
#define PF_WorldSuiteVersion 2
typedef struct PF_WorldSuite2 {
  PF_Err (*getPixelFormat)(const PF_World* world, uint32_t* pixelFormat);
} PF_WorldSuite2;

/* A job of the generic iterator; returning the cancel code stops the iteration. */
typedef PF_Err (*PF_IterateJob)(void* context, int32_t threadIndex, int32_t jobIndex,
                                int32_t jobCount);
#define PF_Iterate8Suite "PF Iterate8 Suite"
#define PF_Iterate8SuiteVersion 1
typedef struct PF_Iterate8Suite1 {
  /* Runs jobCount jobs on the host's threads and returns when all have finished. */
  PF_Err (*iterateGeneric)(int32_t jobCount, void* context, PF_IterateJob job);
} PF_Iterate8Suite1;

typedef struct PF_GpuDeviceInfo {
  int32_t framework;
  void* platform;
  void* device;
  void* context;
  void* commandQueue;
} PF_GpuDeviceInfo;

#define PF_GpuDeviceSuite "PF GPU Device Suite"
#define PF_GpuDeviceSuiteVersion 1
typedef struct PF_GpuDeviceSuite1 {
  PF_Err (*getDeviceInfo)(PF_EffectRef effect, uint32_t deviceIndex, PF_GpuDeviceInfo* info);
  PF_Err (*allocateDeviceMemory)(PF_EffectRef effect, uint32_t deviceIndex, uint64_t bytes,
                                 void** memory);
  PF_Err (*freeDeviceMemory)(PF_EffectRef effect, uint32_t deviceIndex, void* memory);
  PF_Err (*getGpuWorldData)(PF_EffectRef effect, const PF_World* world, void** data);
} PF_GpuDeviceSuite1;

#define AEGP_UtilitySuite "AEGP Utility Suite"
#define AEGP_UtilitySuiteVersion 13
typedef struct AEGP_UtilitySuite13 {
  /* Registers with the host's plug-in registry under name. */
  PF_Err (*registerWithRegistry)(PF_HostRef host, const char* name, AEGP_PluginId* pluginId);
} AEGP_UtilitySuite13;

#define AEGP_PFInterfaceSuite "AEGP PF Interface Suite"
#define AEGP_PFInterfaceSuiteVersion 1
typedef struct AEGP_PFInterfaceSuite1 {
  /* The layer the effect is applied to; owned by the host. */
  PF_Err (*getEffectLayer)(PF_EffectRef effect, AEGP_LayerRef* layer);
  /* The registry's object for this effect instance; disposed with the effect suite. */
  PF_Err (*getNewEffectForEffect)(AEGP_PluginId pluginId, PF_EffectRef effect,
                                  AEGP_EffectRef* effectObject);
} AEGP_PFInterfaceSuite1;

#define AEGP_LayerSuite "AEGP Layer Suite"
#define AEGP_LayerSuiteVersion 15
typedef struct AEGP_LayerSuite15 {
  PF_Err (*getLayerObjectType)(AEGP_LayerRef layer, int32_t* objectType);
  PF_Err (*getLayerFlags)(AEGP_LayerRef layer, uint32_t* layerFlags);
} AEGP_LayerSuite15;

#define AEGP_StreamSuite "AEGP Stream Suite"
#define AEGP_StreamSuiteVersion 11
typedef struct AEGP_StreamSuite11 {
  PF_Err (*getNewEffectStreamByIndex)(AEGP_PluginId pluginId, AEGP_EffectRef effectObject,
                                      int32_t paramIndex, AEGP_StreamRef* stream);
  PF_Err (*disposeStream)(AEGP_StreamRef stream);
} AEGP_StreamSuite11;

#define AEGP_DynamicStreamSuite "AEGP Dynamic Stream Suite"
#define AEGP_DynamicStreamSuiteVersion 5
typedef struct AEGP_DynamicStreamSuite5 {
  PF_Err (*getDynamicStreamFlags)(AEGP_StreamRef stream, uint32_t* flags);
  /* Sets (on non-zero) or clears one flag; undoable zero adds no undo entry. */
  PF_Err (*setDynamicStreamFlag)(AEGP_StreamRef stream, uint32_t flag, int32_t undoable,
                                 int32_t on);
} AEGP_DynamicStreamSuite5;

#define AEGP_EffectSuite "AEGP Effect Suite"
#define AEGP_EffectSuiteVersion 4
typedef struct AEGP_EffectSuite4 {
  PF_Err (*disposeEffect)(AEGP_EffectRef effectObject);
} AEGP_EffectSuite4;

/* ------------------------------------------------------------------ command records */
typedef struct PF_InData {
  uint32_t appId;
  int32_t currentTime;
  int32_t timeStep;
  int32_t localTimeStep;
  uint32_t timeScale;
  int32_t width, height; /* the layer's size in pixels */
  PF_Ratio downsampleX, downsampleY;
  PF_Ratio pixelAspectRatio;
  int32_t quality;
  int32_t paramCount; /* entries in the parameter array */
  PF_HostRef host;
  PF_EffectRef effect;
  PF_InteractCallbacks interact;
  PF_SuiteAccess suites;
} PF_InData;

#define PF_MessageSize 256

/* Cleared by the host before every command. */
typedef struct PF_OutData {
  uint32_t version;
  uint32_t outFlags;
  uint32_t outFlags2;
  int32_t paramCount;
  char message[PF_MessageSize];
} PF_OutData;

/* PF_Cmd_USER_CHANGED_PARAM */
typedef struct PF_UserChangedParamExtra {
  int32_t paramIndex;
} PF_UserChangedParamExtra;

/* A request for pixels within a rectangle of the layer. */
typedef struct PF_RenderRequest {
  PF_Rect rect;
  int32_t channelMask; /* PF_ChannelMask_* */
} PF_RenderRequest;
#define PF_ChannelMask_All 0x000Fu

/* What the host will deliver for a layer checkout. */
typedef struct PF_CheckoutResult {
  PF_Rect resultRect;
  PF_Rect maxResultRect;
  int32_t referenceWidth, referenceHeight;
} PF_CheckoutResult;

typedef void (*PF_DeletePreRenderData)(void* preRenderData);

/* PF_Cmd_SMART_PRE_RENDER */
typedef struct PF_PreRenderInput {
  PF_RenderRequest outputRequest;
  int32_t bitDepth;
  const void* gpuData;
  int32_t gpuFramework;
  uint32_t deviceIndex;
} PF_PreRenderInput;

typedef struct PF_PreRenderOutput {
  PF_Rect resultRect;
  PF_Rect maxResultRect;
  int32_t solid;
  uint32_t renderFlags; /* PF_RenderOutputFlag_* */
  void* preRenderData;
  PF_DeletePreRenderData deletePreRenderData;
} PF_PreRenderOutput;

typedef struct PF_PreRenderCallbacks {
  PF_Err (*checkoutLayer)(PF_EffectRef effect, int32_t paramIndex, int32_t checkoutId,
                          const PF_RenderRequest* request, int32_t time, int32_t timeStep,
                          uint32_t timeScale, PF_CheckoutResult* result);
  /* Optional: mixes bytes into the host's render cache key for this frame. */
  PF_Err (*mixInCacheKey)(PF_EffectRef effect, uint32_t byteCount, const void* bytes);
} PF_PreRenderCallbacks;

typedef struct PF_PreRenderExtra {
  PF_PreRenderInput* input;
  PF_PreRenderOutput* output;
  const PF_PreRenderCallbacks* callbacks;
} PF_PreRenderExtra;

/* PF_Cmd_SMART_RENDER and PF_Cmd_SMART_RENDER_GPU */
typedef struct PF_SmartRenderInput {
  void* preRenderData;
  const void* gpuData;
  int32_t gpuFramework;
  uint32_t deviceIndex;
  int32_t bitDepth;
} PF_SmartRenderInput;

typedef struct PF_SmartRenderCallbacks {
  /* The pixels of a pre-render checkout; *pixels may be null when nothing was delivered. */
  PF_Err (*checkoutLayerPixels)(PF_EffectRef effect, int32_t checkoutId, PF_World** pixels);
  PF_Err (*checkinLayerPixels)(PF_EffectRef effect, int32_t checkoutId);
  /* *output may be null. */
  PF_Err (*checkoutOutput)(PF_EffectRef effect, PF_World** output);
} PF_SmartRenderCallbacks;

typedef struct PF_SmartRenderExtra {
  PF_SmartRenderInput* input;
  const PF_SmartRenderCallbacks* callbacks;
} PF_SmartRenderExtra;

/* PF_Cmd_GPU_DEVICE_SETUP and PF_Cmd_GPU_DEVICE_SETDOWN */
typedef struct PF_GpuDeviceSetupInput {
  int32_t framework;
  uint32_t deviceIndex;
} PF_GpuDeviceSetupInput;

typedef struct PF_GpuDeviceSetupOutput {
  void* gpuData; /* the device's private data, handed back at setdown */
} PF_GpuDeviceSetupOutput;

typedef struct PF_GpuDeviceSetupExtra {
  PF_GpuDeviceSetupInput* input;
  PF_GpuDeviceSetupOutput* output;
} PF_GpuDeviceSetupExtra;

typedef struct PF_GpuDeviceSetdownInput {
  void* gpuData;
  int32_t framework;
  uint32_t deviceIndex;
} PF_GpuDeviceSetdownInput;

typedef struct PF_GpuDeviceSetdownExtra {
  PF_GpuDeviceSetdownInput* input;
} PF_GpuDeviceSetdownExtra;

/* ------------------------------------------------------------------ entry point */
/* params: paramCount pointers, index 0 the layer the effect is applied to; output and extra as
 * the command needs them. */
typedef PF_Err (*PF_EffectMainFunc)(PF_Cmd command, PF_InData* inData, PF_OutData* outData,
                                    PF_ParamDef* params[], PF_World* output, void* extra);

#define PF_EntryPointName "EffectMain"

#ifdef __cplusplus
}
#endif
