#include "httpclient/protocol/ComponentTables.h"

namespace velmora::network::component {

namespace {

constexpr PropType I = PropType::Integer;
constexpr PropType B = PropType::Boolean;
constexpr PropType S = PropType::Text;
constexpr PropType D = PropType::Binary;
constexpr PropType L = PropType::Long;
constexpr bool RO = true;
constexpr bool RW = false;
constexpr bool X = true;
constexpr bool NX = false;

const PropertyInfo kProperties[] = {
    {1, "Accept", S, RW, NX},
    {2, "AllowHTTPCompression", B, RW, NX},
    {3, "AttachedFile", D, RW, NX},
    {4, "Authorization", S, RW, NX},
    {5, "AuthScheme", I, RW, NX},
    {6, "Connected", B, RW, NX},
    {7, "ContentType", S, RW, NX},
    {8, "CookieCount", I, RW, NX},
    {9, "CookieDomain", S, RO, X},
    {10, "CookieExpiration", S, RO, X},
    {11, "CookieName", S, RW, X},
    {12, "CookiePath", S, RO, X},
    {13, "CookieSecure", B, RO, X},
    {14, "CookieValue", S, RW, X},
    {15, "FirewallAutoDetect", B, RW, NX},
    {16, "FirewallType", I, RW, NX},
    {17, "FirewallHost", S, RW, NX},
    {18, "FirewallPassword", S, RW, NX},
    {19, "FirewallPort", I, RW, NX},
    {20, "FirewallUser", S, RW, NX},
    {21, "FollowRedirects", I, RW, NX},
    {22, "From", S, RW, NX},
    {23, "HTTPMethod", S, RW, NX},
    {24, "Idle", B, RO, NX},
    {25, "IfModifiedSince", S, RW, NX},
    {26, "LocalFile", D, RW, NX},
    {27, "LocalHost", S, RW, NX},
    {28, "OtherHeaders", S, RW, NX},
    {29, "ParsedHeaderCount", I, RO, NX},
    {30, "ParsedHeaderField", S, RO, X},
    {31, "ParsedHeaderValue", S, RO, X},
    {32, "Password", S, RW, NX},
    {33, "PostData", D, RW, NX},
    {34, "Pragma", S, RW, NX},
    {35, "ProxyAuthScheme", I, RW, NX},
    {36, "ProxyAutoDetect", B, RW, NX},
    {37, "ProxyPassword", S, RW, NX},
    {38, "ProxyPort", I, RW, NX},
    {39, "ProxyServer", S, RW, NX},
    {40, "ProxySSL", I, RW, NX},
    {41, "ProxyUser", S, RW, NX},
    {42, "Range", S, RW, NX},
    {43, "Referer", S, RW, NX},
    {44, "SSLAcceptServerCert", D, RW, NX},
    {45, "SSLCert", D, RW, NX},
    {46, "SSLCertStore", D, RW, NX},
    {47, "SSLCertStorePassword", S, RW, NX},
    {48, "SSLCertStoreType", I, RW, NX},
    {49, "SSLCertSubject", S, RW, NX},
    {50, "SSLServerCert", D, RO, NX},
    {51, "StatusLine", S, RO, NX},
    {52, "Timeout", I, RW, NX},
    {53, "TransferredData", D, RO, NX},
    {54, "TransferredDataLimit", L, RW, NX},
    {55, "TransferredHeaders", S, RO, NX},
    {56, "URL", S, RW, NX},
    {57, "URLPath", S, RW, NX},
    {58, "URLPort", I, RW, NX},
    {59, "URLScheme", S, RW, NX},
    {60, "URLServer", S, RW, NX},
    {61, "User", S, RW, NX},
};

constexpr int kCount = static_cast<int>(sizeof(kProperties) / sizeof(kProperties[0]));

}  // namespace

const PropertyInfo* findProperty(int id) {
  if (id < 1 || id > kCount) return nullptr;
  return &kProperties[id - 1];
}

int propertyCount() { return kCount; }

const PropertyInfo& propertyAt(int i) { return kProperties[i]; }

}  // namespace velmora::network::component
