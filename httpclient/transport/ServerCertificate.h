// Server certificate verification: the check of a server's certificate
// (chain, SSL policy, host name), the certificate read from raw handshake
// bytes, the certificate accepted beforehand, and the text forms of a
// certificate. The TLS layer decides with these and fires the events.
#pragma once

#include <cstdint>
#include <string>

#include "platform/certificates.h"

namespace velmora::network::component {

// What the SSLServerAuthentication event shows of a certificate.
struct CertificateFacts {
  std::string subject;
  std::string issuer;
  std::string status;  // "OK", "[0x...] description", or a failure text
  std::string text;    // PEM (or the bare Base64 lines)
};

// Component codes of the certificate check.
constexpr int kErrCertChain = 274;
constexpr int kErrCertPolicy = 275;
constexpr int kErrHandshake = 276;
constexpr int kErrCertRefused = 280;
constexpr int kErrNoServerCert = 281;
constexpr int kErrCertName = 285;

// The PEM form: BEGIN line, Base64 in lines of 64 joined by CR LF, END line.
std::string certificatePem(const BYTE* der, size_t length);
// The bare form: the Base64 lines alone.
std::string certificateBare(const BYTE* der, size_t length);

class ServerCertificate {
 public:
  ServerCertificate() = default;
  ~ServerCertificate();
  ServerCertificate(const ServerCertificate&) = delete;
  ServerCertificate& operator=(const ServerCertificate&) = delete;

  // Checks a certificate against the trust, the policy flags and, when
  // checkName is set, the host name. Returns 0 when it passes, the policy
  // status when it does not, or 274, 275 or 285 (errorText then holds the
  // failure's text, which is also the status text).
  uint32_t verify(PCCERT_CONTEXT cert, const std::string& host, bool checkName,
                  uint32_t policyFlags, bool includeChain, CertificateFacts& out,
                  std::string& errorText) const;

  // The first certificate of the Certificate message in raw handshake
  // bytes: 0, or 281 when there is none or the records do not hold it.
  static int readFromHandshake(const char* data, size_t length, CertificateFacts& out);

  // The certificate accepted without check: PEM text, bare Base64 or DER;
  // empty releases it. 0, or 280 with errorText.
  int setAccepted(const std::string& bytes, std::string& errorText);
  // The accepted certificate in bare form, or empty.
  const std::string& acceptedText() const { return acceptedText_; }
  // True when cert has the same DER bytes as the accepted one.
  bool isAccepted(PCCERT_CONTEXT cert) const;

 private:
  void release();
  PCCERT_CONTEXT accepted_ = nullptr;
  std::string acceptedText_;
};

}  // namespace velmora::network::component
