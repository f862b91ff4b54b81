#include "httpclient/protocol/ComponentTables.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "httpclient/protocol/HttpComponent.h"
#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/ComponentIds.h"

namespace velmora::network::component {

namespace {

using C = HttpComponent;
using Value = PropertyValue;
using Setter = std::function<int(C&, size_t, const Value&)>;

constexpr PropType I = PropType::Integer;
constexpr PropType B = PropType::Boolean;
constexpr PropType S = PropType::Text;
constexpr PropType D = PropType::Binary;
constexpr PropType L = PropType::Long;

// What a decoded Set value becomes for a field or setter of type T.
template <typename T>
T valueAs(const Value& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    return v.text;
  } else if constexpr (std::is_same_v<T, bool>) {
    return v.number != 0;
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return v.number;
  } else {
    static_assert(std::is_same_v<T, int32_t>, "property values are texts, flags or integers");
    return static_cast<int32_t>(v.number);
  }
}

// The argument type of a setter.
template <typename Set>
struct SetterArgument;
template <typename R, typename Object, typename A>
struct SetterArgument<R (Object::*)(A)> {
  using type = std::decay_t<A>;
};

// A row from a getter (C&, index) and a setter. A getter of text returns a
// reference to text the component keeps, since the flat interface hands out
// a pointer into it; any other getter returns a number.
template <typename Get>
PropertyRow row(int id, PropType type, Get get, Setter set = {},
                PropIndex index = PropIndex::None) {
  PropertyRow r{id, type, index, {}, {}, std::move(set)};
  using Result = std::invoke_result_t<Get&, C&, size_t>;
  if constexpr (std::is_same_v<std::decay_t<Result>, std::string>) {
    static_assert(std::is_lvalue_reference_v<Result>, "a text getter returns a reference");
    r.text = std::move(get);
  } else {
    r.number = [get](C& c, size_t i) -> int64_t { return get(c, i); };
  }
  return r;
}

// Where a property's value lives.
C& ofComponent(C& c, size_t) { return c; }
HttpRequestFields& ofRequest(C& c, size_t) { return c.request(); }
Tunnel& ofTunnel(C& c, size_t) { return c.tunnel(); }
Cookie& ofCookie(C& c, size_t i) { return c.cookies().at(i); }

enum class Access { ReadWrite, ReadOnly };

// A value kept in a field and stored as given.
template <typename Object, typename T>
PropertyRow field(int id, PropType type, Object& (*where)(C&, size_t), T Object::*member,
                  Access access = Access::ReadWrite, PropIndex index = PropIndex::None) {
  Setter set;
  if (access == Access::ReadWrite) {
    set = [where, member](C& c, size_t i, const Value& v) {
      where(c, i).*member = valueAs<T>(v);
      return kOk;
    };
  }
  return row(
      id, type, [where, member](C& c, size_t i) -> const T& { return where(c, i).*member; },
      std::move(set), index);
}

// A value behind a getter and a setter. A setter that returns a code passes
// it on; one that returns nothing cannot fail.
template <typename Object, typename Get, typename Set>
PropertyRow accessors(int id, PropType type, Object& (*where)(C&, size_t), Get get, Set set) {
  using Argument = typename SetterArgument<Set>::type;
  return row(
      id, type, [where, get](C& c, size_t i) -> decltype(auto) { return (where(c, i).*get)(); },
      [where, set](C& c, size_t i, const Value& v) {
        Object& object = where(c, i);
        if constexpr (std::is_void_v<decltype((object.*set)(valueAs<Argument>(v)))>) {
          (object.*set)(valueAs<Argument>(v));
          return kOk;
        } else {
          return (object.*set)(valueAs<Argument>(v));
        }
      });
}

// A value a layer hands out by reference, stored as given.
template <typename T, typename Object>
PropertyRow reference(int id, PropType type, T& (Object::*ref)()) {
  return row(
      id, type, [ref](C& c, size_t) -> T& { return (c.*ref)(); },
      [ref](C& c, size_t, const Value& v) {
        (c.*ref)() = valueAs<T>(v);
        return kOk;
      });
}

std::vector<PropertyRow> propertyRows() {
  using R = HttpRequestFields;
  using Text = const std::string&;
  namespace p = https_prop;
  constexpr Access RO = Access::ReadOnly;
  constexpr Access RW = Access::ReadWrite;
  constexpr PropIndex cookie = PropIndex::Cookie;
  constexpr PropIndex header = PropIndex::Header;
  return {
      field(p::Accept, S, ofRequest, &R::accept),
      field(p::AllowHTTPCompression, B, ofRequest, &R::allowHttpCompression),
      field(p::AttachedFile, D, ofRequest, &R::attachedFile),
      accessors(p::Authorization, S, ofComponent, &C::authorization, &C::setAuthorization),
      accessors(p::AuthScheme, I, ofComponent, &C::authScheme, &C::setAuthScheme),
      accessors(p::Connected, B, ofComponent, &C::isConnected, &C::setConnected),
      field(p::ContentType, S, ofRequest, &R::contentType),
      row(
          p::CookieCount, I, [](C& c, size_t) { return c.cookies().count(); },
          [](C& c, size_t, const Value& v) {
            if (v.number < 0) return c.setError(kErrBadIndex, kTextBadCookieIndex);
            c.cookies().resize(static_cast<size_t>(v.number));
            return kOk;
          }),
      field(p::CookieDomain, S, ofCookie, &Cookie::domain, RO, cookie),
      field(p::CookieExpiration, S, ofCookie, &Cookie::expiration, RO, cookie),
      field(p::CookieName, S, ofCookie, &Cookie::name, RW, cookie),
      field(p::CookiePath, S, ofCookie, &Cookie::path, RO, cookie),
      field(p::CookieSecure, B, ofCookie, &Cookie::secure, RO, cookie),
      field(p::CookieValue, S, ofCookie, &Cookie::value, RW, cookie),
      accessors(p::FirewallAutoDetect, B, ofTunnel, &Tunnel::autoDetect, &Tunnel::setAutoDetect),
      accessors(p::FirewallType, I, ofTunnel, &Tunnel::type, &Tunnel::setType),
      accessors(p::FirewallHost, S, ofTunnel, &Tunnel::host, &Tunnel::setHost),
      accessors(p::FirewallPassword, S, ofTunnel, &Tunnel::password, &Tunnel::setPassword),
      accessors(p::FirewallPort, I, ofTunnel, &Tunnel::port, &Tunnel::setPort),
      accessors(p::FirewallUser, S, ofTunnel, &Tunnel::user, &Tunnel::setUser),
      field(p::FollowRedirects, I, ofRequest, &R::followRedirects),
      field(p::From, S, ofRequest, &R::from),
      field(p::HTTPMethod, S, ofRequest, &R::httpMethod),
      row(p::Idle, B, [](C& c, size_t) { return c.busy() == TransferKind::None; }),
      field(p::IfModifiedSince, S, ofRequest, &R::ifModifiedSince),
      field(p::LocalFile, D, ofRequest, &R::localFile),
      accessors(p::LocalHost, S, ofComponent, &C::localHostText, &C::setLocalHost),
      field(p::OtherHeaders, S, ofRequest, &R::otherHeaders),
      row(p::ParsedHeaderCount, I, [](C& c, size_t) { return c.response().headers.size(); }),
      row(
          p::ParsedHeaderField, S,
          [](C& c, size_t i) -> Text { return c.response().headers[i].first; }, {}, header),
      row(
          p::ParsedHeaderValue, S,
          [](C& c, size_t i) -> Text { return c.response().headers[i].second; }, {}, header),
      accessors(p::Password, S, ofComponent, &C::password, &C::setPassword),
      field(p::PostData, D, ofRequest, &R::postData),
      field(p::Pragma, S, ofRequest, &R::pragma),
      accessors(p::ProxyAuthScheme, I, ofComponent, &C::proxyAuthScheme, &C::setProxyAuthScheme),
      accessors(p::ProxyAutoDetect, B, ofComponent, &C::proxyAutoDetect, &C::setProxyAutoDetect),
      reference(p::ProxyPassword, S, &C::proxyPassword),
      field(p::ProxyPort, I, ofRequest, &R::proxyPort),
      field(p::ProxyServer, S, ofRequest, &R::proxyServer),
      field(p::ProxySSL, I, ofRequest, &R::proxySsl),
      reference(p::ProxyUser, S, &C::proxyUser),
      field(p::Range, S, ofRequest, &R::range),
      field(p::Referer, S, ofRequest, &R::referer),
      accessors(p::SSLAcceptServerCert, D, ofComponent, &C::acceptServerCertText,
                &C::setAcceptServerCert),
      reference(p::SSLCert, D, &C::clientCert),
      reference(p::SSLCertStore, D, &C::certStore),
      reference(p::SSLCertStorePassword, S, &C::certStorePassword),
      reference(p::SSLCertStoreType, I, &C::certStoreType),
      reference(p::SSLCertSubject, S, &C::certSubject),
      row(p::SSLServerCert, D, [](C& c, size_t) -> Text { return c.serverCertText(); }),
      row(p::StatusLine, S, [](C& c, size_t) -> Text { return c.response().statusLine; }),
      accessors(p::Timeout, I, ofComponent, &C::timeout, &C::setTimeout),
      row(p::TransferredData, D, [](C& c, size_t) -> Text { return c.response().transferredData; }),
      accessors(p::TransferredDataLimit, L, ofComponent, &C::transferredDataLimit,
                &C::setTransferredDataLimit),
      row(p::TransferredHeaders, S,
          [](C& c, size_t) -> Text { return c.response().transferredHeaders; }),
      row(
          p::URL, S, [](C& c, size_t) -> Text { return c.url(); },
          [](C& c, size_t, const Value& v) { return c.applyUrl(v.text); }),
      field(p::URLPath, S, ofRequest, &R::urlPath),
      accessors(p::URLPort, I, ofComponent, &C::urlPort, &C::setUrlPort),
      accessors(p::URLScheme, S, ofComponent, &C::urlScheme, &C::setUrlScheme),
      accessors(p::URLServer, S, ofComponent, &C::urlServer, &C::setUrlServer),
      accessors(p::User, S, ofComponent, &C::user, &C::setUser),
  };
}

}  // namespace

const PropertyRow* findProperty(int id) {
  static const std::vector<PropertyRow> rows = propertyRows();
  auto it =
      std::find_if(rows.begin(), rows.end(), [id](const PropertyRow& r) { return r.id == id; });
  return it == rows.end() ? nullptr : &*it;
}

}  // namespace velmora::network::component
