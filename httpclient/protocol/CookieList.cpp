#include "httpclient/protocol/CookieList.h"

#include <algorithm>

#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

void CookieList::store(const Cookie& cookie) {
  for (Cookie& c : cookies_) {
    if (equalsNoCase(c.name, cookie.name) && equalsNoCase(c.domain, cookie.domain) &&
        equalsNoCase(c.path, cookie.path)) {
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
