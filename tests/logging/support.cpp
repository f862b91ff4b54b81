#include "tests/logging/support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/text.h"

namespace tw_logging_test {

void StateDirTest::SetUp() {
  for (const char* name : {"TARNWICK_ROOT", "TMPDIR", "TARNWICK_SYSLOG_SOCKET"}) {
    const char* v = std::getenv(name);
    savedEnv_[name] = v ? std::optional<std::string>(v) : std::nullopt;
  }
  dir_ = std::make_unique<tw_test::TempDir>();
  ::setenv("TARNWICK_ROOT", root().c_str(), 1);
  ::setenv("TMPDIR", root().c_str(), 1);
  ::setenv("TARNWICK_SYSLOG_SOCKET", syslogPath().c_str(), 1);
}

void StateDirTest::TearDown() {
  for (const auto& [name, value] : savedEnv_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  dir_.reset();
}

std::map<std::string, std::string> StateDirTest::childEnv() const {
  return {{"TARNWICK_ROOT", root()},
          {"TMPDIR", root()},
          {"TARNWICK_SYSLOG_SOCKET", syslogPath()}};
}

std::vector<tw_platform::EventLogRecord> storedEvents() {
  std::vector<tw_platform::EventLogRecord> records;
  EXPECT_TRUE(tw_platform::readEventLog(records));
  return records;
}

std::string u8(const std::u16string& s) { return tw_platform::utf16ToUtf8(s); }

std::vector<std::string> u8(const std::vector<std::u16string>& v) {
  std::vector<std::string> out;
  for (const auto& s : v) out.push_back(u8(s));
  return out;
}

SyslogListener::SyslogListener(const std::string& path) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd_ < 0 || path.size() >= sizeof addr.sun_path) throw std::runtime_error("syslog socket");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind the syslog socket");
  }
  ::chmod(path.c_str(), 0666);  // writers may run as another user
}

SyslogListener::~SyslogListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::string SyslogListener::receive(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return "";
  char buf[16384];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace tw_logging_test
