// Digest against RFC 2617's example and OpenSSL's MD5; NTLM against the published version 1
// vectors, type 3 read back field by field, refused challenges. (Type 1: http_test.cpp.)
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "httpclient/auth/AuthCommon.h"
#include "httpclient/auth/Digest.h"
#include "httpclient/auth/Ntlm.h"

using namespace velmora::network::component::auth;

namespace {

std::string hex(std::string_view bytes) {
  return hexBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string opensslMd5(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
  return hex(std::string_view(reinterpret_cast<const char*>(digest), size));
}

void fixRandom(std::string bytes) {
  setRandomSourceForTesting([bytes](uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(bytes[i % bytes.size()]);
  });
}

class AuthTest : public ::testing::Test {
 protected:
  void TearDown() override { setRandomSourceForTesting(nullptr); }
};

// A type 2 message: flags, the target name field and the bytes after the
// 40-byte header.
std::string type2(uint32_t flags, uint16_t nameLength = 0, uint32_t offset = 40,
                  const std::string& payload = "", const char* sig = "NTLMSSP", uint32_t type = 2) {
  const uint32_t w[] = {type, nameLength * 0x10001u, offset, flags, 0x67452301, 0xefcdab89, 0, 0};
  return base64Encode(std::string(sig, 8) +
                      std::string(reinterpret_cast<const char*>(w), sizeof(w)) + payload);
}

uint32_t le(const std::string& m, size_t at, size_t n) {
  uint32_t v = 0;
  std::memcpy(&v, m.data() + at, n);
  return v;
}

// A field of a type 3 read by its length and offset, which must lie inside.
std::string field(const std::string& m, size_t at) {
  const uint32_t length = le(m, at, 2), offset = le(m, at + 4, 4);
  const bool inside = offset >= 72 && offset + length <= m.size();
  EXPECT_TRUE(inside) << "field at " << at;
  return inside ? m.substr(offset, length) : "";
}

}  // namespace

TEST_F(AuthTest, DigestHeaderValues) {
  const char* kBody = "a=1&b=2";
  const std::string ha1 = opensslMd5(opensslMd5("u:r:p") + ":n:01020304");
  const std::string ha2 = opensslMd5("POST:/x:" + opensslMd5(kBody));
  const struct {
    std::string challenge, user, password, method, uri;
    bool server;
    std::string want;
  } cases[] = {
      {"realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
       "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
       "Mufasa", "Circle Of Life", "GET", "/dir/index.html", true,
       "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
       "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", algorithm=\"md5\", "
       "qop=\"auth\", nc=00000001, cnonce=\"0a4f113b\", "
       "response=\"6629fae49393a05397450978507c4ef1\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""},
      {"Realm=r,\tNONCE=n, qop=\"auth-int\", algorithm=MD5-sess, other=\"x,y\"", "u", "p", "POST",
       "/x", true,
       "Digest username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/x\", algorithm=\"MD5-sess\", "
       "qop=\"auth-int\", nc=00000001, cnonce=\"01020304\", response=\"" +
           opensslMd5(ha1 + ":n:00000001:01020304:auth-int:" + ha2) + "\""},
      // The proxy's header has no algorithm item; without qop no nc or cnonce.
      {"realm=\"r\", nonce=\"n\"", "u", "p", "GET", "/", false,
       "Digest username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"" +
           opensslMd5(opensslMd5("u:r:p") + ":n:" + opensslMd5("GET:/")) + "\""},
      // An unterminated quote runs to the end: no nonce, no header.
      {"realm=\"r, nonce=\"n", "u", "p", "GET", "/", true, ""},
      // A 4,000-byte nonce is no trouble; an unknown qop is refused.
      {"nonce=\"" + std::string(4000, 'n') + "\", qop=\"token\"", "u", "p", "GET", "/", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.challenge);
    fixRandom(c.user == "Mufasa" ? "\x0a\x4f\x11\x3b" : "\x01\x02\x03\x04");
    DigestState d;
    d.user = c.user;
    d.password = c.password;
    d.method = c.method;
    d.uri = c.uri;
    d.entityBody = kBody;
    d.parseChallenge(c.challenge);
    std::string value = "unset";
    EXPECT_EQ(d.headerValue(c.server, value), c.challenge.find("token") == std::string::npos);
    EXPECT_EQ(value, c.want);
    EXPECT_EQ(d.errorText, c.want.empty() && !d.nonce.empty()
                               ? "Digest authentication error: unknown qop value." : "");
  }
}

TEST_F(AuthTest, NtlmType3Responses) {
  const std::string kNtV1 = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
  const struct {
    uint32_t serverFlags;
    std::string lm, nt;
    uint32_t clientFlags;
  } cases[] = {
      {0x201, "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", kNtV1, 0xA2089205},
      {0x601, kNtV1, kNtV1, 0xA2089205},  // NT only: the LM field repeats the NT response
      {0x80206, "aaaaaaaaaaaaaaaa" + std::string(32, '0'),
       "7537f803ae367128ca458204bde7caf81e97ed2683267232", 0xA2889207},
  };
  fixRandom("\xaa");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serverFlags);
    NtlmClient ntlm;
    ntlm.setCredentials("Domain\\User", "Password");
    ASSERT_TRUE(ntlm.readType2(type2(c.serverFlags, 4, 40, "Tgt!"))) << ntlm.errorText();
    const std::string m = ntlm.type3();
    ASSERT_GE(m.size(), 72u);
    EXPECT_EQ(m.substr(0, 12), std::string("NTLMSSP\0\3\0\0\0", 12));
    EXPECT_EQ(hex(field(m, 12)), c.lm);
    EXPECT_EQ(hex(field(m, 20)), c.nt);
    EXPECT_EQ(field(m, 28), std::string("D\0o\0m\0a\0i\0n\0", 12));
    EXPECT_EQ(field(m, 36), std::string("U\0s\0e\0r\0", 8));
    EXPECT_EQ(field(m, 44) + field(m, 52), "");  // no workstation, no session key
    EXPECT_EQ(le(m, 60, 4), c.clientFlags);
    EXPECT_EQ(ntlm.targetName(), c.serverFlags & 4 ? "Tgt!" : "");
  }
}

TEST_F(AuthTest, NtlmChallengesRefused) {
  const std::string kBoundary = "Error computing Authentication Token: buffer boundary exceeded.";
  const std::string kToken = "Could not process server's NTLM authentication token: ";
  const std::pair<std::string, std::string> cases[] = {
      {"TlRMTVNTUAACAAAA!!!!", kToken + "invalid signature."},
      {"TlRMTVNTUAACAAAA", kBoundary},  // 12 bytes
      {type2(0x201, 0, 40, "", "NTLMSSX"), kToken + "invalid signature."},
      {type2(0x201, 0, 40, "", "NTLMSSP", 3), kToken + "invalid message type."},
      {type2(0x200), kToken + "no charset negotiated."},
      {type2(0x1), kToken + "no NTLM version negotiated."},
      {type2(0x205, 16, 40, "short"), kBoundary},
      {type2(0x205, 1, 0xfffffff0u), kBoundary},
  };
  for (const auto& [challenge, text] : cases) {
    SCOPED_TRACE(challenge);
    NtlmClient ntlm;
    ntlm.setCredentials("u", "p");
    EXPECT_FALSE(ntlm.readType2(challenge));
    EXPECT_EQ(ntlm.errorText(), text);
    EXPECT_EQ(ntlm.type3(), "");
  }
}
