// The socket calls of the POSIX system, behind names and types that do not
// clash with the Winsock ones, so that the Winsock area can be written in one
// file and the system calls in another. Only files in platform/ include this.
// Calls return -1 with errno set on failure unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw_platform::sys {

// An IPv4 or IPv6 socket address. family is 4 or 6 (0: none); port is in
// host byte order; IPv4 uses the first 4 bytes, in network order.
struct Addr {
  int family = 0;
  uint8_t bytes[16] = {};
  uint16_t port = 0;
  uint32_t flowinfo = 0;
  uint32_t scope = 0;
};

enum class Opt { KeepAlive, RcvBuf, SndBuf, OobInline, ReuseAddr, Type, NoDelay, V6Only,
                 KeepIdle, KeepIntvl, KeepCnt };

// A stream or datagram socket (type 1 or 2) of family 4 or 6, close-on-exec;
// IPv6 sockets are made IPv6-only.
int openSocket(int family, int type, int protocol);
int closeFd(int fd);
int bindTo(int fd, const Addr& a);
int connectTo(int fd, const Addr& a);
long sendBytes(int fd, const void* buf, size_t len, int flags);  // never raises SIGPIPE
long recvBytes(int fd, void* buf, size_t len, int flags);
// Looks at the next byte without taking it and without waiting: 1 when data
// is waiting, 0 at the end of the stream, -1 with errno (EAGAIN: nothing yet).
long peekByte(int fd);
int shutdownFd(int fd, int how);
int localAddr(int fd, Addr& a);
int peerAddr(int fd, Addr& a);
int setNonBlocking(int fd, bool on);
int setIntOption(int fd, Opt opt, int value);
int getIntOption(int fd, Opt opt, int& value);
int setLinger(int fd, bool on, int seconds);
int getLinger(int fd, bool& on, int& seconds);
// The pending error of the socket (an errno value, 0 for none); taking it
// clears it.
int takeSocketError(int fd);

// Name resolution. family 0, 4 or 6; flags are Winsock AI_* bits. Returns 0
// or a Winsock error code.
struct Resolved {
  Addr addr;
  int socktype = 0;
  int protocol = 0;
};
int resolve(const char* node, const char* service, int family, int socktype, int protocol,
            int winFlags, std::vector<Resolved>& out, std::string& canonicalName);
// Winsock NI_* flags. Returns 0 or a Winsock error code.
int nameInfo(const Addr& a, std::string* host, std::string* serv, int winFlags);
int hostName(std::string& name);
// Dotted IPv4 text (the forms inet_addr accepts) into network order.
bool parseDotted(const char* text, uint32_t& netOrder);
std::string dottedText(uint32_t netOrder);

// The Winsock error for a POSIX errno value and for a getaddrinfo result
// (err: errno at the time, for EAI_SYSTEM).
int wsaFromErrno(int err);
int wsaFromGai(int gai, int err);

}  // namespace tw_platform::sys
