// The CPU backend behind a wrapper whose launch a benchmark can override to measure or count
// what the engine asks for; everything else goes straight to the CPU backend.
#pragma once

#include "engine/cpu/CpuBackend.h"
#include "engine/ForwardingBackend.h"

namespace fmbench {

class WrappedCpuBackend : public fm::ForwardingBackend<fm::CpuBackend> {
 public:
  explicit WrappedCpuBackend(fm::Parallel* par) : ForwardingBackend(par, nullptr, nullptr) {}
};

}  // namespace fmbench
