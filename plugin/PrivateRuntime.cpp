// The module carries its own C++ runtime. That runtime sets aside an emergency exception pool
// when the module is loaded; handing it back when the module is unloaded keeps a host that
// loads and unloads the module from losing the pool each time.
#if defined(FM_PRIVATE_CXX_RUNTIME)

namespace __gnu_cxx {
void __freeres();
}

namespace {

__attribute__((destructor)) void releasePrivateRuntime() {
  __gnu_cxx::__freeres();
}

}  // namespace

#endif
