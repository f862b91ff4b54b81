// Indexed properties check the index first: out of range gives 432 from Set,
// the empty text (with last error 432) from Get, and 280 from CheckIndex.
#include <string>
#include <vector>

#include "tests/support/component_fixture.h"

namespace {

class IndexedTest : public ComponentTest {};

const int kCookieProperties[] = {https_prop::CookieDomain, https_prop::CookieExpiration,
                                 https_prop::CookieName,   https_prop::CookiePath,
                                 https_prop::CookieSecure, https_prop::CookieValue};

TEST_F(IndexedTest, CookieIndexBounds) {
  struct Case {
    int cookies;
    int index;
    bool valid;
  };
  const std::vector<Case> cases = {
      {0, 0, false}, {0, -1, false}, {2, 0, true},  {2, 1, true},
      {2, 2, false}, {2, -1, false}, {2, 1000, false}, {3, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cookies) + " cookies, index " + std::to_string(c.index));
    HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
    ASSERT_EQ(setInt(g.h, https_prop::CookieCount, c.cookies), 0);
    for (int id : kCookieProperties) {
      SCOPED_TRACE(id);
      EXPECT_EQ(TessilonSSL_HTTPS_CheckIndex(g.h, id, c.index), c.valid ? 0 : 280);
      setText(g.h, https_prop::Accept, "clear the last error");
      bool isText = id != https_prop::CookieSecure;
      if (isText) {
        EXPECT_EQ(getText(g.h, id, c.index), "");
      } else {
        EXPECT_EQ(getInt(g.h, id, c.index), 0);
      }
      EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(g.h), c.valid ? 0 : 432);
      EXPECT_STREQ(TessilonSSL_HTTPS_GetLastError(g.h),
                   c.valid ? "" : "Invalid cookie index (out of range).");
    }
    for (int id : {https_prop::CookieName, https_prop::CookieValue}) {
      SCOPED_TRACE(id);
      EXPECT_EQ(setText(g.h, id, "v", c.index), c.valid ? 0 : 432);
      EXPECT_EQ(TessilonSSL_HTTPS_GetLastErrorCode(g.h), c.valid ? 0 : 432);
      if (c.valid) {
        EXPECT_EQ(getText(g.h, id, c.index), "v");
      }
    }
  }
}

TEST_F(IndexedTest, ParsedHeaderIndexEqualToTheCountIsOutOfRange) {
  HTTPS https;
  ASSERT_EQ(https.GetInteger(https_prop::ParsedHeaderCount), 0);
  for (int id : {https_prop::ParsedHeaderField, https_prop::ParsedHeaderValue}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(https.GetText(id, 0), "");
    EXPECT_EQ(https.GetLastErrorCode(), 432);
    EXPECT_EQ(https.GetWideText(id, 0), u"");
    EXPECT_EQ(https.GetLastErrorCode(), 432);
    EXPECT_EQ(https.CheckIndex(id, 0), 280);
    // Parsed headers are read-only.
    EXPECT_EQ(https.SetText(id, "x", 0), -1);
  }
}

TEST_F(IndexedTest, CheckIndexOnPropertiesWithoutIndexAndUnknownIds) {
  HandleGuard g(TessilonSSL_HTTPS_Create(nullptr, nullptr));
  for (int id : {int{https_prop::URL}, int{https_prop::CookieCount}, 0, 99}) {
    EXPECT_EQ(TessilonSSL_HTTPS_CheckIndex(g.h, id, 0), 280) << id;
  }
  // Unknown ids read as nothing and refuse a set.
  for (int id : {0, -3, 62, 9999, 10000, 10062, 20062, 30001}) {
    EXPECT_EQ(TessilonSSL_HTTPS_Get(g.h, id, 0, nullptr), nullptr) << id;
    EXPECT_EQ(TessilonSSL_HTTPS_Set(g.h, id, 0, "x", 1), -1) << id;
  }
}

TEST_F(IndexedTest, ReadOnlyCookieFieldsAndCountRules) {
  HTTPS https;
  https.SetInteger(https_prop::CookieCount, 1);
  for (int id : {https_prop::CookieDomain, https_prop::CookieExpiration, https_prop::CookiePath,
                 https_prop::CookieSecure}) {
    EXPECT_EQ(https.SetText(id, "x", 0), -1) << id;
    EXPECT_STREQ(https.GetLastError(), "The property is read-only.");
  }
  // A negative count is refused and changes nothing.
  EXPECT_EQ(https.SetInteger(https_prop::CookieCount, -1), 432);
  EXPECT_EQ(https.GetInteger(https_prop::CookieCount), 1);
  // Shrinking drops the last records.
  https.AddCookie("a", "1");
  https.SetInteger(https_prop::CookieCount, 1);
  EXPECT_EQ(https.GetText(https_prop::CookieName, 0), "");
  EXPECT_EQ(https.CheckIndex(https_prop::CookieName, 1), 280);
}

}  // namespace
