// The version block of the built tarnwick, read as a Windows program reads
// its own version resource. (The texts themselves are checked where the
// program prints them.)
#include <gtest/gtest.h>

#include <vector>

#include "platform/detail.h"
#include "platform/version.h"
#include "tests/support/process.h"

namespace {

std::u16string query(const std::vector<BYTE>& block, const std::u16string& path) {
  LPVOID value = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &len)) return u"<missing>";
  std::u16string s(static_cast<const WCHAR*>(value), len);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

TEST(VersionResource, StringsOfTheProgram) {
  const std::u16string file = tw_platform::utf8ToUtf16(tw_test::programPath("TARNWICK_BIN"));
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), handle, size, block.data()));
  const std::u16string base = u"\\StringFileInfo\\040904b0\\";
  EXPECT_EQ(query(block, base + u"ProductVersion"), u"2.1.0.0");
  EXPECT_EQ(query(block, base + u"SpecialBuild"), u"<missing>");
}

TEST(VersionResource, CorruptBlockIsNotReadPastItsEnd) {
  // A node claiming more bytes than its parent holds is not followed.
  std::vector<BYTE> block = {40, 0, 0, 0, 0, 0, 'A', 0, 0, 0, 0, 0,
                             200, 0, 0, 0, 1, 0, 'B', 0, 0, 0};
  block.resize(40, 0);
  LPVOID value = nullptr;
  UINT len = 0;
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\B", &value, &len));
}

}  // namespace
