// FileChecksum: digests per algorithm, forms and failure texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "checks/FileChecksum.h"
#include "tests/support/registry_env.h"

using namespace velmora::checks;

namespace {

const char kAbcSha256[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
const char kAbcMd5[] = "900150983CD24FB0D6963F7D28E17F72";

class Checksum : public tw_test::RegistryEnv {
 protected:
  std::string makeFile(const std::string& name, const std::string& content) {
    tw_test::writeFile(dir.file(name), content);
    return dir.file(name);
  }
};

struct AlgorithmCase {
  uint32_t algorithm = SHA256;
  std::string content = "abc";
  size_t length = 64;
  const char* digest = nullptr;  // where the value is well known
};

TEST_F(Checksum, EachAlgorithmHasItsLengthAndKnownValues) {
  const AlgorithmCase cases[] = {
      {.algorithm = SHA1, .length = 40, .digest = "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {.algorithm = SHA256, .digest = kAbcSha256},
      {.content = "",
       .digest = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {.algorithm = SHA384, .length = 96,
       .digest = "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358"
                 "BAECA134C825A7"},
      {.algorithm = SHA512, .length = 128,
       .digest = "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A8"
                 "36BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
      {.algorithm = MD5, .length = 32, .digest = kAbcMd5},
      {.algorithm = CRC32, .length = 8},
      {.algorithm = 6, .digest = kAbcSha256},
      {.algorithm = 1000, .digest = kAbcSha256},
  };
  for (const AlgorithmCase& k : cases) {
    FileChecksum c(makeFile("f", k.content), k.algorithm, Text);
    const std::string text = c.getChecksum();
    EXPECT_EQ(text.size(), k.length) << "algorithm " << k.algorithm;
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
    if (k.digest) { EXPECT_EQ(text, k.digest) << "algorithm " << k.algorithm; }
    EXPECT_EQ(c.lastError, "");
  }
}

TEST_F(Checksum, FailuresGiveAnEmptyTextAndTheirError) {
  const std::string openError = "Unable to open file due to error: ";
  FileChecksum missing(dir.file("does-not-exist"), SHA256, Text);
  EXPECT_EQ(missing.getChecksum(), "");
  EXPECT_EQ(missing.lastError, openError + "The system cannot find the file specified.");
  // Reset forgets the name but keeps the last error; without a name the
  // next attempt is an open failure again.
  missing.reset();
  EXPECT_FALSE(missing.lastError.empty());
  FileChecksum unnamed(std::string(), SHA256, Text);
  for (FileChecksum* c : {&missing, &unnamed}) {
    EXPECT_EQ(c->getChecksum(), "");
    EXPECT_EQ(c->lastError.rfind(openError, 0), 0u) << c->lastError;
  }
  FileChecksum directory(dir.path(), SHA256, Text);
  EXPECT_EQ(directory.getChecksum(), "");
  EXPECT_EQ(directory.lastError, "Unable to read file due to error: FileStore: error reading file");
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
  EXPECT_EQ(FileChecksum(path, SHA256, Text).getChecksum(), expected);
}

TEST_F(Checksum, FormsAndTheFileReadOnce) {
  const std::string path = makeFile("forms", "abc");
  FileChecksum both(path, SHA256, Both);
  FileChecksum text(path, SHA256, Text);
  FileChecksum bytes(path, MD5, Bytes);  // the text is rebuilt from the bytes
  EXPECT_EQ(both.getChecksum(), kAbcSha256);
  ASSERT_EQ(both.getChecksumBytes().size(), 32u);
  EXPECT_EQ(both.getChecksumBytes()[0], 0xBA);
  EXPECT_EQ(both.getChecksumBytes()[31], 0xAD);
  EXPECT_EQ(text.getChecksum(), kAbcSha256);
  EXPECT_TRUE(text.getChecksumBytes().empty());
  EXPECT_EQ(bytes.getChecksum(), kAbcMd5);
  EXPECT_EQ(bytes.getChecksumBytes().size(), 16u);
  // A second call does not read the file again.
  ASSERT_EQ(std::remove(path.c_str()), 0);
  EXPECT_EQ(text.getChecksum(), kAbcSha256);
  EXPECT_EQ(text.lastError, "");
}

TEST_F(Checksum, WideFileNameIsUsedWhenTheNarrowOneIsEmpty) {
  makeFile("wide-\xc3\xa4.txt", "abc");
  std::u16string wide;
  for (char ch : dir.path() + "/wide-") wide += static_cast<char16_t>(static_cast<unsigned char>(ch));
  wide += u"\u00e4.txt";
  FileChecksum c(wide, SHA256, Text);
  EXPECT_EQ(c.getChecksum(), kAbcSha256) << c.lastError;
}

}  // namespace
