#include "plugin/HostWorld.h"

#include "plugin/SuiteRef.h"

namespace fm {

int32_t pixelBytes(int32_t format) {
  switch (format) {
    case kWorld8:
      return 4;
    case kWorld16:
      return 8;
    case kWorld32:
    case kWorldGpuBgra:
      return 16;
    default:
      return 0;
  }
}

int32_t worldFormat(const PF_InData* in, const PF_World* world, int32_t bitDepth) {
  if (!world) return kWorldUnknown;
  SuiteRef<PF_WorldSuite2> worlds(in, PF_WorldSuite, PF_WorldSuiteVersion);
  uint32_t pixelFormat = 0;
  if (worlds && worlds->getPixelFormat &&
      worlds->getPixelFormat(world, &pixelFormat) == PF_Err_None) {
    switch (pixelFormat) {
      case PF_PixelFormat_Argb128:
        return kWorld32;
      case PF_PixelFormat_Argb64:
        return kWorld16;
      case PF_PixelFormat_Argb32:
        return kWorld8;
      case PF_PixelFormat_GpuBgra128:
        return kWorldGpuBgra;
      default:
        return kWorldUnknown;
    }
  }
  // The deep flag alone cannot tell float from 16-bit; the render's depth can.
  if (!(world->worldFlags & PF_WorldFlag_Deep)) return kWorld8;
  return bitDepth == 32 ? kWorld32 : kWorld16;
}

WorldView viewOf(const PF_World& world, int32_t format, const Rect& recorded) {
  WorldView v;
  v.data = world.data;
  v.rowBytes = world.rowBytes;
  v.width = world.width;
  v.height = world.height;
  v.format = format;
  if (width(recorded) == world.width && height(recorded) == world.height) {
    v.rect = recorded;
  } else {
    v.rect = offsetBy(Rect{0, 0, world.width, world.height}, world.originX, world.originY);
  }
  return v;
}

}  // namespace fm
