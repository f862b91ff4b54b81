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

#include <cerrno>
#include <cstdio>
#include <istream>
#include <memory>
#include <streambuf>

#include "platform/crt.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::checks {

namespace {

// An input stream buffer over an open stdio file. A read error surfaces as
// a bad stream, which the file source reports as its own read error.
class StdioInputBuffer : public std::streambuf {
 public:
  explicit StdioInputBuffer(FILE* file) : file_(file) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    size_t n = std::fread(buffer_, 1, sizeof buffer_, file_);
    if (n == 0) {
      // The stream turns an exception here into its bad state.
      if (std::ferror(file_)) throw std::ios_base::failure("read error");
      return traits_type::eof();
    }
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }

  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    // Positions count from the file, not from what is buffered.
    if (dir == std::ios_base::cur) off -= static_cast<off_type>(egptr() - gptr());
    int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR : SEEK_END;
    if (std::fseek(file_, static_cast<long>(off), whence) != 0) return pos_type(off_type(-1));
    setg(buffer_, buffer_, buffer_);
    long pos = std::ftell(file_);
    return pos < 0 ? pos_type(off_type(-1)) : pos_type(static_cast<off_type>(pos));
  }

  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }

 private:
  FILE* file_;
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

  FILE* file = nullptr;
  if (!fileName.empty()) {
    file = std::fopen(fileName.c_str(), "rb");
  } else if (!wideFileName.empty()) {
    file = _wfopen(wideFileName.c_str(), u"rb");
  } else {
    // No name at all reads as a file that does not exist.
    errno = ENOENT;
  }
  if (file == nullptr) {
    lastError = "Unable to open file due to error: " +
                windows_specific::systemErrorText(static_cast<DWORD>(errno));
    delete hashFilter;
    delete channelSwitch;
    return false;
  }

  StdioInputBuffer buffer(file);
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
    std::fclose(file);
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
  std::fclose(file);
  return !checksumText.empty();
}

}  // namespace velmora::checks
