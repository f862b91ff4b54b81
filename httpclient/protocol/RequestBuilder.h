// The request text of the HTTP layer: request line and header lines in their
// fixed order, built from a snapshot of the component's state. A pure
// function: it sends nothing and changes nothing, so the bytes can be
// checked without a connection.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::network::component {

struct RequestHeadInputs {
  std::string method;
  // The URL state.
  std::string url;          // as last applied (the target with AbsoluteURI)
  std::string urlScheme;
  std::string urlServer;
  int32_t urlPort = 0;
  int32_t defaultPort = 0;
  std::string urlPath;
  bool ipv6 = false;        // the transport's UseIPv6 flag
  // Proxy: an absolute target goes to a proxy that is not a tunnel.
  bool proxySet = false;
  int32_t proxySsl = 0;     // the ProxySSL property, not the effective mode
  bool absoluteUri = false;
  std::string httpVersion;
  // Header values; an empty value writes no line.
  std::string authorization;
  std::string proxyAuthorization;
  std::string accept;
  bool allowCompression = false;
  std::string acceptEncoding;
  std::string from;
  std::string userAgent;
  std::string ifModifiedSince;
  std::string referer;
  std::string pragma;
  std::string range;
  std::string cookie;       // the whole Cookie value
  bool keepAlive = false;
  std::string otherHeaders;
};

// The request line and headers up to and including OtherHeaders, ending in
// CR LF; the blank line (and, for a body, its headers) follow separately.
std::string buildRequestHead(const RequestHeadInputs& in);

// The Host value: the server (an IPv6 address in brackets, without its
// zone) and ":port" when the port is not the default one.
std::string hostHeaderValue(const RequestHeadInputs& in);

// OtherHeaders with every trailing CR LF and LF removed and one CR LF added.
std::string trimmedOtherHeaders(const std::string& otherHeaders);

// One piece of a chunked body: size in hexadecimal, CR LF, data, CR LF.
std::string chunkFrame(const char* data, size_t length);

}  // namespace velmora::network::component
