#include "httpclient/transport/SecurityLibrary.h"

#include "platform/modules.h"

namespace velmora::network::component::security {

namespace {

HMODULE g_secur32 = nullptr;
HMODULE g_crypt32 = nullptr;
SecurityFunctionTableA g_package{};
bool g_packageLoaded = false;
CertFunctions g_certificates;

template <typename F>
void lookUp(HMODULE module, const char* name, F& into) {
  into = module == nullptr ? nullptr : reinterpret_cast<F>(GetProcAddress(module, name));
}

}  // namespace

void load() {
  // The certificate functions first: the package's remote certificate is
  // one of their contexts.
  g_crypt32 = LoadLibraryA("crypt32.dll");
  CertFunctions& c = g_certificates;
  lookUp(g_crypt32, "CertNameToStrA", c.nameToStr);
  lookUp(g_crypt32, "CertGetCertificateChain", c.getChain);
  lookUp(g_crypt32, "CertVerifyCertificateChainPolicy", c.verifyPolicy);
  lookUp(g_crypt32, "CertFreeCertificateChain", c.freeChain);
  lookUp(g_crypt32, "CertCreateCertificateContext", c.createContext);
  lookUp(g_crypt32, "CertFreeCertificateContext", c.freeContext);

  g_secur32 = LoadLibraryA("secur32.dll");
  decltype(&InitSecurityInterfaceA) init = nullptr;
  lookUp(g_secur32, "InitSecurityInterfaceA", init);
  const SecurityFunctionTableA* table = init != nullptr ? init() : nullptr;
  g_packageLoaded = table != nullptr;
  if (g_packageLoaded) g_package = *table;
}

void unload() {
  g_packageLoaded = false;
  g_package = SecurityFunctionTableA{};
  g_certificates = CertFunctions{};
  if (g_secur32 != nullptr) FreeLibrary(g_secur32);
  if (g_crypt32 != nullptr) FreeLibrary(g_crypt32);
  g_secur32 = g_crypt32 = nullptr;
}

const SecurityFunctionTableA* package() { return g_packageLoaded ? &g_package : nullptr; }

const CertFunctions& certificates() { return g_certificates; }

}  // namespace velmora::network::component::security
