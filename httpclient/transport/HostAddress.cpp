#include "httpclient/transport/HostAddress.h"

#include <cstdlib>
#include <cstring>

#include "platform/modules.h"
#include "platform/winsock.h"

namespace velmora::network::component {

namespace {

typedef int (*GetAddrInfoFn)(const char*, const char*, const addrinfo*, addrinfo**);
typedef void (*FreeAddrInfoFn)(addrinfo*);
typedef int (*GetNameInfoFn)(const sockaddr*, int, char*, DWORD, char*, DWORD, int);
GetAddrInfoFn g_getaddrinfo = nullptr;
FreeAddrInfoFn g_freeaddrinfo = nullptr;
GetNameInfoFn g_getnameinfo = nullptr;

constexpr int kIPv6AddressSize = sizeof(sockaddr_in6);

// "address%scope" gives the scope id; the first AF_INET6 result is taken.
int resolveIPv6(const std::string& host, int socketType, SocketAddress& address6) {
  if (g_getaddrinfo == nullptr || g_freeaddrinfo == nullptr) return -1;
  std::string name = host;
  ULONG scope = 0;
  bool hasScope = false;
  size_t percent = host.find('%');
  if (percent != std::string::npos) {
    name = host.substr(0, percent);
    scope = static_cast<ULONG>(std::strtoul(host.c_str() + percent + 1, nullptr, 10));
    hasScope = true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = socketType;
  addrinfo* result = nullptr;
  int rc = g_getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) return rc;
  if (result != nullptr && result->ai_addr != nullptr &&
      result->ai_addrlen >= static_cast<size_t>(kIPv6AddressSize)) {
    sockaddr_in6 a;
    std::memcpy(&a, result->ai_addr, kIPv6AddressSize);
    if (hasScope) a.sin6_scope_id = scope;
    std::memcpy(address6.bytes, &a, kIPv6AddressSize);
  }
  g_freeaddrinfo(result);
  return 0;
}

}  // namespace

void loadAddressFunctions(HMODULE ws2) {
  g_getaddrinfo = nullptr;
  g_freeaddrinfo = nullptr;
  g_getnameinfo = nullptr;
  if (ws2 == nullptr) return;
  g_getaddrinfo = reinterpret_cast<GetAddrInfoFn>(GetProcAddress(ws2, "getaddrinfo"));
  g_freeaddrinfo = reinterpret_cast<FreeAddrInfoFn>(GetProcAddress(ws2, "freeaddrinfo"));
  g_getnameinfo = reinterpret_cast<GetNameInfoFn>(GetProcAddress(ws2, "getnameinfo"));
}

int resolveIPv4(const std::string& host, uint32_t& address) {
  address = 0;
  if (host.empty()) return 0;
  if (WSAIsBlocking()) WSACancelBlockingCall();
  ULONG dotted = inet_addr(host.c_str());
  if (dotted != INADDR_NONE || host == "255.255.255.255") {
    address = dotted;
    return 0;
  }
  hostent* he = gethostbyname(host.c_str());
  if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
    int err = WSAGetLastError();
    // Without Winsock started the address simply stays unresolved.
    return err == WSANOTINITIALISED ? 0 : err;
  }
  std::memcpy(&address, he->h_addr_list[0], sizeof(address));
  return 0;
}

std::string dottedText(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  return inet_ntoa(a);
}

std::string numericText(const void* address6) {
  char host[NI_MAXHOST] = {0};
  if (g_getnameinfo == nullptr ||
      g_getnameinfo(static_cast<const sockaddr*>(address6), kIPv6AddressSize, host,
                    sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
    return std::string();
  }
  return host;
}

int HostAddress::resolve(const std::string& host, bool ipv6, int socketType) {
  address4 = 0;
  address6 = SocketAddress{};
  address6Text.clear();
  if (host.empty()) return 0;
  if (!ipv6) return resolveIPv4(host, address4);
  int rc = resolveIPv6(host, socketType, address6);
  if (rc == 0) address6Text = numericText(address6.bytes);
  return rc;
}

int HostAddress::socketAddress(bool ipv6, uint32_t ipv4, uint16_t port, SocketAddress& out) const {
  out = SocketAddress{};
  if (!ipv6) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ipv4;
    std::memcpy(out.bytes, &a, sizeof(a));
    return sizeof(a);
  }
  sockaddr_in6 a;
  std::memcpy(&a, address6.bytes, sizeof(a));
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  std::memcpy(out.bytes, &a, sizeof(a));
  return sizeof(a);
}

}  // namespace velmora::network::component
