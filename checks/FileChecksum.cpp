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
#include <istream>
#include <memory>
#include <streambuf>

#include "platform/errors.h"
#include "platform/text.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::checks {

namespace {

// An input stream buffer over an open file handle. A read error surfaces as
// a bad stream, which the file source reports as its own read error.
class HandleInputBuffer : public std::streambuf {
 public:
  explicit HandleInputBuffer(HANDLE file) : file_(file) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    DWORD n = 0;
    // The stream turns an exception here into its bad state.
    if (!ReadFile(file_, buffer_, sizeof buffer_, &n, nullptr)) {
      throw std::ios_base::failure("read error");
    }
    if (n == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }

  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    // Positions count from the file, not from what is buffered.
    if (dir == std::ios_base::cur) off -= static_cast<off_type>(egptr() - gptr());
    const DWORD method = dir == std::ios_base::beg   ? FILE_BEGIN
                         : dir == std::ios_base::cur ? FILE_CURRENT
                                                     : FILE_END;
    LONG high = static_cast<LONG>(off >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(file_, static_cast<LONG>(off & 0xFFFFFFFF), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
      return pos_type(off_type(-1));
    }
    setg(buffer_, buffer_, buffer_);
    const uint64_t pos = static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32 | low;
    return pos_type(static_cast<off_type>(pos));
  }

  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }

 private:
  HANDLE file_;
  char buffer_[65536];
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
  auto* channelSwitch = new CryptoPP::ChannelSwitch;
  channelSwitch->AddDefaultRoute(*hashFilter);
  // The source owns the switch from here on.
  std::unique_ptr<CryptoPP::FileSource> source;

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
    delete channelSwitch;
    return false;
  }

  HandleInputBuffer buffer(file);
  std::istream stream(&buffer);
  try {
    source = std::make_unique<CryptoPP::FileSource>(channelSwitch);
    channelSwitch = nullptr;
    source->IsolatedInitialize(
        CryptoPP::MakeParameters(CryptoPP::Name::InputStreamPointer(), &stream));
    source->PumpAll();
  } catch (const CryptoPP::Exception& e) {
    lastError = std::string("Unable to read file due to error: ") + e.what();
    delete hashFilter;
    delete channelSwitch;
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

  stream.rdbuf(nullptr);
  CloseHandle(file);
  return !checksumText.empty();
}

}  // namespace velmora::checks
