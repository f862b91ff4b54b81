// UTF-8 <-> UTF-16 conversion for paths and texts that cross the platform
// boundary (UTF-8 is the process code page). Invalid input becomes U+FFFD.
#pragma once

#include <string>

namespace tw_platform {

std::u16string utf8ToUtf16(const std::string& s);
std::string utf16ToUtf8(const std::u16string& s);

}  // namespace tw_platform
