// Winsock 2: stream sockets, name resolution and WSAAsyncSelect, with the
// Winsock constants, structure layouts and error numbers.
//
// Error numbers are Winsock's (WSAGetLastError, which is GetLastError).
// Calls other than WSAStartup fail with WSANOTINITIALISED (10093) while
// Winsock is not started. A socket handle is never reused within a process.
//
// WSAAsyncSelect makes the socket non-blocking and posts the message to the
// window's thread queue with wParam = socket, lParam =
// WSAMAKESELECTREPLY(event, error):
//   FD_CONNECT once when a connect completes, the error (e.g. 10061) in the
//     high word when it failed;
//   FD_WRITE with a successful FD_CONNECT (and at registration when the
//     socket is connected), then again only after a send failed with
//     WSAEWOULDBLOCK, once the socket can take data;
//   FD_READ when data is waiting; after one FD_READ the next comes only
//     after a recv (which re-enables it; data still waiting then gives a new
//     FD_READ);
//   FD_CLOSE once when the peer has closed and the data before the close has
//     been announced: with error 0 after an orderly close, with 10054 after a
//     reset. Data is never consumed to find out.
// The queue's thread sees the events when it peeks or waits for messages
// (see messages.h). WSAAsyncSelect(s, hwnd, 0, 0) and closesocket stop the
// events and discard those of the socket still queued.
#pragma once

#include <bit>
#include <cstdint>

#include "platform/messages.h"
#include "platform/win32types.h"

typedef UINT_PTR SOCKET;
typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
// u_long is not defined here: the C library's u_long (from <sys/types.h>,
// which standard headers pull in) is 64 bits wide. Winsock's 32-bit u_long
// is ULONG in the calls below.

#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)

#define MAKEWORD(a, b) \
  (static_cast<WORD>(static_cast<BYTE>(a) | (static_cast<WORD>(static_cast<BYTE>(b)) << 8)))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<ULONG_PTR>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<ULONG_PTR>(w) >> 8) & 0xff))

// Address families, socket types, protocols.
#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23
#define PF_INET AF_INET
#define PF_INET6 AF_INET6
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define IPPROTO_IPV6 41

#define INADDR_ANY 0x00000000u
#define INADDR_LOOPBACK 0x7f000001u
#define INADDR_NONE 0xffffffffu

// Socket options.
#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001
#define IPV6_V6ONLY 27

// recv and send flags.
#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_DONTROUTE 0x4

// shutdown
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

// WSAIoctl
#define SIO_KEEPALIVE_VALS 0x98000004u

// WSAAsyncSelect events.
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define WSAMAKESELECTREPLY(event, error) MAKELONG(event, error)
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)

// Winsock error numbers.
#define WSABASEERR 10000
#define WSAEINTR 10004L
#define WSAEBADF 10009L
#define WSAEACCES 10013L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEMFILE 10024L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAEALREADY 10037L
#define WSAENOTSOCK 10038L
#define WSAEDESTADDRREQ 10039L
#define WSAEMSGSIZE 10040L
#define WSAEPROTOTYPE 10041L
#define WSAENOPROTOOPT 10042L
#define WSAEPROTONOSUPPORT 10043L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEOPNOTSUPP 10045L
#define WSAEPFNOSUPPORT 10046L
#define WSAEAFNOSUPPORT 10047L
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#define WSAENETDOWN 10050L
#define WSAENETUNREACH 10051L
#define WSAENETRESET 10052L
#define WSAECONNABORTED 10053L
#define WSAECONNRESET 10054L
#define WSAENOBUFS 10055L
#define WSAEISCONN 10056L
#define WSAENOTCONN 10057L
#define WSAESHUTDOWN 10058L
#define WSAETOOMANYREFS 10059L
#define WSAETIMEDOUT 10060L
#define WSAECONNREFUSED 10061L
#define WSAELOOP 10062L
#define WSAENAMETOOLONG 10063L
#define WSAEHOSTDOWN 10064L
#define WSAEHOSTUNREACH 10065L
#define WSAENOTEMPTY 10066L
#define WSAEPROCLIM 10067L
#define WSAEUSERS 10068L
#define WSAEDQUOT 10069L
#define WSAESTALE 10070L
#define WSAEREMOTE 10071L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSAEDISCON 10101L
#define WSASYSCALLFAILURE 10107L
#define WSATYPE_NOT_FOUND 10109L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L
#define WSA_NOT_ENOUGH_MEMORY 8L

// getaddrinfo results (Winsock codes).
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_NODATA WSANO_DATA
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT

// getaddrinfo flags.
#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004
#define AI_NUMERICSERV 0x00000008
#define AI_ALL 0x00000100
#define AI_ADDRCONFIG 0x00000400
#define AI_V4MAPPED 0x00000800

// getnameinfo flags and buffer sizes.
#define NI_NOFQDN 0x01
#define NI_NUMERICHOST 0x02
#define NI_NAMEREQD 0x04
#define NI_NUMERICSERV 0x08
#define NI_DGRAM 0x10
#define NI_MAXHOST 1025
#define NI_MAXSERV 32

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
typedef WSADATA* LPWSADATA;

struct in_addr {
  ULONG s_addr;  // network byte order
};
typedef in_addr IN_ADDR;

struct in6_addr {
  union {
    u_char Byte[16];
    u_short Word[8];
  } u;
};
typedef in6_addr IN6_ADDR;
#define s6_addr u.Byte

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};
typedef sockaddr SOCKADDR;
typedef sockaddr* PSOCKADDR;
typedef sockaddr* LPSOCKADDR;

struct sockaddr_in {
  short sin_family;
  u_short sin_port;  // network byte order
  in_addr sin_addr;
  char sin_zero[8];
};
typedef sockaddr_in SOCKADDR_IN;

struct sockaddr_in6 {
  short sin6_family;
  u_short sin6_port;  // network byte order
  ULONG sin6_flowinfo;
  in6_addr sin6_addr;
  ULONG sin6_scope_id;
};
typedef sockaddr_in6 SOCKADDR_IN6;

struct sockaddr_storage {
  short ss_family;
  char ss_pad1[6];
  int64_t ss_align;
  char ss_pad2[112];
};
typedef sockaddr_storage SOCKADDR_STORAGE;

struct linger {
  u_short l_onoff;
  u_short l_linger;  // seconds
};
typedef linger LINGER;

struct tcp_keepalive {
  ULONG onoff;
  ULONG keepalivetime;      // milliseconds
  ULONG keepaliveinterval;  // milliseconds
};

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};
typedef hostent HOSTENT;
typedef hostent* LPHOSTENT;
#define h_addr h_addr_list[0]

struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};
typedef addrinfo ADDRINFOA;
typedef addrinfo* PADDRINFOA;

static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes");
static_assert(sizeof(sockaddr_in6) == 28, "sockaddr_in6 is 28 bytes");

// Byte order.
inline u_short htons(u_short v) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
inline u_short ntohs(u_short v) { return htons(v); }
inline ULONG htonl(ULONG v) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

// Start and stop. WSAStartup returns its error (10092 for a version below
// 1.1) instead of setting the last error; it grants the requested version up
// to 2.2. WSACleanup closes every socket when the last start is undone.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// No call here blocks in the Winsock 1 sense: FALSE, and cancelling fails
// with WSAEINVAL.
BOOL WSAIsBlocking();
int WSACancelBlockingCall();

// Sockets. AF_INET6 sockets take IPv6 only, as on Windows. send never raises
// SIGPIPE. A non-blocking connect returns SOCKET_ERROR with WSAEWOULDBLOCK
// (also when it fails at once, e.g. refused: the error then comes with
// FD_CONNECT). Connecting to the any-address or to port 0 fails with
// WSAEADDRNOTAVAIL.
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* name, int namelen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int shutdown(SOCKET s, int how);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
// SOL_SOCKET: SO_KEEPALIVE, SO_LINGER (struct linger), SO_RCVBUF, SO_SNDBUF,
// SO_OOBINLINE, SO_REUSEADDR, SO_ERROR and SO_TYPE (get only); IPPROTO_TCP:
// TCP_NODELAY; IPPROTO_IPV6: IPV6_V6ONLY. Others fail with WSAENOPROTOOPT.
// Boolean options take a BOOL (or one byte); a buffer too short for the
// option fails with WSAEFAULT.
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);

struct WSAOVERLAPPED;
typedef WSAOVERLAPPED* LPWSAOVERLAPPED;
typedef void (*LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD transferred,
                                                   LPWSAOVERLAPPED overlapped, DWORD flags);
// SIO_KEEPALIVE_VALS (struct tcp_keepalive): keep-alive on or off, the idle
// time before the first probe and the interval between probes, both in
// milliseconds (rounded up to whole seconds, the system's granularity).
// Overlapped calls are not supported (WSAEINVAL).
int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
             DWORD outSize, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);

int WSAAsyncSelect(SOCKET s, HWND hwnd, u_int message, LONG events);

// Addresses and names. gethostbyname and inet_ntoa return per-thread
// storage, valid until the thread's next call. Lookup failures:
// WSAHOST_NOT_FOUND (11001), WSATRY_AGAIN (11002), WSANO_RECOVERY (11003),
// WSANO_DATA (11004).
ULONG inet_addr(const char* cp);
char* inet_ntoa(in_addr in);
hostent* gethostbyname(const char* name);
int gethostname(char* name, int namelen);
// Returns 0 or a Winsock error code (also set as the last error).
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* ai);
int getnameinfo(const sockaddr* sa, int salen, char* host, DWORD hostlen, char* serv,
                DWORD servlen, int flags);
