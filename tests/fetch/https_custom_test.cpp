// The body writing of the fetch's component wrapper: Transfer events in,
// the local file out, and the error text of failed writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <random>
#include <string>
#include <vector>

#include "fetch/HTTPSCustom.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/support/process.h"
#include "winsupport/SystemErrorText.h"

using velmora::network::HTTPSCustom;

namespace {

HANDLE openFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  return file;
}

// A handle writing the body of a 200 answer into a new file.
struct Writing {
  explicit Writing(const std::string& path) : file(openFile(path)) {
    http.fileHandle = file;
    http.httpStatus = 200;
  }
  ~Writing() {
    http.flushFile();
    http.fileHandle = INVALID_HANDLE_VALUE;
    CloseHandle(file);
  }
  void transfer(const std::string& piece) {
    HTTPSTransferEventParams e{1, 0, -1, piece.data(), static_cast<int>(piece.size()), 0};
    http.FireTransfer(&e);
  }
  HANDLE file;
  HTTPSCustom http{false};
};

// Writes past a file size limit fail part-way, like writes to a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_DFL);
  }

 private:
  rlimit saved_{};
};

class HTTPSCustomWriting : public ::testing::Test {
 protected:
  void SetUp() override { TessilonSSL_HTTPS_StaticInit(nullptr); }
  void TearDown() override { TessilonSSL_HTTPS_StaticDestroy(); }

  tw_test::TempDir dir;
  const std::string path = dir.file("page");
};

TEST_F(HTTPSCustomWriting, PiecesOfEverySizeReachTheFileInOrder) {
  std::mt19937 rng(2048);
  std::uniform_int_distribution<int> size(1, 6000);
  std::string expected;
  {
    Writing w(path);
    for (int i = 0; i < 600; ++i) {
      std::string piece(static_cast<size_t>(size(rng)), '\0');
      for (char& c : piece) c = static_cast<char>(rng());
      // The body of another status is dropped, also between wanted pieces.
      w.http.httpStatus = i % 97 == 5 ? 404 : (i % 2 == 0 ? 200 : 206);
      w.transfer(piece);
      if (w.http.httpStatus != 404) expected += piece;
      // Now and then one larger than anything held back at once.
      if (i % 200 == 100) {
        piece.assign(300000, static_cast<char>('a' + i % 26));
        w.transfer(piece);
        if (w.http.httpStatus != 404) expected += piece;
      }
    }
    w.http.flushFile();
    EXPECT_TRUE(w.http.errorDescription.empty());
  }
  EXPECT_EQ(tw_test::readFile(path), expected);
}

TEST_F(HTTPSCustomWriting, AFailedWriteLeavesWhatWritingEachPieceAloneLeaves) {
  std::vector<std::string> pieces;
  for (int i = 0; i < 12; ++i) pieces.push_back(std::string(3000, static_cast<char>('a' + i)));

  // Each piece written on its own with the file functions, as the reference.
  const std::string referencePath = dir.file("reference");
  std::string referenceText;
  {
    HANDLE file = openFile(referencePath);
    FileSizeLimit limit(10000);
    for (const std::string& piece : pieces) {
      DWORD written = 0;
      if (!WriteFile(file, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)) {
        referenceText = velmora::windows_specific::systemErrorText(GetLastError());
      }
    }
    CloseHandle(file);
  }
  const std::string referenceContent = tw_test::readFile(referencePath);
  ASSERT_EQ(referenceContent.size(), 10000u);
  ASSERT_FALSE(referenceText.empty());
  {
    Writing w(path);
    FileSizeLimit limit(10000);
    for (const std::string& piece : pieces) w.transfer(piece);
    w.http.flushFile();
    EXPECT_EQ(w.http.errorDescription, referenceText);
  }
  EXPECT_EQ(tw_test::readFile(path), referenceContent);
}

TEST_F(HTTPSCustomWriting, TheLastOfErrorEventsAndFailedWritesGivesTheText) {
  {
    Writing w(path);
    FileSizeLimit limit(1000);
    // The write of this piece fails before the Error event arrives.
    w.transfer(std::string(2000, 'x'));
    HTTPSErrorEventParams e{151, "Later error.", 0};
    w.http.FireError(&e);
    EXPECT_EQ(w.http.errorDescription, "Later error.");
    // A write failing after the event replaces its text.
    w.transfer(std::string(10, 'y'));
    w.http.flushFile();
    EXPECT_NE(w.http.errorDescription, "Later error.");
    EXPECT_FALSE(w.http.errorDescription.empty());
  }
  EXPECT_EQ(tw_test::readFile(path), std::string(1000, 'x'));
}

}  // namespace
