#include "httpclient/transport/TlsClient.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/SecurityLibrary.h"
#include "httpclient/transport/StateTrace.h"
#include "platform/text.h"
#include "platform/winsock.h"

namespace velmora::network::component {

TlsClient::TlsClient() {
  SettingTable& t = settings_;
  t.addText("SSLProvider", provider_);
  t.addInt32("SSLCipherStrength", cipherStrength_);
  t.addText("SSLAlgorithmList", algorithmList_);
  t.addBool("UseDefaultCredentials", useDefaultCredentials_);
  t.addBool("ReuseSSLSession", reuseSslSession_);
  t.addBool("ExtendedProtection", extendedProtection_);
  t.add({{"SSLSecurityFlags"}, [this] { return std::to_string(securityFlags_); },
         [this](const std::string& v) {
           securityFlags_ = static_cast<uint32_t>(configInt64(v));
           return kOk;
         }});
  t.addBool("SSLIncludeCertChain", includeCertChain_);
  t.addInt32("SSLEnabledProtocols", enabledProtocols_);
  t.addBool("SSLEnableRenegotiation", enableRenegotiation_);
  t.addText("KerberosSPN", kerberosSpn_);
  t.addBool("UseSystemSSPI", useSystemSspi_);
  t.addBool("ParseSSLServerCert", parseServerCert_);
  t.addBool("GracefullyShutDownSSL", gracefullyShutDown_);
}

TlsClient::~TlsClient() {
  deleteContext();
  freeCredentials();
}

void TlsClient::startup() { security::load(); }
void TlsClient::shutdown() { security::unload(); }

namespace {

constexpr int kErrCredentials = 273;
constexpr int kErrEncrypt = 283;
constexpr int kErrDecrypt = 284;
const char kTextCertificateRefused[] = "Server certificate verification failed. Connection aborted.";

// ISC_REQ_SEQUENCE_DETECT, _REPLAY_DETECT, _CONFIDENTIALITY,
// _ALLOCATE_MEMORY, _EXTENDED_ERROR and _STREAM.
constexpr ULONG kContextRequirements = 0xC11C;

bool failed(SECURITY_STATUS status) { return status < 0; }

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// The algorithm names SSLAlgorithmList may hold, with their identifiers.
struct AlgorithmName {
  const char* name;
  ALG_ID id;
};
const AlgorithmName kAlgorithms[] = {
    {"CALG_3DES", CALG_3DES}, {"CALG_3DES_112", CALG_3DES_112}, {"CALG_AES", CALG_AES},
    {"CALG_AES_128", CALG_AES_128}, {"CALG_AES_192", CALG_AES_192},
    {"CALG_AES_256", CALG_AES_256}, {"CALG_AGREEDKEY_ANY", CALG_AGREEDKEY_ANY},
    {"CALG_CYLINK_MEK", CALG_CYLINK_MEK}, {"CALG_DES", CALG_DES}, {"CALG_DESX", CALG_DESX},
    {"CALG_DH_EPHEM", CALG_DH_EPHEM}, {"CALG_DH_SF", CALG_DH_SF},
    {"CALG_DSS_SIGN", CALG_DSS_SIGN}, {"CALG_ECDH", CALG_ECDH}, {"CALG_ECDSA", CALG_ECDSA},
    {"CALG_ECMQV", CALG_ECMQV}, {"CALG_HASH_REPLACE_OWF", CALG_HASH_REPLACE_OWF},
    {"CALG_HUGHES_MD5", CALG_HUGHES_MD5}, {"CALG_HMAC", CALG_HMAC},
    {"CALG_KEA_KEYX", CALG_KEA_KEYX}, {"CALG_MAC", CALG_MAC}, {"CALG_MD2", CALG_MD2},
    {"CALG_MD4", CALG_MD4}, {"CALG_MD5", CALG_MD5}, {"CALG_NO_SIGN", CALG_NO_SIGN},
    {"CALG_OID_INFO_CNG_ONLY", CALG_OID_INFO_CNG_ONLY},
    {"CALG_OID_INFO_PARAMETERS", CALG_OID_INFO_PARAMETERS},
    {"CALG_PCT1_MASTER", CALG_PCT1_MASTER}, {"CALG_RC2", CALG_RC2}, {"CALG_RC4", CALG_RC4},
    {"CALG_RC5", CALG_RC5}, {"CALG_RSA_KEYX", CALG_RSA_KEYX},
    {"CALG_RSA_SIGN", CALG_RSA_SIGN}, {"CALG_SCHANNEL_ENC_KEY", CALG_SCHANNEL_ENC_KEY},
    {"CALG_SCHANNEL_MAC_KEY", CALG_SCHANNEL_MAC_KEY},
    {"CALG_SCHANNEL_MASTER_HASH", CALG_SCHANNEL_MASTER_HASH}, {"CALG_SEAL", CALG_SEAL},
    {"CALG_SHA", CALG_SHA}, {"CALG_SHA1", CALG_SHA1}, {"CALG_SHA_256", CALG_SHA_256},
    {"CALG_SHA_384", CALG_SHA_384}, {"CALG_SHA_512", CALG_SHA_512},
    {"CALG_SKIPJACK", CALG_SKIPJACK}, {"CALG_SSL2_MASTER", CALG_SSL2_MASTER},
    {"CALG_SSL3_MASTER", CALG_SSL3_MASTER}, {"CALG_SSL3_SHAMD5", CALG_SSL3_SHAMD5},
    {"CALG_TEK", CALG_TEK}, {"CALG_TLS1_MASTER", CALG_TLS1_MASTER},
    {"CALG_TLS1PRF", CALG_TLS1PRF},
};

// SSLAlgorithmList: names separated by ";", blanks around them ignored,
// compared without case; unknown names are skipped; at most 32 identifiers.
std::vector<ALG_ID> algorithmIds(const std::string& list) {
  std::vector<ALG_ID> ids;
  size_t start = 0;
  while (start <= list.size() && ids.size() < 32) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.erase(0, 1);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    for (const AlgorithmName& a : kAlgorithms) {
      if (tw_platform::equalsNoCase(name, a.name)) {
        ids.push_back(a.id);
        break;
      }
    }
    start = end + 1;
  }
  return ids;
}

const char* protocolName(DWORD protocol) {
  switch (protocol) {
    case SP_PROT_TLS1_SERVER: case SP_PROT_TLS1_CLIENT: return "TLS1";
    case SP_PROT_TLS1_1_SERVER: case SP_PROT_TLS1_1_CLIENT: return "TLS1.1";
    case SP_PROT_TLS1_2_SERVER: case SP_PROT_TLS1_2_CLIENT: return "TLS1.2";
    case SP_PROT_PCT1_SERVER: case SP_PROT_PCT1_CLIENT: return "PCT1";
    case SP_PROT_SSL2_SERVER: case SP_PROT_SSL2_CLIENT: return "SSL2";
    case SP_PROT_SSL3_SERVER: case SP_PROT_SSL3_CLIENT: return "SSL3";
    default: return nullptr;
  }
}

const char* cipherName(ALG_ID cipher) {
  switch (cipher) {
    case CALG_DES: case CALG_CYLINK_MEK: return "DES";
    case CALG_RC2: return "RC2";
    case CALG_3DES: return "Triple DES";
    case CALG_SKIPJACK: return "Skipjack";
    case CALG_AES_128: case CALG_AES_192: case CALG_AES_256: case CALG_AES: return "AES";
    case CALG_RC4: return "RC4";
    default: return nullptr;
  }
}

const char* hashName(ALG_ID hash) {
  switch (hash) {
    case CALG_MD5: return "MD5";
    case CALG_SHA: return "SHA";
    case CALG_SHA_256: return "SHA256";
    default: return nullptr;
  }
}

const char* exchangeName(ALG_ID exchange) {
  switch (exchange) {
    case CALG_RSA_SIGN: case CALG_RSA_KEYX: return "RSA";
    case CALG_DH_EPHEM: return "DH Ephemeral";
    case CALG_KEA_KEYX: return "KEA";
    default: return nullptr;
  }
}

// "Label: name " or, for a value without a name, "Label: 0x... ".
std::string part(const char* label, const char* name, uint32_t value) {
  return std::string(label) + ": " + (name != nullptr ? std::string(name) : hex(value)) + " ";
}

const char* stateName(TlsState s) {
  static const char* const names[] = {"Idle", "Connecting", "Connected"};
  return names[static_cast<int>(s)];
}

}  // namespace

void TlsClient::setState(TlsState next) {
  changeState(tlsState_, next, "tls", stateName);
  // Decrypted data flows again once no TLS connection holds it back.
  if (next == TlsState::Idle) tlsAcceptData_ = true;
}

// Selecting TLS moves line splitting to the decrypted-data buffer, so that
// raw records are never split; deselecting moves it back.
void TlsClient::selectTls(bool on) {
  if (on == tlsSelected_) return;
  if (on) {
    decrypted_.setEol(TcpClient::splitCrlf() ? std::string("\r\n") : eol());
    decrypted_.setSplitCrlf(TcpClient::splitCrlf());
    TcpClient::setEol(std::string());
    TcpClient::setSplitCrlf(false);
    sendingActive_ = true;
    receivingActive_ = true;
  } else {
    TcpClient::setEol(decrypted_.eol());
    TcpClient::setSplitCrlf(decrypted_.splitCrlf());
    setState(TlsState::Idle);
    if (!isConnected()) {
      sendingActive_ = false;
      receivingActive_ = false;
    }
  }
  tlsSelected_ = on;
}

// --- credentials and context ------------------------------------------------------

int TlsClient::acquireCredentials() {
  if (reuseSslSession_ && haveCredentials_) return 0;
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = static_cast<DWORD>(enabledProtocols_);
  std::vector<ALG_ID> algorithms = algorithmIds(algorithmList_);
  if (!algorithms.empty()) {
    cred.cSupportedAlgs = static_cast<DWORD>(algorithms.size());
    cred.palgSupportedAlgs = algorithms.data();
  }
  cred.dwMinimumCipherStrength = static_cast<DWORD>(cipherStrength_);
  // The package leaves the server certificate to this layer.
  cred.dwFlags = (useDefaultCredentials_ ? SCH_CRED_USE_DEFAULT_CREDS : SCH_CRED_NO_DEFAULT_CREDS) |
                 SCH_CRED_MANUAL_CRED_VALIDATION;
  freeCredentials();
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr) return setError(kErrNoPackage, kTextNoPackage);
  TimeStamp expiry{};
  const SECURITY_STATUS status = sspi->AcquireCredentialsHandleA(
      nullptr, provider_.data(), SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
      &credentials_, &expiry);
  if (status != SEC_E_OK) {
    freeCredentials();
    return setError(kErrCredentials, "Could not acquire security credentials: error " +
                                         hex(static_cast<uint32_t>(status)) + ".");
  }
  haveCredentials_ = true;
  return 0;
}

void TlsClient::freeCredentials() {
  const SecurityFunctionTableA* sspi = security::package();
  if (haveCredentials_ && sspi != nullptr) sspi->FreeCredentialsHandle(&credentials_);
  credentials_ = CredHandle{};
  haveCredentials_ = false;
}

void TlsClient::deleteContext() {
  const SecurityFunctionTableA* sspi = security::package();
  if (haveContext_ && sspi != nullptr) sspi->DeleteSecurityContext(&context_);
  context_ = CtxtHandle{};
  haveContext_ = false;
}

// The name given to the package. It sends a host name as the server name
// (SNI), so the RemoteHost text goes whenever there is one; otherwise the
// remote address in numeric form.
std::string TlsClient::targetName() const {
  if (!remoteHost().empty()) return remoteHost();
  return remoteAddressText();
}

// --- connect ------------------------------------------------------------------------

int TlsClient::connect() {
  if (!tlsSelected_) return TcpClient::connect();
  clearError();
  if (tlsState_ != TlsState::Idle) return setError(kErrAlreadyConnected, kTextAlreadyConnected);
  if (int rc = acquireCredentials()) return rc;
  lastFailingStatus_ = -1;
  setState(TlsState::Connecting);
  fireSSLStatus("Attempting to connect to server.");
  const int rc = TcpClient::connect();
  if (rc != 0) {
    // The socket connect failed at once: no TLS state stays behind.
    freeCredentials();
    setState(TlsState::Idle);
  }
  return rc;
}

void TlsClient::holdReceivedData(bool hold) {
  if (!tlsSelected_) {
    TcpClient::holdReceivedData(hold);
    return;
  }
  // The handshake's own bytes keep flowing; only decrypted data waits.
  tlsAcceptData_ = !hold;
  if (!hold) {
    setAcceptData(true);
    if (tlsState_ == TlsState::Connected) deliver(nullptr, 0);
  }
}

void TlsClient::connectNotification(int code) {
  if (!tlsSelected_) {
    TcpClient::connectNotification(code);
    return;
  }
  TcpClient::reportConnectionStatus(code == 0 ? "Remote host connection complete."
                                              : "Remote host connection failed.",
                                    code);
  if (code == 0) {
    // Connected fires when the handshake has ended.
    fireSSLStatus("Socket connection established.");
    startHandshake();
    return;
  }
  freeCredentials();
  setState(TlsState::Idle);
  reportConnectionStatus("Connection to host failed.", code);
  reportConnected(code);
}

// --- handshake ----------------------------------------------------------------------

void TlsClient::startHandshake() {
  sendingActive_ = true;
  receivingActive_ = true;
  received_.clear();
  pending_.clear();
  decrypted_.clear();
  overflow_.clear();
  fireSSLStatus("Starting secure channel handshake.");
  handshaking_ = true;
  deleteContext();

  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr) {
    setError(kErrNoPackage, kTextNoPackage);
    return;
  }
  std::string target = targetName();
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  TimeStamp expiry{};
  const SECURITY_STATUS status = sspi->InitializeSecurityContextA(
      &credentials_, nullptr, target.data(), kContextRequirements, 0, SECURITY_NATIVE_DREP,
      nullptr, 0, &context_, &outDesc, &attributes, &expiry);
  if (!failed(status)) haveContext_ = true;
  if (status == SEC_I_CONTINUE_NEEDED && out.pvBuffer != nullptr) {
    rawSend(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    fireSSLStatus("Sending " + std::to_string(out.cbBuffer) + " bytes of handshake data.");
  }
  if (out.pvBuffer != nullptr) sspi->FreeContextBuffer(out.pvBuffer);
  // A first call that fails would leave the handshake waiting for a server
  // that waits for us: it ends as a failed handshake step does.
  if (failed(status)) handshakeFailed(status);
}

int TlsClient::handshakeStep() {
  const SecurityFunctionTableA* sspi = security::package();
  SecBuffer in[2] = {{static_cast<ULONG>(received_.size()), SECBUFFER_TOKEN, received_.data()},
                     {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  TimeStamp expiry{};
  const SECURITY_STATUS status = sspi->InitializeSecurityContextA(
      &credentials_, &context_, nullptr, kContextRequirements, 0, SECURITY_NATIVE_DREP, &inDesc,
      0, &context_, &outDesc, &attributes, &expiry);
  // The token of a failing step (an alert) goes to the server before the
  // connection is aborted.
  if ((status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
       (failed(status) && (attributes & ISC_RET_EXTENDED_ERROR) != 0)) &&
      out.pvBuffer != nullptr && out.cbBuffer > 0) {
    rawSend(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    fireSSLStatus("Sending " + std::to_string(out.cbBuffer) + " handshake bytes.");
  }
  if (out.pvBuffer != nullptr) sspi->FreeContextBuffer(out.pvBuffer);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
  if (failed(status)) return handshakeFailed(status);

  if (parseServerCert_ && !earlyCertificateDecision(received_.data(), received_.size())) return 0;

  if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 &&
      in[1].cbBuffer <= received_.size()) {
    received_.erase(0, received_.size() - in[1].cbBuffer);
  } else {
    received_.clear();
  }
  if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
    fireSSLStatus("Client certificate requested from server.");
    return 1;
  }
  if (status != SEC_E_OK) return received_.empty() ? 0 : 1;
  if (!completeHandshake()) return 0;
  // Bytes left are application data: they are decrypted at once.
  return received_.empty() ? 0 : 1;
}

int TlsClient::handshakeFailed(SECURITY_STATUS status) {
  deleteContext();
  handshaking_ = false;
  lastFailingStatus_ = status;
  const std::string text = "error during handshake[2]: " + hex(static_cast<uint32_t>(status));
  setError(kErrHandshake, text);
  fireError(kErrHandshake, text);
  close(static_cast<uint32_t>(kErrHandshake));
  return 0;
}

bool TlsClient::completeHandshake() {
  if (!certificateDecision()) return false;
  const SecurityFunctionTableA* sspi = security::package();
  const SECURITY_STATUS status =
      sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
  if (status != SEC_E_OK) {
    handshakeFailed(status);
    return false;
  }
  // A renegotiation may pick a suite with a larger header or trailer: the
  // record buffer grows to fit, never shrinks.
  const size_t recordSize =
      static_cast<size_t>(sizes_.cbHeader) + sizes_.cbMaximumMessage + sizes_.cbTrailer;
  if (record_.size() < recordSize) {
    try {
      record_.resize(recordSize);
    } catch (const std::bad_alloc&) {
      deleteContext();
      handshaking_ = false;
      lastFailingStatus_ = -1;
      setError(kErrOutOfMemory, "Out of memory. Aborting connection...");
      fireError(kErrOutOfMemory, "Out of memory. Aborting connection...");
      close(static_cast<uint32_t>(kErrOutOfMemory));
      return false;
    }
  }
  handshaking_ = false;
  setState(TlsState::Connected);
  fireSSLStatus(negotiatedParameters());
  swapAcceptData(tlsAcceptData_);
  reportConnectionStatus("SSL handshake complete.", 0);
  reportConnected(0);
  fireReadyToSend();
  return true;
}

// --- the server certificate ----------------------------------------------------------

bool TlsClient::earlyCertificateDecision(const char* data, size_t length) {
  CertificateFacts facts;
  if (ServerCertificate::readFromHandshake(data, length, facts) != 0) return true;
  facts.status = "Parsed";
  serverCertText_ = facts.text;
  const bool accept = fireSSLServerAuthentication(facts.text, facts.subject, facts.issuer,
                                                  facts.status, false) != 0;
  if (!accept) refuseCertificate();
  return accept;
}

bool TlsClient::certificateDecision() {
  const SecurityFunctionTableA* sspi = security::package();
  PCCERT_CONTEXT cert = nullptr;
  const SECURITY_STATUS status =
      sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  bool accept = false;
  if (status != SEC_E_OK || cert == nullptr) {
    fireError(kErrNoServerCert,
              "can't find server certificate (error " + hex(static_cast<uint32_t>(status)) + ")");
  } else if (certificate_.isAccepted(cert)) {
    accept = true;
  } else {
    CertificateFacts facts;
    std::string errorText;
    const uint32_t result = certificate_.verify(cert, remoteHost(),
                                                (securityFlags_ & 0x80000000u) == 0,
                                                securityFlags_, includeCertChain_, facts,
                                                errorText);
    serverCertText_ = facts.text;
    if (!errorText.empty()) setError(static_cast<int>(result), errorText);
    if (result != 0) fireError(kErrCertRefused, "error verifying server certificate: " + hex(result));
    accept = fireSSLServerAuthentication(facts.text, facts.subject, facts.issuer, facts.status,
                                         result == 0) != 0;
  }
  const security::CertFunctions& f = security::certificates();
  if (cert != nullptr && f.freeContext != nullptr) f.freeContext(cert);
  if (!accept) refuseCertificate();
  return accept;
}

int TlsClient::refuseCertificate() {
  // The aborted handshake leaves nothing behind: the close's last read must
  // not run another handshake step on the bytes still buffered.
  handshaking_ = false;
  deleteContext();
  received_.clear();
  fireSSLStatus("Server certificate verification failed. Aborting connection...");
  setError(kErrHandshake, kTextCertificateRefused);
  close(static_cast<uint32_t>(kErrHandshake));
  return kErrHandshake;
}

int TlsClient::setAcceptServerCert(const std::string& bytes) {
  clearError();
  std::string errorText;
  const int rc = certificate_.setAccepted(bytes, errorText);
  return rc == 0 ? 0 : setError(rc, errorText);
}

// --- receiving ------------------------------------------------------------------------

int TlsClient::rawDataIn(const char* data, int length, bool endOfLine) {
  // After an orderly close the TLS state is idle: bytes still arriving are
  // kept below and never reach the HTTP layer as plain data.
  if (!receivingActive_) return TcpClient::rawDataIn(data, length, endOfLine);
  if (length <= 0) return 0;
  if (handshaking_) {
    fireSSLStatus("Receiving " + std::to_string(length) + " bytes of handshake data.");
  }
  received_.append(data, static_cast<size_t>(length));
  for (;;) {
    int again = 0;
    if (handshaking_) {
      again = handshakeStep();
    } else if (tlsState_ == TlsState::Connected) {
      again = decryptStep();
    }
    if (again == 0) break;
  }
  return 0;
}

int TlsClient::decryptStep() {
  const SecurityFunctionTableA* sspi = security::package();
  SecBuffer buffers[4] = {{static_cast<ULONG>(received_.size()), SECBUFFER_DATA, received_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = sspi->DecryptMessage(&context_, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;

  const SecBuffer* extra = nullptr;
  const SecBuffer* plain = nullptr;
  for (const SecBuffer& b : buffers) {
    if (plain == nullptr && b.BufferType == SECBUFFER_DATA) plain = &b;
    if (extra == nullptr && b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) extra = &b;
  }
  if (status == SEC_I_CONTEXT_EXPIRED) {
    fireSSLStatus("Server signaled end of session.");
    // Decrypted bytes still held go up before the connection turns plain.
    deliver(nullptr, 0);
    std::string after;
    if (extra != nullptr) after.assign(received_, received_.size() - extra->cbBuffer, std::string::npos);
    received_.clear();
    shutdownTls(true);
    receivingActive_ = false;
    selectTls(false);
    // Bytes after the close_notify pass as plain bytes.
    if (!after.empty()) TcpClient::rawDataIn(after.data(), static_cast<int>(after.size()), false);
    return 0;
  }
  if (status == SEC_I_RENEGOTIATE) {
    if (enableRenegotiation_) {
      // The bytes left feed the new handshake.
      handshaking_ = true;
      if (extra != nullptr) {
        received_.erase(0, received_.size() - extra->cbBuffer);
      }
      return 1;
    }
    fireSSLStatus("Renegotiate is disabled. Send NO_RENEGOTIATION alert message.");
    SCHANNEL_ALERT_TOKEN alert{SCHANNEL_ALERT, TLS1_ALERT_WARNING, TLS1_ALERT_NO_RENEGOTIATION};
    sendControlToken(&alert, sizeof alert);
    received_.clear();
    return 0;
  }
  if (failed(status)) {
    fireError(kErrDecrypt, "error decrypting data (error " + hex(static_cast<uint32_t>(status)) + ")");
    close(0);
    return 0;
  }
  std::string rest;
  if (extra != nullptr) rest.assign(received_, received_.size() - extra->cbBuffer, std::string::npos);
  if (plain != nullptr && plain->cbBuffer > 0) {
    record(static_cast<const char*>(plain->pvBuffer), plain->cbBuffer, true);
    // No nested read starts while the bytes go up.
    const bool accepting = swapAcceptData(false);
    deliver(static_cast<const char*>(plain->pvBuffer), plain->cbBuffer);
    swapAcceptData(accepting);
  }
  // A close or abort while the bytes went up ends the connection's TLS.
  if (tlsState_ != TlsState::Connected) return 0;
  received_ = std::move(rest);
  return received_.empty() ? 0 : 1;
}

void TlsClient::deliver(const char* data, size_t length) {
  if (length > 0) {
    size_t room = 0;
    decrypted_.space(room);
    if (overflow_.size() + length <= room) {
      decrypted_.append(overflow_.data(), overflow_.size());
      overflow_.clear();
      decrypted_.append(data, length);
    } else {
      try {
        overflow_.append(data, length);
      } catch (const std::bad_alloc&) {
        fireError(kErrOutOfMemory, "Out of memory [ssllb]. Aborting connection.");
        close(static_cast<uint32_t>(kErrOutOfMemory));
        return;
      }
    }
  }
  // A marker set while the bytes go up takes effect in this loop.
  if (delivering_) return;
  delivering_ = true;
  LineBuffer::Piece piece;
  while (tlsAcceptData_ && tlsSelected_) {
    if (decrypted_.splitsLines() && decrypted_.next(piece, false)) {
      handUp(piece.data, piece.length, true);
      continue;
    }
    if (overflow_.empty()) break;
    size_t room = 0;
    decrypted_.space(room);
    if (room > 0) {
      overflow_.erase(0, decrypted_.append(overflow_.data(), overflow_.size()));
    } else {
      piece = decrypted_.takeAll();
      handUp(piece.data, piece.length, false);
    }
  }
  // An unterminated rest waits for the next record while it leaves room;
  // otherwise, or without a marker, it goes up as one block.
  if (tlsAcceptData_ && tlsSelected_ && !decrypted_.empty()) {
    size_t room = 0;
    decrypted_.space(room);
    if (!decrypted_.splitsLines() || room < 256) {
      piece = decrypted_.takeAll();
      handUp(piece.data, piece.length, false);
    }
  }
  delivering_ = false;
}

int TlsClient::handUp(const char* data, size_t length, bool endOfLine) {
  return TcpClient::rawDataIn(data, static_cast<int>(length), endOfLine);
}

// --- sending ----------------------------------------------------------------------------

int TlsClient::send(const char* data, int length) {
  if (!tlsSelected_ || !sendingActive_) return sendOnce(data, length, true);
  setBytesAccepted(0);
  if (length <= 0) {
    const int rc = pending_.empty() ? 0 : sendPending();
    setBytesAccepted(0);
    return rc;
  }
  if (tlsState_ != TlsState::Connected) {
    WSASetLastError(WSAENOTCONN);
    return WSAENOTCONN;
  }
  if (handshaking_) {
    WSASetLastError(WSAEWOULDBLOCK);
    return WSAEWOULDBLOCK;
  }
  if (!pending_.empty()) {
    const int rc = sendPending();
    setBytesAccepted(0);
    if (rc != 0) return rc;
  }
  const SecurityFunctionTableA* sspi = security::package();
  size_t consumed = 0;
  while (consumed < static_cast<size_t>(length)) {
    const size_t chunk = std::min<size_t>(sizes_.cbMaximumMessage, length - consumed);
    const char* plain = data + consumed;
    consumed += chunk;
    char* header = record_.data();
    std::memcpy(header + sizes_.cbHeader, plain, chunk);
    record(plain, chunk, false);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, header},
        {static_cast<ULONG>(chunk), SECBUFFER_DATA, header + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, header + sizes_.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = sspi->EncryptMessage(&context_, 0, &desc, 0);
    if (failed(status)) {
      setBytesAccepted(static_cast<uint32_t>(consumed - chunk));
      return setError(kErrEncrypt,
                      "error encrypting data " + hex(static_cast<uint32_t>(status)) + ".");
    }
    // Header, data and trailer as the package left them, in one send when
    // they lie one after the other.
    std::string joined;
    const char* out = header;
    size_t outLength = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if (buffers[0].pvBuffer != header || buffers[1].pvBuffer != header + buffers[0].cbBuffer ||
        buffers[2].pvBuffer != header + buffers[0].cbBuffer + buffers[1].cbBuffer) {
      for (const SecBuffer& b : buffers) {
        if (b.BufferType != SECBUFFER_EMPTY) joined.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
      out = joined.data();
      outLength = joined.size();
    }
    const int rc = rawSend(out, outLength);
    if (rc != 0) {
      // 10035: the rest of the record waits in pending_, the chunk is taken.
      setBytesAccepted(static_cast<uint32_t>(consumed));
      return rc;
    }
  }
  setBytesAccepted(static_cast<uint32_t>(consumed));
  return 0;
}

int TlsClient::sendPending() {
  const int rc = sendOnce(pending_.data(), static_cast<int>(pending_.size()), true);
  if (rc == 0) {
    pending_.clear();
  } else if (rc == WSAEWOULDBLOCK) {
    pending_.erase(0, bytesAccepted());
    if (pending_.empty()) return 0;
  }
  return rc;
}

int TlsClient::rawSend(const char* data, size_t length) {
  if (!pending_.empty()) {
    const int rc = sendPending();
    if (rc != 0) {
      // What is encrypted is never encrypted again: it waits behind the rest.
      pending_.append(data, length);
      return rc;
    }
  }
  const int rc = sendOnce(data, static_cast<int>(length), true);
  if (rc == WSAEWOULDBLOCK) {
    pending_.assign(data + bytesAccepted(), length - bytesAccepted());
    return rc;
  }
  if (rc != 0) return rc;
  if (tlsState_ == TlsState::Connected) fireReadyToSend();
  return 0;
}

void TlsClient::onReadyToSend() {
  if (!tlsSelected_) {
    TcpClient::onReadyToSend();
    return;
  }
  if (!pending_.empty()) sendPending();
  if (tlsState_ == TlsState::Connected) TcpClient::onReadyToSend();
}

// --- shut-down, close and disconnect --------------------------------------------------

SECURITY_STATUS TlsClient::sendControlToken(void* token, ULONG size) {
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr) return kErrNoPackage;
  SecBuffer in{size, SECBUFFER_TOKEN, token};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
  SECURITY_STATUS status = sspi->ApplyControlToken(&context_, &inDesc);
  if (status != SEC_E_OK) return status;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  TimeStamp expiry{};
  status = sspi->InitializeSecurityContextA(&credentials_, &context_, nullptr, kContextRequirements,
                                            0, SECURITY_NATIVE_DREP, nullptr, 0, &context_,
                                            &outDesc, &attributes, &expiry);
  if (!failed(status) && out.pvBuffer != nullptr && out.cbBuffer > 0) {
    rawSend(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
  }
  if (out.pvBuffer != nullptr) sspi->FreeContextBuffer(out.pvBuffer);
  return status;
}

SECURITY_STATUS TlsClient::shutdownTls(bool cleanup) {
  DWORD token = SCHANNEL_SHUTDOWN;
  const SECURITY_STATUS status = haveContext_ ? sendControlToken(&token, sizeof token) : SEC_E_OK;
  sendingActive_ = false;
  if (cleanup) {
    deleteContext();
    record_.clear();
    record_.shrink_to_fit();
    selectTls(false);
  }
  return status;
}

int TlsClient::close(uint32_t code) {
  if (!tlsSelected_ || tlsState_ == TlsState::Idle) return TcpClient::close(code);
  if (tlsState_ != TlsState::Connected) {
    // A handshake in progress or failed.
    setState(TlsState::Idle);
    if (code != 0) {
      reportConnectionStatus("SSL handshake failed.", static_cast<int>(code));
      reportConnected(static_cast<int>(code & 0xFFFF));
    }
    return TcpClient::close(0);
  }
  if (!pending_.empty() && options().lingerOn()) {
    sendPending();
    if (!pending_.empty()) {
      return setError(WSAEWOULDBLOCK,
                      "Operation would block (to force disconnection, set Linger to FALSE).");
    }
  }
  setState(TlsState::Idle);
  if (code == 0) {
    shutdownTls(true);
    return TcpClient::close(0);
  }
  return TcpClient::close(code << 16);
}

void TlsClient::disconnectNotification(int code) {
  if (!tlsSelected_) {
    endOfStream();
    TcpClient::disconnectNotification(code);
    return;
  }
  TcpClient::reportConnectionStatus("Remote host disconnected.", code);
  swapAcceptData(true);
  if (tlsState_ == TlsState::Connected) deliver(nullptr, 0);
  endOfStream();
  if (tlsState_ == TlsState::Connecting) {
    const std::string text = "Server disconnected before handshake completion [" +
                             hex(static_cast<uint32_t>(lastFailingStatus_)) + "].";
    setError(kErrHandshake, text);
    fireError(kErrHandshake, text);
    reportConnectionStatus("SSL handshake failed.", lastFailingStatus_);
    reportConnected(kErrHandshake);
  } else {
    reportConnectionStatus("SSL connection terminated.", code);
    reportDisconnected(code);
  }
  setState(TlsState::Idle);
  handshaking_ = false;
  deleteContext();
  record_.clear();
  record_.shrink_to_fit();
}

int TlsClient::tlsCloseStep(bool sendCloseNotify) {
  if (sendCloseNotify) return static_cast<int>(shutdownTls(true));
  deleteContext();
  record_.clear();
  return 0;
}

// --- the rest -----------------------------------------------------------------------------

int TlsClient::setEol(const std::string& marker) {
  if (!tlsSelected_) return TcpClient::setEol(marker);
  decrypted_.setEol(marker);
  // The bytes held are split again with the new marker.
  if (tlsState_ == TlsState::Connected) deliver(nullptr, 0);
  return 0;
}

int TlsClient::setSplitCrlf(bool on) {
  if (!tlsSelected_) return TcpClient::setSplitCrlf(on);
  decrypted_.setSplitCrlf(on);
  return 0;
}

int TlsClient::setMaxLineLength(int32_t length) {
  if (!tlsSelected_) return TcpClient::setMaxLineLength(length);
  // The buffer of decrypted bytes takes the size as given.
  return setLineCapacity(decrypted_, length, INT32_MAX);
}

int32_t TlsClient::maxLineLength() const {
  return tlsSelected_ ? decrypted_.capacity() : TcpClient::maxLineLength();
}

void TlsClient::cleanupSocket() {
  TcpClient::cleanupSocket();
  selectTls(true);
}

bool TlsClient::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  if (runSetting(settings_, req, answer, code)) return true;
  return TcpClient::configSetting(req, answer, code);
}

std::string TlsClient::negotiatedParameters() {
  std::string text = "Negotiated SSL parameters: ";
  SecPkgContext_ConnectionInfo info{};
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr ||
      sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
    return text + "Connection info not available.";
  }
  text += part("Protocol", protocolName(info.dwProtocol), info.dwProtocol);
  text += part("Cipher", cipherName(info.aiCipher), info.aiCipher);
  text += "Cipher strength: " + std::to_string(info.dwCipherStrength) + " ";
  text += part("Hash", hashName(info.aiHash), info.aiHash);
  text += "Hash strength: " + std::to_string(info.dwHashStrength) + " ";
  text += part("Key exchange", exchangeName(info.aiExch), info.aiExch);
  text += "Key exchange strength: " + std::to_string(info.dwExchStrength) + " ";
  return text;
}

}  // namespace velmora::network::component
