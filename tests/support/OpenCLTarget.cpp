#include "tests/support/OpenCLTarget.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/OpenCLDevice.h"

namespace fmtest {

std::unique_ptr<OpenCLTarget> OpenCLTarget::create(std::string* why, fm::cl_command_queue queue) {
  OpenCLDevice* device = OpenCLDevice::get();
  if (!device || !device->program) {
    if (why) *why = device ? "the kernel program did not build: " + device->buildError : OpenCLDevice::why();
    return nullptr;
  }
  return std::unique_ptr<OpenCLTarget>(
      new OpenCLTarget(device->program, device->context, queue ? queue : device->queue));
}

OpenCLTarget::OpenCLTarget(fm::OpenCLProgram* program, fm::cl_context context, fm::cl_command_queue queue)
    : direct(context), backend(&allocator, program, queue) {}

bool OpenCLTarget::write(fm::Buffer& buf, const HostImage& image, bool asIs) {
  fm::Buffer made;
  if (!backend.allocImage(made, asIs ? image.pitch() : image.width(), image.height())) return false;
  std::vector<Px> staged(size_t(made.pitch) * size_t(made.height));
  if (asIs) {
    std::memcpy(static_cast<void*>(staged.data()), image.data(), image.floats() * sizeof(float));
  } else {
    for (int y = 0; y < image.height(); ++y)
      std::memcpy(&staged[size_t(y) * made.pitch], &image.at(0, y), size_t(image.width()) * sizeof(Px));
  }
  if (!backend.writeImage(made, staged.data())) {
    backend.freeImage(made);
    return false;
  }
  buf = made;
  return true;
}

bool OpenCLTarget::fetch(const fm::Buffer& buf, HostImage& image, bool asIs) {
  if (!buf.data) return false;
  std::vector<Px> staged(size_t(buf.pitch) * size_t(buf.height));
  if (!backend.readImage(buf, staged.data())) return false;
  if (asIs) {
    std::memcpy(image.data(), staged.data(), image.floats() * sizeof(float));
    return true;
  }
  image = HostImage(buf.width, buf.height);
  for (int y = 0; y < buf.height; ++y)
    std::memcpy(&image.at(0, y), &staged[size_t(y) * buf.pitch], size_t(buf.width) * sizeof(Px));
  return true;
}

bool OpenCLTarget::upload(fm::Buffer& buf, const HostImage& image) { return write(buf, image, false); }
bool OpenCLTarget::read(const fm::Buffer& buf, HostImage& image) { return fetch(buf, image, false); }
bool OpenCLTarget::uploadAsIs(fm::Buffer& buf, const HostImage& image) { return write(buf, image, true); }
bool OpenCLTarget::readAsIs(const fm::Buffer& buf, HostImage& image) { return fetch(buf, image, true); }

int OpenCLTarget::liveAfterFlush() {
  EXPECT_TRUE(backend.flush()) << backend.lastError;
  for (const std::string& fault : allocator.faults) ADD_FAILURE() << fault;
  return allocator.liveHandles();
}

}  // namespace fmtest
