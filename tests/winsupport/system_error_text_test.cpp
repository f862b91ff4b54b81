// System message texts and the exception family.
#include <gtest/gtest.h>

#include <typeinfo>

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

// The message ends in the code in hex; the service codes throw a type of their own.
TEST(ExceptionWin32Wrapper, MessagesAndTypes) {
  struct Case {
    DWORD code;
    const char* what;
    const std::type_info& type = typeid(ExceptionWin32Wrapper);
  } cases[] = {
      {2, "The system cannot find the file specified. (0x2)"},
      {0x7FFFFFFF, "(0x7fffffff)"},  // no text: only the code
      {1208, ": (0x4b8)"},           // an extended error starts with the provider's name
      {1073, "The specified service already exists. (0x431)", typeid(ExceptionWin32ServiceExists)},
      {1060, "The specified service does not exist as an installed service. (0x424)",
       typeid(ExceptionWin32ServiceDoesNotExist)},
  };
  for (const Case& c : cases) {
    try {
      throw ExceptionWin32Wrapper(c.code);
    } catch (const ExceptionWin32Wrapper& e) {
      const std::exception& standard = e;
      EXPECT_STREQ(standard.what(), c.what);
      EXPECT_EQ(e.errorCode(), c.code);
      EXPECT_TRUE(typeid(e) == c.type) << c.code;
    }
  }
}
