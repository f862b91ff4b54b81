// The built-in libraries and their entry points.
#include "platform/modules.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/certificates.h"
#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/winsock.h"

namespace {

using tw_platform::kInternetExports;
using Export = tw_platform::ModuleExport;
using tw_platform::entry;

struct Library {
  const char* fileName;
  const Export* exports;
  std::atomic<int> loads;
};

const Export kWs2Exports[] = {
    {"getaddrinfo", entry(&getaddrinfo)},
    {"freeaddrinfo", entry(&freeaddrinfo)},
    {"getnameinfo", entry(&getnameinfo)},
    {nullptr, nullptr},
};

const Export kCrypt32Exports[] = {
    {"CertCreateCertificateContext", entry(&CertCreateCertificateContext)},
    {"CertDuplicateCertificateContext", entry(&CertDuplicateCertificateContext)},
    {"CertFreeCertificateContext", entry(&CertFreeCertificateContext)},
    {"CertNameToStrA", entry(&CertNameToStrA)},
    {"CertGetCertificateChain", entry(&CertGetCertificateChain)},
    {"CertFreeCertificateChain", entry(&CertFreeCertificateChain)},
    {"CertVerifyCertificateChainPolicy", entry(&CertVerifyCertificateChainPolicy)},
    {"CertCloseStore", entry(&CertCloseStore)},
    {nullptr, nullptr},
};

const Export kSecur32Exports[] = {
    {"InitSecurityInterfaceA", entry(&InitSecurityInterfaceA)},
    {nullptr, nullptr},
};

Library g_libraries[] = {
    {"ws2_32.dll", kWs2Exports, {0}},
    {"crypt32.dll", kCrypt32Exports, {0}},
    {"secur32.dll", kSecur32Exports, {0}},
    {"wininet.dll", kInternetExports, {0}},
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
  if (l == nullptr) {
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
