// The numbers of the component's flat interface by name: property, method
// and event ids, and the values of the numbered properties. Shared by the
// flat interface, its users and every layer of the HTTP client.
#pragma once

// Property ids.
namespace https_prop {
enum : int {
  Accept = 1, AllowHTTPCompression, AttachedFile, Authorization, AuthScheme, Connected,
  ContentType, CookieCount, CookieDomain, CookieExpiration, CookieName, CookiePath,
  CookieSecure, CookieValue, FirewallAutoDetect, FirewallType, FirewallHost, FirewallPassword,
  FirewallPort, FirewallUser, FollowRedirects, From, HTTPMethod, Idle, IfModifiedSince,
  LocalFile, LocalHost, OtherHeaders, ParsedHeaderCount, ParsedHeaderField, ParsedHeaderValue,
  Password, PostData, Pragma, ProxyAuthScheme, ProxyAutoDetect, ProxyPassword, ProxyPort,
  ProxyServer, ProxySSL, ProxyUser, Range, Referer, SSLAcceptServerCert, SSLCert, SSLCertStore,
  SSLCertStorePassword, SSLCertStoreType, SSLCertSubject, SSLServerCert, StatusLine, Timeout,
  TransferredData, TransferredDataLimit, TransferredHeaders, URL, URLPath, URLPort, URLScheme,
  URLServer, User,
  WideOffset = 10000,
  BytesOffset = 20000,
};
}  // namespace https_prop

// Values of AuthScheme and ProxyAuthScheme (Negotiate only for the server).
namespace https_auth {
enum : int {
  Basic = 0,
  Digest = 1,
  Custom = 2,      // Authorization sent as set
  None = 3,
  NTLM = 4,
  Negotiate = 5,
  CustomKept = 6,  // Authorization kept as set
};
}  // namespace https_auth

// Values of ProxySSL: how a request reaches ProxyServer.
namespace https_proxy_ssl {
enum : int {
  Automatic = 0,  // a tunnel for https URLs, the proxy's own protocol otherwise
  Always = 1,     // TLS to the proxy
  Never = 2,      // plain to the proxy
  Tunnel = 3,     // HTTP CONNECT through the proxy
};
}  // namespace https_proxy_ssl

// Values of FirewallType: the kind of tunnel to the remote host.
namespace https_firewall {
enum : int {
  None = 0,
  HttpConnect = 1,           // with Basic credentials or none
  Socks4 = 2,
  Socks5 = 3,
  HttpConnectNtlm = 4,
  HttpConnectNegotiate = 5,
  HttpConnectDigest = 6,     // challenge authentication
};
}  // namespace https_firewall

// Method ids.
namespace https_method {
enum : int {
  AddCookie = 2, Config, Delete, DoEvents, Get, Head, Interrupt, Post, Put, Reset,
  WideOffset = 10000,
};
}  // namespace https_method

// Event ids.
namespace https_event {
enum : int {
  Connected = 1, ConnectionStatus, Disconnected, EndTransfer, Error, Header, Redirect, SetCookie,
  SSLServerAuthentication, SSLStatus, StartTransfer, Status, Transfer,
  WideOffset = 10000,
  RefireWide = -10000,  // handler answer: fire the event again in UTF-16
};
}  // namespace https_event
