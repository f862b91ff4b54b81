// Runs of the built programs with a state directory of their own, and what
// the tests expect of them: console lines, events (read back through
// tarnwick-eventlog), checksums, peak memory, no page file left behind.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"

namespace tw_test {

// TARNWICK_ROOT and TMPDIR set to root.
ProcessOptions inState(const std::string& root, int timeoutSeconds = 120);
// The built tarnwick (TARNWICK_BIN) with these arguments, state in root.
ProcessResult tarnwick(const std::string& root, std::vector<std::string> args);

// The KEY=VALUE lines of the peers' environment file (TW_PEERS_ENV); empty
// when the peers were not started.
std::map<std::string, std::string> readPeersEnv();
std::string urlOf(const ScriptedPeer& peer, const std::string& path = "/page");
// The GET requests whose URL carries the query `tag` in a peer's access log
// (nginx, apache, squid of tests/support/peers.sh): "<status>", followed by
// ":<client port>" where the log gives it. A proxy logs a request after
// answering it: the log is read again until it holds `count` of them, for
// 3 s at most.
std::vector<std::string> loggedGets(const std::string& file, const std::string& tag, size_t count);

// SHA-256 as upper-case hex, as tarnwick prints checksums: of bytes, or of
// the stream a generator makes (never held whole).
std::string sha256Hex(const std::string& bytes);
std::string sha256Hex(const PeerStep::Generator& stream);

// The console lines of a check.
namespace line {
inline const std::string initialized = "Checksum initialized.\n";
std::string equal(const std::string& url);
std::string changed(const std::string& url, const std::string& sum);
std::string pattern(const std::string& pattern, const std::string& url, bool found);
std::string failure(const std::string& url, const std::string& text, int code);
}  // namespace line

// The events stored under root, oldest first, as tarnwick-eventlog --json
// (TARNWICK_EVENTLOG_BIN) shows them, with its filter options.
std::vector<nlohmann::ordered_json> readEvents(const std::string& root,
                                             const std::vector<std::string>& filters = {});

// The checksums stored under root by URL, as tarnwick-reg (TARNWICK_REG_BIN)
// lists them.
std::map<std::string, std::string> storedChecksums(const std::string& root);

// No temporary page file is left in dir.
void expectNoTempFiles(const std::string& dir);

// A finished run with its peak resident memory (KiB, its own: it runs under
// tw_peak_rss, TW_PEAK_RSS_BIN) and wall time. State, TMPDIR and sanitizer
// logs are in root; a sanitized program runs with a small allocator
// quarantine, which would otherwise measure the churn of a long transfer.
struct MeasuredRun {
  ProcessResult result;
  long maxRssKb = 0;
  double seconds = 0;
};
MeasuredRun runMeasured(std::vector<std::string> argv, const std::string& root,
                        int timeoutSeconds = 60);
// What a sanitizer reported during measured runs with this root ("": nothing).
std::string sanitizerReports(const std::string& root);

}  // namespace tw_test
