// System message texts and the exception family.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "winsupport/Exceptions.h"
#include "winsupport/SystemErrorText.h"

using namespace velmora::windows_specific;

TEST(SystemErrorText, NarrowAndWideTextsWithoutTrailingBlank) {
  struct Case {
    DWORD code;
    std::string text;
  } cases[] = {
      {2, "The system cannot find the file specified."},
      {10061, "No connection could be made because the target machine actively refused it."},
      {0x7FFFFFFF, "2147483647"},  // a code without a text gives its signed decimal
      {0xFFFFFFFF, "-1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(systemErrorText(c.code), c.text);
    EXPECT_EQ(systemErrorTextW(c.code), std::u16string(c.text.begin(), c.text.end()));
  }
}

TEST(ExceptionWin32Wrapper, MessageEndsInHexCode) {
  struct Case {
    DWORD code;
    const char* what;
  } cases[] = {
      {2, "The system cannot find the file specified. (0x2)"},
      {0x7FFFFFFF, "(0x7fffffff)"},  // no text: only the code
      {1208, ": (0x4b8)"},           // an extended error starts with the provider's name
  };
  for (const Case& c : cases) {
    ExceptionWin32Wrapper e(c.code);
    const std::exception& standard = e;
    EXPECT_STREQ(standard.what(), c.what);
    EXPECT_EQ(e.errorCode(), c.code);
  }
}

TEST(ExceptionWin32Wrapper, ServiceCodesThrowSpecificExceptions) {
  try {
    throw ExceptionWin32Wrapper(1073);
  } catch (const ExceptionWin32ServiceExists& e) {
    EXPECT_EQ(e.errorCode(), 1073u);
    EXPECT_STREQ(e.what(), "The specified service already exists. (0x431)");
  }
  try {
    throw ExceptionWin32Wrapper(1060);
  } catch (const ExceptionWin32Wrapper& e) {
    EXPECT_NE(dynamic_cast<const ExceptionWin32ServiceDoesNotExist*>(&e), nullptr);
    EXPECT_EQ(e.errorCode(), 1060u);
  }
}
