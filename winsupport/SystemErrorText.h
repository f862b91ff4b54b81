// The system's message text for a Win32 error code.
#pragma once

#include <string>

#include "platform/win32types.h"

namespace velmora::windows_specific {

// The text without its final blank; the code in decimal when the system has
// no text for it.
std::string systemErrorText(DWORD code);
std::u16string systemErrorTextW(DWORD code);

}  // namespace velmora::windows_specific
