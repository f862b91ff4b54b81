// Digest authentication (MD5 and MD5-sess, qop auth and auth-int): the
// challenge of a WWW-Authenticate or Proxy-Authenticate header in, the
// header value of the answer out. One state per direction (server, proxy).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::network::component::auth {

struct DigestState {
  // From the challenge.
  std::string realm;
  std::string qop;  // the one chosen from the offered list
  std::string algorithm = "md5";
  std::string nonce;
  std::string cnonce;
  std::string opaque;
  uint32_t nonceCount = 0;
  // From the request being answered.
  std::string user;
  std::string password;
  std::string method;
  std::string uri;
  std::string entityBody;
  // Why the last headerValue failed.
  std::string errorText;

  // Forgets the challenge (the request's fields stay).
  void reset();
  // Takes a challenge: the text after the word "Digest".
  void parseChallenge(std::string_view challenge);
  // The header value answering the challenge; empty without nonce or user.
  // The server's carries the algorithm item, the proxy's does not. False
  // (errorText set) for a qop other than "auth" and "auth-int".
  bool headerValue(bool withAlgorithm, std::string& out);

 private:
  std::string response() const;
};

}  // namespace velmora::network::component::auth
