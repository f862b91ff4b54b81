// FileChecksum as the check run uses it: SHA-256 as upper-case hex text,
// and its failure texts.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "checks/FileChecksum.h"
#include "tests/support/registry_env.h"

using namespace velmora::checks;

namespace {

const char kAbcSha256[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

class Checksum : public tw_test::RegistryEnv {};

// Known values, and a large file that is not a multiple of any block size
// (so the last partial block counts too) against sha256sum.
TEST_F(Checksum, Sha256AsUpperCaseHex) {
  std::string large;
  for (int i = 0; large.size() < (3u << 20) + 7; ++i) large += std::to_string(i) + ",";
  tw_test::writeFile(dir.file("large"), large);
  auto r = tw_test::runProcess({"/usr/bin/sha256sum", dir.file("large")});
  ASSERT_EQ(r.exitCode, 0);
  std::string largeSum = r.out.substr(0, 64);
  for (char& ch : largeSum) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::pair<std::string, std::string> cases[] = {
      {"abc", kAbcSha256},
      {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {large, largeSum},
  };
  for (const auto& [content, digest] : cases) {
    tw_test::writeFile(dir.file("f"), content);
    FileChecksum c(dir.file("f"), SHA256, Text);
    EXPECT_EQ(c.getChecksum(), digest) << content.size() << " bytes";
    EXPECT_EQ(c.lastError, "");
  }
}

TEST_F(Checksum, FailuresGiveAnEmptyTextAndTheirError) {
  FileChecksum missing(dir.file("does-not-exist"), SHA256, Text);
  EXPECT_EQ(missing.getChecksum(), "");
  EXPECT_EQ(missing.lastError,
            "Unable to open file due to error: The system cannot find the file specified.");
  FileChecksum directory(dir.path(), SHA256, Text);
  EXPECT_EQ(directory.getChecksum(), "");
  EXPECT_EQ(directory.lastError, "Unable to read file due to error: FileStore: error reading file");
}

}  // namespace
