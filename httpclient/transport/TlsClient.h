// TLS client: the layer between the TCP client (with its tunnel) and HTTP.
// What it is: for a connection with TLS selected, acquires credentials, runs
//   the handshake as bytes arrive, checks the server certificate, encrypts and
//   decrypts records, and keeps a line buffer of decrypted bytes; also holds
//   the security-package settings used by HTTP authentication.
// May call below: the TCP client's connect, raw send and close.
// Tells above: rawDataIn (decrypted bytes, or plain bytes without TLS), the
//   connect and disconnect notifications, SSLStatus, SSLServerAuthentication.
// Re-entrancy: the handshake and decryption run inside the engine's receive
//   handler, never twice at once; AcceptData is off while bytes go up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "httpclient/transport/ServerCertificate.h"
#include "httpclient/transport/TcpClient.h"
#include "platform/security.h"

namespace velmora::network::component {

// TLS state of the connection.
enum class TlsState {
  Idle = 0,        // no TLS connection
  Connecting = 1,  // credentials acquired, socket connect or handshake running
  Connected = 2,   // handshake complete and server certificate accepted
};

class TlsClient : public TcpClient {
 public:
  TlsClient();
  ~TlsClient() override;

  // Process start-up and end: the security package and certificate
  // functions (the TLS engine itself is made at the first TLS connect).
  static void startup();
  static void shutdown();

  // TLS for the next connection (on by default and after every clean-up).
  void selectTls(bool on);
  bool tlsSelected() const { return tlsSelected_; }
  TlsState tlsState() const { return tlsState_; }

  int connect() override;
  int close(uint32_t code) override;
  // Encrypts and sends (plain send when TLS is not in use).
  int send(const char* data, int length);
  int setEol(const std::string& marker) override;
  int setSplitCrlf(bool on) override;
  int setMaxLineLength(int32_t length) override;
  int32_t maxLineLength() const override;
  void cleanupSocket() override;
  void* securityContext() override { return nullptr; }
  bool configSetting(const ConfigRequest& req, std::string& answer, int& code) override;

  // Server certificate verification.
  // The certificate accepted without check: PEM text or DER bytes; empty
  // releases it.
  int setAcceptServerCert(const std::string& bytes);
  const std::string& acceptServerCertText() const { return certificate_.acceptedText(); }
  // The last server certificate (PEM, or the chain with SSLIncludeCertChain).
  const std::string& serverCertText() const { return serverCertText_; }
  uint32_t securityFlags() const { return securityFlags_; }

  // Client certificate properties, kept for the security package.
  std::string& clientCert() { return clientCert_; }
  std::string& certStore() { return certStore_; }
  std::string& certStorePassword() { return certStorePassword_; }
  int32_t& certStoreType() { return certStoreType_; }
  std::string& certSubject() { return certSubject_; }

  // Security-package settings used by HTTP authentication.
  const std::string& kerberosSpn() const { return kerberosSpn_; }
  bool useSystemSspi() const { return useSystemSspi_; }
  bool extendedProtection() const { return extendedProtection_; }
  // The TLS security context of the connection (its channel bindings serve
  // HTTP authentication), or null when there is none.
  PCtxtHandle tlsContext() { return haveContext_ ? &context_ : nullptr; }

 protected:
  void connectNotification(int code) override;
  void disconnectNotification(int code) override;
  int rawDataIn(const char* data, int length, bool endOfLine) override;
  void onReadyToSend() override;
  void holdReceivedData(bool hold) override;
  // The end of the byte stream, after the decrypted bytes still held went
  // up and before Disconnected: a body that runs to the close ends here.
  virtual void endOfStream() {}
  int tlsCloseStep(bool sendCloseNotify) override;
  // Plain connections record the socket's bytes; TLS records plain text.
  bool recordsSocketBytes() const override { return !tlsSelected_; }
  bool tunnelSystemSspi() const override { return useSystemSspi_; }
  bool secureHandshakePending() const override {
    return tlsSelected_ && tlsState_ == TlsState::Connecting;
  }
  int sendPiece(const char* data, int length) override { return send(data, length); }

 private:
  void setState(TlsState next);
  // Credentials from the settings (kept with ReuseSSLSession).
  int acquireCredentials();
  void freeCredentials();
  void deleteContext();
  std::string targetName() const;
  // The handshake: the first token, then one step per batch of bytes; a
  // step returns 1 when it should run again on the bytes left.
  void startHandshake();
  int handshakeStep();
  int handshakeFailed(SECURITY_STATUS status);
  bool completeHandshake();
  // The server certificate: early (ParseSSLServerCert) and at completion.
  bool earlyCertificateDecision(const char* data, size_t length);
  bool certificateDecision();
  int refuseCertificate();
  int decryptStep();
  // Decrypted bytes go up by lines (or blocks) through the line buffer.
  void deliver(const char* data, size_t length);
  int handUp(const char* data, size_t length, bool endOfLine);
  // Encrypted records and handshake tokens go out here; what the socket
  // does not take waits in pending_.
  int rawSend(const char* data, size_t length);
  int sendPending();
  // close_notify (cleanup: the context goes and TLS is deselected), or the
  // one alert this layer sends.
  SECURITY_STATUS shutdownTls(bool cleanup);
  SECURITY_STATUS sendControlToken(void* token, ULONG size);
  std::string negotiatedParameters();

  std::string provider_ = "Microsoft Unified Security Protocol Provider";
  std::string certStore_ = "MY";
  std::string clientCert_;
  std::string certStorePassword_;
  int32_t certStoreType_ = 0;
  std::string certSubject_;
  int32_t cipherStrength_ = 40;
  int32_t enabledProtocols_ = 240;
  bool enableRenegotiation_ = true;
  uint32_t securityFlags_ = 0;
  std::string algorithmList_;
  bool useDefaultCredentials_ = false;
  bool reuseSslSession_ = false;
  bool includeCertChain_ = false;
  bool extendedProtection_ = false;
  bool gracefullyShutDown_ = false;
  std::string kerberosSpn_;
  bool useSystemSspi_ = false;

  bool tlsSelected_ = true;
  bool sendingActive_ = false;
  bool receivingActive_ = false;
  TlsState tlsState_ = TlsState::Idle;
  bool parseServerCert_ = false;
  std::string serverCertText_;
  ServerCertificate certificate_;

  CredHandle credentials_{};
  bool haveCredentials_ = false;
  CtxtHandle context_{};
  bool haveContext_ = false;
  bool handshaking_ = false;
  SECURITY_STATUS lastFailingStatus_ = -1;
  std::string received_;  // raw TLS bytes not yet used
  std::string pending_;   // raw TLS bytes the socket has not taken yet
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> record_;  // header + maximum message + trailer
  bool tlsAcceptData_ = true;
  bool delivering_ = false;   // decrypted bytes are going up

  // The line buffer of decrypted bytes (its settings while TLS is selected),
  // and what did not fit into it yet.
  LineBuffer decrypted_;
  std::string overflow_;

  SettingTable settings_;
};

}  // namespace velmora::network::component
