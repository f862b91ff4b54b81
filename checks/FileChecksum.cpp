// Checksum of a file: the file is streamed through a Crypto++ hash filter
// and the digest hex-encoded in upper case.
#include "checks/FileChecksum.h"

#include <crypto++/channels.h>
#include <crypto++/crc.h>
#include <crypto++/files.h>
#include <crypto++/filters.h>
#include <crypto++/hex.h>
#include <crypto++/md5.h>
#include <crypto++/sha.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/errors.h"
#include "platform/text.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::checks {

namespace {

// Bytes read from the file at a time: large enough that the pipeline's
// per-call cost vanishes against the hash, small enough to stay in the
// cache between the read and the hash.
constexpr DWORD kReadBlockBytes = 256 * 1024;
// The read buffer starts on a page, so that the kernel copies whole pages
// and the hash reads aligned blocks.
constexpr size_t kReadBlockAlignment = 4096;

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};

std::unique_ptr<CryptoPP::HashTransformation> makeHash(uint32_t algorithm) {
  switch (algorithm) {
    case SHA1: return std::make_unique<CryptoPP::SHA1>();
    case SHA384: return std::make_unique<CryptoPP::SHA384>();
    case SHA512: return std::make_unique<CryptoPP::SHA512>();
    case MD5: return std::make_unique<CryptoPP::Weak1::MD5>();
    case CRC32: return std::make_unique<CryptoPP::CRC32>();
    default: return std::make_unique<CryptoPP::SHA256>();
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// Two hex digits per byte; nothing for a text shorter than two characters.
bool hexToBytes(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() < 2) return false;
  std::vector<uint8_t> out(text.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(hexValue(text[2 * i]) * 16 + hexValue(text[2 * i + 1]));
  }
  bytes.swap(out);
  return true;
}

}  // namespace

FileChecksum::FileChecksum(const std::string& name, uint32_t alg, uint16_t frm) {
  reset();
  fileName = name;
  algorithm = alg;
  form = frm;
}

FileChecksum::FileChecksum(const std::u16string& name, uint32_t alg, uint16_t frm) {
  reset();
  wideFileName = name;
  algorithm = alg;
  form = frm;
}

FileChecksum::~FileChecksum() { reset(); }

void FileChecksum::reset() {
  expectedFile.reset();
  checksumText.clear();
  checksumBytes.clear();
  fileName.clear();
  wideFileName.clear();
}

std::string FileChecksum::getChecksum() {
  if (checksumText.empty()) compute();
  if (checksumText.empty() && !checksumBytes.empty()) {
    char digits[3];
    for (uint8_t b : checksumBytes) {
      std::snprintf(digits, sizeof digits, "%.2X", b);  // two digits, upper case
      checksumText += digits;
    }
  }
  return checksumText;
}

bool FileChecksum::compute() {
  std::unique_ptr<CryptoPP::HashTransformation> hash = makeHash(algorithm);
  // The filter keeps the whole digest in its own output buffer.
  auto* hashFilter = new CryptoPP::HashFilter(*hash);
  CryptoPP::ChannelSwitch channelSwitch;
  channelSwitch.AddDefaultRoute(*hashFilter);

  // No name at all reads as a file that does not exist.
  const std::string name =
      !fileName.empty() ? fileName : tw_platform::utf16ToUtf8(wideFileName);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (name.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
  } else {
    file = openSameFile(name, FILE_SHARE_READ, expectedFile ? &*expectedFile : nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) {
    lastError = "Unable to open file due to error: " +
                windows_specific::systemErrorText(GetLastError());
    delete hashFilter;
    return false;
  }

  // The file goes through the switch to the hash filter in large blocks,
  // then the end of the message makes the filter compute the digest. A
  // read error fails as the file store's own does.
  try {
    std::unique_ptr<uint8_t, AlignedFree> block(
        static_cast<uint8_t*>(std::aligned_alloc(kReadBlockAlignment, kReadBlockBytes)));
    if (!block) throw std::bad_alloc();
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(file, block.get(), kReadBlockBytes, &n, nullptr)) {
        throw CryptoPP::FileStore::ReadErr();
      }
      if (n == 0) break;
      channelSwitch.Put(block.get(), n);
    }
    channelSwitch.MessageEnd();
  } catch (const CryptoPP::Exception& e) {
    lastError = std::string("Unable to read file due to error: ") + e.what();
    delete hashFilter;
    CloseHandle(file);
    return false;
  }

  std::string encoded;
  try {
    CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(encoded), true, 0, ":", "");
    hashFilter->TransferTo(encoder, CryptoPP::LWORD_MAX, CryptoPP::DEFAULT_CHANNEL);
  } catch (const CryptoPP::Exception& e) {
    lastError = std::string("Unable to encode due to error: ") + e.what();
    encoded.clear();
  }
  delete hashFilter;

  if (form == Both || form == Text) checksumText = encoded;
  if (form == Both || form == Bytes) hexToBytes(encoded.empty() ? checksumText : encoded, checksumBytes);

  CloseHandle(file);
  return !checksumText.empty();
}

}  // namespace velmora::checks
