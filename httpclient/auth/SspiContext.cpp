#include "httpclient/auth/SspiContext.h"

#include <cstdio>
#include <vector>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/SecurityLibrary.h"
#include "platform/errors.h"

namespace velmora::network::component {

namespace {

// The largest token the system's Negotiate package makes.
constexpr ULONG kMaxToken = 48256;
constexpr ULONG kRequirements =
    ISC_REQ_CONFIDENTIALITY | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT;

// "<what> (0x<status>): <system text>", the text on one line.
std::string statusText(const char* what, SECURITY_STATUS status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(status));
  char text[256];
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
  if (n > 0 && text[n - 1] == ' ') --n;
  return std::string(what) + " (" + code + "): " + std::string(text, n);
}

}  // namespace

SspiContext::~SspiContext() { reset(); }

void SspiContext::reset() {
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi != nullptr && haveContext_) sspi->DeleteSecurityContext(&context_);
  if (sspi != nullptr && haveCredentials_) sspi->FreeCredentialsHandle(&credentials_);
  haveContext_ = haveCredentials_ = bound_ = false;
}

int SspiContext::fail(const char* what, SECURITY_STATUS status) {
  errorText_ = statusText(what, status);
  return kErrProtocol;
}

int SspiContext::start(const std::string& package, const std::string& user,
                       const std::string& password, const std::string& target,
                       const std::string* tlsBindings, std::string& token) {
  reset();
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr) {
    errorText_ = kTextNoPackage;
    return kErrNoPackage;
  }
  // The credential record: a domain in front of a backslash.
  const size_t slash = user.find('\\');
  std::string name = slash == std::string::npos ? user : user.substr(slash + 1);
  std::string domain = slash == std::string::npos ? std::string() : user.substr(0, slash);
  std::string secret = password;
  SEC_WINNT_AUTH_IDENTITY_A identity{reinterpret_cast<unsigned char*>(name.data()),
                                     static_cast<ULONG>(name.size()),
                                     reinterpret_cast<unsigned char*>(domain.data()),
                                     static_cast<ULONG>(domain.size()),
                                     reinterpret_cast<unsigned char*>(secret.data()),
                                     static_cast<ULONG>(secret.size()),
                                     SEC_WINNT_AUTH_IDENTITY_ANSI};
  const bool defaults = user.empty() && password.empty();
  TimeStamp expiry;
  SECURITY_STATUS status = sspi->AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(package.c_str()), SECPKG_CRED_OUTBOUND, nullptr,
      defaults ? nullptr : &identity, nullptr, nullptr, &credentials_, &expiry);
  if (status != SEC_E_OK) return fail("Could not acquire security credentials", status);
  haveCredentials_ = true;
  target_ = target;
  bound_ = tlsBindings != nullptr;
  if (bound_) bindings_ = *tlsBindings;
  return step(nullptr, token);
}

int SspiContext::next(const std::string& challenge, std::string& token) {
  if (security::package() == nullptr) {
    errorText_ = kTextNoPackage;
    return kErrNoPackage;
  }
  return step(&challenge, token);
}

int SspiContext::step(const std::string* challenge, std::string& token) {
  const SecurityFunctionTableA* sspi = security::package();
  std::string in = challenge != nullptr ? *challenge : std::string();
  SecBuffer inBuffers[2];
  ULONG count = 0;
  if (challenge != nullptr) {
    inBuffers[count++] = SecBuffer{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()};
  }
  if (bound_) {
    inBuffers[count++] = SecBuffer{static_cast<ULONG>(bindings_.size()), SECBUFFER_CHANNEL_BINDINGS,
                                   bindings_.data()};
  }
  SecBufferDesc input{SECBUFFER_VERSION, count, inBuffers};
  std::vector<char> out(kMaxToken);
  SecBuffer outBuffer{kMaxToken, SECBUFFER_TOKEN, out.data()};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &outBuffer};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = sspi->InitializeSecurityContextA(
      &credentials_, haveContext_ ? &context_ : nullptr, target_.data(), kRequirements, 0,
      SECURITY_NATIVE_DREP, count > 0 ? &input : nullptr, 0, &context_, &output, &attributes,
      &expiry);
  if (status == SEC_E_BUFFER_TOO_SMALL) {
    errorText_ = "Error computing Authentication Token: buffer boundary exceeded.";
    return kErrProtocol;
  }
  if (status < 0) {
    return fail(challenge != nullptr ? "Error consuming security token"
                                     : "Could not initialize security context",
                status);
  }
  haveContext_ = true;
  token.assign(out.data(), outBuffer.cbBuffer);
  return kOk;
}

int SspiContext::channelBindings(PCtxtHandle tlsContext, std::string& bindings) {
  const SecurityFunctionTableA* sspi = security::package();
  if (sspi == nullptr) {
    errorText_ = kTextNoPackage;
    return kErrNoPackage;
  }
  SecPkgContext_Bindings b{};
  SECURITY_STATUS status =
      sspi->QueryContextAttributesA(tlsContext, SECPKG_ATTR_ENDPOINT_BINDINGS, &b);
  if (status != SEC_E_OK) return fail("Error querying Channel Bindings token for TLS", status);
  bindings.assign(reinterpret_cast<const char*>(b.Bindings), b.BindingsLength);
  sspi->FreeContextBuffer(b.Bindings);
  return kOk;
}

}  // namespace velmora::network::component
