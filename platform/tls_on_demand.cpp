// "crypt32.dll" and "secur32.dll" of the programs: forwarders that load the
// TLS module on their first call and then call its function, so that a
// check that uses neither TLS nor the security package never maps OpenSSL.
//
// The module is looked for beside the running executable only, first in
// <exedir>/../lib/tarnwick/ (installed), then in <exedir>/ (build tree),
// never at a path from the environment. The program may run as root, so the
// file must be a regular file, not a link, owned by root or this user and
// not writable by group or others; a file that is not counts as missing. It
// is opened when the libraries load and what is loaded later is that open
// file (/proc/self/fd/N), not whatever the path names by then.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <type_traits>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tls_module.h"

namespace tw_platform {

namespace {

std::once_flag g_findOnce;
std::once_flag g_loadOnce;
int g_file = -1;
bool g_found = false;
const TlsEntries* g_module = nullptr;
const SecurityFunctionTableA* g_package = nullptr;

// The file at path open for reading, or -1 when it is missing or refused.
// O_NONBLOCK: a FIFO put in its place must not stop the program.
int openTrusted(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  const bool trusted = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       (st.st_uid == 0 || st.st_uid == geteuid()) &&
                       (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  if (!trusted) close(fd);
  return trusted ? fd : -1;
}

void find() {
  const std::string exe = executablePath();
  if (exe.empty()) return;
  const std::string dir = exe.substr(0, exe.rfind('/'));
  for (const char* folder : {"/../lib/tarnwick/", "/"}) {
    g_file = openTrusted(dir + folder + kTlsModuleFile);
    g_found = g_file >= 0;
    if (g_found) return;
  }
}

void load() {
  std::call_once(g_findOnce, find);
  if (g_file < 0) return;
  const std::string path = "/proc/self/fd/" + std::to_string(g_file);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  close(g_file);
  g_file = -1;
  using EntriesFn = const TlsEntries* (*)();
  EntriesFn entries = nullptr;
  const TlsEntries* m =
      module != nullptr && lookUpSymbol(module, kTlsEntriesSymbol, entries) ? entries() : nullptr;
  if (m == nullptr || m->size != sizeof(TlsEntries)) return;
  g_package = m->initSecurityInterface();
  if (g_package != nullptr) g_module = m;
}

template <typename Table>
const Table* loaded();
template <>
const TlsEntries* loaded() {
  std::call_once(g_loadOnce, load);
  return g_module;
}
template <>
const SecurityFunctionTableA* loaded() {
  std::call_once(g_loadOnce, load);
  return g_package;
}

// The forwarder of the function at Member of its table: the module's
// function, or Failure when the module cannot be loaded (the certificate
// functions then set 126 as the last error; the package's return a status).
template <auto Member, auto Failure>
struct Forward;
template <typename Table, typename R, typename... A, R (*Table::*Member)(A...), auto Failure>
struct Forward<Member, Failure> {
  static R call(A... a) {
    if (const Table* t = loaded<Table>()) return (t->*Member)(a...);
    if constexpr (std::is_same_v<Table, TlsEntries>) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<R>(Failure);
  }
};

template <auto Member>
constexpr auto kCert = &Forward<Member, nullptr>::call;
template <auto Member>
constexpr auto kCertBool = &Forward<Member, FALSE>::call;
template <auto Member>
constexpr auto kPackage = &Forward<Member, SEC_E_INTERNAL_ERROR>::call;

// The package's table of forwarders; the module loads on the first call of
// one of them, not here.
PSecurityFunctionTableA initSecurityInterface() {
  using T = SecurityFunctionTableA;
  static SecurityFunctionTableA table = [] {
    T t{};
    t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_4;
    t.AcquireCredentialsHandleA = kPackage<&T::AcquireCredentialsHandleA>;
    t.FreeCredentialsHandle = kPackage<&T::FreeCredentialsHandle>;
    t.InitializeSecurityContextA = kPackage<&T::InitializeSecurityContextA>;
    t.DeleteSecurityContext = kPackage<&T::DeleteSecurityContext>;
    t.ApplyControlToken = kPackage<&T::ApplyControlToken>;
    t.QueryContextAttributesA = kPackage<&T::QueryContextAttributesA>;
    t.FreeContextBuffer = kPackage<&T::FreeContextBuffer>;
    t.EncryptMessage = kPackage<&T::EncryptMessage>;
    t.DecryptMessage = kPackage<&T::DecryptMessage>;
    return t;
  }();
  return &table;
}

}  // namespace

// CertNameToStrA's failure is 0 characters: nothing was written.
const TlsEntries kTlsEntries = {
    sizeof(TlsEntries),
    kCert<&TlsEntries::createContext>,
    kCert<&TlsEntries::duplicateContext>,
    kCertBool<&TlsEntries::freeContext>,
    &Forward<&TlsEntries::nameToStr, 0>::call,
    kCertBool<&TlsEntries::getChain>,
    &Forward<&TlsEntries::freeChain, 0>::call,
    kCertBool<&TlsEntries::verifyPolicy>,
    kCertBool<&TlsEntries::closeStore>,
    &initSecurityInterface,
};

bool tlsLibrariesPresent() {
  std::call_once(g_findOnce, find);
  return g_found;
}

}  // namespace tw_platform
