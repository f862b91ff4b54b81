// Host names and addresses of the socket engine: a dotted IPv4 address or a
// name looked up with gethostbyname (the first address), or an IPv6 address
// or name through getaddrinfo with an optional "%scope"; and the socket
// addresses that bind and connect take. getaddrinfo, freeaddrinfo and
// getnameinfo are optional entry points of ws2_32.dll, looked up at start-up.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32types.h"

namespace velmora::network::component {

// Looks up the optional entry points in ws2_32 (null: forgets them).
void loadAddressFunctions(HMODULE ws2);

// 0, or the lookup's Winsock error (none while Winsock is not started).
int resolveIPv4(const std::string& host, uint32_t& address);
// The dotted text of an IPv4 address (network order).
std::string dottedText(uint32_t address);
// The numeric text of an IPv6 socket address ("" when it cannot be given).
std::string numericText(const void* address6);

// The bytes of a socket address for bind or connect (an IPv6 one is 28).
struct SocketAddress {
  alignas(8) unsigned char bytes[28];
};

// A resolved host: IPv4 address, or IPv6 socket address with its text.
struct HostAddress {
  uint32_t address4 = 0;  // network order, 0 = none (or any, to bind)
  SocketAddress address6{};  // an IPv6 socket address (family AF_INET6)
  std::string address6Text;

  // Forgets the address, then resolves a non-empty host; IPv6 lookups use
  // the socket type given (-1 without getaddrinfo, else its code).
  int resolve(const std::string& host, bool ipv6, int socketType);
  // This host (IPv4: the address given instead) with a port; its size.
  int socketAddress(bool ipv6, uint32_t ipv4, uint16_t port, SocketAddress& out) const;
};

}  // namespace velmora::network::component
