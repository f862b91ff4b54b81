// The security package and the certificate functions, loaded once at
// process start-up from their libraries ("secur32.dll", "crypt32.dll"). An
// entry that is missing stays null, and the TLS layer reports the failure
// the caller meets. Written at start-up only, read afterwards.
#pragma once

#include "platform/certificates.h"
#include "platform/security.h"

namespace velmora::network::component::security {

// The certificate functions the server certificate check calls.
struct CertFunctions {
  decltype(&CertNameToStrA) nameToStr = nullptr;
  decltype(&CertGetCertificateChain) getChain = nullptr;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy = nullptr;
  decltype(&CertFreeCertificateChain) freeChain = nullptr;
  decltype(&CertCreateCertificateContext) createContext = nullptr;
  decltype(&CertFreeCertificateContext) freeContext = nullptr;
};

void load();
void unload();

// The package's function table (a copy), or null when it could not be loaded.
const SecurityFunctionTableA* package();
const CertFunctions& certificates();

}  // namespace velmora::network::component::security
