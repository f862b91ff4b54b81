#include "tools/diag/Bundle.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <utility>

#include "httpclient/HTTPS.h"
#include "httpclient/auth/AuthCommon.h"
#include "httpclient/transport/SessionTranscript.h"
#include "platform/files.h"
#include "platform/text.h"

namespace velmora::diag {

namespace {

using network::component::SessionTranscript;
using network::component::auth::base64Encode;

// Shorter Base64 pieces would mask ordinary text by chance.
constexpr size_t kShortestBase64Piece = 4;

// The Base64 characters that depend on the secret's bytes alone, when the
// secret starts `offset` bytes into a group of three inside a longer encoded
// text: the characters mixed with bytes before or after it are left out.
std::string base64Core(const std::string& secret, size_t offset) {
  std::string encoded = base64Encode(std::string(offset, '\0') + secret);
  encoded.erase(encoded.find_last_not_of('=') + 1);
  if ((offset + secret.size()) % 3 != 0 && !encoded.empty()) encoded.pop_back();
  const size_t mixedAtStart = offset == 0 ? 0 : offset + 1;
  return encoded.size() > mixedAtStart ? encoded.substr(mixedAtStart) : std::string();
}

// The transcript form of bytes, without the block's framing.
std::string transcriptForm(const std::string& bytes) {
  const std::string block = SessionTranscript::block(bytes.data(), bytes.size(), false);
  const size_t open = block.find('"') + 1;
  return block.substr(open, block.size() - open - 3);  // the closing quote and CR LF
}

// A credential header's line with its value masked; other lines unchanged.
std::string maskHeaderLine(std::string_view line) {
  for (std::string_view name : {"authorization:", "proxy-authorization:"}) {
    if (line.size() < name.size() ||
        !tw_platform::equalsNoCase(line.substr(0, name.size()), name)) {
      continue;
    }
    size_t value = line.find_first_not_of(' ', name.size());
    if (value == std::string_view::npos) return std::string(line);
    // The scheme word stays readable: it tells which scheme was tried.
    const size_t space = line.find(' ', value);
    if (space != std::string_view::npos) value = space + 1;
    return std::string(line.substr(0, value)) + SecretMask::kMasked;
  }
  return std::string(line);
}

std::string replaceAll(std::string text, const std::string& what) {
  if (what.empty()) return text;
  size_t at = 0;
  while ((at = text.find(what, at)) != std::string::npos) {
    text.replace(at, what.size(), SecretMask::kMasked);
    at += std::char_traits<char>::length(SecretMask::kMasked);
  }
  return text;
}

}  // namespace

void SecretMask::addSecret(const std::string& user, const std::string& password) {
  if (password.empty()) return;
  secrets_.push_back(password);
  for (const std::string& secret : {password, user + ":" + password}) {
    for (size_t offset = 0; offset < 3; ++offset) {
      std::string core = base64Core(secret, offset);
      if (core.size() >= kShortestBase64Piece) secrets_.push_back(std::move(core));
    }
  }
  std::sort(secrets_.begin(), secrets_.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string SecretMask::apply(std::string text) const {
  if (!enabled_) return text;
  for (const std::string& secret : secrets_) text = replaceAll(std::move(text), secret);
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
    out += maskHeaderLine(std::string_view(text).substr(pos, end - pos));
    if (end == text.size()) return out;
    out += text[end];
    pos = end + 1;
  }
}

std::string SecretMask::applyToTranscript(std::string text) const {
  if (!enabled_) return text;
  for (const std::string& secret : secrets_) {
    text = replaceAll(std::move(text), transcriptForm(secret));
  }
  return apply(std::move(text));
}

void SecretMask::applyToJson(nlohmann::ordered_json& value) const {
  if (value.is_string()) {
    value = apply(value.get<std::string>());
  } else if (value.is_structured()) {
    for (auto& item : value) applyToJson(item);
  }
}

bool writePrivateFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
      written == bytes.size();
  return CloseHandle(file) != FALSE && ok;
}

BundleRecorder::BundleRecorder(std::string folder, const SecretMask& mask)
    : folder_(std::move(folder)), mask_(mask) {
  HANDLE file = CreateFileA((folder_ + "/events.jsonl").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ok_ = false;
  } else {
    events_ = file;
  }
}

BundleRecorder::~BundleRecorder() {
  if (events_ != nullptr) CloseHandle(events_);
}

std::string BundleRecorder::transcriptName(int connection) const {
  return "transcript-" + std::to_string(connection) + ".txt";
}

std::vector<std::string> BundleRecorder::componentSettings() const {
  // The value is quoted so that a path with blanks at either end stays whole.
  return {"RecordToFile=\"" + folder_ + "/" + transcriptName(connection_) + "\"",
          "SSLIncludeCertChain=true"};
}

std::vector<std::string> BundleRecorder::transcripts() const {
  std::vector<std::string> names;
  for (int n = 1; n <= connection_; ++n) {
    if (std::filesystem::exists(folder_ + "/" + transcriptName(n)))
      names.push_back(transcriptName(n));
  }
  return names;
}

void BundleRecorder::append(const std::string& line) {
  DWORD written = 0;
  if (events_ == nullptr ||
      !WriteFile(events_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    ok_ = false;
  }
}

void BundleRecorder::onEvent(HTTPS& component, const network::FetchEvent& event) {
  nlohmann::ordered_json line = {{"connection", connection_}, {"event", event.name}};
  std::map<std::string, const network::FetchEvent::Field*> byName;
  for (const auto& field : event.fields) {
    byName[field.name] = &field;
    line[field.name] =
        field.isNumber ? nlohmann::ordered_json(field.number) : nlohmann::ordered_json(field.text);
  }
  mask_.applyToJson(line);
  append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");

  const std::string& name = event.name;
  if (name == "SSLServerAuthentication") {
    ConnectionInfo& info = connections_[connection_];
    info.certificate = {{"subject", byName["CertSubject"]->text},
                        {"issuer", byName["CertIssuer"]->text},
                        {"status", byName["Status"]->text},
                        {"accepted", byName["Accept"]->number != 0}};
    info.chainFile = "chain-" + std::to_string(connection_) + ".pem";
    if (!writePrivateFile(folder_ + "/" + info.chainFile, byName["CertEncoded"]->text + "\r\n")) {
      ok_ = false;
    }
  } else if (name == "SSLStatus") {
    static const std::string kNegotiated = "Negotiated SSL parameters: ";
    const std::string& message = byName["Message"]->text;
    if (message.compare(0, kNegotiated.size(), kNegotiated) == 0) {
      connections_[connection_].tlsParameters = message;
    }
  } else if (name == "Disconnected" &&
             std::filesystem::exists(folder_ + "/" + transcriptName(connection_))) {
    // The transcript of the connection that ended is complete: the next
    // connection records into a file of its own.
    ++connection_;
    component.Config(componentSettings().front());
  }
}

}  // namespace velmora::diag
