// "crypt32.dll" and "secur32.dll" as the functions linked into the same
// binary: the tests' build, and the TLS module's own table.
#include "platform/tls_module.h"

namespace tw_platform {

const TlsEntries kTlsEntries = {
    sizeof(TlsEntries),
    &CertCreateCertificateContext,
    &CertDuplicateCertificateContext,
    &CertFreeCertificateContext,
    &CertNameToStrA,
    &CertGetCertificateChain,
    &CertFreeCertificateChain,
    &CertVerifyCertificateChainPolicy,
    &CertCloseStore,
    &InitSecurityInterfaceA,
};

bool tlsLibrariesPresent() { return true; }

}  // namespace tw_platform

// The module's entry: the programs find it with dlsym.
extern "C" __attribute__((visibility("default"))) const tw_platform::TlsEntries*
tarnwick_tls_entries() {
  return &tw_platform::kTlsEntries;
}
