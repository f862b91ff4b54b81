#include "httpclient/protocol/CookieList.h"

#include <algorithm>

#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

bool sameKey(const Cookie& a, const Cookie& b) {
  return equalsNoCase(a.name, b.name) && equalsNoCase(a.domain, b.domain) &&
         equalsNoCase(a.path, b.path);
}

}  // namespace

Cookie parseSetCookie(std::string_view header) {
  constexpr auto npos = std::string_view::npos;
  Cookie c;
  const size_t eq = header.find('=');
  size_t end;
  if (eq == npos) {
    end = header.find(';');
    c.name = header.substr(0, end);
  } else {
    c.name = header.substr(0, eq);
    end = header.find(';', eq + 1);
    c.value = header.substr(eq + 1, end == npos ? npos : end - eq - 1);
  }
  if (end == npos) return c;
  // Blanks and tabs after the value's ";", then at most one blank after
  // each further ";".
  size_t at = header.find_first_not_of(" \t", end + 1);
  while (at < header.size()) {
    const size_t stop = header.find(';', at);
    const std::string_view attribute = header.substr(at, stop == npos ? npos : stop - at);
    const size_t attrEq = attribute.find('=');
    const std::string_view name = attribute.substr(0, attrEq);
    const std::string_view value = attrEq == npos ? "" : attribute.substr(attrEq + 1);
    if (equalsNoCase(name, "EXPIRES")) {
      c.expiration = value;
    } else if (equalsNoCase(name, "DOMAIN")) {
      c.domain = value;
    } else if (equalsNoCase(name, "PATH")) {
      c.path = value;
    } else if (equalsNoCase(name, "SECURE")) {
      c.secure = 1;
    }
    if (stop == npos) break;
    at = stop + 1;
    if (at < header.size() && header[at] == ' ') ++at;
  }
  return c;
}

bool CookieList::admitsReceived(const Cookie& cookie) const {
  size_t received = 0;
  for (const Cookie& c : cookies_) {
    if (sameKey(c, cookie)) return true;
    if (c.userAdded == 0) ++received;
  }
  return received < kMaxReceived;
}

void CookieList::store(const Cookie& cookie) {
  for (Cookie& c : cookies_) {
    if (sameKey(c, cookie)) {
      c.expiration = cookie.expiration;
      c.value = cookie.value;
      c.secure = cookie.secure;
      return;
    }
  }
  cookies_.push_back(cookie);
}

void CookieList::dropReceived() {
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                [](const Cookie& c) { return c.userAdded == 0; }),
                 cookies_.end());
}

}  // namespace velmora::network::component
