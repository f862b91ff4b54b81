#include "httpclient/protocol/RequestBuilder.h"

#include <cstdio>
#include <string_view>

#include "httpclient/transport/ComponentIds.h"


namespace velmora::network::component {

namespace {

// Each header line is written as CR LF and the line, so the request line
// needs no terminator of its own until the last line is written.
void addLine(std::string& out, const char* name, const std::string& value) {
  if (value.empty()) return;
  out += "\r\n";
  out += name;
  out += value;
}

}  // namespace

std::string hostHeaderValue(const RequestHeadInputs& in) {
  std::string host = in.urlServer;
  if (in.ipv6 && host.find(':') != std::string::npos) {
    size_t zone = host.find('%');
    if (zone != std::string::npos) host.resize(zone);
    host = "[" + host + "]";
  }
  if (in.urlPort != in.defaultPort) host += ":" + std::to_string(in.urlPort);
  return host;
}

std::string trimmedOtherHeaders(const std::string& otherHeaders) {
  std::string_view text(otherHeaders);
  for (;;) {
    if (text.ends_with("\r\n")) {
      text.remove_suffix(2);
    } else if (text.ends_with('\n')) {
      text.remove_suffix(1);
    } else {
      break;
    }
  }
  return std::string(text) + "\r\n";
}

std::string buildRequestHead(const RequestHeadInputs& in) {
  std::string out;
  out.reserve(256 + in.otherHeaders.size() + in.cookie.size());

  // Request line.
  out += in.method;
  out += ' ';
  if (in.proxySet && in.proxySsl != https_proxy_ssl::Tunnel) {
    out += in.urlScheme + "://" + in.urlServer;
    if (in.urlPort != in.defaultPort) out += ":" + std::to_string(in.urlPort);
  }
  out += in.absoluteUri ? in.url : in.urlPath;
  out += " HTTP/";
  out += in.httpVersion;

  if (in.otherHeaders.compare(0, 5, "Host:") != 0 && !in.absoluteUri) {
    addLine(out, "Host: ", hostHeaderValue(in));
  }
  addLine(out, "Authorization: ", in.authorization);
  addLine(out, "Proxy-Authorization: ", in.proxyAuthorization);
  addLine(out, "Accept: ", in.accept);
  if (in.allowCompression) addLine(out, "Accept-Encoding: ", in.acceptEncoding);
  addLine(out, "From: ", in.from);
  addLine(out, "User-Agent: ", in.userAgent);
  addLine(out, "If-Modified-Since: ", in.ifModifiedSince);
  addLine(out, "Referer: ", in.referer);
  addLine(out, "Pragma: ", in.pragma);
  if (!in.range.empty()) addLine(out, "Range: bytes=", in.range);
  addLine(out, "Cookie: ", in.cookie);
  if (!in.keepAlive) out += "\r\nConnection: close";
  out += "\r\n";
  if (!in.otherHeaders.empty()) out += trimmedOtherHeaders(in.otherHeaders);
  return out;
}

std::string chunkFrame(const char* data, size_t length) {
  char size[24];
  std::snprintf(size, sizeof(size), "%zx\r\n", length);
  std::string out(size);
  out.append(data, length);
  out += "\r\n";
  return out;
}

}  // namespace velmora::network::component
