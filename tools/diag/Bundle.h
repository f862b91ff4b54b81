// The pieces of a diagnostic bundle: the masking of credentials, and the
// observer that turns a fetch's events into JSON lines, per-connection
// transcripts and server certificate chains in the bundle's folder.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fetch/FetchObserver.h"
#include "platform/win32types.h"

namespace velmora::diag {

// Hides given passwords and credential header values in the bundle's texts.
class SecretMask {
 public:
  static constexpr const char* kMasked = "********";

  // A password (with the user it goes with): the password itself, its Base64
  // at any alignment and the Base64 of "user:password" are masked.
  void addSecret(const std::string& user, const std::string& password);
  // Masks nothing at all from now on (the user asked for the secrets).
  void keepSecrets() { enabled_ = false; }
  // The text with every known secret and the value of every Authorization
  // and Proxy-Authorization header line replaced (the scheme word stays).
  std::string apply(std::string text) const;
  // The same for a session transcript, whose bytes carry the script's
  // escapes.
  std::string applyToTranscript(std::string text) const;
  // Strings of a JSON value, masked in place.
  void applyToJson(nlohmann::ordered_json& value) const;

 private:
  std::vector<std::string> secrets_;  // each form, longest first
  bool enabled_ = true;
};

// Writes bytes to a new file readable by its owner alone; false on failure.
bool writePrivateFile(const std::string& path, const std::string& bytes);

// What the bundle keeps of one connection.
struct ConnectionInfo {
  std::string tlsParameters;           // the "Negotiated SSL parameters" text
  nlohmann::ordered_json certificate;  // null without TLS
  std::string chainFile;               // the PEM file's name in the bundle, "" without one
};

class BundleRecorder : public network::FetchObserver {
 public:
  // Writes into folder; mask applies to every line written.
  BundleRecorder(std::string folder, const SecretMask& mask);
  ~BundleRecorder() override;

  // The Config texts that make the component record what the bundle needs.
  std::vector<std::string> componentSettings() const;
  void onEvent(HTTPS& component, const network::FetchEvent& event) override;

  // False when a line could not be written.
  bool ok() const { return ok_; }
  const std::map<int, ConnectionInfo>& connections() const { return connections_; }
  // The transcript file names (in the folder) that exist, in order.
  std::vector<std::string> transcripts() const;
  std::string transcriptName(int connection) const;

 private:
  void append(const std::string& line);

  std::string folder_;
  const SecretMask& mask_;
  HANDLE events_ = nullptr;  // the open events.jsonl
  bool ok_ = true;
  int connection_ = 1;  // number of the connection being recorded
  std::map<int, ConnectionInfo> connections_;
};

}  // namespace velmora::diag
