#include "tests/support/runs.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace tw_test {

ProcessOptions inState(const std::string& root, int timeoutSeconds) {
  ProcessOptions opts;
  opts.env = {{"TARNWICK_ROOT", root}, {"TMPDIR", root}};
  opts.timeoutSeconds = timeoutSeconds;
  return opts;
}

ProcessResult tarnwick(const std::string& root, std::vector<std::string> args) {
  args.insert(args.begin(), programPath("TARNWICK_BIN"));
  return runProcess(args, inState(root));
}

std::map<std::string, std::string> readPeersEnv() {
  std::map<std::string, std::string> vars;
  const char* path = std::getenv("TW_PEERS_ENV");
  std::ifstream in(path != nullptr ? path : "");
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return vars;
}

std::vector<std::string> loggedGets(const std::string& file, const std::string& tag, size_t count) {
  const std::regex line("GET \\S*\\?" + tag + "(?: HTTP/1.1)? (\\d{3}) (?:port=(\\d+))?.*");
  std::vector<std::string> out;
  for (int tries = 0; tries < 30 && out.size() < count; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    out.clear();
    std::ifstream log(file);
    for (std::string text; std::getline(log, text);) {
      std::smatch m;
      if (!std::regex_match(text, m, line)) continue;
      out.push_back(m[1].str() + (m[2].matched ? ":" + m[2].str() : ""));
    }
  }
  return out;
}

std::string urlOf(const ScriptedPeer& peer, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(peer.port()) + path;
}

std::string sha256Hex(const PeerStep::Generator& stream) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  uint64_t at = 0;
  for (std::string p; !(p = stream(at)).empty(); at += p.size()) {
    EVP_DigestUpdate(ctx.get(), p.data(), p.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

std::string sha256Hex(const std::string& bytes) {
  return sha256Hex([&bytes](uint64_t at) { return at == 0 ? bytes : std::string(); });
}

namespace line {
std::string equal(const std::string& url) {
  return "The checksum of URL \"" + url + "\" did not change.\n";
}
std::string changed(const std::string& url, const std::string& sum) {
  return "The checksum of URL \"" + url + "\" changed to \"" + sum + "\".\n";
}
std::string pattern(const std::string& pattern, const std::string& url, bool found) {
  return "Pattern \"" + pattern + "\" was " + (found ? "found" : "not found") + " in URL \"" + url +
         "\".\n";
}
std::string failure(const std::string& url, const std::string& text, int code) {
  return "Unable to connect or retrieve \"" + url + "\" due to error \"" + text + "\" (" +
         std::to_string(code) + ")\n";
}
}  // namespace line

std::vector<nlohmann::ordered_json> readEvents(const std::string& root,
                                             const std::vector<std::string>& filters) {
  std::vector<std::string> argv = {programPath("TARNWICK_EVENTLOG_BIN"), "--json"};
  argv.insert(argv.end(), filters.begin(), filters.end());
  ProcessResult viewer = runProcess(argv, inState(root));
  EXPECT_EQ(viewer.exitCode, 0) << viewer.err;
  std::vector<nlohmann::ordered_json> events;
  std::istringstream lines(viewer.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) events.push_back(nlohmann::ordered_json::parse(line));
  }
  return events;
}

std::map<std::string, std::string> storedChecksums(const std::string& root) {
  const ProcessResult r = runProcess({programPath("TARNWICK_REG_BIN"), "query",
                                      "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick"},
                                     inState(root));
  std::map<std::string, std::string> values;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string marker = "    REG_SZ    ";
    const size_t at = line.find(marker);
    if (line.rfind("    ", 0) == 0 && at != std::string::npos) {
      values[line.substr(4, at - 4)] = line.substr(at + marker.size());
    }
  }
  return values;
}

void expectNoTempFiles(const std::string& dir) {
  for (const auto& name : listDir(dir)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

MeasuredRun runMeasured(std::vector<std::string> argv, const std::string& root,
                        int timeoutSeconds) {
  ProcessOptions opts = inState(root, timeoutSeconds);
  // Sanitizer reports go to files in root, which sanitizerReports() reads.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* given = std::getenv(name);
    opts.env[name] = (given != nullptr && *given != '\0' ? std::string(given) + ":" : "") +
                     (name[0] == 'A' ? "quarantine_size_mb=1:" : "") + "log_path=" + root +
                     "/sanitizer";
  }
  // Forked from this test binary, the program's peak would start at the
  // test binary's own size: tw_peak_rss forks it from a small process and
  // writes its peak to a file.
  const std::string report = root + "/peak_rss";
  argv.insert(argv.begin(), {programPath("TW_PEAK_RSS_BIN"), report});
  const auto start = std::chrono::steady_clock::now();
  MeasuredRun run{runProcess(argv, opts)};
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.maxRssKb = std::atol(readFile(report).c_str());
  std::remove(report.c_str());
  return run;
}

std::string sanitizerReports(const std::string& root) {
  std::string reports;
  for (const std::string& name : listDir(root)) {
    if (name.rfind("sanitizer", 0) == 0) reports += readFile(root + "/" + name);
  }
  return reports;
}

}  // namespace tw_test
