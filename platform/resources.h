// Resource sections: data the build adds to an executable as non-loaded ELF
// sections, read back from the file, as the program reads resources from its
// own image on Windows.
#pragma once

#include <string>
#include <vector>

#include "platform/win32types.h"

namespace tw_platform {

// Section names of the resource kinds.
inline constexpr const char* kVersionSection = ".tw_version";
inline constexpr const char* kMessageSection = ".tw_messages";

// Reads the named section of the ELF file at path into data. On failure sets
// the last error and returns false: the file's open error, 1812 when the file
// is not an executable image, 1813 when it has no such section.
bool readResourceSection(const std::string& path, const char* section, std::vector<BYTE>& data);

// One node of a version block: a key, a value (text or binary) and children.
struct VersionNode {
  std::u16string key;
  bool text = true;
  std::u16string textValue;
  std::vector<BYTE> binaryValue;
  std::vector<VersionNode> children;
};

// Serialises a version block in the Windows layout: each node is wLength,
// wValueLength, wType, the zero-terminated UTF-16 key, padding to 32 bits, the
// value, padding, then its children, each on a 32-bit boundary.
std::vector<BYTE> serializeVersionNode(const VersionNode& node);

}  // namespace tw_platform
