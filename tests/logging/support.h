// Shared pieces of the logging tests: a fresh state directory per test with
// a syslog socket path nobody listens on unless the test binds it, and the
// stored events.
#pragma once

#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/text.h"
#include "tests/support/state_dir_test.h"

namespace tw_logging_test {

class StateDirTest : public tw_test::StateDirTest {
 protected:
  void SetUp() override {
    tw_test::StateDirTest::SetUp();
    setEnv("TARNWICK_SYSLOG_SOCKET", syslogPath());
  }
  std::string syslogPath() const { return dir_->file("syslog.sock"); }
};

inline std::vector<tw_platform::EventLogRecord> storedEvents(
    const tw_platform::EventLogQuery& query = {}) {
  std::vector<tw_platform::EventLogRecord> records;
  EXPECT_TRUE(tw_platform::forEachEvent(
      query, [&](const tw_platform::EventLogRecord& e) { records.push_back(e); }));
  return records;
}

inline std::string u8(const std::u16string& s) { return tw_platform::utf16ToUtf8(s); }

inline std::vector<std::string> u8(const std::vector<std::u16string>& v) {
  std::vector<std::string> out;
  for (const auto& s : v) out.push_back(u8(s));
  return out;
}

}  // namespace tw_logging_test
