// System message texts and the exception family.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "winsupport/Exceptions.h"
#include "winsupport/SystemErrorText.h"

using namespace velmora::windows_specific;

TEST(SystemErrorText, KnownCodeHasNoTrailingBlank) {
  EXPECT_EQ(systemErrorText(2), "The system cannot find the file specified.");
  EXPECT_EQ(systemErrorText(5), "Access is denied.");
  EXPECT_EQ(systemErrorText(10061),
            "No connection could be made because the target machine actively refused it.");
}

TEST(SystemErrorText, UnknownCodeGivesSignedDecimal) {
  EXPECT_EQ(systemErrorText(0x7FFFFFFF), "2147483647");
  EXPECT_EQ(systemErrorText(0xFFFFFFFF), "-1");
  EXPECT_EQ(systemErrorTextW(0x7FFFFFFF), u"2147483647");
}

TEST(SystemErrorText, WideFormMatchesNarrow) {
  EXPECT_EQ(systemErrorTextW(2), u"The system cannot find the file specified.");
  EXPECT_EQ(systemErrorTextW(1813), u"The specified resource type cannot be found in the image file.");
}

TEST(FormatMessage, WidthMaskTurnsLineBreakIntoBlank) {
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 2,
                           0x0800, buf, sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n), "The system cannot find the file specified. ");
}

TEST(FormatMessage, NoWidthKeepsLineBreak) {
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buf, sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n), "Access is denied.\r\n");
}

TEST(FormatMessage, NarrowWidthWrapsLines) {
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | 20, nullptr, 2, 0, buf, sizeof buf, nullptr);
  std::string text(buf, n);
  EXPECT_NE(text.find("\r\n"), std::string::npos);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    EXPECT_LE(end - start, 20u) << text;
    start = end + 2;
  }
}

TEST(FormatMessage, Failures) {
  char buf[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char big[256];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x7FFFFFFF, 0, big, sizeof big,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0x0407, big, sizeof big, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(ExceptionWin32Wrapper, MessageEndsInHexCode) {
  ExceptionWin32Wrapper e(2);
  EXPECT_STREQ(e.what(), "The system cannot find the file specified. (0x2)");
  EXPECT_EQ(e.errorCode(), 2u);
  ExceptionWin32Wrapper denied(5);
  EXPECT_STREQ(denied.what(), "Access is denied. (0x5)");
}

TEST(ExceptionWin32Wrapper, CodeWithoutTextGivesOnlyHex) {
  ExceptionWin32Wrapper e(0x7FFFFFFF);
  EXPECT_STREQ(e.what(), "(0x7fffffff)");
}

TEST(ExceptionWin32Wrapper, ExtendedErrorStartsWithProviderName) {
  ExceptionWin32Wrapper e(1208);
  EXPECT_STREQ(e.what(), ": (0x4b8)");
}

TEST(ExceptionWin32Wrapper, ServiceCodesThrowSpecificExceptions) {
  try {
    throw ExceptionWin32Wrapper(1073);
    FAIL() << "nothing thrown";
  } catch (const ExceptionWin32ServiceExists& e) {
    EXPECT_EQ(e.errorCode(), 1073u);
    EXPECT_STREQ(e.what(), "The specified service already exists. (0x431)");
  }
  try {
    throw ExceptionWin32Wrapper(1060);
    FAIL() << "nothing thrown";
  } catch (const ExceptionWin32Wrapper& e) {
    EXPECT_NE(dynamic_cast<const ExceptionWin32ServiceDoesNotExist*>(&e), nullptr);
    EXPECT_EQ(e.errorCode(), 1060u);
  }
}

TEST(ExceptionWin32Wrapper, IsAStandardException) {
  try {
    throw ExceptionWin32Wrapper(1813);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "The specified resource type cannot be found in the image file. (0x715)");
  }
}
