// The "Negotiate" security package: SPNEGO client contexts through the
// system's GSS-API library (MIT Kerberos). The library is loaded with dlopen
// at the first credentials and never linked, so that a process which never
// authenticates never maps it; a system without it has no such package.
#include <dlfcn.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <krb5/krb5.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/detail.h"
#include "platform/security_detail.h"
#include "platform/text.h"

namespace tw_platform::sspi {

namespace {

// The GSS-API entry points this package calls, looked up by name.
struct Gss {
  decltype(&gss_import_name) importName = nullptr;
  decltype(&gss_release_name) releaseName = nullptr;
  decltype(&gss_acquire_cred) acquireCred = nullptr;
  decltype(&gss_acquire_cred_with_password) acquireCredWithPassword = nullptr;
  decltype(&gss_release_cred) releaseCred = nullptr;
  decltype(&gss_init_sec_context) initSecContext = nullptr;
  decltype(&gss_delete_sec_context) deleteSecContext = nullptr;
  decltype(&gss_release_buffer) releaseBuffer = nullptr;
  decltype(&gss_display_status) displayStatus = nullptr;
};

// The library's entry points, or null when it or one of them is missing.
const Gss* gss() {
  static std::once_flag once;
  static Gss table;
  static bool loaded = false;
  std::call_once(once, [] {
    loaded = openLibrary("libgssapi_krb5.so.2", [](void* library) {
      Gss& g = table;
      return lookUpSymbol(library, "gss_import_name", g.importName) &&
             lookUpSymbol(library, "gss_release_name", g.releaseName) &&
             lookUpSymbol(library, "gss_acquire_cred", g.acquireCred) &&
             lookUpSymbol(library, "gss_acquire_cred_with_password", g.acquireCredWithPassword) &&
             lookUpSymbol(library, "gss_release_cred", g.releaseCred) &&
             lookUpSymbol(library, "gss_init_sec_context", g.initSecContext) &&
             lookUpSymbol(library, "gss_delete_sec_context", g.deleteSecContext) &&
             lookUpSymbol(library, "gss_release_buffer", g.releaseBuffer) &&
             lookUpSymbol(library, "gss_display_status", g.displayStatus);
    }) == 0;
  });
  return loaded ? &table : nullptr;
}

// SPNEGO (1.3.6.1.5.5.2), Kerberos (1.2.840.113554.1.2.2) and its
// principal name type (names are taken as written, never canonicalised).
char kSpnegoBytes[] = "\x2b\x06\x01\x05\x05\x02";
char kKerberosBytes[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02";
char kPrincipalNameBytes[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02\x01";
gss_OID_desc kSpnego{sizeof kSpnegoBytes - 1, kSpnegoBytes};
gss_OID_desc kKerberos{sizeof kKerberosBytes - 1, kKerberosBytes};
gss_OID_desc kPrincipalName{sizeof kPrincipalNameBytes - 1, kPrincipalNameBytes};

// The library's text for a status code of a mechanism (empty when none).
std::string statusText(const Gss& api, OM_uint32 code, gss_OID mech) {
  OM_uint32 minor, more = 0;
  gss_buffer_desc text{0, nullptr};
  std::string out;
  if (!GSS_ERROR(api.displayStatus(&minor, code, GSS_C_MECH_CODE, mech, &more, &text)) &&
      text.value != nullptr) {
    out.assign(static_cast<const char*>(text.value), text.length);
  }
  api.releaseBuffer(&minor, &text);
  return out;
}

// The Windows status for a failed call, from the Kerberos error under it.
// The library renumbers Kerberos codes that come up through SPNEGO, so a
// code is recognised by its text: for the failure just met the library
// gives the same text under both mechanisms.
SECURITY_STATUS statusOf(const Gss& api, OM_uint32 minor) {
  struct Known {
    krb5_error_code code;
    SECURITY_STATUS status;
  };
  static const Known kKnown[] = {
      {KRB5KDC_ERR_PREAUTH_FAILED, SEC_E_LOGON_DENIED},
      {KRB5KRB_AP_ERR_BAD_INTEGRITY, SEC_E_LOGON_DENIED},
      {KRB5_KDC_UNREACH, SEC_E_NO_AUTHENTICATING_AUTHORITY},
      {KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN, SEC_E_TARGET_UNKNOWN},
  };
  const std::string text = statusText(api, minor, &kSpnego);
  for (const Known& k : kKnown) {
    const auto code = static_cast<OM_uint32>(k.code);
    if (minor == code || (!text.empty() && statusText(api, code, &kKerberos) == text)) {
      return k.status;
    }
  }
  return SEC_E_INTERNAL_ERROR;
}

// Context requirements and their GSS-API flags (the returned attributes
// use the same bits as the requirements).
struct FlagPair {
  ULONG windows;
  OM_uint32 gss;
};
const FlagPair kFlags[] = {
    {ISC_REQ_DELEGATE, GSS_C_DELEG_FLAG},       {ISC_REQ_MUTUAL_AUTH, GSS_C_MUTUAL_FLAG},
    {ISC_REQ_REPLAY_DETECT, GSS_C_REPLAY_FLAG}, {ISC_REQ_SEQUENCE_DETECT, GSS_C_SEQUENCE_FLAG},
    {ISC_REQ_CONFIDENTIALITY, GSS_C_CONF_FLAG}, {ISC_REQ_INTEGRITY, GSS_C_INTEG_FLAG},
};

OM_uint32 gssFlags(ULONG requirements) {
  OM_uint32 flags = 0;
  for (const FlagPair& f : kFlags) flags |= (requirements & f.windows) ? f.gss : 0;
  return flags;
}

ULONG windowsFlags(OM_uint32 flags) {
  ULONG attributes = 0;
  for (const FlagPair& f : kFlags) attributes |= (flags & f.gss) ? f.windows : 0;
  return attributes;
}

struct Credential {
  explicit Credential(const Gss* g) : api(g) {}
  ~Credential() {
    OM_uint32 minor;
    if (cred != GSS_C_NO_CREDENTIAL) api->releaseCred(&minor, &cred);
  }
  const Gss* api;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
};

struct Context {
  explicit Context(std::shared_ptr<Credential> c) : cred(std::move(c)) {}
  ~Context() {
    OM_uint32 minor;
    if (ctx != GSS_C_NO_CONTEXT) cred->api->deleteSecContext(&minor, &ctx, GSS_C_NO_BUFFER);
    if (target != GSS_C_NO_NAME) cred->api->releaseName(&minor, &target);
  }
  std::shared_ptr<Credential> cred;
  gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
  gss_name_t target = GSS_C_NO_NAME;
  // The channel bindings of the first call, kept for the later ones.
  bool bound = false;
  ULONG initiatorType = 0, acceptorType = 0;
  std::string initiator, acceptor, application;
};

constexpr ULONG_PTR kCredentialTag = 0x4e437264;
constexpr ULONG_PTR kContextTag = 0x4e437478;
HandleTable<Credential, kCredentialTag> g_credentials;
HandleTable<Context, kContextTag> g_contexts;

std::string textOf(const unsigned char* p, ULONG length) {
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), length);
}

// A principal name as written ("user@REALM", "HTTP/host").
OM_uint32 importName(const Gss& api, const std::string& text, gss_name_t* name, OM_uint32* minor) {
  gss_buffer_desc buffer{text.size(), const_cast<char*>(text.data())};
  return api.importName(minor, &buffer, &kPrincipalName, name);
}

// Reads a SEC_CHANNEL_BINDINGS buffer; every part must lie inside it.
bool readBindings(const SecBuffer& b, Context& ctx) {
  SEC_CHANNEL_BINDINGS head;
  if (b.pvBuffer == nullptr || b.cbBuffer < sizeof head) return false;
  std::memcpy(&head, b.pvBuffer, sizeof head);
  const char* base = static_cast<const char*>(b.pvBuffer);
  auto part = [&](ULONG offset, ULONG length, std::string& into) {
    if (uint64_t{offset} + length > b.cbBuffer) return false;
    into.assign(base + offset, length);
    return true;
  };
  ctx.bound = true;
  ctx.initiatorType = head.dwInitiatorAddrType;
  ctx.acceptorType = head.dwAcceptorAddrType;
  return part(head.dwInitiatorOffset, head.cbInitiatorLength, ctx.initiator) &&
         part(head.dwAcceptorOffset, head.cbAcceptorLength, ctx.acceptor) &&
         part(head.dwApplicationDataOffset, head.cbApplicationDataLength, ctx.application);
}

gss_buffer_desc bufferOf(std::string& s) { return gss_buffer_desc{s.size(), s.data()}; }

}  // namespace

bool isNegotiatePackage(const char* name) {
  return name != nullptr && equalsNoCase(name, NEGOSSP_NAME_A);
}
bool isNegotiateCredential(const SecHandle* h) { return g_credentials.owns(h); }
bool isNegotiateContext(const SecHandle* h) { return g_contexts.owns(h); }

SECURITY_STATUS negotiateAcquire(ULONG use, void* authData, PCredHandle credential,
                                 PTimeStamp expiry) {
  if (credential == nullptr) return SEC_E_INVALID_PARAMETER;
  if ((use & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_NO_CREDENTIALS;  // clients only
  const Gss* api = gss();
  if (api == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  auto cred = std::make_shared<Credential>(api);
  gss_OID_set_desc mechs{1, &kSpnego};
  OM_uint32 major, minor = 0;
  if (authData == nullptr) {
    major = api->acquireCred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                             &cred->cred, nullptr, nullptr);
  } else {
    const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
    if (id->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI) return SEC_E_UNKNOWN_CREDENTIALS;
    std::string user = textOf(id->User, id->UserLength);
    const std::string domain = textOf(id->Domain, id->DomainLength);
    if (!domain.empty()) user += "@" + domain;
    std::string password = textOf(id->Password, id->PasswordLength);
    gss_name_t name = GSS_C_NO_NAME;
    major = importName(*api, user, &name, &minor);
    if (!GSS_ERROR(major)) {
      gss_buffer_desc secret = bufferOf(password);
      major = api->acquireCredWithPassword(&minor, name, &secret, GSS_C_INDEFINITE, &mechs,
                                           GSS_C_INITIATE, &cred->cred, nullptr, nullptr);
      OM_uint32 ignored;
      api->releaseName(&ignored, &name);
    }
    explicit_bzero(password.data(), password.size());
  }
  if (GSS_ERROR(major)) return statusOf(*api, minor);
  *credential = g_credentials.add(std::move(cred));
  never(expiry);
  return SEC_E_OK;
}

SECURITY_STATUS negotiateFreeCredentials(PCredHandle credential) {
  return g_credentials.remove(credential) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS negotiateInitialize(PCredHandle credential, PCtxtHandle context, const char* target,
                                    ULONG requirements, PSecBufferDesc input,
                                    PCtxtHandle newContext, PSecBufferDesc output,
                                    ULONG* attributes, PTimeStamp expiry) {
  std::shared_ptr<Context> ctx;
  const bool fresh = context == nullptr;
  OM_uint32 major, minor = 0;
  gss_buffer_desc in{0, nullptr};
  if (fresh) {
    std::shared_ptr<Credential> cred = g_credentials.find(credential);
    if (cred == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
    if (target == nullptr || *target == '\0') return SEC_E_TARGET_UNKNOWN;
    ctx = std::make_shared<Context>(cred);
    major = importName(*cred->api, target, &ctx->target, &minor);
    if (GSS_ERROR(major)) return statusOf(*cred->api, minor);
    PSecBuffer bindings = findBuffer(input, SECBUFFER_CHANNEL_BINDINGS);
    if (bindings != nullptr && !readBindings(*bindings, *ctx)) return SEC_E_INVALID_TOKEN;
  } else {
    ctx = g_contexts.find(context);
    if (ctx == nullptr) return SEC_E_INVALID_HANDLE;
    if (newContext != nullptr) *newContext = *context;
    PSecBuffer token = findBuffer(input, SECBUFFER_TOKEN);
    if (token == nullptr || (token->pvBuffer == nullptr && token->cbBuffer != 0)) {
      return SEC_E_INVALID_TOKEN;
    }
    in = gss_buffer_desc{token->cbBuffer, token->pvBuffer};
  }
  gss_channel_bindings_struct cb{ctx->initiatorType, bufferOf(ctx->initiator), ctx->acceptorType,
                                 bufferOf(ctx->acceptor), bufferOf(ctx->application)};
  gss_buffer_desc out{0, nullptr};
  OM_uint32 granted = 0;
  const Gss& api = *ctx->cred->api;
  major = api.initSecContext(&minor, ctx->cred->cred, &ctx->ctx, ctx->target, &kSpnego,
                             gssFlags(requirements), GSS_C_INDEFINITE,
                             ctx->bound ? &cb : GSS_C_NO_CHANNEL_BINDINGS, &in, nullptr, &out,
                             &granted, nullptr);
  std::string token = out.value != nullptr
                          ? std::string(static_cast<const char*>(out.value), out.length)
                          : std::string();
  OM_uint32 ignored;
  api.releaseBuffer(&ignored, &out);
  if (GSS_ERROR(major)) return statusOf(api, minor);
  const bool allocate = (requirements & ISC_REQ_ALLOCATE_MEMORY) != 0;
  SECURITY_STATUS put = putToken(output, token, allocate);
  if (put != SEC_E_OK) return put;
  if (fresh) *newContext = g_contexts.add(ctx);
  if (attributes != nullptr) {
    *attributes = windowsFlags(granted) | (allocate ? ISC_RET_ALLOCATED_MEMORY : 0);
  }
  never(expiry);
  return (major & GSS_S_CONTINUE_NEEDED) != 0 ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
}

SECURITY_STATUS negotiateDelete(PCtxtHandle context) {
  return g_contexts.remove(context) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

}  // namespace tw_platform::sspi
