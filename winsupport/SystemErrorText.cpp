#include "winsupport/SystemErrorText.h"

#include <cstdio>

#include "platform/errors.h"

namespace velmora::windows_specific {

std::string systemErrorText(DWORD code) {
  char buffer[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                           code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), buffer,
                           sizeof buffer, nullptr);
  if (n == 0) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(code));
    return number;
  }
  std::string text(buffer, n);
  if (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::u16string systemErrorTextW(DWORD code) {
  WCHAR buffer[256] = {0};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                           code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), buffer,
                           sizeof buffer / sizeof buffer[0], nullptr);
  if (n == 0) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(code));
    std::u16string out;
    for (const char* p = number; *p; ++p) out += static_cast<char16_t>(*p);
    return out;
  }
  std::u16string text(buffer, n);
  if (!text.empty() && text.back() == u' ') text.pop_back();
  return text;
}

}  // namespace velmora::windows_specific
