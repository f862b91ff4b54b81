// Every property of a new handle reads back its default, through the flat
// interface, through the wrapper and in UTF-16.
#include <string>
#include <vector>

#include "tests/httpclient/component_fixture.h"

namespace {

enum class Kind { Int, Text, Long };

struct PropertyDefault {
  int id;
  const char* name;
  Kind kind;
  long long number;  // Int, Long
  const char* text;  // Text
};

const std::vector<PropertyDefault> kDefaults = {
    {https_prop::Accept, "Accept", Kind::Text, 0, ""},
    {https_prop::AllowHTTPCompression, "AllowHTTPCompression", Kind::Int, 0, nullptr},
    {https_prop::AttachedFile, "AttachedFile", Kind::Text, 0, ""},
    {https_prop::Authorization, "Authorization", Kind::Text, 0, ""},
    {https_prop::AuthScheme, "AuthScheme", Kind::Int, 0, nullptr},
    {https_prop::Connected, "Connected", Kind::Int, 0, nullptr},
    {https_prop::ContentType, "ContentType", Kind::Text, 0, ""},
    {https_prop::CookieCount, "CookieCount", Kind::Int, 0, nullptr},
    {https_prop::FirewallAutoDetect, "FirewallAutoDetect", Kind::Int, 0, nullptr},
    {https_prop::FirewallType, "FirewallType", Kind::Int, 0, nullptr},
    {https_prop::FirewallHost, "FirewallHost", Kind::Text, 0, ""},
    {https_prop::FirewallPassword, "FirewallPassword", Kind::Text, 0, ""},
    {https_prop::FirewallPort, "FirewallPort", Kind::Int, 0, nullptr},
    {https_prop::FirewallUser, "FirewallUser", Kind::Text, 0, ""},
    {https_prop::FollowRedirects, "FollowRedirects", Kind::Int, 0, nullptr},
    {https_prop::From, "From", Kind::Text, 0, ""},
    {https_prop::HTTPMethod, "HTTPMethod", Kind::Text, 0, ""},
    {https_prop::Idle, "Idle", Kind::Int, 1, nullptr},
    {https_prop::IfModifiedSince, "IfModifiedSince", Kind::Text, 0, ""},
    {https_prop::LocalFile, "LocalFile", Kind::Text, 0, ""},
    // LocalHost reads the machine's name without a configured address; that
    // lookup comes with the socket engine and is tested there.
    {https_prop::OtherHeaders, "OtherHeaders", Kind::Text, 0, ""},
    {https_prop::ParsedHeaderCount, "ParsedHeaderCount", Kind::Int, 0, nullptr},
    {https_prop::Password, "Password", Kind::Text, 0, ""},
    {https_prop::PostData, "PostData", Kind::Text, 0, ""},
    {https_prop::Pragma, "Pragma", Kind::Text, 0, ""},
    {https_prop::ProxyAuthScheme, "ProxyAuthScheme", Kind::Int, 0, nullptr},
    {https_prop::ProxyAutoDetect, "ProxyAutoDetect", Kind::Int, 0, nullptr},
    {https_prop::ProxyPassword, "ProxyPassword", Kind::Text, 0, ""},
    {https_prop::ProxyPort, "ProxyPort", Kind::Int, 80, nullptr},
    {https_prop::ProxyServer, "ProxyServer", Kind::Text, 0, ""},
    {https_prop::ProxySSL, "ProxySSL", Kind::Int, 0, nullptr},
    {https_prop::ProxyUser, "ProxyUser", Kind::Text, 0, ""},
    {https_prop::Range, "Range", Kind::Text, 0, ""},
    {https_prop::Referer, "Referer", Kind::Text, 0, ""},
    {https_prop::SSLAcceptServerCert, "SSLAcceptServerCert", Kind::Text, 0, ""},
    {https_prop::SSLCert, "SSLCert", Kind::Text, 0, ""},
    {https_prop::SSLCertStore, "SSLCertStore", Kind::Text, 0, "MY"},
    {https_prop::SSLCertStorePassword, "SSLCertStorePassword", Kind::Text, 0, ""},
    {https_prop::SSLCertStoreType, "SSLCertStoreType", Kind::Int, 0, nullptr},
    {https_prop::SSLCertSubject, "SSLCertSubject", Kind::Text, 0, ""},
    {https_prop::SSLServerCert, "SSLServerCert", Kind::Text, 0, ""},
    {https_prop::StatusLine, "StatusLine", Kind::Text, 0, ""},
    {https_prop::Timeout, "Timeout", Kind::Int, 60, nullptr},
    {https_prop::TransferredData, "TransferredData", Kind::Text, 0, ""},
    {https_prop::TransferredDataLimit, "TransferredDataLimit", Kind::Long, 0, nullptr},
    {https_prop::TransferredHeaders, "TransferredHeaders", Kind::Text, 0, ""},
    {https_prop::URL, "URL", Kind::Text, 0, ""},
    {https_prop::URLPath, "URLPath", Kind::Text, 0, ""},
    {https_prop::URLPort, "URLPort", Kind::Int, 443, nullptr},
    {https_prop::URLScheme, "URLScheme", Kind::Text, 0, "https"},
    {https_prop::URLServer, "URLServer", Kind::Text, 0, ""},
    {https_prop::User, "User", Kind::Text, 0, ""},
};

std::u16string widen(const char* s) {
  std::u16string out;
  for (; *s != 0; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
  return out;
}

class DefaultsTest : public ComponentTest {};

TEST_F(DefaultsTest, EveryPropertyReadsItsDefaultThroughTheFlatInterface) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  ASSERT_NE(g.h, nullptr);
  for (const PropertyDefault& d : kDefaults) {
    SCOPED_TRACE(d.name);
    switch (d.kind) {
      case Kind::Int:
        EXPECT_EQ(getInt(g.h, d.id), d.number);
        break;
      case Kind::Long: {
        const int64_t* p =
            static_cast<const int64_t*>(TessilonSSL_HTTPS_Get(g.h, d.id, 0, nullptr));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(*p, d.number);
        break;
      }
      case Kind::Text:
        EXPECT_EQ(getText(g.h, d.id), d.text);
        break;
    }
  }
  // Reading changes no last error.
  EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(g.h), 0);
  EXPECT_STREQ(TessilonSSL_HTTPS_GetLastError(g.h), "");
}

TEST_F(DefaultsTest, EveryPropertyReadsItsDefaultThroughTheWrapperAndInUtf16) {
  HTTPS https;
  for (const PropertyDefault& d : kDefaults) {
    SCOPED_TRACE(d.name);
    switch (d.kind) {
      case Kind::Int:
        EXPECT_EQ(https.GetInteger(d.id), d.number);
        break;
      case Kind::Long:
        EXPECT_EQ(https.GetLong(d.id), d.number);
        break;
      case Kind::Text:
        EXPECT_EQ(https.GetText(d.id), d.text);
        EXPECT_EQ(https.GetWideText(d.id), widen(d.text));
        break;
    }
  }
}

TEST_F(DefaultsTest, UnknownPropertyIdsReadAsZero) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  for (int id : {0, -3, 62, 9999, 10000, 10062, 20062, 30001}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(TessilonSSL_HTTPS_Get(g.h, id, 0, nullptr), nullptr);
    EXPECT_EQ(TessilonSSL_HTTPS_Set(g.h, id, 0, "x", 1), -1);
  }
}

}  // namespace
