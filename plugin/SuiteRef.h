// A host suite acquired by name and version for the length of a scope. A suite the host does
// not offer leaves the reference empty: the caller turns that feature off.
#pragma once

#include "host/EffectInterface.h"

namespace fm {

template <class Suite>
class SuiteRef {
 public:
  SuiteRef(const PF_InData* in, const char* name, int32_t version)
      : in_(in), name_(name), version_(version) {
    if (!in || !in->suites.acquireSuite) return;
    const void* suite = nullptr;
    held_ = in->suites.acquireSuite(in->host, name, version, &suite) == PF_Err_None;
    if (held_) suite_ = static_cast<const Suite*>(suite);
  }
  ~SuiteRef() {
    if (held_ && in_->suites.releaseSuite) in_->suites.releaseSuite(in_->host, name_, version_);
  }
  SuiteRef(const SuiteRef&) = delete;
  SuiteRef& operator=(const SuiteRef&) = delete;

  explicit operator bool() const { return suite_ != nullptr; }
  const Suite* operator->() const { return suite_; }

 private:
  const PF_InData* in_;
  const char* name_;
  int32_t version_;
  bool held_ = false;
  const Suite* suite_ = nullptr;
};

}  // namespace fm
