// Placeholder until the content checksum is built: every computation fails
// with a text that says so.
#include "checks/FileChecksum.h"

namespace velmora::checks {

FileChecksum::FileChecksum(const std::string& name, uint32_t alg, uint16_t frm)
    : fileName(name), algorithm(alg), form(frm) {}
FileChecksum::FileChecksum(const std::u16string& name, uint32_t alg, uint16_t frm)
    : wideFileName(name), algorithm(alg), form(frm) {}
FileChecksum::~FileChecksum() = default;

void FileChecksum::reset() {
  checksumText.clear();
  checksumBytes.clear();
  fileName.clear();
  wideFileName.clear();
}

std::string FileChecksum::getChecksum() {
  compute();
  return checksumText;
}

bool FileChecksum::compute() {
  lastError = "The content checksum is not built yet";
  return false;
}

}  // namespace velmora::checks
