// Reads the strings of the program file's own version resource.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "platform/win32types.h"

namespace velmora::cli_helper {

struct FormattedVersionInfo {
  std::u16string Comments;
  std::u16string CompanyName;
  std::u16string FileDescription;
  std::u16string FileVersion;
  std::u16string ProductName;
  std::u16string ProductVersion;
  std::u16string InternalName;
  std::u16string LegalCopyright;
  std::u16string LegalTrademarks;
  std::u16string OriginalFilename;
  std::u16string PrivateBuild;
  std::u16string SpecialBuild;
};

// Throws ExceptionWin32Wrapper when the module path, the size of the version
// information or the information itself cannot be had. A single missing
// string stays empty.
boost::shared_ptr<FormattedVersionInfo> readVersionInfo(DWORD languageAndCodePage);

// Narrows a wide text by keeping the low byte of each unit.
std::string narrow(const std::u16string& text);

}  // namespace velmora::cli_helper
