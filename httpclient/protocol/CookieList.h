// The component's cookie list: records in insertion order. Domain, path and
// expiration are kept and reported; every cookie is sent with every request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
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

// Reads a Set-Cookie value literally: the name runs to the first "=", the
// value to the next ";" (with no "=" at all, the name runs to the first ";"
// and the value is empty), so "abc; Path=/x" names "abc; Path". Then
// attributes separated by ";": Expires, Domain and Path (the last one wins)
// and Secure; others are ignored. The result is a received cookie.
Cookie parseSetCookie(std::string_view header);

class CookieList {
 public:
  // Received cookies kept at most, so that a server cannot make the list grow
  // without bound; cookies the application adds do not count.
  static constexpr size_t kMaxReceived = 1000;

  size_t count() const { return cookies_.size(); }
  bool validIndex(long long i) const { return i >= 0 && static_cast<size_t>(i) < cookies_.size(); }
  Cookie& at(size_t i) { return cookies_[i]; }
  const Cookie& at(size_t i) const { return cookies_[i]; }

  // Updates the record with the same name, domain and path (compared without
  // case): expiration, value and secure change, flag and position stay.
  // Otherwise appends.
  void store(const Cookie& cookie);
  // Whether a received cookie is taken: it updates a record, or the list
  // holds fewer than kMaxReceived received ones.
  bool admitsReceived(const Cookie& cookie) const;
  // New records are empty; a smaller count drops the last ones.
  void resize(size_t n) { cookies_.resize(n); }
  // Drops the received cookies and keeps the user-added ones in order.
  void dropReceived();
  void clear() { cookies_.clear(); }

 private:
  std::vector<Cookie> cookies_;
};

}  // namespace velmora::network::component
