#include "host/PropertyList.h"

#include <cstring>
#include <set>

#include "host/EffectInterface.h"

namespace fm::host {
namespace {

class Reader {
 public:
  Reader(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool has(size_t n) const { return n <= size_ - at_; }
  uint32_t word() {
    uint32_t v = uint32_t(data_[at_]) | uint32_t(data_[at_ + 1]) << 8 |
                 uint32_t(data_[at_ + 2]) << 16 | uint32_t(data_[at_ + 3]) << 24;
    at_ += 4;
    return v;
  }
  std::string chars(size_t n) {
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  const unsigned char* here() const { return data_ + at_; }
  void skip(size_t n) { at_ += n; }

 private:
  const unsigned char* data_;
  size_t size_;
  size_t at_ = 0;
};

uint32_t wordAt(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Decodes one property's data into the list; false with a reason when its data is malformed.
bool decode(const std::string& key, const unsigned char* data, uint32_t length, PropertyList* list,
            std::string* error) {
  const auto fixed = [&](uint32_t n) {
    if (length != n) {
      *error = "property '" + key + "' holds " + std::to_string(length) + " bytes, not " +
               std::to_string(n);
    }
    return length == n;
  };
  const auto pascal = [&](std::string* out) {
    if (length < 1 || data[0] > length - 1) {
      *error = "property '" + key + "' is a damaged text";
      return false;
    }
    out->assign(reinterpret_cast<const char*>(data + 1), data[0]);
    return true;
  };
  const auto word = [&](uint32_t* out) {
    if (!fixed(4)) return false;
    *out = wordAt(data);
    return true;
  };
  const auto versionPair = [&](uint16_t* out) {
    if (!fixed(4)) return false;
    out[0] = uint16_t(data[0] | data[1] << 8);
    out[1] = uint16_t(data[2] | data[3] << 8);
    return true;
  };

  if (key == "kind") {
    if (!fixed(4)) return false;
    list->kind.assign(reinterpret_cast<const char*>(data), 4);
    return true;
  }
  if (key == "8664") {
    const void* end = std::memchr(data, 0, length);
    if (!end) {
      *error = "property '8664' is not a terminated name";
      return false;
    }
    list->entryPoint.assign(reinterpret_cast<const char*>(data));
    return true;
  }
  if (key == "name") return pascal(&list->name);
  if (key == "catg") return pascal(&list->category);
  if (key == "eMNA") return pascal(&list->matchName);
  if (key == "eURL") return pascal(&list->url);
  if (key == "ePVR") return versionPair(list->listVersion);
  if (key == "eSVR") return versionPair(list->interfaceVersion);
  if (key == "eVER") return word(&list->version);
  if (key == "eINF") return word(&list->infoFlags);
  if (key == "eGLO") return word(&list->outFlags);
  if (key == "eGL2") return word(&list->outFlags2);
  if (key == "aeFL") return word(&list->reservedInfo);
  return true;  // a property this host does not use
}

}  // namespace

bool parsePropertyList(const unsigned char* data, size_t size, PropertyList* list,
                       std::string* error) {
  *list = PropertyList();
  Reader in(data, size);
  if (!in.has(8)) {
    *error = "the property list is truncated";
    return false;
  }
  const uint32_t version = in.word();
  const uint32_t count = in.word();
  if (version != PF_PropertyList_Version) {
    *error = "property list version " + std::to_string(version) + " is not supported";
    return false;
  }
  std::set<std::string> seen;
  for (uint32_t i = 0; i < count; ++i) {
    if (!in.has(16)) {
      *error = "the property list is truncated";
      return false;
    }
    const std::string vendor = in.chars(4);
    const std::string key = in.chars(4);
    in.word();  // id
    const uint32_t length = in.word();
    const uint32_t padded = (length + 3u) & ~3u;
    if (padded < length || !in.has(padded)) {
      *error = "property '" + key + "' runs past the end of the list";
      return false;
    }
    if (vendor != PF_PropertyList_Vendor) {
      *error = "property '" + key + "' has vendor '" + vendor + "'";
      return false;
    }
    if (!seen.insert(key).second) {
      *error = "property '" + key + "' appears twice";
      return false;
    }
    if (!decode(key, in.here(), length, list, error)) return false;
    in.skip(padded);
  }
  for (const char* required : {"kind", "name", "8664", "eVER", "eGLO", "eGL2"}) {
    if (!seen.count(required)) {
      *error = std::string("the property list has no '") + required + "'";
      return false;
    }
  }
  if (list->kind != PF_PropertyList_EffectKind) {
    *error = "the module is not an effect (kind '" + list->kind + "')";
    return false;
  }
  if (list->entryPoint.empty()) {
    *error = "the property list names no entry point";
    return false;
  }
  return true;
}

}  // namespace fm::host
