// The version block as a Windows program reads its own version resource.
// (The block of the built tarnwick is read where the program prints it.)
#include <gtest/gtest.h>

#include <vector>

#include "platform/version.h"

namespace {

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
