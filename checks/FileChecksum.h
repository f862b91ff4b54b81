// Checksum of one file as upper-case hex text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "checks/SameFile.h"

namespace velmora::checks {

enum ChecksumAlgorithm : uint32_t { SHA1 = 0, SHA256 = 1, SHA384 = 2, SHA512 = 3, MD5 = 4, CRC32 = 5 };
enum ChecksumForm : uint16_t { Both = 0, Text = 1, Bytes = 2 };

class FileChecksum {
 public:
  FileChecksum(const std::string& fileName, uint32_t algorithm, uint16_t form);
  FileChecksum(const std::u16string& fileName, uint32_t algorithm, uint16_t form);
  ~FileChecksum();

  void reset();
  // The checksum is computed only when the name is still this file (the
  // one a download wrote); otherwise it fails as an unopenable file does.
  void expectFile(const BY_HANDLE_FILE_INFORMATION& file) { expectedFile = file; }
  // The checksum text; empty on failure, with lastError set.
  std::string getChecksum();
  // The digest as raw bytes (forms Both and Bytes), after getChecksum.
  const std::vector<uint8_t>& getChecksumBytes() const { return checksumBytes; }

  std::string lastError;

 private:
  bool compute();

  std::string fileName;
  std::u16string wideFileName;
  std::optional<BY_HANDLE_FILE_INFORMATION> expectedFile;
  uint32_t algorithm;
  uint16_t form;
  std::string checksumText;
  std::vector<uint8_t> checksumBytes;
};

}  // namespace velmora::checks
