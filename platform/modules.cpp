// The built-in libraries and their entry points.
#include "platform/modules.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/tls_module.h"
#include "platform/winsock.h"

namespace {

using tw_platform::kInternetExports;
using Export = tw_platform::ModuleExport;
using tw_platform::entry;

struct Library {
  const char* fileName;
  const Export* exports;
  std::atomic<int> loads;
  // Whether the library's code can be found; null: always.
  bool (*present)();
};

const Export kWs2Exports[] = {
    {"getaddrinfo", entry(&getaddrinfo)},
    {"freeaddrinfo", entry(&freeaddrinfo)},
    {"getnameinfo", entry(&getnameinfo)},
    {nullptr, nullptr},
};

// The security libraries' entries: the functions themselves or forwarders
// into the TLS module (tls_module.h).
const tw_platform::TlsEntries& tls = tw_platform::kTlsEntries;
const Export kCrypt32Exports[] = {
    {"CertCreateCertificateContext", entry(tls.createContext)},
    {"CertDuplicateCertificateContext", entry(tls.duplicateContext)},
    {"CertFreeCertificateContext", entry(tls.freeContext)},
    {"CertNameToStrA", entry(tls.nameToStr)},
    {"CertGetCertificateChain", entry(tls.getChain)},
    {"CertFreeCertificateChain", entry(tls.freeChain)},
    {"CertVerifyCertificateChainPolicy", entry(tls.verifyPolicy)},
    {"CertCloseStore", entry(tls.closeStore)},
    {nullptr, nullptr},
};

const Export kSecur32Exports[] = {
    {"InitSecurityInterfaceA", entry(tls.initSecurityInterface)},
    {nullptr, nullptr},
};

Library g_libraries[] = {
    {"ws2_32.dll", kWs2Exports, {0}, nullptr},
    {"crypt32.dll", kCrypt32Exports, {0}, tw_platform::tlsLibrariesPresent},
    {"secur32.dll", kSecur32Exports, {0}, tw_platform::tlsLibrariesPresent},
    {"wininet.dll", kInternetExports, {0}, nullptr},
};

Library* findLibrary(LPCSTR name) {
  if (name == nullptr) return nullptr;
  for (Library& l : g_libraries) {
    // "ws2_32" names the same library as "ws2_32.dll".
    if (tw_platform::equalsNoCase(name, l.fileName) ||
        tw_platform::equalsNoCase(std::string(name) + ".dll", l.fileName)) {
      return &l;
    }
  }
  return nullptr;
}

Library* fromHandle(HMODULE module) {
  for (Library& l : g_libraries) {
    if (module == &l) return &l;
  }
  return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
  Library* l = findLibrary(fileName);
  if (l == nullptr || (l->present != nullptr && !l->present())) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  l->loads.fetch_add(1);
  return l;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  Library* l = fromHandle(module);
  if (l == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  for (const Export* e = l->exports; procName && e->name; ++e) {
    if (std::strcmp(e->name, procName) == 0) return e->proc;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  Library* l = fromHandle(module);
  if (l == nullptr || l->loads.load() == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  l->loads.fetch_sub(1);
  return TRUE;
}
