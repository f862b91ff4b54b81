#include "httpclient/auth/Digest.h"

#include <cstdio>
#include <utility>

#include "httpclient/auth/AuthCommon.h"
#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component::auth {

namespace {

constexpr const char* kTextUnknownQop = "Digest authentication error: unknown qop value.";

std::string quoted(const char* name, const std::string& value) {
  return std::string(", ") + name + "=\"" + value + "\"";
}

std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof(text), "%08x", value);
  return text;
}

}  // namespace

void DigestState::reset() {
  realm.clear();
  nonce.clear();
  cnonce.clear();
  opaque.clear();
  qop.clear();
  algorithm = "md5";
  nonceCount = 0;
}

void DigestState::parseChallenge(std::string_view text) {
  reset();
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    const size_t eq = text.find('=', at);
    if (eq == std::string_view::npos) break;
    const std::string_view name = text.substr(at, eq - at);
    std::string_view value;
    at = eq + 1;
    if (at < text.size() && text[at] == '"') {
      // A quoted value runs to the next quote (or, unterminated, to the end).
      const size_t close = text.find('"', at + 1);
      const size_t end = close == std::string_view::npos ? text.size() : close;
      value = text.substr(at + 1, end - at - 1);
      at = end + 1;
      if (at < text.size() && text[at] == ',') ++at;
    } else {
      const size_t comma = text.find(',', at);
      const size_t end = comma == std::string_view::npos ? text.size() : comma;
      value = text.substr(at, end - at);
      at = end + 1;
    }
    if (equalsNoCase(name, "realm")) realm = value;
    if (equalsNoCase(name, "qop")) qop = value;
    if (equalsNoCase(name, "algorithm")) algorithm = value;
    if (equalsNoCase(name, "nonce")) nonce = value;
    if (equalsNoCase(name, "opaque")) opaque = value;
  }

  // "auth" first in the list wins; otherwise the stronger one offered.
  if (qop.rfind("auth,", 0) == 0) {
    qop = "auth";
  } else if (qop.find("auth-int") != std::string::npos) {
    qop = "auth-int";
  } else if (qop.find("auth") != std::string::npos) {
    qop = "auth";
  }
  if (!qop.empty()) {
    // A random 32-bit value, written low byte first.
    uint8_t bytes[4];
    randomBytes(bytes, sizeof(bytes));
    cnonce = hexBytes(bytes, sizeof(bytes));
  }
}

std::string DigestState::response() const {
  std::string a1;
  const bool sess = equalsNoCase(algorithm, "MD5-sess");
  if (sess || equalsNoCase(algorithm, "MD5")) a1 = user + ":" + realm + ":" + password;
  if (sess) a1 = md5Hex(a1) + ":" + nonce + ":" + cnonce;
  std::string a2 = method + ":" + uri;
  if (qop == "auth-int") a2 += ":" + md5Hex(entityBody);
  std::string text = md5Hex(a1) + ":" + nonce + ":";
  if (!qop.empty()) text += hex8(nonceCount) + ":" + cnonce + ":" + qop + ":";
  return md5Hex(text + md5Hex(a2));
}

bool DigestState::headerValue(bool withAlgorithm, std::string& out) {
  out.clear();
  if (nonce.empty() || user.empty()) return true;
  std::string value = "Digest username=\"" + user + "\"" + quoted("realm", realm) +
                      quoted("nonce", nonce) + quoted("uri", uri);
  if (withAlgorithm) value += quoted("algorithm", algorithm);
  if (!qop.empty()) {
    if (qop != "auth" && qop != "auth-int") {
      errorText = kTextUnknownQop;
      return false;
    }
    ++nonceCount;
    value += quoted("qop", qop) + ", nc=" + hex8(nonceCount) + quoted("cnonce", cnonce);
  }
  value += quoted("response", response());
  if (!opaque.empty()) value += quoted("opaque", opaque);
  out = std::move(value);
  return true;
}

}  // namespace velmora::network::component::auth
