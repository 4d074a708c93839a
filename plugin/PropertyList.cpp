#include "plugin/PropertyList.h"

namespace fm {
namespace {

// Counts the bytes and properties of the list, and writes them when given room.
struct Sink {
  unsigned char* out = nullptr;
  size_t size = 0;
  uint32_t properties = 0;

  constexpr void byte(uint32_t v) {
    if (out) out[size] = static_cast<unsigned char>(v & 0xFFu);
    ++size;
  }
  constexpr void half(uint32_t v) {
    byte(v);
    byte(v >> 8);
  }
  constexpr void word(uint32_t v) {
    half(v);
    half(v >> 16);
  }
  constexpr void chars(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) byte(static_cast<unsigned char>(s[i]));
  }
  constexpr void pad() {
    while (size % 4) byte(0);
  }
};

constexpr size_t textLength(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr void beginProperty(Sink& s, const char* key, size_t dataLength) {
  s.chars(PF_PropertyList_Vendor, 4);
  s.chars(key, 4);
  s.word(0);
  s.word(static_cast<uint32_t>(dataLength));
  ++s.properties;
}

constexpr void fourCharProperty(Sink& s, const char* key, const char* value) {
  beginProperty(s, key, 4);
  s.chars(value, 4);
}

constexpr void pascalProperty(Sink& s, const char* key, const char* text) {
  const size_t n = textLength(text);
  if (n > 255) throw "a length-prefixed text holds at most 255 characters";
  beginProperty(s, key, n + 1);
  s.byte(static_cast<uint32_t>(n));
  s.chars(text, n);
  s.pad();
}

constexpr void cStringProperty(Sink& s, const char* key, const char* text) {
  const size_t n = textLength(text);
  beginProperty(s, key, n + 1);
  s.chars(text, n);
  s.byte(0);
  s.pad();
}

constexpr void versionProperty(Sink& s, const char* key, uint32_t major, uint32_t minor) {
  beginProperty(s, key, 4);
  s.half(major);
  s.half(minor);
}

constexpr void wordProperty(Sink& s, const char* key, uint32_t value) {
  beginProperty(s, key, 4);
  s.word(value);
}

constexpr void writePropertyList(Sink& s, uint32_t count) {
  s.word(PF_PropertyList_Version);
  s.word(count);
  fourCharProperty(s, "kind", PF_PropertyList_EffectKind);
  pascalProperty(s, "name", FM_EFFECT_NAME);
  pascalProperty(s, "catg", FM_EFFECT_CATEGORY);
  cStringProperty(s, "8664", PF_EntryPointName);
  versionProperty(s, "ePVR", 2, 0);
  versionProperty(s, "eSVR", 13, 28);
  wordProperty(s, "eVER", kEffectVersion);
  wordProperty(s, "eINF", 0);
  wordProperty(s, "eGLO", kOutFlags);
  wordProperty(s, "eGL2", kOutFlags2);
  pascalProperty(s, "eMNA", FM_EFFECT_MATCH_NAME);
  wordProperty(s, "aeFL", 0);
  pascalProperty(s, "eURL", FM_MAKER_URL);
}

constexpr Sink measure() {
  Sink s;
  writePropertyList(s, 0);
  return s;
}

struct PropertyListBytes {
  unsigned char bytes[measure().size];
};

constexpr PropertyListBytes serialise() {
  PropertyListBytes list{};
  Sink s;
  s.out = list.bytes;
  writePropertyList(s, measure().properties);
  return list;
}

// On ELF the bytes sit in their own section, where a host reads them without running the
// module; Windows builds carry the same bytes as a resource.
#if defined(__ELF__)
#define FM_PROPERTY_LIST_PLACEMENT __attribute__((section(PF_PropertyList_Section), used))
#else
#define FM_PROPERTY_LIST_PLACEMENT
#endif

alignas(4) FM_PROPERTY_LIST_PLACEMENT constexpr PropertyListBytes kPropertyList = serialise();

}  // namespace

ByteView propertyListBytes() {
  return {kPropertyList.bytes, sizeof(kPropertyList.bytes)};
}

}  // namespace fm
