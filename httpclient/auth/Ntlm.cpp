#include "httpclient/auth/Ntlm.h"

#include <crypto++/des.h>
#include <crypto++/md4.h>
#include <crypto++/md5.h>

#include <cstring>

#include "httpclient/auth/AuthCommon.h"
#include "platform/text.h"

namespace velmora::network::component::auth {

namespace {

constexpr const char* kTextSignature =
    "Could not process server's NTLM authentication token: invalid signature.";
constexpr const char* kTextType =
    "Could not process server's NTLM authentication token: invalid message type.";
constexpr const char* kTextCharset =
    "Could not process server's NTLM authentication token: no charset negotiated.";
constexpr const char* kTextVersion =
    "Could not process server's NTLM authentication token: no NTLM version negotiated.";
constexpr const char* kTextBoundary =
    "Error computing Authentication Token: buffer boundary exceeded.";

constexpr uint32_t kUnicode = 0x1, kOem = 0x2, kRequestTarget = 0x4, kNtlm = 0x200,
                   kNtOnly = 0x400, kOemDomain = 0x1000, kExtendedSecurity = 0x80000,
                   kTargetInfo = 0x800000;
constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
// Product version unset, NTLM revision 15.
constexpr char kVersion[8] = {0, 0, 0, 0, 0, 0, 0, 15};
constexpr size_t kType2Header = 32;  // up to the server challenge

void put16(std::string& m, size_t at, size_t v) {
  m[at] = static_cast<char>(v & 0xff);
  m[at + 1] = static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string& m, size_t at, uint32_t v) {
  put16(m, at, v & 0xffff);
  put16(m, at + 2, v >> 16);
}

uint32_t get32(std::string_view m, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(static_cast<uint8_t>(m[at + i])) << (8 * i);
  }
  return v;
}

// A message's fixed part: signature, type, then zeros up to the payload.
std::string header(uint32_t type, size_t size) {
  std::string m(size, '\0');
  std::memcpy(m.data(), kSignature, sizeof(kSignature));
  put32(m, 8, type);
  return m;
}

// Appends the bytes as the payload of the field whose length, maximum
// length and offset are at `at`.
void putField(std::string& m, size_t at, std::string_view bytes) {
  put16(m, at, bytes.size());
  put16(m, at + 2, bytes.size());
  put32(m, at + 4, static_cast<uint32_t>(m.size()));
  m.append(bytes);
}

std::string utf16le(std::string_view text) {
  std::string out;
  for (char16_t unit : tw_platform::utf8ToUtf16(std::string(text))) {
    out += static_cast<char>(unit & 0xff);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

// DES of one block under a 7-byte key spread over 8 bytes (parity bits 0).
void des7(const uint8_t* key7, const uint8_t* in, uint8_t* out) {
  const uint8_t key[8] = {
      key7[0],
      static_cast<uint8_t>(key7[0] << 7 | key7[1] >> 1),
      static_cast<uint8_t>(key7[1] << 6 | key7[2] >> 2),
      static_cast<uint8_t>(key7[2] << 5 | key7[3] >> 3),
      static_cast<uint8_t>(key7[3] << 4 | key7[4] >> 4),
      static_cast<uint8_t>(key7[4] << 3 | key7[5] >> 5),
      static_cast<uint8_t>(key7[5] << 2 | key7[6] >> 6),
      static_cast<uint8_t>(key7[6] << 1),
  };
  CryptoPP::DES::Encryption des(key, sizeof(key));
  des.ProcessBlock(in, out);
}

// The 24-byte response of a 16-byte hash over an 8-byte challenge.
std::string desResponse(const uint8_t* hash16, const uint8_t* challenge) {
  uint8_t key[21] = {};
  std::memcpy(key, hash16, 16);
  uint8_t out[24];
  for (int i = 0; i < 3; ++i) des7(key + 7 * i, challenge, out + 8 * i);
  return std::string(reinterpret_cast<const char*>(out), sizeof(out));
}

void ntHash(const std::string& password, uint8_t* hash16) {
  const std::string unicode = utf16le(password);
  CryptoPP::Weak::MD4().CalculateDigest(
      hash16, reinterpret_cast<const uint8_t*>(unicode.data()), unicode.size());
}

void lmHash(const std::string& password, uint8_t* hash16) {
  uint8_t key[14] = {};
  for (size_t i = 0; i < password.size() && i < sizeof(key); ++i) {
    key[i] = static_cast<uint8_t>(tw_platform::asciiUpper(password[i]));
  }
  static const uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  des7(key, kMagic, hash16);
  des7(key + 7, kMagic, hash16 + 8);
}

}  // namespace

void NtlmClient::setCredentials(std::string_view user, std::string_view password) {
  const size_t slash = user.find('\\');
  domain_ = slash == std::string_view::npos ? "" : user.substr(0, slash);
  user_ = slash == std::string_view::npos ? user : user.substr(slash + 1);
  password_ = password;
  flags_ = kClientFlags | (domain_.empty() ? 0 : kOemDomain);
  serverFlags_ = 0;
  haveChallenge_ = false;
  targetName_.clear();
  errorText_.clear();
}

std::string NtlmClient::type1() {
  std::string m = header(1, 40);
  put32(m, 12, flags_);
  putField(m, 16, domain_);
  putField(m, 24, "");
  std::memcpy(m.data() + 32, kVersion, sizeof(kVersion));
  return m;
}

bool NtlmClient::readType2(std::string_view base64) {
  haveChallenge_ = false;
  std::string m;
  if (!base64Decode(base64, m) || m.size() < 8 || std::memcmp(m.data(), kSignature, 8) != 0) {
    errorText_ = kTextSignature;
    return false;
  }
  if (m.size() < 12 || get32(m, 8) != 2) {
    errorText_ = kTextType;
    return false;
  }
  if (m.size() < kType2Header) {
    errorText_ = kTextBoundary;
    return false;
  }
  serverFlags_ = get32(m, 20);
  if (serverFlags_ & kUnicode) flags_ &= ~kOem;
  if (!(serverFlags_ & (kUnicode | kOem))) {
    errorText_ = kTextCharset;
    return false;
  }
  if (!(serverFlags_ & (kNtlm | kExtendedSecurity))) {
    errorText_ = kTextVersion;
    return false;
  }
  if (serverFlags_ & kRequestTarget) {
    const size_t length = static_cast<uint8_t>(m[12]) | static_cast<uint8_t>(m[13]) << 8;
    const size_t offset = get32(m, 16);
    if (offset > m.size() || length > m.size() - offset) {
      errorText_ = kTextBoundary;
      return false;
    }
    targetName_ = m.substr(offset, length);
    flags_ |= kTargetInfo;
  }
  std::memcpy(serverChallenge_, m.data() + 24, 8);
  haveChallenge_ = true;
  return true;
}

std::string NtlmClient::type3() {
  if (!haveChallenge_) return "";
  uint8_t nt[16];
  ntHash(password_, nt);
  std::string lmResponse, ntResponse;
  if (serverFlags_ & kExtendedSecurity) {
    uint8_t client[8];
    randomBytes(client, sizeof(client));
    for (uint8_t& b : client) b = b == 0 ? 1 : b;  // each byte 1 to 255
    uint8_t both[16], digest[16];
    std::memcpy(both, serverChallenge_, 8);
    std::memcpy(both + 8, client, 8);
    CryptoPP::Weak::MD5().CalculateDigest(digest, both, sizeof(both));
    lmResponse.assign(reinterpret_cast<const char*>(client), 8);
    lmResponse.append(16, '\0');
    ntResponse = desResponse(nt, digest);
  } else {
    ntResponse = desResponse(nt, serverChallenge_);
    if (serverFlags_ & kNtOnly) {
      lmResponse = ntResponse;
    } else {
      uint8_t lm[16];
      lmHash(password_, lm);
      lmResponse = desResponse(lm, serverChallenge_);
    }
  }
  // Fields at 12 to 59, the flags at 60, the version at 64, the payload after it.
  std::string m = header(3, 72);
  putField(m, 28, utf16le(domain_));
  putField(m, 36, utf16le(user_));
  putField(m, 44, "");
  putField(m, 12, lmResponse);
  putField(m, 20, ntResponse);
  putField(m, 52, "");
  put32(m, 60, flags_);
  std::memcpy(m.data() + 64, kVersion, sizeof(kVersion));
  return m;
}

}  // namespace velmora::network::component::auth
