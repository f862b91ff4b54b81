// FileChecksum: digests, forms and failure texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "checks/FileChecksum.h"
#include "tests/registry/registry_env.h"

using namespace velmora::checks;

namespace {

const char kEmptySha256[] = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
const char kAbcSha256[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

class Checksum : public RegistryEnv {
 protected:
  std::string makeFile(const std::string& name, const std::string& content) {
    std::string path = dir.file(name);
    tw_test::writeFile(path, content);
    return path;
  }
};

bool isUpperHex(const std::string& s) {
  return s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

TEST_F(Checksum, EmptyFileGivesTheDigestOfNoData) {
  FileChecksum c(makeFile("empty", ""), SHA256, Text);
  EXPECT_EQ(c.getChecksum(), kEmptySha256);
  EXPECT_EQ(c.lastError, "");
}

TEST_F(Checksum, MissingFileGivesEmptyTextAndTheOpenError) {
  FileChecksum c(dir.file("does-not-exist"), SHA256, Text);
  EXPECT_EQ(c.getChecksum(), "");
  EXPECT_EQ(c.lastError, "Unable to open file due to error: The system cannot find the file specified.");
  FileChecksum unnamed(std::string(), SHA256, Text);
  EXPECT_EQ(unnamed.getChecksum(), "");
  EXPECT_EQ(unnamed.lastError.rfind("Unable to open file due to error: ", 0), 0u);
}

TEST_F(Checksum, ADirectoryGivesTheReadError) {
  FileChecksum c(dir.path(), SHA256, Text);
  EXPECT_EQ(c.getChecksum(), "");
  EXPECT_EQ(c.lastError, "Unable to read file due to error: FileStore: error reading file");
}

TEST_F(Checksum, EachAlgorithmHasItsLengthAndKnownValues) {
  const std::string path = makeFile("abc", "abc");
  struct Case {
    uint32_t algorithm;
    size_t length;
    const char* abc;  // digest of "abc" where the value is well known
  };
  const Case cases[] = {
      {SHA1, 40, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {SHA256, 64, kAbcSha256},
      {SHA384, 96,
       "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAEC"
       "A134C825A7"},
      {SHA512, 128,
       "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C"
       "23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
      {MD5, 32, "900150983CD24FB0D6963F7D28E17F72"},
      {CRC32, 8, nullptr},
      {6, 64, kAbcSha256},
      {1000, 64, kAbcSha256},
  };
  for (const Case& k : cases) {
    FileChecksum c(path, k.algorithm, Text);
    std::string text = c.getChecksum();
    EXPECT_EQ(text.size(), k.length) << "algorithm " << k.algorithm;
    EXPECT_TRUE(isUpperHex(text)) << text;
    if (k.abc) {
      EXPECT_EQ(text, k.abc) << "algorithm " << k.algorithm;
    }
  }
}

TEST_F(Checksum, LargeFileMatchesSha256sum) {
  // Not a multiple of any block size, so the last partial block counts too.
  std::string content;
  for (int i = 0; content.size() < (3u << 20) + 7; ++i) content += std::to_string(i) + ",";
  const std::string path = makeFile("large", content);
  auto r = tw_test::runProcess({"/usr/bin/sha256sum", path});
  ASSERT_EQ(r.exitCode, 0);
  std::string expected = r.out.substr(0, 64);
  for (char& ch : expected) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  FileChecksum c(path, SHA256, Text);
  EXPECT_EQ(c.getChecksum(), expected);
}

TEST_F(Checksum, SecondCallDoesNotReadTheFileAgain) {
  const std::string path = makeFile("once", "abc");
  FileChecksum c(path, SHA256, Text);
  ASSERT_EQ(c.getChecksum(), kAbcSha256);
  ASSERT_EQ(std::remove(path.c_str()), 0);
  EXPECT_EQ(c.getChecksum(), kAbcSha256);
  EXPECT_EQ(c.lastError, "");
}

TEST_F(Checksum, FormsKeepTextBytesOrBoth) {
  const std::string path = makeFile("forms", "abc");
  FileChecksum both(path, SHA256, Both);
  EXPECT_EQ(both.getChecksum(), kAbcSha256);
  ASSERT_EQ(both.getChecksumBytes().size(), 32u);
  EXPECT_EQ(both.getChecksumBytes()[0], 0xBA);
  EXPECT_EQ(both.getChecksumBytes()[31], 0xAD);

  FileChecksum text(path, SHA256, Text);
  EXPECT_EQ(text.getChecksum(), kAbcSha256);
  EXPECT_TRUE(text.getChecksumBytes().empty());

  // Bytes only: the text is rebuilt from the bytes.
  FileChecksum bytes(path, MD5, Bytes);
  EXPECT_EQ(bytes.getChecksum(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(bytes.getChecksumBytes().size(), 16u);
}

TEST_F(Checksum, WideFileNameIsUsedWhenTheNarrowOneIsEmpty) {
  makeFile("wide-\xc3\xa4.txt", "abc");
  std::u16string wide;
  for (char ch : dir.path() + "/wide-") wide += static_cast<char16_t>(static_cast<unsigned char>(ch));
  wide += u"\u00e4.txt";
  FileChecksum c(wide, SHA256, Text);
  EXPECT_EQ(c.getChecksum(), kAbcSha256) << c.lastError;
}

TEST_F(Checksum, ResetForgetsTheChecksumButKeepsTheLastError) {
  FileChecksum c(dir.file("missing"), SHA256, Text);
  EXPECT_EQ(c.getChecksum(), "");
  c.reset();
  EXPECT_FALSE(c.lastError.empty());
  EXPECT_EQ(c.getChecksum(), "");  // no name any more: still an open failure
  EXPECT_EQ(c.lastError.rfind("Unable to open file due to error: ", 0), 0u);
}

}  // namespace
