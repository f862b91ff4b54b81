#include "httpclient/transport/ServerCertificate.h"

#include <crypto++/base64.h>
#include <crypto++/filters.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "httpclient/transport/SecurityLibrary.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace velmora::network::component {

namespace {

const char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
const char kPemEnd[] = "-----END CERTIFICATE-----";

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// The descriptions of the policy statuses a check can give.
const char* statusDescription(uint32_t status) {
  struct Entry {
    uint32_t status;
    const char* text;
  };
  static const Entry kTable[] = {
      {0x800B0109, "A certification chain processed correctly but terminated in a root "
                   "certificate not trusted by the trust provider."},
      {0x800B010A, "A chain of certificates was not correctly created."},
      {0x800B010C, "A certificate in the chain has been explicitly revoked by its issuer."},
      {0x800B010D, "The root certificate is a testing certificate and policy settings "
                   "disallow test certificates."},
      {0x800B010E, "The revocation process could not continue. The certificates could not "
                   "be checked."},
      {0x800B010F, "The certificate's CN name does not match the passed value."},
      {0x800B0110, "The certificate is not valid for the requested usage."},
      {0x800B0106, "A certificate is being used for a non permitted purpose."},
      {0x800B0101, "A required certificate is not within its validity period."},
      {0x800B0102, "The validity periods of the certification chain do not nest correctly."},
      {0x800B0103, "A certificate that can only be used as an end-entity is being used as a "
                   "CA or visa versa."},
      {0x80096019, "The certificate's basic constraints are invalid or missing."},
      {0x80092010, "The certificate or signature has been revoked."},
      {0x80092013, "Since the revocation server was offline, the called function was not "
                   "able to complete the revocation check."},
      {0x80096004, "The signature of the certificate cannot be verified."},
  };
  for (const Entry& e : kTable) {
    if (e.status == status) return e.text;
  }
  return "(unknown status code)";
}

std::string base64Lines(const BYTE* der, size_t length) {
  std::string flat;
  CryptoPP::StringSource(der, length, true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(flat), false));
  std::string lines;
  for (size_t at = 0; at < flat.size(); at += 64) {
    if (at > 0) lines += "\r\n";
    lines.append(flat, at, 64);
  }
  return lines;
}

// Base64 text (line breaks and blanks allowed) to bytes; false when a byte
// is no Base64 character or the text is empty.
bool decodeBase64(const std::string& text, std::string& bytes) {
  std::string clean;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '/' || c == '=';
    if (!ok) return false;
    clean += c;
  }
  if (clean.empty() || clean.size() % 4 != 0) return false;
  bytes.clear();
  CryptoPP::StringSource(clean, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(bytes)));
  return !bytes.empty();
}

// Bytes that read as text: printable ASCII and line breaks only.
bool looksLikeText(const std::string& bytes) {
  for (unsigned char c : bytes) {
    if (!(c == '\r' || c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F))) return false;
  }
  return true;
}

std::string nameText(const security::CertFunctions& f, PCCERT_CONTEXT cert, CERT_NAME_BLOB& name) {
  if (f.nameToStr == nullptr) return std::string();
  char text[2000];
  const DWORD n = f.nameToStr(cert->dwCertEncodingType, &name,
                              CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, text, sizeof text);
  return n > 1 ? std::string(text) : std::string();
}

uint32_t read24(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

// The first certificate of the first Certificate message in one handshake
// record's body; -1 when the body has none, 1 when it is malformed.
int certificateInRecord(const unsigned char* p, size_t length, std::string& der) {
  size_t at = 0;
  while (at + 4 <= length) {
    const unsigned type = p[at];
    const size_t messageLength = read24(p + at + 1);
    const unsigned char* body = p + at + 4;
    if (type == 11) {
      const size_t available = std::min(messageLength, length - at - 4);
      // The list may run on into the next record; the first certificate
      // must be whole in this one.
      if (available < 6) return 1;
      const size_t listLength = read24(body);
      if (messageLength < 3 || listLength > messageLength - 3 || listLength < 3) return 1;
      const size_t certLength = read24(body + 3);
      if (certLength > listLength - 3 || certLength == 0 || certLength > available - 6) return 1;
      der.assign(reinterpret_cast<const char*>(body + 6), certLength);
      return 0;
    }
    at += 4 + messageLength;
  }
  return -1;
}

}  // namespace

std::string certificateBare(const BYTE* der, size_t length) { return base64Lines(der, length); }

std::string certificatePem(const BYTE* der, size_t length) {
  return std::string(kPemBegin) + "\r\n" + base64Lines(der, length) + "\r\n" + kPemEnd;
}

ServerCertificate::~ServerCertificate() { release(); }

void ServerCertificate::release() {
  if (accepted_ != nullptr) {
    const security::CertFunctions& f = security::certificates();
    if (f.freeContext != nullptr) f.freeContext(accepted_);
  }
  accepted_ = nullptr;
  acceptedText_.clear();
}

uint32_t ServerCertificate::verify(PCCERT_CONTEXT cert, const std::string& host, bool checkName,
                                   uint32_t policyFlags, bool includeChain,
                                   CertificateFacts& out, std::string& errorText) const {
  const security::CertFunctions& f = security::certificates();
  out = CertificateFacts{};
  errorText.clear();
  out.subject = nameText(f, cert, cert->pCertInfo->Subject);
  out.issuer = nameText(f, cert, cert->pCertInfo->Issuer);

  PCCERT_CHAIN_CONTEXT chain = nullptr;
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  if (f.getChain == nullptr ||
      !f.getChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr, &chain)) {
    errorText = "can't get certificate chain (error " + hex(GetLastError()) + ").";
    out.status = errorText;
    return kErrCertChain;
  }

  uint32_t result = 0;
  // The host name in UTF-16, in a work buffer of 256 units: a name that does
  // not convert, or is longer, cannot match.
  WCHAR wideHost[256] = {};
  bool hostUsable = true;
  if (!host.empty()) {
    hostUsable = host.size() < 256 &&
                 MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, host.c_str(), -1, wideHost,
                                     256) > 0;
  }
  if (!hostUsable) {
    out.status = "Server name does not match server certificate.";
    result = kErrCertName;
  } else {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = (host.empty() || !checkName) ? nullptr : wideHost;
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = policyFlags;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (f.verifyPolicy == nullptr ||
        !f.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) {
      errorText = "Can't verify certificate chain (error " + hex(GetLastError()) + ").";
      out.status = errorText;
      result = kErrCertPolicy;
    } else {
      result = status.dwError;
      out.status = result == 0 ? std::string("OK")
                               : "[" + hex(result) + "] " + statusDescription(result);
    }
  }

  // The certificate text: the server's alone, or every certificate of the
  // chain in order, server first.
  if (includeChain) {
    for (DWORD c = 0; c < chain->cChain; ++c) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
      for (DWORD e = 0; e < simple->cElement; ++e) {
        PCCERT_CONTEXT element = simple->rgpElement[e]->pCertContext;
        if (!out.text.empty()) out.text += "\r\n";
        out.text += certificatePem(element->pbCertEncoded, element->cbCertEncoded);
      }
    }
  } else {
    out.text = certificatePem(cert->pbCertEncoded, cert->cbCertEncoded);
  }
  if (f.freeChain != nullptr) f.freeChain(chain);
  return result;
}

int ServerCertificate::readFromHandshake(const char* data, size_t length, CertificateFacts& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  if (p == nullptr || length == 0) return kErrNoServerCert;
  std::string der;
  size_t at = 0;
  bool found = false;
  while (!found && at < length) {
    if (length - at < 5) return kErrNoServerCert;
    const unsigned type = p[at];
    const size_t recordLength = (static_cast<size_t>(p[at + 3]) << 8) | p[at + 4];
    if (recordLength > length - at - 5) return kErrNoServerCert;
    if (type == 22) {
      const int r = certificateInRecord(p + at + 5, recordLength, der);
      if (r > 0) return kErrNoServerCert;
      found = r == 0;
    }
    at += 5 + recordLength;
  }
  if (!found) return kErrNoServerCert;

  const security::CertFunctions& f = security::certificates();
  if (f.createContext == nullptr) return kErrNoServerCert;
  PCCERT_CONTEXT cert = f.createContext(X509_ASN_ENCODING,
                                        reinterpret_cast<const BYTE*>(der.data()),
                                        static_cast<DWORD>(der.size()));
  if (cert == nullptr) return kErrNoServerCert;
  out = CertificateFacts{};
  out.subject = nameText(f, cert, cert->pCertInfo->Subject);
  out.issuer = nameText(f, cert, cert->pCertInfo->Issuer);
  out.text = certificateBare(cert->pbCertEncoded, cert->cbCertEncoded);
  if (f.freeContext != nullptr) f.freeContext(cert);
  return 0;
}

int ServerCertificate::setAccepted(const std::string& bytes, std::string& errorText) {
  release();
  errorText.clear();
  if (bytes.empty()) return 0;
  std::string der;
  if (looksLikeText(bytes)) {
    // PEM with the CERTIFICATE label, or the bare Base64 lines.
    std::string body = bytes;
    const size_t begin = bytes.find(kPemBegin);
    if (begin != std::string::npos) {
      const size_t from = begin + std::strlen(kPemBegin);
      const size_t end = bytes.find(kPemEnd, from);
      body = end == std::string::npos ? std::string() : bytes.substr(from, end - from);
    }
    if (!decodeBase64(body, der)) {
      errorText = "Failed to decode PEM file.";
      return kErrCertRefused;
    }
  } else {
    der = bytes;
  }
  const security::CertFunctions& f = security::certificates();
  PCCERT_CONTEXT cert =
      f.createContext == nullptr
          ? nullptr
          : f.createContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                            reinterpret_cast<const BYTE*>(der.data()),
                            static_cast<DWORD>(der.size()));
  if (cert == nullptr) {
    errorText = "The certificate could not be decoded (error " + hex(GetLastError()) + ").";
    return kErrCertRefused;
  }
  accepted_ = cert;
  acceptedText_ = certificateBare(cert->pbCertEncoded, cert->cbCertEncoded);
  return 0;
}

bool ServerCertificate::isAccepted(PCCERT_CONTEXT cert) const {
  return accepted_ != nullptr && cert != nullptr && cert->cbCertEncoded == accepted_->cbCertEncoded &&
         std::memcmp(cert->pbCertEncoded, accepted_->pbCertEncoded, cert->cbCertEncoded) == 0;
}

}  // namespace velmora::network::component
