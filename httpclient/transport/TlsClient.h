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

#include "httpclient/transport/TcpClient.h"

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
  const std::string& acceptServerCertText() const { return acceptServerCertText_; }
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

 protected:
  void connectNotification(int code) override;
  void disconnectNotification(int code) override;
  int rawDataIn(const char* data, int length, bool endOfLine) override;
  void onReadyToSend() override;
  int tlsCloseStep(bool sendCloseNotify) override;
  // Plain connections record the socket's bytes; TLS records plain text.
  bool recordsSocketBytes() const override { return !tlsSelected_; }
  int sendPiece(const char* data, int length) override { return send(data, length); }

 private:
  void setState(TlsState next);

  std::string provider_ = "Microsoft Unified Security Protocol Provider";
  std::string certStore_ = "MY";
  std::string clientCert_;
  std::string certStorePassword_;
  int32_t certStoreType_ = 0;
  std::string certSubject_;
  int32_t cipherStrength_ = 40;
  int32_t enabledProtocols_ = 240;
  bool enableRenegotiation_ = true;
  std::string acceptServerCertText_;
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

  // The line buffer of decrypted bytes (its settings while TLS is selected).
  LineBuffer decrypted_;

  SettingTable settings_;
};

}  // namespace velmora::network::component
