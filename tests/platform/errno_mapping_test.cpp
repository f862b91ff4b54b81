// The system's error numbers as Winsock numbers.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/detail.h"
#include "platform/netsys.h"

namespace {

using tw_platform::sys::wsaFromErrno;
using tw_platform::sys::wsaFromGai;

TEST(ErrnoMapping, SocketErrorsGetWinsockNumbers) {
  struct Case {
    int err;
    int wsa;
  } cases[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},   {EWOULDBLOCK, 10035}, {EAGAIN, 10035},
      {EINPROGRESS, 10036},  {EALREADY, 10037},    {ECONNRESET, 10054},  {ECONNABORTED, 10053},
      {ENOTCONN, 10057},     {EISCONN, 10056},     {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},     {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065}, {EHOSTDOWN, 10064},
      {EINVAL, 10022},       {EBADF, 10038},       {ENOTSOCK, 10038},    {EACCES, 10013},
      {EFAULT, 10014},       {EMFILE, 10024},      {EMSGSIZE, 10040},    {ENOPROTOOPT, 10042},
      {EAFNOSUPPORT, 10047}, {ENOBUFS, 10055},     {ESHUTDOWN, 10058},   {EINTR, 10004},
      {EPIPE, 10053},        {0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(wsaFromErrno(c.err), c.wsa) << "errno " << c.err;
  // A value without a Winsock counterpart is a failed system call.
  EXPECT_EQ(wsaFromErrno(EDOM), 10107);
}

TEST(ErrnoMapping, LookupErrorsGetWinsockNumbers) {
  EXPECT_EQ(wsaFromGai(EAI_NONAME, 0), 11001);
  EXPECT_EQ(wsaFromGai(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(wsaFromGai(EAI_FAIL, 0), 11003);
  EXPECT_EQ(wsaFromGai(EAI_NODATA, 0), 11004);
  EXPECT_EQ(wsaFromGai(EAI_FAMILY, 0), 10047);
  EXPECT_EQ(wsaFromGai(EAI_SERVICE, 0), 10109);
  EXPECT_EQ(wsaFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
  EXPECT_EQ(wsaFromGai(0, 0), 0);
}

TEST(ErrnoMapping, EveryMappedCodeHasASystemText) {
  for (int err = 1; err < 134; ++err) {
    int code = wsaFromErrno(err);
    EXPECT_NE(tw_platform::systemMessageText(static_cast<DWORD>(code)), nullptr)
        << "errno " << err << " gives " << code;
  }
  for (int gai : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA, EAI_FAMILY, EAI_MEMORY,
                  EAI_SERVICE, EAI_SOCKTYPE, EAI_BADFLAGS, EAI_OVERFLOW}) {
    int code = wsaFromGai(gai, 0);
    EXPECT_NE(tw_platform::systemMessageText(static_cast<DWORD>(code)), nullptr)
        << "lookup error " << gai << " gives " << code;
  }
}

}  // namespace
