// Files and handles: creation dispositions, share modes, links, truncation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/files.h"
#include "tests/platform/last_error.h"
#include "tests/support/process.h"

namespace {

HANDLE open(const std::string& path, DWORD access, DWORD disposition, DWORD share = 0) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

TEST(Files, CreationDispositionsReadAndSeek) {
  tw_test::TempDir dir;
  const std::string f = dir.file("a.txt");
  EXPECT_FAILS(open(f, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS(open(dir.file("no/a"), GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE,
               ERROR_PATH_NOT_FOUND);
  HANDLE h = open(f, GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  ASSERT_TRUE(CloseHandle(h));
  // OPEN_ALWAYS keeps the content.
  h = open(f, GENERIC_WRITE, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 5u);
  ASSERT_TRUE(WriteFile(h, "6789", 4, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ(tw_test::readFile(f), "hello6789");

  h = open(f, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  char buf[4];
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "hell");
  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 6u);
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);  // at end of file
  CloseHandle(h);

  h = open(f, GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
  EXPECT_TRUE(DeleteFileA(f.c_str()));
  EXPECT_FALSE(tw_test::fileExists(f));
  EXPECT_FAILS(DeleteFileA(f.c_str()), FALSE, ERROR_FILE_NOT_FOUND);
}

TEST(Files, ShareModes) {
  tw_test::TempDir dir;
  const std::string f = dir.file("s.txt");
  HANDLE exclusive = open(f, GENERIC_WRITE, OPEN_ALWAYS);
  EXPECT_FAILS(open(f, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ), INVALID_HANDLE_VALUE,
               ERROR_SHARING_VIOLATION);
  CloseHandle(exclusive);
  HANDLE r1 = open(f, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
  HANDLE r2 = open(f, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
  EXPECT_NE(r1, INVALID_HANDLE_VALUE);
  EXPECT_NE(r2, INVALID_HANDLE_VALUE);
  EXPECT_FAILS(open(f, GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
  CloseHandle(r1);
  CloseHandle(r2);
}

TEST(Files, PlantedLinkIsNeverFollowed) {
  tw_test::TempDir dir;
  const std::string target = dir.file("victim");
  tw_test::writeFile(target, "precious");
  const std::string link = dir.file("tarnwick_1_2.tmp");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  for (DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
    SCOPED_TRACE(disposition);
    EXPECT_FAILS(open(link, GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE,
                 ERROR_CANT_RESOLVE_FILENAME);
  }
  EXPECT_EQ(tw_test::readFile(target), "precious");
}

// Writing reaches only a regular file the caller owns: another user's file
// and a FIFO (with a reader or without) are refused at once and untouched;
// a new file is its creator's alone.
TEST(Files, WritingRefusesWhatIsNotTheCallersOwnRegularFile) {
  tw_test::TempDir dir;
  const std::string theirs = dir.file("theirs"), fifo = dir.file("fifo"), mine = dir.file("mine");
  tw_test::writeFile(theirs, "theirs");
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  for (const bool reading : {false, true}) {
    const int reader = reading ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    for (DWORD disposition : {OPEN_ALWAYS, OPEN_EXISTING, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
      for (const std::string& path : {theirs, fifo}) {
        EXPECT_FAILS(open(path, GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE,
                     ERROR_ACCESS_DENIED);
      }
    }
    if (reader >= 0) close(reader);
  }
  EXPECT_EQ(tw_test::readFile(theirs), "theirs");
  CloseHandle(open(mine, GENERIC_WRITE, CREATE_NEW));
  struct stat st;
  ASSERT_EQ(stat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(Files, TempPathEndsWithSlash) {
  const char* old = getenv("TMPDIR");
  const std::string saved = old ? old : "";
  char buf[MAX_PATH + 1];
  setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(GetTempPathA(sizeof buf, buf), 11u);
  EXPECT_STREQ(buf, "/var/tmp/x/");
  setenv("TMPDIR", "/already/", 1);
  GetTempPathA(sizeof buf, buf);
  EXPECT_STREQ(buf, "/already/");
  unsetenv("TMPDIR");
  GetTempPathA(sizeof buf, buf);
  EXPECT_STREQ(buf, "/tmp/");
  if (old) setenv("TMPDIR", saved.c_str(), 1);
}

}  // namespace
