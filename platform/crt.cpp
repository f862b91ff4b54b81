#include "platform/crt.h"

#include <cerrno>

#include "platform/detail.h"

FILE* _wfopen(const WCHAR* fileName, const WCHAR* mode) {
  if (fileName == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string name = tw_platform::utf16ToUtf8(fileName);
  const std::string narrowMode = tw_platform::utf16ToUtf8(mode);
  return std::fopen(name.c_str(), narrowMode.c_str());
}
