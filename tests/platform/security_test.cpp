// The security package through its Windows interface, against an OpenSSL
// server object that trades bytes with it through memory.
#include "platform/security.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/modules.h"
#include "tests/support/scripted_peer.h"

namespace {

constexpr ULONG kRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;


// The server: one version or a range of them, OpenSSL's suites, the
// certificates of tests/support/test_ca.sh in $TW_TEST_CA.
struct Server : tw_test::MemoryTls {
  Server(int minVersion, int maxVersion)
      : MemoryTls({.certDir = std::getenv("TW_TEST_CA"), .version = minVersion,
                   .maxVersion = maxVersion, .oneSuite = false}) {}
  // Takes the client's bytes, gives the server's answer.
  std::string exchange(const std::string& fromClient) {
    read(fromClient);
    return take();
  }
};

// The client side as the TLS layer drives it: a received-bytes buffer, the
// handshake steps over it, decryption of whole buffers.
struct Client {
  ~Client() {
    if (ctx.dwLower) DeleteSecurityContext(&ctx);
    if (cred.dwLower) FreeCredentialsHandle(&cred);
  }
  SECURITY_STATUS acquire(DWORD protocols, std::vector<ALG_ID> algs = {}, DWORD minStrength = 0,
                          const char* package = UNISP_NAME_A) {
    SCHANNEL_CRED sc{};
    sc.dwVersion = SCHANNEL_CRED_VERSION;
    sc.grbitEnabledProtocols = protocols;
    sc.cSupportedAlgs = static_cast<DWORD>(algs.size());
    sc.palgSupportedAlgs = algs.data();
    sc.dwMinimumCipherStrength = minStrength;
    sc.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    TimeStamp expiry;
    return AcquireCredentialsHandleA(nullptr, const_cast<LPSTR>(package), SECPKG_CRED_OUTBOUND,
                                     nullptr, &sc, nullptr, nullptr, &cred, &expiry);
  }
  // One InitializeSecurityContextA over the received bytes (the first call
  // has none); `pending` keeps what it left over.
  SECURITY_STATUS step(std::string& token, bool first = false) {
    SecBuffer in[2] = {{static_cast<ULONG>(pending.size()), SECBUFFER_TOKEN, pending.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in}, outDesc{SECBUFFER_VERSION, 1, out};
    ULONG attrs = 0;
    TimeStamp expiry;
    SECURITY_STATUS st = InitializeSecurityContextA(
        &cred, first ? nullptr : &ctx, first ? const_cast<LPSTR>("localhost") : nullptr,
        kRequirements, 0, SECURITY_NATIVE_DREP, first ? nullptr : &inDesc, 0, &ctx, &outDesc,
        &attrs, &expiry);
    token.assign(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
    FreeContextBuffer(out[0].pvBuffer);
    if (st == SEC_E_INCOMPLETE_MESSAGE) return st;
    pending = in[1].BufferType == SECBUFFER_EXTRA ? pending.substr(pending.size() - in[1].cbBuffer)
                                                  : std::string();
    return st;
  }
  // Handshake against `server`, a whole flight at a time.
  SECURITY_STATUS handshake(Server& server) {
    std::string token;
    SECURITY_STATUS st = step(token, true);
    for (int round = 0; round < 8 && st == SEC_I_CONTINUE_NEEDED; ++round) {
      pending += server.exchange(token);
      st = step(token);
    }
    if (st == SEC_E_OK || st < 0) lastToken = server.exchange(token);
    return st;
  }
  // Decrypts the received bytes, as the TLS layer does, until a status other
  // than SEC_E_OK or nothing is left; `bytes` keeps what is left.
  SECURITY_STATUS receive(std::string& bytes, std::string& plain) {
    SECURITY_STATUS st = SEC_E_OK;
    while (!bytes.empty() && st == SEC_E_OK) {
      SecBuffer b[4] = {{static_cast<ULONG>(bytes.size()), SECBUFFER_DATA, bytes.data()}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      st = DecryptMessage(&ctx, &desc, 0, nullptr);
      if (st == SEC_E_INCOMPLETE_MESSAGE) break;
      std::string extra;
      for (const SecBuffer& x : b) {
        const char* p = static_cast<const char*>(x.pvBuffer);
        if (x.BufferType == SECBUFFER_DATA && st == SEC_E_OK) {
          // In place: the data lies inside the caller's buffer.
          EXPECT_TRUE(!x.cbBuffer || (p > bytes.data() && p + x.cbBuffer <= &*bytes.end()));
          plain.append(p, x.cbBuffer);
        }
        if (x.BufferType == SECBUFFER_EXTRA) extra.assign(p, x.cbBuffer);
      }
      bytes = extra;
    }
    return st;
  }
  SecPkgContext_ConnectionInfo info() {
    SecPkgContext_ConnectionInfo i{};
    EXPECT_EQ(QueryContextAttributesA(&ctx, SECPKG_ATTR_CONNECTION_INFO, &i), SEC_E_OK);
    return i;
  }
  CredHandle cred{};
  CtxtHandle ctx{};
  std::string pending;
  std::string lastToken;  // the server's answer to the handshake's last token
};

using SecurityTest = ::testing::Test;

// What the TLS layer and Negotiate read of an open context: the largest
// record the sender makes, and the channel bindings, the SHA-256 of the
// (SHA-256 signed) server certificate.
TEST_F(SecurityTest, StreamSizesAndChannelBindings) {
  Server server(TLS1_3_VERSION, TLS1_3_VERSION);
  Client client;
  ASSERT_EQ(client.acquire(0), SEC_E_OK);
  ASSERT_EQ(client.handshake(server), SEC_E_OK);
  SecPkgContext_StreamSizes sizes{};
  ASSERT_EQ(QueryContextAttributesA(&client.ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
  EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
  PCCERT_CONTEXT cert = nullptr;
  SecPkgContext_Bindings b{};
  ASSERT_EQ(QueryContextAttributesA(&client.ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert), SEC_E_OK);
  ASSERT_EQ(QueryContextAttributesA(&client.ctx, SECPKG_ATTR_ENDPOINT_BINDINGS, &b), SEC_E_OK);
  unsigned char hash[32];
  EVP_Digest(cert->pbCertEncoded, cert->cbCertEncoded, hash, nullptr, EVP_sha256(), nullptr);
  CertFreeCertificateContext(cert);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.Bindings) + b.Bindings->dwApplicationDataOffset,
                        b.Bindings->cbApplicationDataLength),
            "tls-server-end-point:" + std::string(reinterpret_cast<char*>(hash), 32));
  EXPECT_EQ(b.BindingsLength, sizeof(SEC_CHANNEL_BINDINGS) + 21 + 32);
  FreeContextBuffer(b.Bindings);
}

// Protocol bits, algorithm lists and strengths: what is refused, and what
// the connection uses.
TEST_F(SecurityTest, CredentialsChooseVersionsAndSuites) {
  constexpr int v10 = TLS1_VERSION, v12 = TLS1_2_VERSION, v13 = TLS1_3_VERSION;
  constexpr SECURITY_STATUS ok = SEC_E_OK, refused = SEC_E_ALGORITHM_MISMATCH;
  // clang-format off
  struct Row {
    const char* name; DWORD protocols; std::vector<ALG_ID> algs; DWORD minStrength;
    int serverMin, serverMax; SECURITY_STATUS acquired, handshake; DWORD protocol; ALG_ID cipher, hash;
  };
  const Row rows[] = {
      {"bits 0: TLS 1.3", 0, {}, 0, v10, v13, ok, ok, 0x2000, CALG_AES_256, CALG_SHA_384},
      {"bits 0: TLS 1.2", 0, {}, 0, v10, v12, ok, ok, 0x800, CALG_AES_256, CALG_SHA_384},
      {"server bit", SP_PROT_TLS1_2_SERVER, {}, 0, v10, v13, ok, ok, 0x800, CALG_AES_256, CALG_SHA_384},
      {"TLS 1.0 of the default bits", 0xF0, {}, 0, v10, v13, ok, ok, 0x80, CALG_AES_256, CALG_SHA1},
      {"TLS 1.1", SP_PROT_TLS1_1_CLIENT, {}, 0, v10, v13, ok, ok, 0x200, CALG_AES_256, CALG_SHA1},
      {"SSL and PCT only", 0x2f, {}, 0, 0, 0, refused, 0, 0, 0, 0},
      {"server refuses 1.2", SP_PROT_TLS1_2_CLIENT, {}, 0, v13, v13, ok, refused, 0, 0, 0},
      {"client refuses 1.2", SP_PROT_TLS1_3_CLIENT, {}, 0, v12, v12, ok, refused, 0, 0, 0},
      {"AES-128 only", 0, {CALG_AES_128}, 0, v10, v13, ok, ok, 0x2000, CALG_AES_128, CALG_SHA_256},
      {"AES-128, TLS 1.2", 0x800, {CALG_AES_128, CALG_RSA_SIGN}, 0, v10, v13, ok, ok, 0x800, CALG_AES_128, CALG_SHA_256},
      {"SHA-1 MACs leave 1.3 out", 0, {CALG_SHA1}, 0, v10, v13, ok, ok, 0x800, CALG_AES_256, CALG_SHA1},
      {"strength 256", 0x800, {}, 256, v10, v13, ok, ok, 0x800, CALG_AES_256, CALG_SHA_384},
      {"RC4 only", 0, {CALG_RC4}, 0, 0, 0, refused, 0, 0, 0, 0},
      {"no suite for an EC key", 0, {CALG_DH_EPHEM}, 0, v10, v13, ok, refused, 0, 0, 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Client client;
    ASSERT_EQ(client.acquire(row.protocols, row.algs, row.minStrength), row.acquired);
    if (row.acquired != SEC_E_OK) continue;
    Server server(row.serverMin, row.serverMax);
    EXPECT_EQ(client.handshake(server), row.handshake);
    if (row.handshake == SEC_E_OK) {
      SecPkgContext_ConnectionInfo i = client.info();
      EXPECT_EQ(i.dwProtocol, row.protocol);
      EXPECT_EQ(i.aiCipher, row.cipher);
      EXPECT_EQ(i.dwCipherStrength, row.cipher == CALG_AES_128 ? 128u : 256u);
      EXPECT_EQ(i.aiHash, row.hash);
      EXPECT_EQ(i.aiExch, static_cast<ALG_ID>(CALG_ECDH_EPHEM));
      EXPECT_GT(i.dwExchStrength, 250u);
    }
  }
  Client other;
  EXPECT_EQ(other.acquire(0, {}, 0, "Kerberos"), SEC_E_SECPKG_NOT_FOUND);
}

// Bytes that are no TLS record fail at once; a header announcing more than
// 18,432 bytes too; a record that does not decrypt is a bad record.
TEST_F(SecurityTest, GarbageAndOversizedRecords) {
  // clang-format off
  struct Row { const char* name; std::string bytes; SECURITY_STATUS status; };
  const Row rows[] = {
      {"text", "HTTP/1.1 200 OK\r\n", SEC_E_DECRYPT_FAILURE},
      {"one byte", "\x47", SEC_E_DECRYPT_FAILURE},
      {"oversized", std::string("\x17\x03\x03\x48\x01", 5), SEC_E_DECRYPT_FAILURE},
      {"largest", std::string("\x17\x03\x03\x48\x00", 5), SEC_E_INCOMPLETE_MESSAGE},
      {"bad MAC", "", SEC_E_DECRYPT_FAILURE},  // a data record with one bit changed
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Client during;
    ASSERT_EQ(during.acquire(0), SEC_E_OK);
    std::string token;
    ASSERT_EQ(during.step(token, true), SEC_I_CONTINUE_NEEDED);
    during.pending = row.bytes;
    if (!row.bytes.empty()) {
      EXPECT_EQ(during.step(token), row.status);
    }

    Server server(TLS1_2_VERSION, TLS1_3_VERSION);
    Client after;
    ASSERT_EQ(after.acquire(0), SEC_E_OK);
    ASSERT_EQ(after.handshake(server), SEC_E_OK);
    std::string bytes = row.bytes, plain;
    if (row.bytes.empty()) {
      bytes = after.lastToken + server.write("secret");
      bytes[bytes.size() - 1] ^= 1;
    }
    EXPECT_EQ(after.receive(bytes, plain), row.status);
  }
}

}  // namespace
