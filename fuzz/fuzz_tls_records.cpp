// The walk over raw TLS handshake bytes that finds the server's certificate
// before the handshake ends (ParseSSLServerCert). Input: the bytes a
// handshake step was given, as a server could send them.
//
// Checked: the walk never reads outside the input; it gives 0 or 281 only;
// a 0 comes with a subject, an issuer and a bare Base64 text whose bytes
// are a certificate that stood whole in the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include <crypto++/base64.h>
#include <crypto++/filters.h>

#include "fuzz/fuzz_support.h"
#include "httpclient/transport/SecurityLibrary.h"
#include "httpclient/transport/ServerCertificate.h"

using namespace velmora::network::component;

void tw_fuzz::setUp() { security::load(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so that a read past the end meets the sanitizer.
  const std::string input(reinterpret_cast<const char*>(data), size);
  CertificateFacts facts;
  const int rc = ServerCertificate::readFromHandshake(input.data(), input.size(), facts);
  tw_fuzz::check(rc == 0 || rc == kErrNoServerCert, "result other than 0 or 281");
  if (rc != 0) return 0;
  tw_fuzz::check(!facts.text.empty(), "certificate found without its text");
  std::string der;
  CryptoPP::StringSource(facts.text, true,
                         new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  tw_fuzz::check(!der.empty() && input.find(der) != std::string::npos,
                 "certificate text is not a certificate of the input");
  return 0;
}
