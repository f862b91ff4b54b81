// NTLM messages of the client (NTLM version 1 responses, with and without
// extended session security): the type 1 to send first, the server's type
// 2 read, the type 3 answering it. Messages are raw bytes; Base64 and the
// header word are the caller's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::network::component::auth {

class NtlmClient {
 public:
  // UNICODE, OEM, REQUEST_TARGET, NTLM, ALWAYS_SIGN,
  // EXTENDED_SESSIONSECURITY, VERSION, 128, 56.
  static constexpr uint32_t kClientFlags = 0xA2088207;

  // A user written "domain\user" is split at the first backslash. Forgets
  // any challenge read before.
  void setCredentials(std::string_view user, std::string_view password);
  std::string type1();
  // Takes the Base64 of a type 2 message; false with errorText() set when
  // it cannot be answered.
  bool readType2(std::string_view base64);
  // The type 3 answering the type 2 read last (empty without one).
  std::string type3();
  const std::string& errorText() const { return errorText_; }
  const std::string& targetName() const { return targetName_; }

 private:
  std::string domain_;
  std::string user_;
  std::string password_;
  uint32_t flags_ = kClientFlags;
  uint32_t serverFlags_ = 0;
  uint8_t serverChallenge_[8] = {};
  bool haveChallenge_ = false;
  std::string targetName_;
  std::string errorText_;
};

}  // namespace velmora::network::component::auth
