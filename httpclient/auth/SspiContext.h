// A client context of the system security package for HTTP authentication
// ("UseSystemSSPI"): credentials of a package ("Negotiate"), the first
// token for a target, the answers to the server's tokens, and the failure
// texts with the package's status. No HTTP here: tokens are raw bytes, the
// caller Base64-codes them into and out of headers.
#pragma once

#include <string>

#include "platform/security.h"

namespace velmora::network::component {

class SspiContext {
 public:
  SspiContext() = default;
  ~SspiContext();
  SspiContext(const SspiContext&) = delete;
  SspiContext& operator=(const SspiContext&) = delete;

  // Results of the operations: 0, kErrNoPackage (270) when the security
  // library is not loaded, kErrProtocol (151) for a failure of the package;
  // errorText() says which.

  // Drops any earlier context, acquires credentials of `package` for user
  // and password ("DOMAIN\user" is split at the first backslash; both empty:
  // the default credentials) and makes the first token for `target` (a
  // principal name such as "HTTP/host"). tlsBindings: the TLS connection's
  // channel bindings (channelBindings()), or null.
  int start(const std::string& package, const std::string& user, const std::string& password,
            const std::string& target, const std::string* tlsBindings, std::string& token);
  // The token answering the server's token (decoded from its challenge).
  int next(const std::string& challenge, std::string& token);
  // The channel bindings of a TLS connection's security context.
  int channelBindings(PCtxtHandle tlsContext, std::string& bindings);
  // Frees the context and the credentials.
  void reset();
  const std::string& errorText() const { return errorText_; }

 private:
  int step(const std::string* challenge, std::string& token);
  int fail(const char* what, SECURITY_STATUS status);

  CredHandle credentials_{};
  bool haveCredentials_ = false;
  CtxtHandle context_{};
  bool haveContext_ = false;
  std::string target_;
  std::string bindings_;
  bool bound_ = false;
  std::string errorText_;
};

}  // namespace velmora::network::component
