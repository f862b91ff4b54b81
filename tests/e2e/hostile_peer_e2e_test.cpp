// The built tarnwick against scripted loopback peers that misbehave: a
// server that stalls, a refused port, an error answer. Each run ends in time
// with exit code 2 and the exact failure line.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"

using tw_test::PeerScript;
using tw_test::PeerStep;
using tw_test::ProcessResult;
using tw_test::ScriptedPeer;

namespace {

class HostilePeerE2E : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), tw_test::programPath("TARNWICK_BIN"));
    tw_test::ProcessOptions opts;
    opts.env["TARNWICK_ROOT"] = root.path();
    opts.env["TMPDIR"] = root.path();
    opts.timeoutSeconds = 90;
    return tw_test::runProcess(args, opts);
  }
  static std::string failureLine(const std::string& url, const std::string& text, int code) {
    return "Unable to connect or retrieve \"" + url + "\" due to error \"" + text + "\" (" +
           std::to_string(code) + ")\n";
  }
  void expectNoTempFiles() {
    for (const auto& name : tw_test::listDir(root.path())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
  }
  tw_test::TempDir root;
};

const char kHeadAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n";

TEST_F(HostilePeerE2E, StallingServerEndsWithTimeout) {
  struct Case {
    const char* name;
    PeerScript get;
  };
  // The header probe is answered at once (it runs with the component's own
  // time limit); the GET then stalls, before or inside the answer.
  const std::vector<Case> cases = {
      {"no answer", {PeerStep::waitFor("\r\n\r\n"), PeerStep::delay(5000), PeerStep::close()}},
      {"half a body",
       {PeerStep::waitFor("\r\n\r\n"),
        PeerStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part"),
        PeerStep::delay(5000), PeerStep::close()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(std::vector<PeerScript>{
        {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(kHeadAnswer), PeerStep::close()}, c.get});
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/page";
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = run({"/lc", "/checksum", "/timeout", "2", url});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.out, failureLine(url, "Timeout.", 301));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    expectNoTempFiles();
  }
}

TEST_F(HostilePeerE2E, RefusedPort) {
  const std::string url = "http://127.0.0.1:" + std::to_string(tw_test::unusedLoopbackPort()) + "/";
  ProcessResult r = run({"/lc", "/checksum", "/timeout", "10", url});
  EXPECT_EQ(r.out, failureLine(url, "[10061] Connection refused", 10061));
  EXPECT_EQ(r.exitCode, 2);
  expectNoTempFiles();
}

TEST_F(HostilePeerE2E, NotFoundGivesTheExactLine) {
  const std::string notFound =
      "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot here\n";
  ScriptedPeer peer(std::vector<PeerScript>{
      {PeerStep::waitFor("\r\n\r\n"),
       PeerStep::send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"),
       PeerStep::close()},
      {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(notFound), PeerStep::close()}});
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/gone";
  ProcessResult r = run({"/lc", "/t", "*not here*", "/timeout", "10", url});
  EXPECT_EQ(r.out, failureLine(url, "HTTP protocol error. 404 Not Found.", 151));
  EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
