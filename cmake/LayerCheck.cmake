# Link-time checks of the layering. Each static layer library is linked whole into a shared
# library together with only the libraries it declares; with --no-undefined, a call into a
# layer it may not use (a higher one) leaves an undefined symbol and fails the build.
# Sanitizer builds leave their runtimes' symbols to the executable, so they skip the checks.

set(FM_LAYER_CHECK_SOURCE ${CMAKE_BINARY_DIR}/layer-check/Empty.cpp)
file(WRITE ${FM_LAYER_CHECK_SOURCE} "// Nothing of its own: the layer linked into it is what is checked.\n")

function(fm_layer_check name)
  if(FM_SANITIZE OR FM_SANITIZE_THREAD)
    return()
  endif()
  add_library(${name}_layer_check SHARED ${FM_LAYER_CHECK_SOURCE})
  target_link_libraries(${name}_layer_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}>")
  target_link_options(${name}_layer_check PRIVATE LINKER:--no-undefined)
endfunction()

# The kernel source compiled on its own for the CPU, the way the CPU backend includes it.
function(fm_kernels_alone_check)
  if(FM_SANITIZE OR FM_SANITIZE_THREAD)
    return()
  endif()
  set(source ${CMAKE_BINARY_DIR}/layer-check/KernelsAlone.cpp)
  file(WRITE ${source} [=[
#include <cmath>
#include <cstring>

namespace fm {
#include "kernels/FMKernels.h"

#define FM_TAKE_ADDRESS(id, name) reinterpret_cast<const void*>(&name),
const void* const kernelsAlone[] = {FM_KERNEL_LIST(FM_TAKE_ADDRESS)};
float curveAlone(float c) { return fm_to_linear(c, 1) + fm_from_linear(c, 0); }
}  // namespace fm
]=])
  add_library(fogmill_kernels_layer_check SHARED ${source})
  target_link_libraries(fogmill_kernels_layer_check PRIVATE fogmill_kernels)
  target_compile_options(fogmill_kernels_layer_check PRIVATE -ffp-contract=off)
  target_link_options(fogmill_kernels_layer_check PRIVATE LINKER:--no-undefined)
endfunction()
