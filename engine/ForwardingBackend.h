// A backend that owns another and passes every call on to it: the base of wrappers that watch,
// count or change a few calls (instrumentation, fault injection) and leave the rest alone.
#pragma once

#include <utility>

#include "engine/Backend.h"

namespace fm {

template <class Inner>
class ForwardingBackend : public Backend {
 public:
  template <class... Args>
  explicit ForwardingBackend(Args&&... args) : inner(std::forward<Args>(args)...) {}

  bool allocImage(Buffer& b, int w, int h) override { return inner.allocImage(b, w, h); }
  void freeImage(Buffer& b) override { inner.freeImage(b); }
  bool uploadTable(Table& t, const float* v, size_t n) override { return inner.uploadTable(t, v, n); }
  void freeTable(Table& t) override { inner.freeTable(t); }
  bool launch(int k, Buffer* d, const Buffer* a, const Buffer* b, const Table* t, FMParams* p, int gw, int gh,
              double cost) override {
    return inner.launch(k, d, a, b, t, p, gw, gh, cost);
  }
  bool isGpu() const override { return inner.isGpu(); }
  bool download(const Buffer& b, void* host) override { return inner.download(b, host); }
  bool wasAborted() const override { return inner.wasAborted(); }

  Inner inner;
};

}  // namespace fm
