// The security package through its Windows interface, against an OpenSSL
// server object that trades bytes with it through memory.
#include "platform/security.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/certificates.h"
#include "platform/modules.h"

namespace {

constexpr ULONG kRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;

std::string g_certs;  // the output folder of tests/support/test_ca.sh

std::string drain(BIO* bio) {
  std::string bytes(BIO_ctrl_pending(bio), '\0');
  if (!bytes.empty()) BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

// Bytes in the complete TLS records at the start of `b`.
size_t completeRecords(const std::string& b) {
  size_t pos = 0;
  while (pos + 5 <= b.size()) {
    size_t size =
        5 + ((size_t{static_cast<BYTE>(b[pos + 3])} << 8) | static_cast<BYTE>(b[pos + 4]));
    if (pos + size > b.size()) break;
    pos += size;
  }
  return pos;
}

SSL_CTX* serverContext(int minVersion, int maxVersion) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, minVersion);
  SSL_CTX_set_max_proto_version(ctx, maxVersion);
  EXPECT_EQ(SSL_CTX_use_certificate_chain_file(ctx, (g_certs + "/valid-chain.pem").c_str()), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx, (g_certs + "/valid.key").c_str(), SSL_FILETYPE_PEM),
            1);
  return ctx;
}

struct Server {
  explicit Server(SSL_CTX* ctx)
      : ssl(SSL_new(ctx)), in(BIO_new(BIO_s_mem())), out(BIO_new(BIO_s_mem())) {
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
    SSL_set_app_data(ssl, this);
    SSL_set_msg_callback(ssl,
                         [](int write, int, int type, const void* buf, size_t len, SSL* s, void*) {
                           auto* self = static_cast<Server*>(SSL_get_app_data(s));
                           if (!write && type == SSL3_RT_ALERT && len == 2) {
                             const auto* b = static_cast<const BYTE*>(buf);
                             self->alerts.push_back({b[0], b[1]});
                           }
                         });
  }
  ~Server() { SSL_free(ssl); }
  // Takes the client's bytes, gives the server's answer.
  std::string exchange(const std::string& fromClient) {
    read(fromClient);
    return drain(out);
  }
  // Takes the client's bytes, gives the data in them.
  std::string read(const std::string& fromClient) {
    BIO_write(in, fromClient.data(), static_cast<int>(fromClient.size()));
    std::string got;
    char buf[4096];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }
  std::string write(const std::string& data) {
    EXPECT_EQ(SSL_write(ssl, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    return drain(out);
  }
  SSL* ssl;
  BIO* in;
  BIO* out;
  std::vector<std::pair<int, int>> alerts;  // level and number of alerts received
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
  // Handshake against `server`, handing over its bytes `chunk` at a time
  // (0: whole flights). Each call must leave exactly the bytes after the
  // complete records, and consume nothing while none is complete.
  SECURITY_STATUS handshake(Server& server, size_t chunk = 0) {
    std::string token;
    SECURITY_STATUS st = step(token, true);
    auto running = [&] {
      return st == SEC_I_CONTINUE_NEEDED || st == SEC_I_INCOMPLETE_CREDENTIALS ||
             st == SEC_E_INCOMPLETE_MESSAGE;
    };
    for (int round = 0; round < 8 && running(); ++round) {
      std::string flight = server.exchange(token);
      token.clear();
      for (size_t pos = 0; pos < flight.size() && running();) {
        size_t n = chunk ? chunk : flight.size();
        pending += flight.substr(pos, n);
        pos += n;
        for (bool again = true; again && running();) {
          size_t whole = completeRecords(pending), before = pending.size();
          bool resuming = st == SEC_I_INCOMPLETE_CREDENTIALS;
          std::string t;
          st = step(t);
          token += t;
          if (whole == 0 && !resuming) {
            EXPECT_EQ(st, SEC_E_INCOMPLETE_MESSAGE);
            EXPECT_EQ(pending.size(), before);
            break;
          }
          EXPECT_NE(st, SEC_E_INCOMPLETE_MESSAGE);
          // All complete records are used, but where a client certificate
          // is asked for: the rest waits for the next call.
          if (st == SEC_I_CONTINUE_NEEDED) {
            EXPECT_EQ(pending.size(), before - whole);
          }
          if (st == SEC_I_INCOMPLETE_CREDENTIALS) ++credentialRequests;
          again = !pending.empty() || st == SEC_I_INCOMPLETE_CREDENTIALS;
        }
      }
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
  std::string encrypt(const std::string& data) {
    SecPkgContext_StreamSizes sizes{};
    EXPECT_EQ(QueryContextAttributesA(&ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
    EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
    std::string wire;
    for (size_t pos = 0; pos < data.size(); pos += sizes.cbMaximumMessage) {
      std::string chunk = data.substr(pos, sizes.cbMaximumMessage);
      std::string record(sizes.cbHeader + chunk.size() + sizes.cbTrailer, '\0');
      record.replace(sizes.cbHeader, chunk.size(), chunk);
      SecBuffer b[4] = {
          {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<ULONG>(chunk.size()), SECBUFFER_DATA, record.data() + sizes.cbHeader},
          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
           record.data() + sizes.cbHeader + chunk.size()},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      EXPECT_EQ(EncryptMessage(&ctx, 0, &desc, 0), SEC_E_OK);
      std::string sent = std::string(record.data(), b[0].cbBuffer) +
                         std::string(record.data() + sizes.cbHeader, b[1].cbBuffer) +
                         std::string(record.data() + sizes.cbHeader + chunk.size(), b[2].cbBuffer);
      EXPECT_EQ(completeRecords(sent), sent.size());  // header + data + trailer: whole records
      wire += sent;
    }
    return wire;
  }
  // ApplyControlToken with `token`, then the InitializeSecurityContextA call
  // that hands out what it asks for.
  std::string control(const void* token, ULONG size) {
    SecBuffer b{size, SECBUFFER_TOKEN, const_cast<void*>(token)};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &b};
    EXPECT_EQ(ApplyControlToken(&ctx, &desc), SEC_E_OK);
    pending.clear();
    std::string out;
    EXPECT_EQ(step(out), SEC_E_OK);
    return out;
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
  int credentialRequests = 0;
};

class SecurityTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/tw_security_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    g_certs = dir;
    std::string cmd = std::string(std::getenv("TW_TEST_CA")) + " " + g_certs + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  static void TearDownTestSuite() { std::system(("rm -rf " + g_certs).c_str()); }
};

// Data both ways (a send over one record), the server's certificate, and
// close_notify from either side, after a handshake fed whole or a byte at a time.
TEST_F(SecurityTest, HandshakeDataAndClose) {
  // clang-format off
  struct Row { int version; size_t chunk; bool serverCloses; DWORD protocol; };
  for (Row row : {Row{TLS1_2_VERSION, 0, true, 0x800}, Row{TLS1_2_VERSION, 1, false, 0x800},
                  Row{TLS1_3_VERSION, 0, false, 0x2000}, Row{TLS1_3_VERSION, 1, true, 0x2000}}) {
    // clang-format on
    SCOPED_TRACE(row.version * 10 + static_cast<int>(row.chunk));
    SSL_CTX* sctx = serverContext(row.version, row.version);
    Server server(sctx);
    Client client;
    ASSERT_EQ(client.acquire(0), SEC_E_OK);
    ASSERT_EQ(client.handshake(server, row.chunk), SEC_E_OK);
    EXPECT_EQ(client.info().dwProtocol, row.protocol);

    PCCERT_CONTEXT cert = nullptr;
    ASSERT_EQ(QueryContextAttributesA(&client.ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert),
              SEC_E_OK);
    X509* leaf = SSL_get_certificate(server.ssl);
    unsigned char* der = nullptr;
    int n = i2d_X509(leaf, &der);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cert->pbCertEncoded), cert->cbCertEncoded),
              std::string(reinterpret_cast<char*>(der), static_cast<size_t>(n)));
    OPENSSL_free(der);
    CertFreeCertificateContext(cert);

    std::string big(40000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    EXPECT_TRUE(server.read(client.encrypt(big)) == big);

    // Server data in one buffer, with TLS 1.3 tickets in front, cut short.
    std::string answer = client.lastToken + server.write("first");
    answer += server.write(big);
    std::string plain, bytes = answer.substr(0, answer.size() - 3);
    EXPECT_EQ(client.receive(bytes, plain), SEC_E_INCOMPLETE_MESSAGE);
    EXPECT_TRUE(plain == "first" + big.substr(0, 16384 * 2));
    EXPECT_EQ(bytes.size(),
              answer.size() - completeRecords(answer.substr(0, answer.size() - 3)) - 3);
    bytes += answer.substr(answer.size() - 3);
    EXPECT_EQ(client.receive(bytes, plain), SEC_E_OK);
    EXPECT_TRUE(plain == "first" + big);

    if (row.serverCloses) {
      SSL_shutdown(server.ssl);
      bytes = drain(server.out);
      EXPECT_EQ(client.receive(bytes, plain), SEC_I_CONTEXT_EXPIRED);
    }
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    std::string notify = client.control(&shutdown, sizeof shutdown);
    EXPECT_EQ(server.read(notify), "");
    EXPECT_EQ(completeRecords(notify), notify.size());
    EXPECT_EQ(server.alerts.back(), (std::pair<int, int>{SSL3_AL_WARNING, SSL_AD_CLOSE_NOTIFY}));
    SSL_CTX_free(sctx);
  }
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
    SSL_CTX* sctx = serverContext(row.serverMin, row.serverMax);
    Server server(sctx);
    EXPECT_EQ(client.handshake(server), row.handshake);
    if (row.handshake == SEC_E_OK) {
      SecPkgContext_ConnectionInfo i = client.info();
      EXPECT_EQ(i.dwProtocol, row.protocol);
      EXPECT_EQ(i.aiCipher, row.cipher);
      EXPECT_EQ(i.dwCipherStrength, row.cipher == CALG_AES_128 ? 128u : 256u);
      EXPECT_EQ(i.aiHash, row.hash);
      EXPECT_EQ(i.aiExch, static_cast<ALG_ID>(CALG_ECDH_EPHEM));
      EXPECT_GT(i.dwExchStrength, 250u);
      EXPECT_EQ(server.read(client.encrypt("ping")), "ping");
    }
    SSL_CTX_free(sctx);
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
    SSL_CTX* sctx = serverContext(TLS1_2_VERSION, TLS1_3_VERSION);
    Client during;
    ASSERT_EQ(during.acquire(0), SEC_E_OK);
    std::string token;
    ASSERT_EQ(during.step(token, true), SEC_I_CONTINUE_NEEDED);
    during.pending = row.bytes;
    if (!row.bytes.empty()) {
      EXPECT_EQ(during.step(token), row.status);
    }

    Server server(sctx);
    Client after;
    ASSERT_EQ(after.acquire(0), SEC_E_OK);
    ASSERT_EQ(after.handshake(server), SEC_E_OK);
    std::string bytes = row.bytes, plain;
    if (row.bytes.empty()) {
      bytes = after.lastToken + server.write("secret");
      bytes[bytes.size() - 1] ^= 1;
    }
    EXPECT_EQ(after.receive(bytes, plain), row.status);
    SSL_CTX_free(sctx);
  }
}

}  // namespace
