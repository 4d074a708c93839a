#include "engine/BlurDispatch.h"

namespace fm {

// Each kind's runner joins this switch as it is built; until then its frames fail
// with the driver's "render failed" rather than rendering something wrong.
bool dispatchBlur(const BlurRequest& request) {
  switch (request.settings->blurType) {
    default:
      return false;
  }
}

}  // namespace fm
