// The security package on OpenSSL: one SSL object per context, fed through a
// pair of memory BIOs with whole TLS records only, so that the bytes a call
// did not use are known exactly (OpenSSL's read-ahead stays off).
#include "platform/security.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/security_detail.h"
#include "platform/text.h"

using tw_platform::sspi::findBuffer;
using tw_platform::sspi::never;

namespace {

constexpr size_t kRecordHeader = 5;
// 16,384 bytes of data plus 2,048 of expansion: the largest record TLS 1.2
// allows. A header announcing more is no TLS record.
constexpr size_t kMaxRecordBody = 18432;
constexpr ULONG kMaxMessage = 16384;
// A TLS 1.3 key update that the server requested is answered by OpenSSL in
// front of the next record we encrypt: header room is kept for that record
// (5 header + 5 message + 1 content type + 16 tag bytes).
constexpr ULONG kKeyUpdateRecord = 27;
constexpr int kHandshakeRecord = 22;

// ---------------------------------------------------------------------------
// Cipher suites with a CryptoAPI description.

struct Suite {
  const SSL_CIPHER* cipher;
  ALG_ID aiCipher;
  DWORD cipherBits;
  ALG_ID aiHash;  // the MAC hash, or the PRF hash of an AEAD suite
  DWORD hashBits;
  ALG_ID aiExch;
  bool aead;
  int minVersion;
  int maxVersion;
};

std::optional<Suite> describe(const SSL_CIPHER* c) {
  // The oldest version a suite works with; TLS 1.3 suites work with no other.
  std::string since = SSL_CIPHER_get_version(c);
  int minVersion = since == "TLSv1.3"   ? TLS1_3_VERSION
                   : since == "TLSv1.2" ? TLS1_2_VERSION
                                        : TLS1_VERSION;
  Suite s{c,
          0,
          0,
          0,
          0,
          0,
          SSL_CIPHER_is_aead(c) == 1,
          minVersion,
          minVersion == TLS1_3_VERSION ? TLS1_3_VERSION : TLS1_2_VERSION};
  switch (SSL_CIPHER_get_cipher_nid(c)) {
    case NID_aes_128_gcm:
    case NID_aes_128_cbc:
      s.aiCipher = CALG_AES_128;
      s.cipherBits = 128;
      break;
    case NID_aes_256_gcm:
    case NID_aes_256_cbc:
      s.aiCipher = CALG_AES_256;
      s.cipherBits = 256;
      break;
    default: return std::nullopt;  // no CryptoAPI identifier (ChaCha20, CCM, ...)
  }
  switch (SSL_CIPHER_get_auth_nid(c)) {
    case NID_auth_rsa:
    case NID_auth_ecdsa:
    case NID_auth_any: break;
    default: return std::nullopt;  // anonymous, PSK, SRP, DSS
  }
  switch (SSL_CIPHER_get_kx_nid(c)) {
    case NID_kx_ecdhe:
    case NID_kx_any: s.aiExch = CALG_ECDH_EPHEM; break;
    case NID_kx_dhe: s.aiExch = CALG_DH_EPHEM; break;
    case NID_kx_rsa: s.aiExch = CALG_RSA_KEYX; break;
    default: return std::nullopt;
  }
  int hashNid = NID_undef;
  if (s.aead) {
    const EVP_MD* md = SSL_CIPHER_get_handshake_digest(c);
    if (md != nullptr) hashNid = EVP_MD_get_type(md);
  } else {
    hashNid = SSL_CIPHER_get_digest_nid(c);
  }
  switch (hashNid) {
    case NID_sha1:
      s.aiHash = CALG_SHA1;
      s.hashBits = 160;
      break;
    case NID_sha256:
      s.aiHash = CALG_SHA_256;
      s.hashBits = 256;
      break;
    case NID_sha384:
      s.aiHash = CALG_SHA_384;
      s.hashBits = 384;
      break;
    default: return std::nullopt;
  }
  return s;
}

ALG_ID algClass(ALG_ID a) { return a & 0xe000; }
constexpr ALG_ID kClassCipher = 0x6000;
constexpr ALG_ID kClassHash = 0x8000;
constexpr ALG_ID kClassExchange = 0xa000;

bool algMatches(ALG_ID listed, const Suite& s) {
  switch (algClass(listed)) {
    case kClassCipher: return listed == s.aiCipher || (listed == CALG_AES && s.cipherBits > 0);
    case kClassHash: return listed == s.aiHash;
    case kClassExchange:
      return listed == s.aiExch || (listed == CALG_ECDH && s.aiExch == CALG_ECDH_EPHEM);
    default: return false;
  }
}

// A listed algorithm restricts its own class (cipher, hash, key exchange):
// a suite passes when, for every class the list names, it uses one of them.
bool suiteAllowed(const Suite& s, const SCHANNEL_CRED& cred) {
  if (cred.dwMinimumCipherStrength != 0 && s.cipherBits < cred.dwMinimumCipherStrength)
    return false;
  if (cred.dwMaximumCipherStrength != 0 && s.cipherBits > cred.dwMaximumCipherStrength)
    return false;
  for (ALG_ID cls : {kClassCipher, kClassHash, kClassExchange}) {
    bool named = false, matched = false;
    for (DWORD i = 0; i < cred.cSupportedAlgs; ++i) {
      ALG_ID a = cred.palgSupportedAlgs[i];
      if (algClass(a) != cls) continue;
      named = true;
      matched = matched || algMatches(a, s);
    }
    if (named && !matched) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Credentials, contexts and their handles.

struct Credential {
  int minVersion = 0;
  int maxVersion = 0;
  uint64_t versionHoles = 0;  // SSL_OP_NO_TLSv1_x between min and max
  std::string cipherList;     // TLS 1.2 and older
  std::string cipherSuites;   // TLS 1.3
  std::mutex sessionLock;
  SSL_SESSION* session = nullptr;  // the last session a context made from this handle got

  ~Credential() { SSL_SESSION_free(session); }
};

enum class Phase { kHandshake, kOpen, kRenegotiationPending, kClosed, kFailed };

struct Context {
  std::shared_ptr<Credential> cred;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // records from the server, read by OpenSSL
  BIO* out = nullptr;  // records OpenSSL wrote for the server
  Phase phase = Phase::kHandshake;
  bool started = false;
  bool certificateAsked = false;   // SEC_I_INCOMPLETE_CREDENTIALS was given
  bool certificatePaused = false;  // the handshake waits for the next call
  DWORD control = 0;               // SCHANNEL_SHUTDOWN or SCHANNEL_ALERT to act on
  std::string helloRequest;        // the held record of a pending renegotiation
  SECURITY_STATUS failure = SEC_E_OK;
  std::vector<unsigned char> plain = std::vector<unsigned char>(kMaxRecordBody);

  ~Context() {
    // OpenSSL drops the session of a connection freed without close_notify;
    // a context that did not fail leaves it for the next one to resume.
    if (ssl != nullptr && phase != Phase::kFailed && SSL_is_init_finished(ssl)) {
      SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    }
    SSL_free(ssl);  // frees both BIOs
  }
};

// Handle words: dwUpper tells credentials from contexts.
constexpr ULONG_PTR kCredentialTag = 0x43726564;
constexpr ULONG_PTR kContextTag = 0x43747874;

tw_platform::sspi::HandleTable<Credential, kCredentialTag> g_credentials;
tw_platform::sspi::HandleTable<Context, kContextTag> g_contexts;

// ---------------------------------------------------------------------------
// The process-wide OpenSSL context, made at the first credentials.

SSL_CTX* g_ctx = nullptr;
std::vector<Suite> g_suites;
std::once_flag g_ctxOnce;

Context* contextOf(SSL* ssl) { return static_cast<Context*>(SSL_get_app_data(ssl)); }

int keepSession(SSL* ssl, SSL_SESSION* session) {
  Context* ctx = contextOf(ssl);
  if (ctx == nullptr) return 0;
  std::lock_guard<std::mutex> lock(ctx->cred->sessionLock);
  SSL_SESSION_free(ctx->cred->session);
  ctx->cred->session = session;
  return 1;  // the reference is ours now
}

// No client certificate is ever offered: the first request pauses the
// handshake once (SEC_I_INCOMPLETE_CREDENTIALS), then it goes on without one.
int clientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
  Context* ctx = contextOf(ssl);
  if (ctx == nullptr || ctx->certificateAsked) return 0;
  ctx->certificateAsked = true;
  return -1;
}

void makeProcessContext() {
  SSL_CTX* c = SSL_CTX_new(TLS_client_method());
  if (c == nullptr) return;
  SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_options(c, SSL_OP_NO_COMPRESSION | SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(c, keepSession);
  SSL_CTX_set_client_cert_cb(c, clientCertificate);
  // Every suite OpenSSL knows, to pick those with a CryptoAPI description.
  SSL* probe = SSL_new(c);
  if (probe == nullptr || SSL_set_cipher_list(probe, "ALL:@SECLEVEL=0") != 1 ||
      SSL_set_ciphersuites(probe, "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256") != 1) {
    SSL_free(probe);
    SSL_CTX_free(c);
    return;
  }
  STACK_OF(SSL_CIPHER)* all = SSL_get_ciphers(probe);
  for (int i = 0; i < sk_SSL_CIPHER_num(all); ++i) {
    if (auto s = describe(sk_SSL_CIPHER_value(all, i))) g_suites.push_back(*s);
  }
  SSL_free(probe);
  g_ctx = c;
}

// ---------------------------------------------------------------------------
// Records and buffers.

struct RecordScan {
  bool bad = false;     // the first record's header is no TLS record header
  size_t first = 0;     // size of the first record when it is complete
  size_t complete = 0;  // bytes in the complete records at the start
};

bool headerByteBad(const BYTE* p, size_t have) {
  if (have >= 1 && (p[0] < 20 || p[0] > 24)) return true;
  if (have >= 2 && p[1] != 3) return true;
  if (have >= kRecordHeader && ((size_t{p[3]} << 8) | p[4]) > kMaxRecordBody) return true;
  return false;
}

// Walks the record headers; a bad header after good records ends the walk
// (it is met as the first record of the next call).
RecordScan scanRecords(const BYTE* p, size_t n) {
  RecordScan scan;
  size_t pos = 0;
  while (pos < n) {
    size_t left = n - pos;
    if (headerByteBad(p + pos, left)) {
      scan.bad = pos == 0;
      break;
    }
    if (left < kRecordHeader) break;
    size_t size = kRecordHeader + ((size_t{p[pos + 3]} << 8) | p[pos + 4]);
    if (left < size) break;
    if (pos == 0) scan.first = size;
    pos += size;
  }
  scan.complete = pos;
  return scan;
}

std::string drain(BIO* bio) {
  std::string bytes(BIO_ctrl_pending(bio), '\0');
  if (!bytes.empty()) {
    int n = BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  return bytes;
}

void setBuffer(SecBuffer& b, ULONG type, void* p, size_t size) {
  b.BufferType = type;
  b.pvBuffer = p;
  b.cbBuffer = static_cast<ULONG>(size);
}

// The status for what OpenSSL's error queue holds after a failed call.
SECURITY_STATUS statusFromErrors() {
  unsigned long e = 0;
  unsigned long err;
  while ((err = ERR_get_error()) != 0) {
    if (e == 0 && ERR_GET_LIB(err) == ERR_LIB_SSL) e = err;
  }
  if (e == 0) return SEC_E_INTERNAL_ERROR;
  int reason = ERR_GET_REASON(e);
  if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
    switch (reason - SSL_AD_REASON_OFFSET) {  // an alert the peer sent
      case SSL_AD_HANDSHAKE_FAILURE:
      case SSL_AD_PROTOCOL_VERSION:
      case SSL_AD_INSUFFICIENT_SECURITY: return SEC_E_ALGORITHM_MISMATCH;
      default: return SEC_E_ILLEGAL_MESSAGE;
    }
  }
  switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_WRONG_SSL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_WRONG_CIPHER_RETURNED:
    case SSL_R_UNKNOWN_CIPHER_RETURNED: return SEC_E_ALGORITHM_MISMATCH;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_BAD_RECORD_TYPE:
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
    case SSL_R_DATA_LENGTH_TOO_LONG:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_TOO_SMALL:
    case SSL_R_BAD_LENGTH: return SEC_E_DECRYPT_FAILURE;
    case ERR_R_MALLOC_FAILURE:
    case ERR_R_INTERNAL_ERROR: return SEC_E_INTERNAL_ERROR;
    default: return SEC_E_ILLEGAL_MESSAGE;
  }
}

SECURITY_STATUS fail(Context& ctx, SECURITY_STATUS status) {
  ctx.phase = Phase::kFailed;
  ctx.failure = status;
  return status;
}

bool tls13(const Context& ctx) { return SSL_version(ctx.ssl) >= TLS1_3_VERSION; }

std::optional<Suite> currentSuite(const Context& ctx) {
  const SSL_CIPHER* c = SSL_get_current_cipher(ctx.ssl);
  return c == nullptr ? std::nullopt : describe(c);
}

// Bytes between the record header and the encrypted data: the explicit
// nonce of TLS 1.2 GCM, the IV of CBC from TLS 1.1 on.
size_t explicitIv(const Context& ctx, const Suite& s) {
  if (tls13(ctx)) return 0;
  if (s.aead) return 8;
  return SSL_version(ctx.ssl) >= TLS1_1_VERSION ? 16 : 0;
}

std::string derOf(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  std::string bytes(n > 0 ? reinterpret_cast<const char*>(der) : "",
                    n > 0 ? static_cast<size_t>(n) : 0);
  OPENSSL_free(der);
  return bytes;
}

// The server's certificate, with the others it sent as the context's store.
PCCERT_CONTEXT remoteCertificate(const Context& ctx) {
  X509* leaf = SSL_get0_peer_certificate(ctx.ssl);
  if (leaf == nullptr) return nullptr;
  std::vector<std::string> others;
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ctx.ssl);  // the leaf first, on a client
  for (int i = 1; chain != nullptr && i < sk_X509_num(chain); ++i) {
    others.push_back(derOf(sk_X509_value(chain, i)));
  }
  return tw_platform::certContextFromPeer(derOf(leaf), others);
}

// The tls-server-end-point bindings: the prefix and the hash of the server
// certificate, with SHA-256 standing in for MD5 and SHA-1 (and for a
// signature without a single hash).
SECURITY_STATUS endpointBindings(const Context& ctx, SecPkgContext_Bindings& out) {
  X509* leaf = SSL_get0_peer_certificate(ctx.ssl);
  if (leaf == nullptr) return SEC_E_NO_CREDENTIALS;
  int hashNid = NID_undef;
  X509_get_signature_info(leaf, &hashNid, nullptr, nullptr, nullptr);
  const EVP_MD* md = hashNid == NID_md5 || hashNid == NID_sha1 || hashNid == NID_undef
                         ? EVP_sha256()
                         : EVP_get_digestbynid(hashNid);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (md == nullptr || X509_digest(leaf, md, digest, &length) != 1) {
    ERR_clear_error();
    return SEC_E_INTERNAL_ERROR;
  }
  static const char kPrefix[] = "tls-server-end-point:";
  const size_t data = sizeof kPrefix - 1 + length, total = sizeof(SEC_CHANNEL_BINDINGS) + data;
  auto* b = static_cast<SEC_CHANNEL_BINDINGS*>(std::calloc(1, total));
  if (b == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  b->cbApplicationDataLength = static_cast<ULONG>(data);
  b->dwApplicationDataOffset = sizeof(SEC_CHANNEL_BINDINGS);
  char* p = reinterpret_cast<char*>(b) + sizeof(SEC_CHANNEL_BINDINGS);
  std::memcpy(p, kPrefix, sizeof kPrefix - 1);
  std::memcpy(p + sizeof kPrefix - 1, digest, length);
  out.BindingsLength = static_cast<ULONG>(total);
  out.Bindings = b;
  return SEC_E_OK;
}

bool isIpLiteral(const char* host) {
  unsigned char addr[16];
  return inet_pton(AF_INET, host, addr) == 1 || inet_pton(AF_INET6, host, addr) == 1;
}

std::shared_ptr<Context> makeContext(const std::shared_ptr<Credential>& cred, const char* target) {
  auto ctx = std::make_shared<Context>();
  ctx->cred = cred;
  ctx->ssl = SSL_new(g_ctx);
  ctx->in = BIO_new(BIO_s_mem());
  ctx->out = BIO_new(BIO_s_mem());
  if (ctx->ssl == nullptr || ctx->in == nullptr || ctx->out == nullptr) {
    BIO_free(ctx->in);
    BIO_free(ctx->out);
    return nullptr;
  }
  BIO_set_mem_eof_return(ctx->in, -1);
  SSL_set_bio(ctx->ssl, ctx->in, ctx->out);
  SSL_set_app_data(ctx->ssl, ctx.get());
  SSL_set_connect_state(ctx->ssl);
  SSL_set_min_proto_version(ctx->ssl, cred->minVersion);
  SSL_set_max_proto_version(ctx->ssl, cred->maxVersion);
  SSL_set_options(ctx->ssl, cred->versionHoles | SSL_OP_NO_RENEGOTIATION);
  // The old versions need the old signature hashes and key sizes.
  if (cred->minVersion < TLS1_2_VERSION) SSL_set_security_level(ctx->ssl, 0);
  if ((!cred->cipherList.empty() && SSL_set_cipher_list(ctx->ssl, cred->cipherList.c_str()) != 1) ||
      SSL_set_ciphersuites(ctx->ssl, cred->cipherSuites.c_str()) != 1) {
    return nullptr;
  }
  if (target != nullptr && *target != '\0' && !isIpLiteral(target) &&
      SSL_set_tlsext_host_name(ctx->ssl, target) != 1) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(cred->sessionLock);
  if (cred->session != nullptr && SSL_SESSION_is_resumable(cred->session)) {
    SSL_set_session(ctx->ssl, cred->session);
  }
  return ctx;
}

// ---------------------------------------------------------------------------
// Handshake steps.

struct Input {
  const BYTE* bytes = nullptr;
  size_t size = 0;
  PSecBuffer extra = nullptr;  // the second input buffer, for SECBUFFER_EXTRA
};

Input inputOf(PSecBufferDesc desc) {
  Input in;
  PSecBuffer token = findBuffer(desc, SECBUFFER_TOKEN);
  if (token != nullptr && token->pvBuffer != nullptr) {
    in.bytes = static_cast<const BYTE*>(token->pvBuffer);
    in.size = token->cbBuffer;
  }
  if (desc != nullptr && desc->pBuffers != nullptr && desc->cBuffers >= 2 &&
      token == &desc->pBuffers[0]) {
    in.extra = &desc->pBuffers[1];
  }
  return in;
}

void reportExtra(const Input& in, size_t extra) {
  if (in.extra == nullptr) return;
  if (extra > 0) {
    setBuffer(*in.extra, SECBUFFER_EXTRA, nullptr, extra);
  } else if (in.extra->BufferType == SECBUFFER_EXTRA) {
    setBuffer(*in.extra, SECBUFFER_EMPTY, nullptr, 0);
  }
}

// Feeds the complete records of the input from `offset` on and runs the
// handshake; `progress` tells that something was consumed already.
SECURITY_STATUS handshakeStep(Context& ctx, const Input& in, size_t offset, bool progress,
                              std::string& token) {
  RecordScan scan = scanRecords(in.bytes + offset, in.size - offset);
  if (scan.bad) return fail(ctx, SEC_E_DECRYPT_FAILURE);
  bool resume = !ctx.started || ctx.certificatePaused;
  if (scan.complete == 0 && !resume) {
    if (!progress) return SEC_E_INCOMPLETE_MESSAGE;
    reportExtra(in, in.size - offset);
    return SEC_I_CONTINUE_NEEDED;
  }
  ctx.started = true;
  ctx.certificatePaused = false;
  if (scan.complete > 0) BIO_write(ctx.in, in.bytes + offset, static_cast<int>(scan.complete));
  int r = SSL_do_handshake(ctx.ssl);
  int err = SSL_get_error(ctx.ssl, r);
  size_t extra = BIO_ctrl_pending(ctx.in) + (in.size - offset - scan.complete);
  BIO_reset(ctx.in);
  token += drain(ctx.out);
  reportExtra(in, extra);
  if (r == 1) {
    ctx.phase = Phase::kOpen;
    return SEC_E_OK;
  }
  if (err == SSL_ERROR_WANT_READ) return SEC_I_CONTINUE_NEEDED;
  if (err == SSL_ERROR_WANT_X509_LOOKUP) {
    ctx.certificatePaused = true;
    return SEC_I_INCOMPLETE_CREDENTIALS;
  }
  return fail(ctx, statusFromErrors());
}

// The answer to a held HelloRequest: the refusal's alert, or the ClientHello
// of the new handshake followed by whatever the input holds.
SECURITY_STATUS answerRenegotiation(Context& ctx, const Input& in, std::string& token) {
  bool refuse = ctx.control == SCHANNEL_ALERT;
  ctx.control = 0;
  if (refuse) {
    SSL_set_options(ctx.ssl, SSL_OP_NO_RENEGOTIATION);
  } else {
    SSL_clear_options(ctx.ssl, SSL_OP_NO_RENEGOTIATION);
  }
  std::string held = std::move(ctx.helloRequest);
  ctx.helloRequest.clear();
  BIO_write(ctx.in, held.data(), static_cast<int>(held.size()));
  int r = SSL_read(ctx.ssl, ctx.plain.data(), static_cast<int>(ctx.plain.size()));
  BIO_reset(ctx.in);
  token = drain(ctx.out);
  if (r > 0 || SSL_get_error(ctx.ssl, r) != SSL_ERROR_WANT_READ) {
    return fail(ctx, statusFromErrors());
  }
  SSL_set_options(ctx.ssl, SSL_OP_NO_RENEGOTIATION);
  if (refuse) {
    ctx.phase = Phase::kOpen;
    return SEC_E_OK;
  }
  ctx.phase = Phase::kHandshake;
  // A caller may hand the HelloRequest record in again: it was used already.
  size_t offset = 0;
  if (in.size >= held.size() && std::memcmp(in.bytes, held.data(), held.size()) == 0) {
    offset = held.size();
  }
  return handshakeStep(ctx, in, offset, true, token);
}

SECURITY_STATUS contextStep(Context& ctx, const Input& in, std::string& token) {
  if (ctx.phase == Phase::kFailed) return ctx.failure;
  if (ctx.control == SCHANNEL_SHUTDOWN) {
    ctx.control = 0;
    if (!SSL_in_init(ctx.ssl)) SSL_shutdown(ctx.ssl);
    ERR_clear_error();
    token = drain(ctx.out);
    ctx.phase = Phase::kClosed;
    return SEC_E_OK;
  }
  if (ctx.phase == Phase::kClosed) return SEC_E_CONTEXT_EXPIRED;
  if (ctx.phase == Phase::kRenegotiationPending) return answerRenegotiation(ctx, in, token);
  return handshakeStep(ctx, in, 0, false, token);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared with the Negotiate package.

namespace tw_platform::sspi {

ULONG_PTR nextHandleNumber() {
  static std::atomic<ULONG_PTR> next{1};
  return next.fetch_add(1);
}

PSecBuffer findBuffer(PSecBufferDesc desc, ULONG type) {
  if (desc == nullptr || desc->pBuffers == nullptr) return nullptr;
  for (ULONG i = 0; i < desc->cBuffers; ++i) {
    if (desc->pBuffers[i].BufferType == type) return &desc->pBuffers[i];
  }
  return nullptr;
}

SECURITY_STATUS putToken(PSecBufferDesc desc, const std::string& token, bool allocate) {
  PSecBuffer out = findBuffer(desc, SECBUFFER_TOKEN);
  if (out == nullptr) return token.empty() ? SEC_E_OK : SEC_E_BUFFER_TOO_SMALL;
  if (allocate) {
    out->pvBuffer = nullptr;
    out->cbBuffer = 0;
    if (token.empty()) return SEC_E_OK;
    out->pvBuffer = std::malloc(token.size());
    if (out->pvBuffer == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  } else if (token.size() > out->cbBuffer || (!token.empty() && out->pvBuffer == nullptr)) {
    return SEC_E_BUFFER_TOO_SMALL;
  }
  if (!token.empty()) std::memcpy(out->pvBuffer, token.data(), token.size());
  out->cbBuffer = static_cast<ULONG>(token.size());
  return SEC_E_OK;
}

void never(PTimeStamp t) {
  if (t != nullptr) *t = SECURITY_INTEGER{0xffffffffu, 0x7fffffff};
}

}  // namespace tw_platform::sspi

// ---------------------------------------------------------------------------

SECURITY_STATUS AcquireCredentialsHandleA(LPSTR, LPSTR pszPackage, ULONG fCredentialUse, void*,
                                          void* pAuthData, SEC_GET_KEY_FN, void*,
                                          PCredHandle phCredential, PTimeStamp ptsExpiry) {
  if (tw_platform::sspi::isNegotiatePackage(pszPackage)) {
    return tw_platform::sspi::negotiateAcquire(fCredentialUse, pAuthData, phCredential, ptsExpiry);
  }
  if (pszPackage == nullptr || !tw_platform::equalsNoCase(pszPackage, UNISP_NAME_A)) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  if (phCredential == nullptr) return SEC_E_INVALID_PARAMETER;
  // A server needs a certificate, which this package does not take.
  if ((fCredentialUse & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_NO_CREDENTIALS;
  SCHANNEL_CRED defaults{};
  defaults.dwVersion = SCHANNEL_CRED_VERSION;
  const SCHANNEL_CRED& sc = pAuthData ? *static_cast<const SCHANNEL_CRED*>(pAuthData) : defaults;
  if (sc.dwVersion != SCHANNEL_CRED_VERSION || sc.cCreds != 0 ||
      (sc.cSupportedAlgs != 0 && sc.palgSupportedAlgs == nullptr)) {
    return SEC_E_UNKNOWN_CREDENTIALS;
  }
  std::call_once(g_ctxOnce, makeProcessContext);
  if (g_ctx == nullptr) return SEC_E_INTERNAL_ERROR;

  // Versions: either bit (server or client) of each; none at all means
  // TLS 1.2 and 1.3. SSL and PCT are not offered.
  struct Version {
    DWORD bits;
    int version;
    uint64_t off;
  };
  const Version versions[] = {
      {SP_PROT_TLS1_SERVER | SP_PROT_TLS1_CLIENT, TLS1_VERSION, SSL_OP_NO_TLSv1},
      {SP_PROT_TLS1_1_SERVER | SP_PROT_TLS1_1_CLIENT, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
      {SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_2_CLIENT, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
      {SP_PROT_TLS1_3_SERVER | SP_PROT_TLS1_3_CLIENT, TLS1_3_VERSION, SSL_OP_NO_TLSv1_3},
  };
  DWORD bits = sc.grbitEnabledProtocols;
  if (bits == 0) bits = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

  std::vector<const Suite*> allowed;
  for (const Suite& s : g_suites) {
    if (suiteAllowed(s, sc)) allowed.push_back(&s);
  }
  auto cred = std::make_shared<Credential>();
  std::vector<uint64_t> holes;
  for (const Version& v : versions) {
    bool usable =
        (bits & v.bits) != 0 && std::any_of(allowed.begin(), allowed.end(), [&](const Suite* s) {
          return s->minVersion <= v.version && v.version <= s->maxVersion;
        });
    if (usable) {
      if (cred->minVersion == 0) cred->minVersion = v.version;
      cred->maxVersion = v.version;
      for (uint64_t off : holes) cred->versionHoles |= off;
      holes.clear();
    } else if (cred->minVersion != 0) {
      holes.push_back(v.off);
    }
  }
  if (cred->minVersion == 0) return SEC_E_ALGORITHM_MISMATCH;
  for (const Suite* s : allowed) {
    std::string& list = s->minVersion >= TLS1_3_VERSION ? cred->cipherSuites : cred->cipherList;
    if (!list.empty()) list += ':';
    list += SSL_CIPHER_get_name(s->cipher);
  }
  *phCredential = g_credentials.add(std::move(cred));
  never(ptsExpiry);
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(PCredHandle phCredential) {
  if (tw_platform::sspi::isNegotiateCredential(phCredential)) {
    return tw_platform::sspi::negotiateFreeCredentials(phCredential);
  }
  return g_credentials.remove(phCredential) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS InitializeSecurityContextA(PCredHandle phCredential, PCtxtHandle phContext,
                                           SEC_CHAR* pszTargetName, ULONG fContextReq, ULONG, ULONG,
                                           PSecBufferDesc pInput, ULONG, PCtxtHandle phNewContext,
                                           PSecBufferDesc pOutput, ULONG* pfContextAttr,
                                           PTimeStamp ptsExpiry) {
  if (phContext == nullptr ? tw_platform::sspi::isNegotiateCredential(phCredential)
                           : tw_platform::sspi::isNegotiateContext(phContext)) {
    return tw_platform::sspi::negotiateInitialize(phCredential, phContext, pszTargetName,
                                                  fContextReq, pInput, phNewContext, pOutput,
                                                  pfContextAttr, ptsExpiry);
  }
  std::shared_ptr<Context> ctx;
  bool fresh = phContext == nullptr;
  if (fresh) {
    std::shared_ptr<Credential> cred = g_credentials.find(phCredential);
    if (cred == nullptr || phNewContext == nullptr) return SEC_E_INVALID_HANDLE;
    ctx = makeContext(cred, pszTargetName);
    if (ctx == nullptr) return SEC_E_INTERNAL_ERROR;
  } else {
    ctx = g_contexts.find(phContext);
    if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
    if (phNewContext != nullptr) *phNewContext = *phContext;
  }
  ERR_clear_error();
  std::string token;
  SECURITY_STATUS status = contextStep(*ctx, fresh ? Input{} : inputOf(pInput), token);
  bool allocate = (fContextReq & ISC_REQ_ALLOCATE_MEMORY) != 0;
  if (tw_platform::sspi::putToken(pOutput, token, allocate) != SEC_E_OK) {
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  if (fresh && status >= 0) *phNewContext = g_contexts.add(ctx);
  if (pfContextAttr != nullptr) {
    ULONG attrs = fContextReq & (ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_STREAM);
    if (allocate) attrs |= ISC_RET_ALLOCATED_MEMORY;
    if (status < 0 && !token.empty()) attrs |= ISC_RET_EXTENDED_ERROR;
    *pfContextAttr = attrs;
  }
  never(ptsExpiry);
  return status;
}

SECURITY_STATUS DeleteSecurityContext(PCtxtHandle phContext) {
  if (tw_platform::sspi::isNegotiateContext(phContext)) {
    return tw_platform::sspi::negotiateDelete(phContext);
  }
  return g_contexts.remove(phContext) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS FreeContextBuffer(void* pvContextBuffer) {
  std::free(pvContextBuffer);
  return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributesA(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer) {
  std::shared_ptr<Context> ctx = g_contexts.find(phContext);
  if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
  if (pBuffer == nullptr) return SEC_E_INVALID_PARAMETER;
  std::optional<Suite> suite = currentSuite(*ctx);
  if (ulAttribute == SECPKG_ATTR_STREAM_SIZES) {
    if (!suite) return SEC_E_INVALID_HANDLE;
    auto* sizes = static_cast<SecPkgContext_StreamSizes*>(pBuffer);
    sizes->cbHeader = static_cast<ULONG>(kRecordHeader + explicitIv(*ctx, *suite)) +
                      (tls13(*ctx) ? kKeyUpdateRecord : 0);
    // AEAD: the tag (and TLS 1.3's content type); CBC: the MAC and up to a
    // block of padding.
    sizes->cbTrailer = suite->aead ? 16 + (tls13(*ctx) ? 1 : 0) : suite->hashBits / 8 + 16;
    sizes->cbMaximumMessage = kMaxMessage;
    sizes->cBuffers = 4;
    sizes->cbBlockSize = suite->aead ? 1 : 16;
    return SEC_E_OK;
  }
  if (ulAttribute == SECPKG_ATTR_CONNECTION_INFO) {
    if (!suite) return SEC_E_INVALID_HANDLE;
    auto* info = static_cast<SecPkgContext_ConnectionInfo*>(pBuffer);
    switch (SSL_version(ctx->ssl)) {
      case TLS1_VERSION: info->dwProtocol = SP_PROT_TLS1_CLIENT; break;
      case TLS1_1_VERSION: info->dwProtocol = SP_PROT_TLS1_1_CLIENT; break;
      case TLS1_2_VERSION: info->dwProtocol = SP_PROT_TLS1_2_CLIENT; break;
      default: info->dwProtocol = SP_PROT_TLS1_3_CLIENT; break;
    }
    info->aiCipher = suite->aiCipher;
    info->dwCipherStrength = suite->cipherBits;
    info->aiHash = suite->aiHash;
    info->dwHashStrength = suite->hashBits;
    // The key share (TLS 1.3), the server's ephemeral key, or for RSA key
    // exchange the server's key.
    EVP_PKEY* key = nullptr;
    info->aiExch = suite->aiExch;
    if (SSL_get_peer_tmp_key(ctx->ssl, &key) == 1) {
      if (EVP_PKEY_is_a(key, "DH")) info->aiExch = CALG_DH_EPHEM;
    } else if (X509* cert = SSL_get1_peer_certificate(ctx->ssl)) {
      key = X509_get_pubkey(cert);
      X509_free(cert);
    }
    ERR_clear_error();
    info->dwExchStrength = key != nullptr ? static_cast<DWORD>(EVP_PKEY_get_bits(key)) : 0;
    EVP_PKEY_free(key);
    return SEC_E_OK;
  }
  if (ulAttribute == SECPKG_ATTR_REMOTE_CERT_CONTEXT) {
    PCCERT_CONTEXT cert = remoteCertificate(*ctx);
    if (cert == nullptr) return SEC_E_NO_CREDENTIALS;
    *static_cast<PCCERT_CONTEXT*>(pBuffer) = cert;
    return SEC_E_OK;
  }
  if (ulAttribute == SECPKG_ATTR_ENDPOINT_BINDINGS) {
    return endpointBindings(*ctx, *static_cast<SecPkgContext_Bindings*>(pBuffer));
  }
  return SEC_E_UNSUPPORTED_FUNCTION;
}

SECURITY_STATUS EncryptMessage(PCtxtHandle phContext, ULONG, PSecBufferDesc pMessage, ULONG) {
  std::shared_ptr<Context> ctx = g_contexts.find(phContext);
  if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
  PSecBuffer header = findBuffer(pMessage, SECBUFFER_STREAM_HEADER);
  PSecBuffer data = findBuffer(pMessage, SECBUFFER_DATA);
  PSecBuffer trailer = findBuffer(pMessage, SECBUFFER_STREAM_TRAILER);
  if (header == nullptr || data == nullptr || trailer == nullptr) return SEC_E_INVALID_TOKEN;
  if (ctx->phase == Phase::kFailed) return ctx->failure;
  if (ctx->phase != Phase::kOpen) return SEC_E_CONTEXT_EXPIRED;
  if (data->cbBuffer > kMaxMessage) return SEC_E_INVALID_PARAMETER;
  std::optional<Suite> suite = currentSuite(*ctx);
  if (!suite) return SEC_E_INTERNAL_ERROR;
  if (data->cbBuffer == 0) {
    header->cbBuffer = 0;
    trailer->cbBuffer = 0;
    return SEC_E_OK;
  }
  ERR_clear_error();
  int len = static_cast<int>(data->cbBuffer);
  if (SSL_write(ctx->ssl, data->pvBuffer, len) != len) return fail(*ctx, statusFromErrors());
  std::string out = drain(ctx->out);
  // The record of the data comes last, after any record OpenSSL owed the
  // server (a key update answer); those go out with the header.
  size_t last = 0;
  for (size_t pos = 0; pos + kRecordHeader <= out.size();) {
    last = pos;
    pos += kRecordHeader +
           ((size_t{static_cast<BYTE>(out[pos + 3])} << 8) | static_cast<BYTE>(out[pos + 4]));
  }
  size_t headLen = last + kRecordHeader + explicitIv(*ctx, *suite);
  if (headLen + data->cbBuffer > out.size()) return fail(*ctx, SEC_E_INTERNAL_ERROR);
  size_t trailLen = out.size() - headLen - data->cbBuffer;
  if (headLen > header->cbBuffer || trailLen > trailer->cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
  std::memcpy(header->pvBuffer, out.data(), headLen);
  std::memcpy(data->pvBuffer, out.data() + headLen, data->cbBuffer);
  std::memcpy(trailer->pvBuffer, out.data() + headLen + data->cbBuffer, trailLen);
  header->cbBuffer = static_cast<ULONG>(headLen);
  trailer->cbBuffer = static_cast<ULONG>(trailLen);
  return SEC_E_OK;
}

SECURITY_STATUS DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG, ULONG*) {
  std::shared_ptr<Context> ctx = g_contexts.find(phContext);
  if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
  if (pMessage == nullptr || pMessage->pBuffers == nullptr || pMessage->cBuffers < 4) {
    return SEC_E_INVALID_TOKEN;
  }
  PSecBuffer data = findBuffer(pMessage, SECBUFFER_DATA);
  if (data == nullptr || (data->pvBuffer == nullptr && data->cbBuffer != 0))
    return SEC_E_INVALID_TOKEN;
  if (ctx->phase == Phase::kFailed) return ctx->failure;
  if (ctx->phase != Phase::kOpen) return SEC_E_CONTEXT_EXPIRED;
  BYTE* base = static_cast<BYTE*>(data->pvBuffer);
  size_t n = data->cbBuffer;
  RecordScan scan = scanRecords(base, n);
  if (scan.bad) return fail(*ctx, SEC_E_DECRYPT_FAILURE);
  if (scan.complete == 0) return SEC_E_INCOMPLETE_MESSAGE;

  SecBuffer* b = pMessage->pBuffers;
  // Header, data and trailer of the record at `pos` (`size` bytes, `plain`
  // of them data), then what follows it.
  auto result = [&](size_t pos, size_t size, size_t head, size_t plain, SECURITY_STATUS status) {
    setBuffer(b[0], SECBUFFER_STREAM_HEADER, base + pos, head);
    setBuffer(b[1], SECBUFFER_DATA, base + pos + head, plain);
    setBuffer(b[2], SECBUFFER_STREAM_TRAILER, base + pos + head + plain, size - head - plain);
    size_t rest = n - pos - size;
    setBuffer(b[3], rest ? SECBUFFER_EXTRA : SECBUFFER_EMPTY, rest ? base + pos + size : nullptr,
              rest);
    for (ULONG i = 4; i < pMessage->cBuffers; ++i) setBuffer(b[i], SECBUFFER_EMPTY, nullptr, 0);
    return status;
  };
  ERR_clear_error();
  size_t pos = 0;
  while (pos < scan.complete) {
    size_t size = kRecordHeader + ((size_t{base[pos + 3]} << 8) | base[pos + 4]);
    // A handshake record after a TLS 1.2 handshake is the server's
    // HelloRequest: held until the caller has decided.
    if (base[pos] == kHandshakeRecord && !tls13(*ctx)) {
      if (pos > 0) break;
      ctx->helloRequest.assign(reinterpret_cast<const char*>(base), size);
      ctx->phase = Phase::kRenegotiationPending;
      return result(0, size, size, 0, SEC_I_RENEGOTIATE);
    }
    BIO_write(ctx->in, base + pos, static_cast<int>(size));
    int r = SSL_read(ctx->ssl, ctx->plain.data(), static_cast<int>(ctx->plain.size()));
    int err = SSL_get_error(ctx->ssl, r);
    BIO_reset(ctx->in);
    if (r > 0) {
      std::optional<Suite> suite = currentSuite(*ctx);
      size_t head = kRecordHeader + (suite ? explicitIv(*ctx, *suite) : 0);
      if (head + static_cast<size_t>(r) > size) return fail(*ctx, SEC_E_INTERNAL_ERROR);
      std::memcpy(base + pos + head, ctx->plain.data(), static_cast<size_t>(r));
      return result(pos, size, head, static_cast<size_t>(r), SEC_E_OK);
    }
    if (err == SSL_ERROR_ZERO_RETURN) return result(pos, size, size, 0, SEC_I_CONTEXT_EXPIRED);
    if (err != SSL_ERROR_WANT_READ) return fail(*ctx, statusFromErrors());
    pos += size;  // a record without data: a ticket, a key update, a warning
  }
  return result(pos, 0, 0, 0, SEC_E_OK);
}

SECURITY_STATUS ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput) {
  std::shared_ptr<Context> ctx = g_contexts.find(phContext);
  if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
  PSecBuffer token = findBuffer(pInput, SECBUFFER_TOKEN);
  if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer < sizeof(DWORD)) {
    return SEC_E_INVALID_TOKEN;
  }
  DWORD type;
  std::memcpy(&type, token->pvBuffer, sizeof type);
  if (type == SCHANNEL_SHUTDOWN) {
    ctx->control = SCHANNEL_SHUTDOWN;
    return SEC_E_OK;
  }
  // The one alert this package sends on request: the refusal of a pending
  // renegotiation.
  if (type == SCHANNEL_ALERT && token->cbBuffer >= sizeof(SCHANNEL_ALERT_TOKEN)) {
    SCHANNEL_ALERT_TOKEN alert;
    std::memcpy(&alert, token->pvBuffer, sizeof alert);
    if (alert.dwAlertType == TLS1_ALERT_WARNING &&
        alert.dwAlertNumber == TLS1_ALERT_NO_RENEGOTIATION &&
        ctx->phase == Phase::kRenegotiationPending) {
      ctx->control = SCHANNEL_ALERT;
      return SEC_E_OK;
    }
  }
  return SEC_E_UNSUPPORTED_FUNCTION;
}

PSecurityFunctionTableA InitSecurityInterfaceA() {
  static SecurityFunctionTableA table = [] {
    SecurityFunctionTableA t{};
    t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_4;
    t.AcquireCredentialsHandleA = &AcquireCredentialsHandleA;
    t.FreeCredentialsHandle = &FreeCredentialsHandle;
    t.InitializeSecurityContextA = &InitializeSecurityContextA;
    t.DeleteSecurityContext = &DeleteSecurityContext;
    t.ApplyControlToken = &ApplyControlToken;
    t.QueryContextAttributesA = &QueryContextAttributesA;
    t.FreeContextBuffer = &FreeContextBuffer;
    t.EncryptMessage = &EncryptMessage;
    t.DecryptMessage = &DecryptMessage;
    return t;
  }();
  return &table;
}
