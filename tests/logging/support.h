// Shared pieces of the logging tests: a fresh state directory per test, the
// stored events, and a syslog socket the test binds itself.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "tests/support/process.h"

namespace tw_logging_test {

// Every test gets its own TARNWICK_ROOT and TMPDIR, and a syslog socket path
// nobody listens on unless the test binds it.
class StateDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string root() const { return dir_->path(); }
  std::string syslogPath() const { return dir_->file("syslog.sock"); }
  // Environment for child processes: the same state and syslog socket.
  std::map<std::string, std::string> childEnv() const;

  std::unique_ptr<tw_test::TempDir> dir_;

 private:
  std::map<std::string, std::optional<std::string>> savedEnv_;
};

std::vector<tw_platform::EventLogRecord> storedEvents();
std::string u8(const std::u16string& s);
std::vector<std::string> u8(const std::vector<std::u16string>& v);

// A unix datagram socket bound at path, as a syslog daemon's would be.
class SyslogListener {
 public:
  explicit SyslogListener(const std::string& path);
  ~SyslogListener();
  // The next datagram, or "" after timeoutMs without one.
  std::string receive(int timeoutMs = 5000);

 private:
  int fd_ = -1;
};

}  // namespace tw_logging_test
