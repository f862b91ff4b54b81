#include "httpclient/transport/TlsClient.h"

#include <cstdint>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/StateTrace.h"

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

namespace {

const char* stateName(TlsState s) {
  static const char* const names[] = {"Idle", "Connecting", "Connected"};
  return names[static_cast<int>(s)];
}

}  // namespace

void TlsClient::setState(TlsState next) { changeState(tlsState_, next, "tls", stateName); }

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

int TlsClient::connect() {
  if (!tlsSelected_) return TcpClient::connect();
  clearError();
  if (tlsState_ != TlsState::Idle) return setError(kErrAlreadyConnected, kTextAlreadyConnected);
  return notBuilt(kPartTls, "connect with TLS");
}

int TlsClient::close(uint32_t code) {
  if (!tlsSelected_ || tlsState_ == TlsState::Idle) return TcpClient::close(code);
  return notBuilt(kPartTls, "close");
}

int TlsClient::send(const char* data, int length) {
  if (!tlsSelected_ || !sendingActive_) return sendOnce(data, length, true);
  return notBuilt(kPartTls, "send");
}

int TlsClient::setEol(const std::string& marker) {
  if (!tlsSelected_) return TcpClient::setEol(marker);
  decrypted_.setEol(marker);
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

int TlsClient::setAcceptServerCert(const std::string& bytes) {
  clearError();
  acceptServerCertText_.clear();
  if (bytes.empty()) return 0;
  return notBuilt(kPartCertificates, "SSLAcceptServerCert");
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
    notBuilt(kPartTls, "the handshake");
    code = kErrNotBuilt;
  }
  setState(TlsState::Idle);
  reportConnectionStatus("Connection to host failed.", code);
  reportConnected(code);
}

void TlsClient::disconnectNotification(int code) {
  TcpClient::disconnectNotification(code);
  setState(TlsState::Idle);
}

int TlsClient::rawDataIn(const char* data, int length, bool endOfLine) {
  if (!receivingActive_ || !tlsSelected_) return TcpClient::rawDataIn(data, length, endOfLine);
  return notBuilt(kPartTls, "decryption");
}

void TlsClient::onReadyToSend() { TcpClient::onReadyToSend(); }

int TlsClient::tlsCloseStep(bool /*sendCloseNotify*/) {
  return notBuilt(kPartTls, "the close step");
}

}  // namespace velmora::network::component
