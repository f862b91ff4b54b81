// The component's cookie list: records in insertion order. Domain, path and
// expiration are kept and reported; every cookie is sent with every request.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::network::component {

struct Cookie {
  std::string domain;
  std::string expiration;  // as received
  std::string name;
  std::string path;
  int secure = 0;
  std::string value;
  int userAdded = 0;  // 1 for AddCookie, 0 for Set-Cookie
};

class CookieList {
 public:
  size_t count() const { return cookies_.size(); }
  bool validIndex(long long i) const { return i >= 0 && static_cast<size_t>(i) < cookies_.size(); }
  Cookie& at(size_t i) { return cookies_[i]; }
  const Cookie& at(size_t i) const { return cookies_[i]; }

  // Updates the record with the same name, domain and path (compared without
  // case): expiration, value and secure change, flag and position stay.
  // Otherwise appends.
  void store(const Cookie& cookie);
  // New records are empty; a smaller count drops the last ones.
  void resize(size_t n) { cookies_.resize(n); }
  // Drops the received cookies and keeps the user-added ones in order.
  void dropReceived();
  void clear() { cookies_.clear(); }

 private:
  std::vector<Cookie> cookies_;
};

}  // namespace velmora::network::component
