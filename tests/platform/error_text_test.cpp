// System message texts: every Winsock code the system's error numbers map
// to has one (the numbers that matter are checked through the calls that
// give them), and FormatMessage lays them out.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/detail.h"
#include "platform/netsys.h"
#include "tests/platform/last_error.h"

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

std::string format(DWORD flags, DWORD code, DWORD language = 0) {
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, code, language, buf,
                           sizeof buf, nullptr);
  return std::string(buf, n);
}

TEST(FormatMessage, LineBreaksWidthsAndMissingTexts) {
  EXPECT_EQ(format(0, 5), "Access is denied.\r\n");
  // The width mask turns the line break into a blank.
  EXPECT_EQ(format(FORMAT_MESSAGE_MAX_WIDTH_MASK, 2, 0x0800),
            "The system cannot find the file specified. ");
  EXPECT_FAILS(format(0, 0x7FFFFFFF), "", ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
