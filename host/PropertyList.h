// A module's property list as the host reads it from the module file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fm::host {

struct PropertyList {
  std::string kind;                       // "kind"
  std::string name;                       // "name"
  std::string category;                   // "catg"
  std::string entryPoint;                 // "8664"
  std::string matchName;                  // "eMNA"
  std::string url;                        // "eURL"
  uint16_t listVersion[2] = {0, 0};       // "ePVR" major, minor
  uint16_t interfaceVersion[2] = {0, 0};  // "eSVR" major, minor
  uint32_t version = 0;                   // "eVER"
  uint32_t infoFlags = 0;                 // "eINF"
  uint32_t outFlags = 0;                  // "eGLO"
  uint32_t outFlags2 = 0;                 // "eGL2"
  uint32_t reservedInfo = 0;              // "aeFL"
};

// Parses and checks the bytes: the layout, the vendor of every property, an effect's kind, and
// the properties a host needs (name, entry point, version and both flag words).
bool parsePropertyList(const unsigned char* data, size_t size, PropertyList* list,
                       std::string* error);

}  // namespace fm::host
