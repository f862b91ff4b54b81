// The POSIX socket calls under the Winsock area.
#include "platform/netsys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tw_platform::sys {

namespace {

socklen_t toNative(const Addr& a, sockaddr_storage& ss) {
  std::memset(&ss, 0, sizeof ss);
  if (a.family == 4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(a.port);
    std::memcpy(&sin->sin_addr, a.bytes, 4);
    return sizeof(sockaddr_in);
  }
  if (a.family == 6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(a.port);
    sin6->sin6_flowinfo = a.flowinfo;
    std::memcpy(&sin6->sin6_addr, a.bytes, 16);
    sin6->sin6_scope_id = a.scope;
    return sizeof(sockaddr_in6);
  }
  return 0;
}

bool fromNative(const sockaddr* sa, Addr& a) {
  a = Addr{};
  if (sa->sa_family == AF_INET) {
    auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
    a.family = 4;
    a.port = ntohs(sin->sin_port);
    std::memcpy(a.bytes, &sin->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6) {
    auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
    a.family = 6;
    a.port = ntohs(sin6->sin6_port);
    a.flowinfo = sin6->sin6_flowinfo;
    std::memcpy(a.bytes, &sin6->sin6_addr, 16);
    a.scope = sin6->sin6_scope_id;
    return true;
  }
  return false;
}

bool nativeOption(Opt opt, int& level, int& name) {
  switch (opt) {
    case Opt::KeepAlive: level = SOL_SOCKET; name = SO_KEEPALIVE; return true;
    case Opt::RcvBuf: level = SOL_SOCKET; name = SO_RCVBUF; return true;
    case Opt::SndBuf: level = SOL_SOCKET; name = SO_SNDBUF; return true;
    case Opt::OobInline: level = SOL_SOCKET; name = SO_OOBINLINE; return true;
    case Opt::ReuseAddr: level = SOL_SOCKET; name = SO_REUSEADDR; return true;
    case Opt::Type: level = SOL_SOCKET; name = SO_TYPE; return true;
    case Opt::NoDelay: level = IPPROTO_TCP; name = TCP_NODELAY; return true;
    case Opt::V6Only: level = IPPROTO_IPV6; name = IPV6_V6ONLY; return true;
    case Opt::KeepIdle: level = IPPROTO_TCP; name = TCP_KEEPIDLE; return true;
    case Opt::KeepIntvl: level = IPPROTO_TCP; name = TCP_KEEPINTVL; return true;
    case Opt::KeepCnt: level = IPPROTO_TCP; name = TCP_KEEPCNT; return true;
  }
  return false;
}

int aiFlagsFromWin(int w) {
  int f = 0;
  if (w & 0x1) f |= AI_PASSIVE;
  if (w & 0x2) f |= AI_CANONNAME;
  if (w & 0x4) f |= AI_NUMERICHOST;
  if (w & 0x8) f |= AI_NUMERICSERV;
  if (w & 0x100) f |= AI_ALL;
  if (w & 0x400) f |= AI_ADDRCONFIG;
  if (w & 0x800) f |= AI_V4MAPPED;
  return f;
}

}  // namespace

int openSocket(int family, int type, int protocol) {
  int af = family == 4 ? AF_INET : family == 6 ? AF_INET6 : -1;
  if (af < 0) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (fd >= 0 && af == AF_INET6) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  return fd;
}

int closeFd(int fd) { return ::close(fd); }

int bindTo(int fd, const Addr& a) {
  sockaddr_storage ss;
  socklen_t len = toNative(a, ss);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len);
}

int connectTo(int fd, const Addr& a) {
  sockaddr_storage ss;
  socklen_t len = toNative(a, ss);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

long sendBytes(int fd, const void* buf, size_t len, int flags) {
  ssize_t n;
  do {
    n = ::send(fd, buf, len, flags | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

long recvBytes(int fd, void* buf, size_t len, int flags) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, len, flags);
  } while (n < 0 && errno == EINTR);
  return n;
}

long peekByte(int fd) {
  char c;
  return recvBytes(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
}

int shutdownFd(int fd, int how) { return ::shutdown(fd, how); }

int localAddr(int fd, Addr& a) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (!fromNative(reinterpret_cast<sockaddr*>(&ss), a)) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return 0;
}

int peerAddr(int fd, Addr& a) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (!fromNative(reinterpret_cast<sockaddr*>(&ss), a)) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return 0;
}

int setNonBlocking(int fd, bool on) {
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return -1;
  fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, fl);
}

int setIntOption(int fd, Opt opt, int value) {
  int level, name;
  if (!nativeOption(opt, level, name)) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return ::setsockopt(fd, level, name, &value, sizeof value);
}

int getIntOption(int fd, Opt opt, int& value) {
  int level, name;
  if (!nativeOption(opt, level, name)) {
    errno = ENOPROTOOPT;
    return -1;
  }
  socklen_t len = sizeof value;
  return ::getsockopt(fd, level, name, &value, &len);
}

int setLinger(int fd, bool on, int seconds) {
  struct linger l;
  l.l_onoff = on ? 1 : 0;
  l.l_linger = seconds;
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int getLinger(int fd, bool& on, int& seconds) {
  struct linger l;
  socklen_t len = sizeof l;
  if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0) return -1;
  on = l.l_onoff != 0;
  seconds = l.l_linger;
  return 0;
}

int takeSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int resolve(const char* node, const char* service, int family, int socktype, int protocol,
            int winFlags, std::vector<Resolved>& out, std::string& canonicalName) {
  out.clear();
  canonicalName.clear();
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = family == 4 ? AF_INET : family == 6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = socktype;
  hints.ai_protocol = protocol;
  hints.ai_flags = aiFlagsFromWin(winFlags);
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(node, service, &hints, &res);
  if (rc != 0) return wsaFromGai(rc, errno);
  for (addrinfo* p = res; p; p = p->ai_next) {
    Resolved r;
    if (!p->ai_addr || !fromNative(p->ai_addr, r.addr)) continue;
    r.socktype = p->ai_socktype;
    r.protocol = p->ai_protocol;
    out.push_back(r);
    if (p->ai_canonname && canonicalName.empty()) canonicalName = p->ai_canonname;
  }
  ::freeaddrinfo(res);
  if (out.empty()) return 11004;  // the name exists, without an address of the family
  return 0;
}

int nameInfo(const Addr& a, std::string* host, std::string* serv, int winFlags) {
  sockaddr_storage ss;
  socklen_t len = toNative(a, ss);
  if (len == 0) return 10047;
  // Numeric host text is made here: the system would name the scope of a
  // link-local address by its interface ("%eth0"), Winsock gives its number.
  bool numericHost = (winFlags & 0x02) != 0;
  if (host && numericHost) {
    char buf[INET6_ADDRSTRLEN];
    if (!::inet_ntop(a.family == 4 ? AF_INET : AF_INET6, a.bytes, buf, sizeof buf)) {
      return wsaFromErrno(errno);
    }
    *host = buf;
    if (a.family == 6 && a.scope != 0) *host += "%" + std::to_string(a.scope);
    host = nullptr;
  }
  if (!host && !serv) return 0;
  int flags = 0;
  if (winFlags & 0x01) flags |= NI_NOFQDN;
  if (winFlags & 0x04) flags |= NI_NAMEREQD;
  if (winFlags & 0x08) flags |= NI_NUMERICSERV;
  if (winFlags & 0x10) flags |= NI_DGRAM;
  char h[NI_MAXHOST];
  char sv[NI_MAXSERV];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host ? h : nullptr,
                         host ? sizeof h : 0, serv ? sv : nullptr, serv ? sizeof sv : 0, flags);
  if (rc != 0) return wsaFromGai(rc, errno);
  if (host) *host = h;
  if (serv) *serv = sv;
  return 0;
}

int hostName(std::string& name) {
  char buf[256];
  if (::gethostname(buf, sizeof buf) != 0) return -1;
  buf[sizeof buf - 1] = '\0';
  name = buf;
  return 0;
}

bool parseDotted(const char* text, uint32_t& netOrder) {
  in_addr a;
  if (::inet_aton(text, &a) == 0) return false;
  netOrder = a.s_addr;
  return true;
}

std::string dottedText(uint32_t netOrder) {
  char buf[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = netOrder;
  return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? std::string(buf) : std::string();
}

int wsaFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10038;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same value
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    case EPIPE: return 10053;  // the connection is gone
    default: return 10107;     // no Winsock equivalent: a system call failed
  }
}

int wsaFromGai(int gai, int err) {
  switch (gai) {
    case 0: return 0;
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_FAMILY: return 10047;
    case EAI_MEMORY: return 8;
    case EAI_SERVICE: return 10109;
    case EAI_SOCKTYPE: return 10044;
    case EAI_BADFLAGS: return 10022;
    case EAI_OVERFLOW: return 10014;
    case EAI_SYSTEM: return wsaFromErrno(err);
    default: return 11003;
  }
}

}  // namespace tw_platform::sys
