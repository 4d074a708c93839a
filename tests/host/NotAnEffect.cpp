// A shared library with an entry point of the right name but no property list.
extern "C" __attribute__((visibility("default"))) int EffectMain() {
  return 0;
}
