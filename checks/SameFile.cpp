#include "checks/SameFile.h"

#include "platform/errors.h"

namespace velmora::checks {

HANDLE openSameFile(const std::string& path, DWORD shareMode,
                    const BY_HANDLE_FILE_INFORMATION* expected) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || expected == nullptr) return file;
  BY_HANDLE_FILE_INFORMATION found;
  if (GetFileInformationByHandle(file, &found) &&
      found.dwFileAttributes == FILE_ATTRIBUTE_NORMAL &&
      found.dwVolumeSerialNumber == expected->dwVolumeSerialNumber &&
      found.nFileIndexHigh == expected->nFileIndexHigh &&
      found.nFileIndexLow == expected->nFileIndexLow) {
    return file;
  }
  CloseHandle(file);
  SetLastError(ERROR_FILE_INVALID);
  return INVALID_HANDLE_VALUE;
}

}  // namespace velmora::checks
