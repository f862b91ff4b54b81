// System message texts: every Winsock code the system's error numbers map
// to has one (the numbers that matter are checked through the calls that
// give them).
#include <gtest/gtest.h>
#include <netdb.h>


#include "platform/detail.h"
#include "platform/netsys.h"

namespace {

using tw_platform::sys::wsaFromErrno;
using tw_platform::sys::wsaFromGai;

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
