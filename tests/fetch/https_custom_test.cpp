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

class HTTPSCustomWriting : public ::testing::Test {
 protected:
  void SetUp() override { TessilonSSL_HTTPS_StaticInit(nullptr); }
  void TearDown() override { TessilonSSL_HTTPS_StaticDestroy(); }

  HANDLE openFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    return file;
  }

  static void transfer(HTTPSCustom& http, const std::string& piece) {
    HTTPSTransferEventParams e{1, 0, -1, piece.data(), static_cast<int>(piece.size()), 0};
    http.FireTransfer(&e);
  }

  static void error(HTTPSCustom& http, const char* text) {
    HTTPSErrorEventParams e{151, text, 0};
    http.FireError(&e);
  }

  tw_test::TempDir dir;
};

TEST_F(HTTPSCustomWriting, PiecesOfEverySizeReachTheFileInOrder) {
  std::mt19937 rng(2048);
  std::uniform_int_distribution<int> size(1, 6000);
  std::vector<std::string> pieces;
  for (int i = 0; i < 600; ++i) {
    std::string piece(static_cast<size_t>(size(rng)), '\0');
    for (char& c : piece) c = static_cast<char>(rng());
    pieces.push_back(piece);
    // Now and then one larger than anything held back at once.
    if (i % 200 == 100) pieces.push_back(std::string(300000, static_cast<char>('a' + i % 26)));
  }
  const std::string path = dir.file("page");
  HANDLE file = openFile(path);
  std::string expected;
  {
    HTTPSCustom http(false);
    http.fileHandle = file;
    http.httpStatus = 200;
    for (size_t i = 0; i < pieces.size(); ++i) {
      // The body of another status is dropped, also between wanted pieces.
      http.httpStatus = i % 97 == 5 ? 404 : (i % 2 == 0 ? 200 : 206);
      transfer(http, pieces[i]);
      if (http.httpStatus != 404) expected += pieces[i];
    }
    http.flushFile();
    EXPECT_TRUE(http.errorDescription.empty());
  }
  CloseHandle(file);
  EXPECT_EQ(tw_test::readFile(path), expected);
}

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

  const std::string path = dir.file("page");
  HANDLE file = openFile(path);
  std::string description;
  {
    HTTPSCustom http(false);
    http.fileHandle = file;
    http.httpStatus = 200;
    FileSizeLimit limit(10000);
    for (const std::string& piece : pieces) transfer(http, piece);
    http.flushFile();
    description = http.errorDescription;
  }
  CloseHandle(file);
  EXPECT_EQ(tw_test::readFile(path), referenceContent);
  EXPECT_EQ(description, referenceText);
}

TEST_F(HTTPSCustomWriting, TheLastOfErrorEventsAndFailedWritesGivesTheText) {
  const std::string path = dir.file("page");
  HANDLE file = openFile(path);
  HTTPSCustom http(false);
  http.fileHandle = file;
  http.httpStatus = 200;
  {
    FileSizeLimit limit(1000);
    // The write of this piece fails before the Error event arrives.
    transfer(http, std::string(2000, 'x'));
    error(http, "Later error.");
    EXPECT_EQ(http.errorDescription, "Later error.");
    // A write failing after the event replaces its text.
    transfer(http, std::string(10, 'y'));
    http.flushFile();
  }
  EXPECT_NE(http.errorDescription, "Later error.");
  EXPECT_FALSE(http.errorDescription.empty());
  http.fileHandle = INVALID_HANDLE_VALUE;
  CloseHandle(file);
  EXPECT_EQ(tw_test::readFile(path), std::string(1000, 'x'));
}

}  // namespace
