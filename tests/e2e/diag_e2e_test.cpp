// tarnwick-diag against nginx (the peers fixture), one run per row: a bundle
// (a transcript per connection, chains the test CA verifies, JSON event lines,
// the check's exit code, private files, no password in any form unless asked)
// or a refusal; no run changes the store or the event log or leaves a folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/runs.h"

namespace fs = std::filesystem;

static std::string base64(const std::string& bytes) {
  return tw_test::runProcess({"/bin/sh", "-c", "printf %s \"$0\" | base64 -w0", bytes}).out;
}

TEST(DiagE2E, BundlesAndRefusals) {
  auto peers = tw_test::readPeersEnv();
  ASSERT_FALSE(peers["TW_NGINX_PORT"].empty()) << "the peers fixture did not start nginx";
  const std::string plain = "http://127.0.0.1:" + peers["TW_NGINX_PORT"],
                    page = plain + "/plain.html";
  const std::string tls = "https://localhost:" + peers["TW_NGINX_TLS_VALID"] + "/plain.html";
  const std::string basic = plain + peers["TW_NGINX_BASIC_PATH"];
  const std::string user = peers["TW_HTTP_USER"], pass = peers["TW_HTTP_PASSWORD"],
                    utf8User = peers["TW_HTTP_UTF8_USER"], utf8 = peers["TW_HTTP_UTF8_PASSWORD"],
                    ca = peers["TW_TEST_CA"] + "/root.pem";
  tw_test::TempDir root;
  // The store and the event log exist before the diagnostic runs.
  ASSERT_EQ(tw_test::tarnwick(root.path(), {"/le", "/checksum", page}).exitCode, 0);
  const auto state = [&] {
    return tw_test::readFile(root.file("user.db")) + tw_test::readFile(root.file("eventlog.db"));
  };
  const std::string before = state();
  fs::create_directory(root.file("full"));
  for (const char* f : {"full/x", "afile"}) tw_test::writeFile(root.file(f), "");
  struct Row {
    std::string out;  // the bundle's folder name under root
    std::vector<std::string> args;  // tarnwick-diag's arguments, "--" included
    int exitCode = 0;
    std::string err{};  // with exit 1 or 2: part of the message
    int checkExit = 0;  // the summary's exit code
    std::string secret{}, secretUser{};  // a password never in the bundle in any form; its user
    std::map<std::string, std::string> env{};
    bool secretsKept = false;  // only the Basic header's Base64 is on the wire
  };
  const std::vector<Row> rows = {
      {"tls", {"--", "/lc", "/checksum", tls}, 0, "", 0},
      {"notfound", {"--", "/checksum", "/t", "*absent text*", page}, 0, "", 1},
      {"basic", {"--", "/lc", "/u", user, "/p", pass, "/t", "Basic", basic}, 0, "", 0, pass, user},
      {"envpass", {"--", "/lc", "/u", utf8User, basic}, 0, "", 0, utf8, utf8User,
       {{"TARNWICK_PASSWORD", utf8}}},
      {"kept", {"--include-secrets", "--", "/lc", "/u", user, "/p", pass, basic}, 0, "", 0, pass,
       user, {}, true},
      {"missing", {"--", "/lc", plain + "/missing.html"}, 0, "", 2},
      {"x", {"--bogus", "--", "/lc", tls}, 2, "unknown option"},
      {"x", {"/lc", tls}, 2, "\"--\" must come before"},
      {"x", {"--", "/bogus", tls}, 2, "error: Couldn't find match"},
      {"full", {"--", "/lc", tls}, 2, "exists and is not an empty folder"},
      {"afile/sub", {"--", "/lc", tls}, 1, "cannot create a folder"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.out + ": " + row.args.back());
    const std::string dir = root.file(row.out);
    std::vector<std::string> argv = {tw_test::programPath("TARNWICK_DIAG_BIN"), "--out", dir};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    auto options = tw_test::inState(root.path());
    options.env.insert(row.env.begin(), row.env.end());
    options.env["SSL_CERT_FILE"] = ca;
    const auto r = tw_test::runProcess(argv, options);
    EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
    if (row.exitCode != 0) {
      EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
      EXPECT_EQ(fs::exists(dir) && !fs::is_empty(dir), row.out == "full");
      continue;
    }
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
    const auto summary = nlohmann::json::parse(tw_test::readFile(dir + "/summary.json"));
    EXPECT_EQ(summary["exit_code"], row.checkExit);
    EXPECT_EQ(summary["failure_text"].is_string(), row.checkExit == 2);
    // The header probe and the GET, each on a connection of its own.
    EXPECT_EQ(summary["connections"].size(), 2u);
    std::string bundle;
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write);
      bundle += tw_test::readFile(entry.path());
    }
    for (const std::string n : {"1", "2"}) {
      const std::string text = tw_test::readFile(dir + "/transcript-" + n + ".txt"),
                        chain = dir + "/chain-" + n + ".pem";
      EXPECT_EQ(text.find("\r\nexpect -exact \""), 0u) << n;
      EXPECT_NE(text.find("\r\nsend -nonewline \"HTTP/1.1 "), std::string::npos) << n;
      if (row.out != "tls") continue;
      const auto verify = tw_test::runProcess(
          {"/usr/bin/openssl", "verify", "-CAfile", ca, "-untrusted", chain, chain});
      EXPECT_EQ(verify.out, chain + ": OK\n") << verify.err;
      const auto& connection = summary["connections"][std::stoi(n) - 1];
      EXPECT_EQ(connection["certificate"]["status"], "OK");
      EXPECT_EQ(connection["tls_parameters"].get<std::string>().find("Negotiated SSL "), 0u);
    }
    std::istringstream events(tw_test::readFile(dir + "/events.jsonl"));
    int lines = 0;
    for (std::string line; std::getline(events, line); ++lines) {
      EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
    EXPECT_GT(lines, 10);
    if (row.secret.empty()) continue;
    const std::string header = base64(row.secretUser + ":" + row.secret);
    EXPECT_EQ(bundle.find(header) != std::string::npos, row.secretsKept) << header;
    if (row.secretsKept) continue;
    EXPECT_EQ(bundle.find(row.secret), std::string::npos);
    EXPECT_EQ(bundle.find(base64(row.secret)), std::string::npos);
  }
  EXPECT_TRUE(state() == before) << "the store or the event log changed";
  for (const auto& entry : fs::directory_iterator(root.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}
