// Files and handles: creation dispositions, share modes, links, truncation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/process.h"

using tw_test::TempDir;

namespace {
HANDLE open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}
}  // namespace

TEST(Files, CreationDispositions) {
  TempDir dir;
  const std::string f = dir.file("a.txt");
  EXPECT_EQ(open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open(dir.file("missing/a.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  HANDLE h = open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);
  ASSERT_TRUE(CloseHandle(h));

  h = open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);  // OPEN_ALWAYS keeps the content
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 5u);
  ASSERT_TRUE(WriteFile(h, "!", 1, &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(tw_test::readFile(f), "hello!");

  EXPECT_EQ(open(f, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  h = open(f, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
}

TEST(Files, ReadAndSeek) {
  TempDir dir;
  const std::string f = dir.file("r.txt");
  tw_test::writeFile(f, "0123456789");
  HANDLE h = open(f, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[4];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
  EXPECT_EQ(std::string(buf, got), "0123");
  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 6u);
  EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  ASSERT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
  EXPECT_EQ(got, 0u);  // at end of file
  CloseHandle(h);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 4, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Files, ShareModes) {
  TempDir dir;
  const std::string f = dir.file("s.txt");
  HANDLE exclusive = open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(exclusive);
  HANDLE r1 = open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE r2 = open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(r1, INVALID_HANDLE_VALUE);
  EXPECT_NE(r2, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(f, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  CloseHandle(r1);
  CloseHandle(r2);
}

TEST(Files, PlantedLinkIsNeverFollowed) {
  TempDir dir;
  const std::string target = dir.file("victim");
  tw_test::writeFile(target, "precious");
  const std::string link = dir.file("tarnwick_1_2.tmp");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  for (DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
    EXPECT_EQ(open(link, GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE) << disposition;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  }
  EXPECT_EQ(tw_test::readFile(target), "precious");
}

TEST(Files, DeleteFile) {
  TempDir dir;
  const std::string f = dir.file("d.txt");
  tw_test::writeFile(f, "x");
  EXPECT_TRUE(DeleteFileA(f.c_str()));
  EXPECT_FALSE(tw_test::fileExists(f));
  EXPECT_FALSE(DeleteFileA(f.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA(dir.path().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Files, TempPathEndsWithSlash) {
  const char* old = getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", "/var/tmp/x", 1);
  char buf[MAX_PATH + 1];
  EXPECT_EQ(GetTempPathA(sizeof buf, buf), 11u);
  EXPECT_STREQ(buf, "/var/tmp/x/");
  EXPECT_EQ(GetTempPathA(5, buf), 12u);  // too small: the size needed
  setenv("TMPDIR", "/already/", 1);
  GetTempPathA(sizeof buf, buf);
  EXPECT_STREQ(buf, "/already/");
  unsetenv("TMPDIR");
  GetTempPathA(sizeof buf, buf);
  EXPECT_STREQ(buf, "/tmp/");
  if (old) setenv("TMPDIR", saved.c_str(), 1);
}

TEST(Files, ProcessAndModule) {
  EXPECT_EQ(GetProcessId(GetCurrentProcess()), static_cast<DWORD>(getpid()));
  WCHAR path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::u16string p(path, n);
  EXPECT_EQ(p.front(), u'/');
  EXPECT_NE(p.find(u"platform_tests"), std::u16string::npos);
  WCHAR tiny[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(tiny[3], 0);
}
