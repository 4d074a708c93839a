// Writes the property list to a file, for the Windows resource script to embed.
#include <cstdio>

#include "plugin/PropertyList.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  const fm::ByteView list = fm::propertyListBytes();
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  const bool written = std::fwrite(list.data, 1, list.size, f) == list.size;
  if (std::fclose(f) != 0 || !written) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
