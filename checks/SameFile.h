// The page file a download wrote is known by its volume and file index, so
// that what reads or removes it afterwards makes sure it is that same file
// and not one put at its name meanwhile (the name is predictable and its
// folder shared).
#pragma once

#include <string>

#include "platform/files.h"

namespace velmora::checks {

// Opens path for reading (a link is never followed). With an expected file,
// the handle is returned only when path is that same regular file;
// otherwise INVALID_HANDLE_VALUE with the last error 1006.
HANDLE openSameFile(const std::string& path, DWORD shareMode,
                    const BY_HANDLE_FILE_INFORMATION* expected);

}  // namespace velmora::checks
