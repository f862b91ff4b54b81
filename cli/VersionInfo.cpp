#include "cli/VersionInfo.h"

#include <cstdio>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/version.h"
#include "winsupport/Exceptions.h"

namespace velmora::cli_helper {

using velmora::windows_specific::ExceptionWin32Wrapper;

std::string narrow(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out += static_cast<char>(c & 0xFF);
  return out;
}

boost::shared_ptr<FormattedVersionInfo> readVersionInfo(DWORD languageAndCodePage) {
  WCHAR path[MAX_PATH] = {0};
  if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
    throw ExceptionWin32Wrapper(GetLastError());
  }
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) throw ExceptionWin32Wrapper(GetLastError());
  std::vector<BYTE> data(size, 0);
  if (!GetFileVersionInfoW(path, handle, size, data.data())) {
    throw ExceptionWin32Wrapper(GetLastError());
  }

  boost::shared_ptr<FormattedVersionInfo> info(new FormattedVersionInfo());
  struct Field {
    const char* name;
    std::u16string FormattedVersionInfo::*member;
  };
  static const Field kFields[] = {
      {"Comments", &FormattedVersionInfo::Comments},
      {"CompanyName", &FormattedVersionInfo::CompanyName},
      {"FileDescription", &FormattedVersionInfo::FileDescription},
      {"FileVersion", &FormattedVersionInfo::FileVersion},
      {"ProductName", &FormattedVersionInfo::ProductName},
      {"ProductVersion", &FormattedVersionInfo::ProductVersion},
      {"InternalName", &FormattedVersionInfo::InternalName},
      {"LegalCopyright", &FormattedVersionInfo::LegalCopyright},
      {"LegalTrademarks", &FormattedVersionInfo::LegalTrademarks},
      {"OriginalFilename", &FormattedVersionInfo::OriginalFilename},
      {"PrivateBuild", &FormattedVersionInfo::PrivateBuild},
      {"SpecialBuild", &FormattedVersionInfo::SpecialBuild},
  };
  char lang[9];
  std::snprintf(lang, sizeof lang, "%08x", languageAndCodePage);
  for (const Field& f : kFields) {
    std::string query = std::string("\\StringFileInfo\\") + lang + "\\" + f.name;
    std::u16string wideQuery(query.begin(), query.end());
    LPVOID value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), wideQuery.c_str(), &value, &length) && value != nullptr &&
        length > 0) {
      const WCHAR* text = static_cast<const WCHAR*>(value);
      std::u16string s(text, length);
      while (!s.empty() && s.back() == 0) s.pop_back();
      (*info).*(f.member) = s;
    }
  }
  return info;
}

}  // namespace velmora::cli_helper
