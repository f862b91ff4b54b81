// Winsock on the POSIX socket calls of netsys.h, with WSAAsyncSelect turned
// into messages for the queue of the window's thread.
#include "platform/winsock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/msgqueue.h"
#include "platform/netsys.h"

namespace {

using tw_platform::sys::Addr;
namespace sys = tw_platform::sys;

enum class ConnState {
  Idle,        // no connect issued
  Connecting,  // connect issued, completion not yet reported
  Connected,   // connect completed
  Failed,      // connect failed; the socket is of no further use
};

struct Socket {
  int fd = -1;
  int af = AF_INET;  // Winsock family
  int type = SOCK_STREAM;
  bool nonBlocking = false;
  bool shutSend = false;
  ConnState state = ConnState::Idle;
  // A connect that failed at once is reported through FD_CONNECT like one
  // that fails later.
  bool failurePending = false;
  int failureError = 0;
  // WSAAsyncSelect registration and its re-enabling state.
  HWND hwnd = nullptr;
  UINT message = 0;
  LONG events = 0;
  std::shared_ptr<tw_platform::ThreadQueue> queue;
  bool readEnabled = true;    // the next FD_READ may be posted
  bool writeEnabled = false;  // the next FD_WRITE may be posted
  bool closeReported = false; // FD_CLOSE (or the end of the stream) seen
  int resetError = 0;         // a reset found while looking for FD_CLOSE
};

std::mutex g_mu;
std::unordered_map<SOCKET, std::shared_ptr<Socket>> g_sockets;
SOCKET g_nextSocket = 0x100;  // never reused, so a stale handle stays invalid
std::atomic<int> g_started{0};

bool started() {
  if (g_started.load() > 0) return true;
  WSASetLastError(WSANOTINITIALISED);
  return false;
}

int fail(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

int failErrno() { return fail(sys::wsaFromErrno(errno)); }

// The socket, with the lock held by the caller; sets WSAENOTSOCK when unknown.
Socket* findLocked(SOCKET s) {
  auto it = g_sockets.find(s);
  if (it == g_sockets.end()) {
    WSASetLastError(WSAENOTSOCK);
    return nullptr;
  }
  return it->second.get();
}

bool postEvent(SOCKET s, Socket& k, int event, int error) {
  if (!(k.events & event) || k.hwnd == nullptr) return false;
  LPARAM lp = static_cast<LPARAM>(static_cast<DWORD>(WSAMAKESELECTREPLY(event, error)));
  return tw_platform::postSocketMessage(k.hwnd, k.message, static_cast<WPARAM>(s), lp, s);
}

bool fromWin(const sockaddr* name, int namelen, Addr& a) {
  if (name == nullptr) return false;
  if (name->sa_family == AF_INET && namelen >= static_cast<int>(sizeof(sockaddr_in))) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(name);
    a = Addr{};
    a.family = 4;
    a.port = ntohs(sin->sin_port);
    std::memcpy(a.bytes, &sin->sin_addr.s_addr, 4);
    return true;
  }
  if (name->sa_family == AF_INET6 && namelen >= static_cast<int>(sizeof(sockaddr_in6))) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(name);
    a = Addr{};
    a.family = 6;
    a.port = ntohs(sin6->sin6_port);
    a.flowinfo = sin6->sin6_flowinfo;
    std::memcpy(a.bytes, sin6->sin6_addr.u.Byte, 16);
    a.scope = sin6->sin6_scope_id;
    return true;
  }
  return false;
}

// Writes the address in Winsock layout; false when it does not fit.
bool toWin(const Addr& a, sockaddr* name, int* namelen) {
  if (name == nullptr || namelen == nullptr) return false;
  if (a.family == 4) {
    if (*namelen < static_cast<int>(sizeof(sockaddr_in))) return false;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(a.port);
    std::memcpy(&sin.sin_addr.s_addr, a.bytes, 4);
    std::memcpy(name, &sin, sizeof sin);
    *namelen = sizeof sin;
    return true;
  }
  if (*namelen < static_cast<int>(sizeof(sockaddr_in6))) return false;
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(a.port);
  sin6.sin6_flowinfo = a.flowinfo;
  std::memcpy(sin6.sin6_addr.u.Byte, a.bytes, 16);
  sin6.sin6_scope_id = a.scope;
  std::memcpy(name, &sin6, sizeof sin6);
  *namelen = sizeof sin6;
  return true;
}

bool isAnyAddress(const Addr& a) {
  size_t n = a.family == 4 ? 4 : 16;
  for (size_t i = 0; i < n; ++i) {
    if (a.bytes[i] != 0) return false;
  }
  return true;
}

// Reads a BOOL or DWORD option value: 4 bytes, or 1 for a BOOL given as a byte.
bool readIntValue(const char* optval, int optlen, int& v) {
  if (optval == nullptr || optlen < 1) return false;
  if (optlen >= 4) {
    std::memcpy(&v, optval, 4);
  } else {
    v = static_cast<unsigned char>(optval[0]);
  }
  return true;
}

int keepAliveSeconds(ULONG ms) {
  ULONG s = (ms + 999) / 1000;
  return static_cast<int>(std::clamp<ULONG>(s, 1, 32767));
}

// A non-blocking connect on a socket without WSAAsyncSelect events has no
// FD_CONNECT to complete it: its state is read from the system when needed.
void refreshUnwatchedConnect(Socket& k) {
  if (k.state != ConnState::Connecting || k.events != 0) return;
  if (k.failurePending) {
    k.failurePending = false;
    k.state = ConnState::Failed;
    return;
  }
  Addr a;
  if (sys::peerAddr(k.fd, a) == 0) k.state = ConnState::Connected;
}

// Removes the socket's registration and its queued notifications.
void unregisterLocked(SOCKET s, Socket& k) {
  if (k.queue) tw_platform::discardSocketMessages(k.queue, s);
  k.hwnd = nullptr;
  k.message = 0;
  k.events = 0;
  k.queue.reset();
}

}  // namespace

// ---------------------------------------------------------------------------
// The queue side: which descriptors a thread watches and what readiness means.

namespace tw_platform {

void socketPollSources(const ThreadQueue* queue, std::vector<PollSource>& sources, bool& ready) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (auto& [s, k] : g_sockets) {
    if (k->queue.get() != queue || k->events == 0) continue;
    if (k->failurePending) {
      ready = true;
      continue;
    }
    unsigned want = 0;
    if (k->state == ConnState::Connecting) {
      want = kPollOut;
    } else if (k->state == ConnState::Connected) {
      if (k->writeEnabled && (k->events & FD_WRITE)) want |= kPollOut;
      if (!k->closeReported) {
        if (k->readEnabled && (k->events & FD_READ)) {
          want |= kPollIn | kPollPeerClosed;
        } else if (!(k->events & FD_READ) && (k->events & FD_CLOSE)) {
          want |= kPollPeerClosed;
        }
      }
    }
    if (want) sources.push_back(PollSource{k->fd, want, s});
  }
}

void socketReadyWithoutPoll(const ThreadQueue* queue) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (auto& [s, k] : g_sockets) {
    if (k->queue.get() != queue || !k->failurePending) continue;
    k->failurePending = false;
    k->state = ConnState::Failed;
    k->closeReported = true;
    postEvent(s, *k, FD_CONNECT, k->failureError);
  }
}

void socketPollResult(uintptr_t key, unsigned revents) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_sockets.find(static_cast<SOCKET>(key));
  if (it == g_sockets.end()) return;
  SOCKET s = it->first;
  Socket& k = *it->second;
  if (k.state == ConnState::Connecting) {
    if (!(revents & (kPollOut | kPollError | kPollHangup))) return;
    int err = sys::takeSocketError(k.fd);
    if (err == EINPROGRESS || err == EALREADY) return;
    if (err != 0) {
      k.state = ConnState::Failed;
      k.closeReported = true;
      postEvent(s, k, FD_CONNECT, sys::wsaFromErrno(err));
      return;
    }
    k.state = ConnState::Connected;
    k.readEnabled = true;
    k.writeEnabled = false;
    postEvent(s, k, FD_CONNECT, 0);
    if (!postEvent(s, k, FD_WRITE, 0)) k.writeEnabled = true;
    return;  // input is looked at on the next round, after FD_CONNECT
  }
  if (k.state != ConnState::Connected) return;
  if ((revents & kPollOut) && k.writeEnabled && (k.events & FD_WRITE)) {
    k.writeEnabled = false;
    postEvent(s, k, FD_WRITE, 0);
  }
  if (k.closeReported || !(revents & (kPollIn | kPollPeerClosed | kPollError | kPollHangup))) {
    return;
  }
  long n = sys::peekByte(k.fd);
  if (n > 0) {
    if (k.readEnabled && (k.events & FD_READ)) {
      k.readEnabled = false;
      postEvent(s, k, FD_READ, 0);
    } else if (!(k.events & FD_READ) && (revents & (kPollPeerClosed | kPollHangup))) {
      // Nobody reads this socket: the close is reported with data unread.
      k.closeReported = true;
      postEvent(s, k, FD_CLOSE, 0);
    }
  } else if (n == 0) {
    k.closeReported = true;
    postEvent(s, k, FD_CLOSE, 0);
  } else if (errno != EAGAIN) {
    k.resetError = sys::wsaFromErrno(errno);
    k.closeReported = true;
    postEvent(s, k, FD_CLOSE, k.resetError);
  }
}

}  // namespace tw_platform

// ---------------------------------------------------------------------------
// Start-up and errors.

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  BYTE major = LOBYTE(versionRequested);
  BYTE minor = HIBYTE(versionRequested);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  WORD granted = (major > 2 || (major == 2 && minor >= 2)) ? MAKEWORD(2, 2) : versionRequested;
  std::memset(data, 0, sizeof *data);
  data->wVersion = granted;
  data->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  g_started.fetch_add(1);
  return 0;
}

int WSACleanup() {
  std::vector<std::shared_ptr<Socket>> closing;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_started.load() <= 0) return fail(WSANOTINITIALISED);
    if (g_started.fetch_sub(1) != 1) return 0;
    // The last clean-up closes whatever sockets are left.
    for (auto& [s, k] : g_sockets) {
      unregisterLocked(s, *k);
      closing.push_back(k);
    }
    g_sockets.clear();
  }
  for (auto& k : closing) sys::closeFd(k->fd);
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

BOOL WSAIsBlocking() { return FALSE; }

int WSACancelBlockingCall() { return fail(WSAEINVAL); }

// ---------------------------------------------------------------------------
// Sockets.

SOCKET socket(int af, int type, int protocol) {
  if (!started()) return INVALID_SOCKET;
  int family = af == AF_INET ? 4 : af == AF_INET6 ? 6 : 0;
  if (family == 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM && type != SOCK_DGRAM) {
    WSASetLastError(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = sys::openSocket(family, type, protocol);
  if (fd < 0) {
    WSASetLastError(sys::wsaFromErrno(errno));
    return INVALID_SOCKET;
  }
  auto k = std::make_shared<Socket>();
  k->fd = fd;
  k->af = af;
  k->type = type;
  std::lock_guard<std::mutex> lock(g_mu);
  SOCKET s = g_nextSocket;
  g_nextSocket += 4;
  g_sockets.emplace(s, std::move(k));
  return s;
}

int closesocket(SOCKET s) {
  if (!started()) return SOCKET_ERROR;
  std::shared_ptr<Socket> k;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_sockets.find(s);
    if (it == g_sockets.end()) return fail(WSAENOTSOCK);
    k = it->second;
    unregisterLocked(s, *k);
    g_sockets.erase(it);
  }
  if (sys::closeFd(k->fd) != 0 && errno != EINTR) return failErrno();
  return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  if (!started()) return SOCKET_ERROR;
  Addr a;
  int fd;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Socket* k = findLocked(s);
    if (!k) return SOCKET_ERROR;
    fd = k->fd;
    if (!fromWin(name, namelen, a)) return fail(name == nullptr ? WSAEFAULT : WSAEAFNOSUPPORT);
    if ((a.family == 4) != (k->af == AF_INET)) return fail(WSAEAFNOSUPPORT);
  }
  if (sys::bindTo(fd, a) != 0) return failErrno();
  return 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  if (!started()) return SOCKET_ERROR;
  Addr a;
  int fd;
  bool nonBlocking;
  std::shared_ptr<tw_platform::ThreadQueue> queue;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Socket* k = findLocked(s);
    if (!k) return SOCKET_ERROR;
    if (!fromWin(name, namelen, a)) return fail(name == nullptr ? WSAEFAULT : WSAEAFNOSUPPORT);
    if ((a.family == 4) != (k->af == AF_INET)) return fail(WSAEAFNOSUPPORT);
    if (k->state == ConnState::Connecting) return fail(WSAEALREADY);
    if (k->state == ConnState::Connected) return fail(WSAEISCONN);
    // The system would take these as the local host; Winsock refuses them.
    if (isAnyAddress(a) || a.port == 0) return fail(WSAEADDRNOTAVAIL);
    fd = k->fd;
    nonBlocking = k->nonBlocking;
    if (nonBlocking) k->state = ConnState::Connecting;
  }
  int rc = sys::connectTo(fd, a);
  int err = rc == 0 ? 0 : errno;
  std::lock_guard<std::mutex> lock(g_mu);
  Socket* k = findLocked(s);
  if (!k) return SOCKET_ERROR;  // closed by another thread meanwhile
  if (!nonBlocking) {
    if (rc != 0) return fail(sys::wsaFromErrno(err));
    k->state = ConnState::Connected;
    return 0;
  }
  // Non-blocking: completion (even at once) and the failures that depend on
  // the peer are reported with FD_CONNECT, as Winsock does.
  switch (err) {
    case 0:
    case EINPROGRESS:
      break;
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET:
      k->failurePending = true;
      k->failureError = sys::wsaFromErrno(err);
      break;
    default:
      k->state = ConnState::Idle;
      return fail(sys::wsaFromErrno(err));
  }
  queue = k->queue;
  tw_platform::wakeQueue(queue);
  return fail(WSAEWOULDBLOCK);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  if (!started()) return SOCKET_ERROR;
  int fd;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Socket* k = findLocked(s);
    if (!k) return SOCKET_ERROR;
    refreshUnwatchedConnect(*k);
    if (k->type == SOCK_STREAM && k->state != ConnState::Connected) return fail(WSAENOTCONN);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    fd = k->fd;
  }
  long n = sys::sendBytes(fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_DONTROUTE));
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  std::lock_guard<std::mutex> lock(g_mu);
  Socket* k = findLocked(s);
  if (!k) return SOCKET_ERROR;
  if (err == EAGAIN) {
    // FD_WRITE comes again once the socket can take data.
    k->writeEnabled = true;
    tw_platform::wakeQueue(k->queue);
    return fail(WSAEWOULDBLOCK);
  }
  if (err == EPIPE && k->shutSend) return fail(WSAESHUTDOWN);
  return fail(sys::wsaFromErrno(err));
}

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!started()) return SOCKET_ERROR;
  int fd;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Socket* k = findLocked(s);
    if (!k) return SOCKET_ERROR;
    refreshUnwatchedConnect(*k);
    if (k->type == SOCK_STREAM && k->state != ConnState::Connected) return fail(WSAENOTCONN);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    fd = k->fd;
    if (!k->readEnabled) {
      // Every recv re-enables FD_READ; data still waiting announces itself.
      k->readEnabled = true;
      tw_platform::wakeQueue(k->queue);
    }
  }
  long n = sys::recvBytes(fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK));
  if (n > 0) return static_cast<int>(n);
  int err = errno;
  std::lock_guard<std::mutex> lock(g_mu);
  Socket* k = findLocked(s);
  if (!k) return SOCKET_ERROR;
  if (n == 0) {
    // A reset already found (and taken from the socket) while looking for
    // FD_CLOSE is still the answer of recv.
    if (k->resetError != 0) return fail(k->resetError);
    return 0;
  }
  if (err == EAGAIN) return fail(WSAEWOULDBLOCK);
  return fail(sys::wsaFromErrno(err));
}

int shutdown(SOCKET s, int how) {
  if (!started()) return SOCKET_ERROR;
  int fd;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    Socket* k = findLocked(s);
    if (!k) return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return fail(WSAEINVAL);
    fd = k->fd;
    if (how != SD_RECEIVE) k->shutSend = true;
  }
  if (sys::shutdownFd(fd, how) != 0) return failErrno();
  return 0;
}

namespace {

// The descriptor of a socket of this process, with the failure (not started,
// no such socket) set as the last error.
bool descriptorOf(SOCKET s, int& fd) {
  if (!started()) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  Socket* k = findLocked(s);
  if (!k) return false;
  fd = k->fd;
  return true;
}

// The integer options, by level and name. Boolean ones are stored as 0 or 1;
// read-only ones cannot be set.
struct IntOption {
  int level;
  int name;
  sys::Opt opt;
  bool boolean;
  bool readOnly;
};
const IntOption kIntOptions[] = {
    {SOL_SOCKET, SO_KEEPALIVE, sys::Opt::KeepAlive, true, false},
    {SOL_SOCKET, SO_RCVBUF, sys::Opt::RcvBuf, false, false},
    {SOL_SOCKET, SO_SNDBUF, sys::Opt::SndBuf, false, false},
    {SOL_SOCKET, SO_OOBINLINE, sys::Opt::OobInline, true, false},
    {SOL_SOCKET, SO_REUSEADDR, sys::Opt::ReuseAddr, true, false},
    {SOL_SOCKET, SO_TYPE, sys::Opt::Type, false, true},
    {IPPROTO_TCP, TCP_NODELAY, sys::Opt::NoDelay, true, false},
    {IPPROTO_IPV6, IPV6_V6ONLY, sys::Opt::V6Only, true, false},
};

const IntOption* intOption(int level, int name) {
  for (const IntOption& o : kIntOptions) {
    if (o.level == level && o.name == name) return &o;
  }
  return nullptr;
}

}  // namespace

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  int fd;
  if (!descriptorOf(s, fd)) return SOCKET_ERROR;
  Addr a;
  if (sys::localAddr(fd, a) != 0) {
    // An unbound socket has no name on Windows.
    return fail(errno == EINVAL ? WSAEINVAL : sys::wsaFromErrno(errno));
  }
  if (!toWin(a, name, namelen)) return fail(WSAEFAULT);
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  int fd;
  if (!descriptorOf(s, fd)) return SOCKET_ERROR;
  int v = 0;
  int rc;
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) return fail(WSAEFAULT);
    linger l;
    std::memcpy(&l, optval, sizeof l);
    rc = sys::setLinger(fd, l.l_onoff != 0, l.l_linger);
  } else {
    const IntOption* o = intOption(level, optname);
    if (o == nullptr || o->readOnly) return fail(WSAENOPROTOOPT);
    const sys::Opt opt = o->opt;
    if (!readIntValue(optval, optlen, v)) return fail(WSAEFAULT);
    if (o->boolean) v = v != 0;
    rc = sys::setIntOption(fd, opt, v);
    if (rc == 0 && opt == sys::Opt::KeepAlive && v) {
      // Windows probes every second, ten times, after two idle hours unless
      // told otherwise; the system's own interval is much longer.
      sys::setIntOption(fd, sys::Opt::KeepIntvl, 1);
      sys::setIntOption(fd, sys::Opt::KeepCnt, 10);
    }
  }
  if (rc != 0) return failErrno();
  return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  int fd;
  if (!descriptorOf(s, fd)) return SOCKET_ERROR;
  if (optval == nullptr || optlen == nullptr) return fail(WSAEFAULT);
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(linger))) return fail(WSAEFAULT);
    bool on;
    int secs;
    if (sys::getLinger(fd, on, secs) != 0) return failErrno();
    linger l{static_cast<u_short>(on ? 1 : 0), static_cast<u_short>(secs)};
    std::memcpy(optval, &l, sizeof l);
    *optlen = sizeof l;
    return 0;
  }
  int v = 0;
  if (level == SOL_SOCKET && optname == SO_ERROR) {
    v = sys::wsaFromErrno(sys::takeSocketError(fd));
  } else {
    const IntOption* o = intOption(level, optname);
    if (o == nullptr) return fail(WSAENOPROTOOPT);
    const sys::Opt opt = o->opt;
    if (sys::getIntOption(fd, opt, v) != 0) return failErrno();
    // The system reports twice the buffer size asked for (its bookkeeping
    // included); Winsock reports the size itself.
    if (opt == sys::Opt::RcvBuf || opt == sys::Opt::SndBuf) v /= 2;
  }
  if (*optlen < 1) return fail(WSAEFAULT);
  if (*optlen < 4) {
    optval[0] = static_cast<char>(v != 0);
    *optlen = 1;
  } else {
    std::memcpy(optval, &v, 4);
    *optlen = 4;
  }
  return 0;
}

int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID, DWORD,
             LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  int fd;
  if (!descriptorOf(s, fd)) return SOCKET_ERROR;
  if (overlapped != nullptr || completion != nullptr) return fail(WSAEINVAL);
  if (ioControlCode != SIO_KEEPALIVE_VALS) return fail(WSAEINVAL);
  if (inBuffer == nullptr || inSize < sizeof(tcp_keepalive)) return fail(WSAEFAULT);
  tcp_keepalive ka;
  std::memcpy(&ka, inBuffer, sizeof ka);
  if (sys::setIntOption(fd, sys::Opt::KeepAlive, ka.onoff ? 1 : 0) != 0) return failErrno();
  if (ka.onoff) {
    if (sys::setIntOption(fd, sys::Opt::KeepIdle, keepAliveSeconds(ka.keepalivetime)) != 0 ||
        sys::setIntOption(fd, sys::Opt::KeepIntvl, keepAliveSeconds(ka.keepaliveinterval)) != 0 ||
        sys::setIntOption(fd, sys::Opt::KeepCnt, 10) != 0) {
      return failErrno();
    }
  }
  if (bytesReturned) *bytesReturned = 0;
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, u_int message, LONG events) {
  if (!started()) return SOCKET_ERROR;
  std::shared_ptr<tw_platform::ThreadQueue> queue;
  if (events != 0) {
    queue = tw_platform::windowQueue(hwnd);
    if (!queue) return fail(WSAEINVAL);
  }
  std::lock_guard<std::mutex> lock(g_mu);
  Socket* k = findLocked(s);
  if (!k) return SOCKET_ERROR;
  std::shared_ptr<tw_platform::ThreadQueue> old = k->queue;
  unregisterLocked(s, *k);
  // The first registration makes the socket non-blocking for good; later
  // ones (every change of the event mask) need not ask the kernel again.
  if (!k->nonBlocking) {
    if (sys::setNonBlocking(k->fd, true) != 0) return failErrno();
    k->nonBlocking = true;
  }
  if (events == 0) return 0;
  k->hwnd = hwnd;
  k->message = message;
  k->events = events;
  k->queue = queue;
  // A new registration reports the present state again: data waiting, a
  // connected socket that can take data, a close already seen.
  k->readEnabled = true;
  k->writeEnabled = k->state == ConnState::Connected;
  if (k->state == ConnState::Connected && k->resetError == 0) k->closeReported = false;
  tw_platform::wakeQueue(queue);
  if (old && old != queue) tw_platform::wakeQueue(old);
  return 0;
}

// ---------------------------------------------------------------------------
// Addresses and names.

ULONG inet_addr(const char* cp) {
  uint32_t v;
  if (cp == nullptr || !sys::parseDotted(cp, v)) return INADDR_NONE;
  return v;
}

char* inet_ntoa(in_addr in) {
  thread_local char buf[16];
  std::string t = sys::dottedText(in.s_addr);
  std::strncpy(buf, t.c_str(), sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  return buf;
}

namespace {

// The per-thread result of gethostbyname.
struct HostEntryStorage {
  hostent entry{};
  std::string name;
  std::vector<std::string> addrs;  // 4 bytes each
  std::vector<char*> addrPtrs;
  char* aliases[1] = {nullptr};
};

}  // namespace

hostent* gethostbyname(const char* name) {
  if (!started()) return nullptr;
  std::string host;
  if (name == nullptr || name[0] == '\0') {
    if (sys::hostName(host) != 0) {
      WSASetLastError(sys::wsaFromErrno(errno));
      return nullptr;
    }
  } else {
    host = name;
  }
  std::vector<sys::Resolved> found;
  std::string canon;
  int rc = sys::resolve(host.c_str(), nullptr, 4, SOCK_STREAM, 0, AI_CANONNAME, found, canon);
  if (rc != 0) {
    WSASetLastError(rc);
    return nullptr;
  }
  thread_local HostEntryStorage st;
  st.name = canon.empty() ? host : canon;
  st.addrs.clear();
  for (const auto& r : found) {
    std::string a(reinterpret_cast<const char*>(r.addr.bytes), 4);
    if (std::find(st.addrs.begin(), st.addrs.end(), a) == st.addrs.end()) st.addrs.push_back(a);
  }
  st.addrPtrs.clear();
  for (auto& a : st.addrs) st.addrPtrs.push_back(a.data());
  st.addrPtrs.push_back(nullptr);
  st.entry.h_name = st.name.data();
  st.entry.h_aliases = st.aliases;
  st.entry.h_addrtype = AF_INET;
  st.entry.h_length = 4;
  st.entry.h_addr_list = st.addrPtrs.data();
  return &st.entry;
}

int gethostname(char* name, int namelen) {
  if (!started()) return SOCKET_ERROR;
  std::string h;
  if (sys::hostName(h) != 0) return failErrno();
  if (name == nullptr || namelen <= static_cast<int>(h.size())) return fail(WSAEFAULT);
  std::memcpy(name, h.c_str(), h.size() + 1);
  return 0;
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (!started()) return WSANOTINITIALISED;
  if (result == nullptr || (node == nullptr && service == nullptr)) {
    int e = result == nullptr ? WSAEINVAL : WSAHOST_NOT_FOUND;
    WSASetLastError(e);
    return e;
  }
  *result = nullptr;
  int family = 0, socktype = 0, protocol = 0, flags = 0;
  if (hints) {
    if (hints->ai_family == AF_INET) {
      family = 4;
    } else if (hints->ai_family == AF_INET6) {
      family = 6;
    } else if (hints->ai_family != AF_UNSPEC) {
      WSASetLastError(WSAEAFNOSUPPORT);
      return WSAEAFNOSUPPORT;
    }
    socktype = hints->ai_socktype;
    protocol = hints->ai_protocol;
    flags = hints->ai_flags;
  }
  std::vector<sys::Resolved> found;
  std::string canon;
  int rc = sys::resolve(node, service, family, socktype, protocol, flags, found, canon);
  if (rc != 0) {
    WSASetLastError(rc);
    return rc;
  }
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  for (const auto& r : found) {
    auto* ai = new addrinfo{};
    ai->ai_family = r.addr.family == 4 ? AF_INET : AF_INET6;
    ai->ai_socktype = r.socktype;
    ai->ai_protocol = r.protocol;
    int len = r.addr.family == 4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    auto* sa = reinterpret_cast<sockaddr*>(new sockaddr_in6{});
    toWin(r.addr, sa, &len);
    ai->ai_addr = sa;
    ai->ai_addrlen = static_cast<size_t>(len);
    if (head == nullptr && (flags & AI_CANONNAME) && !canon.empty()) {
      ai->ai_canonname = new char[canon.size() + 1];
      std::memcpy(ai->ai_canonname, canon.c_str(), canon.size() + 1);
    }
    *tail = ai;
    tail = &ai->ai_next;
  }
  *result = head;
  return 0;
}

void freeaddrinfo(addrinfo* ai) {
  while (ai) {
    addrinfo* next = ai->ai_next;
    delete reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
    delete[] ai->ai_canonname;
    delete ai;
    ai = next;
  }
}

int getnameinfo(const sockaddr* sa, int salen, char* host, DWORD hostlen, char* serv,
                DWORD servlen, int flags) {
  if (!started()) return WSANOTINITIALISED;
  Addr a;
  if (!fromWin(sa, salen, a)) {
    int e = sa == nullptr ? WSAEFAULT : WSAEAFNOSUPPORT;
    WSASetLastError(e);
    return e;
  }
  std::string h, s;
  bool wantHost = host != nullptr && hostlen > 0;
  bool wantServ = serv != nullptr && servlen > 0;
  int rc = sys::nameInfo(a, wantHost ? &h : nullptr, wantServ ? &s : nullptr, flags);
  if (rc == 0 && ((wantHost && h.size() >= hostlen) || (wantServ && s.size() >= servlen))) {
    rc = WSAEFAULT;
  }
  if (rc != 0) {
    WSASetLastError(rc);
    return rc;
  }
  if (wantHost) std::memcpy(host, h.c_str(), h.size() + 1);
  if (wantServ) std::memcpy(serv, s.c_str(), s.size() + 1);
  return 0;
}
