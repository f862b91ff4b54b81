// The version block of the built tarnwick, read as a Windows program reads
// its own version resource.
#include <gtest/gtest.h>

#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/version.h"
#include "tests/support/process.h"

namespace {

std::u16string wide(const std::string& s) { return tw_platform::utf8ToUtf16(s); }

std::u16string query(const std::vector<BYTE>& block, const std::u16string& path) {
  LPVOID value = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &len)) return u"<missing>";
  std::u16string s(static_cast<const WCHAR*>(value), len);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

std::vector<BYTE> loadBlock(const std::string& file) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(wide(file).c_str(), &handle);
  EXPECT_GT(size, 0u);
  std::vector<BYTE> block(size);
  EXPECT_TRUE(GetFileVersionInfoW(wide(file).c_str(), handle, size, block.data()));
  return block;
}

}  // namespace

TEST(VersionResource, StringsOfTheProgram) {
  auto block = loadBlock(tw_test::programPath("TARNWICK_BIN"));
  const std::u16string base = u"\\StringFileInfo\\040904b0\\";
  EXPECT_EQ(query(block, base + u"FileDescription"),
            u"Monitors web pages by looking for a string and/or verifying checksums");
  EXPECT_EQ(query(block, base + u"FileVersion"), u"2, 1, 1, 1");
  EXPECT_EQ(query(block, base + u"InternalName"), u"Tarnwick");
  EXPECT_EQ(query(block, base + u"OriginalFilename"), u"Tarnwick.exe");
  EXPECT_EQ(query(block, base + u"ProductVersion"), u"2.1.0.0");
  EXPECT_EQ(query(block, u"\\stringfileinfo\\040904B0\\productversion"), u"2.1.0.0");
  EXPECT_EQ(query(block, base + u"SpecialBuild"), u"<missing>");
  EXPECT_EQ(query(block, u"\\StringFileInfo\\04070000\\ProductVersion"), u"<missing>");
}

TEST(VersionResource, FixedInfoAndTranslation) {
  auto block = loadBlock(tw_test::programPath("TARNWICK_BIN"));
  LPVOID value = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  const auto* ffi = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(ffi->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(ffi->dwFileVersionMS, 0x00020001u);
  EXPECT_EQ(ffi->dwFileVersionLS, 0x00010001u);
  EXPECT_EQ(ffi->dwProductVersionMS, 0x00020001u);
  EXPECT_EQ(ffi->dwProductVersionLS, 0u);
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &len));
  ASSERT_EQ(len, 4u);
  const auto* t = static_cast<const WORD*>(value);
  EXPECT_EQ(t[0], 0x0409);
  EXPECT_EQ(t[1], 1200);
}

TEST(VersionResource, FilesWithoutABlock) {
  DWORD handle = 0;
  // A test binary is an image without a version block.
  WCHAR self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeW(self, &handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));

  tw_test::TempDir dir;
  tw_test::writeFile(dir.file("text"), "not an executable image at all, just text");
  EXPECT_EQ(GetFileVersionInfoSizeW(wide(dir.file("text")).c_str(), &handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));

  tw_test::writeFile(dir.file("fake-elf"), std::string("\x7f" "ELF\x02\x01\x01", 7) +
                                               std::string(200, '\xff'));
  EXPECT_EQ(GetFileVersionInfoSizeW(wide(dir.file("fake-elf")).c_str(), &handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));

  EXPECT_EQ(GetFileVersionInfoSizeW(wide(dir.file("absent")).c_str(), &handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
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
