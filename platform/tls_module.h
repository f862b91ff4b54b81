// The TLS module: the security package and the certificate functions (the
// code that uses OpenSSL) as one table of entry points. The programs load it
// from tarnwick-tls.so on first use (tls_on_demand.cpp), so that a check
// that uses neither never maps OpenSSL; the tests link the functions
// themselves (tls_linked.cpp). Only files in platform/ include this.
#pragma once

#include <cstddef>

#include "platform/certificates.h"
#include "platform/security.h"

namespace tw_platform {

// crypt32.dll's entry points and secur32.dll's one.
struct TlsEntries {
  // sizeof(TlsEntries) as the module was built: a module of another
  // layout is refused.
  size_t size;
  decltype(&CertCreateCertificateContext) createContext;
  decltype(&CertDuplicateCertificateContext) duplicateContext;
  decltype(&CertFreeCertificateContext) freeContext;
  decltype(&CertNameToStrA) nameToStr;
  decltype(&CertGetCertificateChain) getChain;
  decltype(&CertFreeCertificateChain) freeChain;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
  decltype(&CertCloseStore) closeStore;
  decltype(&InitSecurityInterfaceA) initSecurityInterface;
};

// What "crypt32.dll" and "secur32.dll" hand out: the functions themselves,
// or forwarders into the module.
extern const TlsEntries kTlsEntries;

// Whether those two libraries load: with the functions linked in always;
// with the forwarders, when a module file fit to load was found (126 else).
bool tlsLibrariesPresent();

// The module's file name, and its one exported function (no arguments),
// which returns its TlsEntries.
inline constexpr char kTlsModuleFile[] = "tarnwick-tls.so";
inline constexpr char kTlsEntriesSymbol[] = "tarnwick_tls_entries";

}  // namespace tw_platform
