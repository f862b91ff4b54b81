#include "httpclient/transport/TunnelReply.h"

#include <algorithm>
#include <cstdint>

namespace velmora::network::component {

namespace {

using Outcome = ReplyVerdict::Outcome;

ReplyVerdict accept(size_t length, int value = 0) {
  ReplyVerdict v;
  v.outcome = Outcome::Accept;
  v.length = length;
  v.value = value;
  return v;
}

ReplyVerdict failure(std::string text) {
  ReplyVerdict v;
  v.outcome = Outcome::Fail;
  v.text = std::move(text);
  return v;
}

// A reply byte in a text: read as a signed byte, so 255 prints as -1.
std::string withByte(const char* text, char byte) {
  return text + std::to_string(static_cast<int>(static_cast<int8_t>(byte)));
}

ReplyVerdict httpConnect(std::string_view bytes) {
  if (bytes.size() <= 9) return {};
  // The status code: past the first space and the spaces after it.
  size_t at = bytes.find(' ');
  if (at == std::string_view::npos) return {};
  at = bytes.find_first_not_of(' ', at);
  if (at == std::string_view::npos) return {};
  if (bytes[at] != '2') {
    std::string message = "Firewall error. " + std::string(bytes.substr(0, bytes.find('\r')));
    if (!message.ends_with('.')) message += '.';
    ReplyVerdict refusal = failure(std::move(message));
    refusal.outcome = Outcome::Refuse;
    return refusal;
  }
  size_t end = bytes.find("\r\n\r\n");
  if (end != std::string_view::npos) return accept(end + 4);
  end = bytes.find("\n\n");
  if (end != std::string_view::npos) return accept(end + 2);
  return {};
}

ReplyVerdict socks4(std::string_view bytes) {
  if (bytes.size() < 8) return {};
  switch (static_cast<uint8_t>(bytes[1])) {
    case 90: return accept(8);
    case 91: return failure("firewall request rejected or failed");
    case 92: return failure("firewall request rejected because identd is not available");
    case 93: return failure("firewall request rejected because identd reports different user");
    default: return failure(withByte("unknown firewall error: ", bytes[1]));
  }
}

ReplyVerdict socks5Method(std::string_view bytes) {
  if (bytes.size() < 2) return {};
  const uint8_t method = static_cast<uint8_t>(bytes[1]);
  if (method == 0 || method == 2) return accept(2, method);
  if (method == 255) return failure("no acceptable firewall authentication methods");
  return failure("unknown firewall authentication method");
}

ReplyVerdict socks5Auth(std::string_view bytes) {
  if (bytes.size() < 2) return {};
  if (bytes[1] != 0) return failure(withByte("firewall authentication failed: ", bytes[1]));
  return accept(2);
}

// VER REP RSV ATYP, the bound address of its type, the port: a failure is
// judged once its code is in, a success once the whole reply is.
ReplyVerdict socks5Connect(std::string_view bytes) {
  static const char* const kTexts[] = {
      "general SOCKS server failure", "connection not allowed by ruleset",
      "network unreachable",          "host unreachable",
      "connection refused",           "TTL expired",
      "command not supported",        "address type not supported"};
  if (bytes.size() < 2) return {};
  const uint8_t code = static_cast<uint8_t>(bytes[1]);
  if (code >= 1 && code <= 8) return failure(kTexts[code - 1]);
  if (code != 0) return failure(withByte("unknown firewall error: ", bytes[1]));
  if (bytes.size() < 5) return {};
  size_t length = 0;
  switch (bytes[3]) {
    case 1: length = 4 + 4 + 2; break;
    case 4: length = 4 + 16 + 2; break;
    case 3: length = 4 + 1 + static_cast<uint8_t>(bytes[4]) + 2; break;
    default: return failure(kTexts[7]);
  }
  if (bytes.size() < length) return {};
  return accept(length);
}

}  // namespace

ReplyVerdict judgeTunnelReply(TunnelReply kind, std::string_view bytes) {
  ReplyVerdict verdict;
  switch (kind) {
    case TunnelReply::HttpConnect: verdict = httpConnect(bytes); break;
    case TunnelReply::Socks4: verdict = socks4(bytes); break;
    case TunnelReply::Socks5Method: verdict = socks5Method(bytes); break;
    case TunnelReply::Socks5Auth: verdict = socks5Auth(bytes); break;
    case TunnelReply::Socks5Connect: verdict = socks5Connect(bytes); break;
  }
  if (verdict.outcome == Outcome::More && bytes.size() >= kMaxTunnelReply) {
    return failure("Response header too large.");
  }
  return verdict;
}

StatusLine splitStatusLine(std::string_view line) {
  StatusLine status;
  size_t at = line.find(' ');
  if (at == std::string_view::npos) return status;
  at = line.find_first_not_of(' ', at);
  if (at == std::string_view::npos) return status;
  const size_t end = std::min(line.find(' ', at), line.size());
  status.code = line.substr(at, end - at);
  if (end < line.size()) status.reason = line.substr(end + 1);
  return status;
}

bool readLength(std::string_view text, int base, size_t limit, size_t& length) {
  length = 0;
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return true;
  for (char ch : text.substr(start)) {
    int digit = -1;
    if (ch >= '0' && ch <= '9') digit = ch - '0';
    if (base == 16 && ch >= 'a' && ch <= 'f') digit = ch - 'a' + 10;
    if (base == 16 && ch >= 'A' && ch <= 'F') digit = ch - 'A' + 10;
    if (digit < 0) break;
    length = length * static_cast<size_t>(base) + static_cast<size_t>(digit);
    if (length > limit) return false;
  }
  return true;
}

}  // namespace velmora::network::component
