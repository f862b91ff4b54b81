#include "httpclient/auth/AuthCommon.h"

#include <crypto++/base64.h>
#include <crypto++/filters.h>
#include <crypto++/md5.h>

#include <cstdlib>
#include <utility>

#include "platform/random.h"

namespace velmora::network::component::auth {

namespace {

std::function<void(uint8_t*, size_t)>& randomSource() {
  static std::function<void(uint8_t*, size_t)> source;
  return source;
}

bool base64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  CryptoPP::StringSource(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size(),
                         true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
  return out;
}

bool base64Decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  // The decoder skips what it does not know; a challenge with stray bytes is
  // refused here instead.
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  for (size_t i = 0; i < text.size() - padding; ++i) {
    if (!base64Letter(text[i])) return false;
  }
  CryptoPP::StringSource(reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size(), true,
                         new CryptoPP::Base64Decoder(new CryptoPP::StringSink(bytes)));
  return true;
}

std::string hexBytes(const uint8_t* bytes, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::string md5Hex(std::string_view bytes) {
  CryptoPP::Weak::MD5 md5;
  CryptoPP::byte digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  md5.CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(bytes.data()),
                      bytes.size());
  return hexBytes(digest, sizeof(digest));
}

void randomBytes(uint8_t* out, size_t length) {
  if (randomSource()) {
    randomSource()(out, length);
    return;
  }
  // A nonce that is not random would be worse than no request: without the
  // system's source there is nothing safe to go on with.
  if (!RtlGenRandom(out, static_cast<ULONG>(length))) std::abort();
}

void setRandomSourceForTesting(std::function<void(uint8_t*, size_t)> source) {
  randomSource() = std::move(source);
}

}  // namespace velmora::network::component::auth
