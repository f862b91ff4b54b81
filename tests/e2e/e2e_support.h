// Shared pieces of the end-to-end tests: the real peers started by
// tests/support/peers.sh, running the built tarnwick with its own state,
// and independent checksums of expected content.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace tw_e2e {

// The KEY=VALUE lines of the peers' environment file (TW_PEERS_ENV); empty
// when the peers were not started.
std::map<std::string, std::string> readPeersEnv();

// SHA-256 of the bytes as upper-case hex, as tarnwick prints checksums.
std::string sha256Hex(const std::string& bytes);

// Peak resident memory of a finished run, in KiB.
struct MeasuredRun {
  tw_test::ProcessResult result;
  long maxRssKb = 0;
};
// Runs the program to its end (killed after timeoutSeconds) and measures its
// peak memory: its own, not counting the test binary it was started from
// (it runs under tw_peak_rss, TW_PEAK_RSS_BIN). Output is discarded except
// the last 64 KiB of stdout. A sanitized program runs with a small
// allocator quarantine, unless env sets ASAN_OPTIONS.
MeasuredRun runMeasured(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env, int timeoutSeconds);

}  // namespace tw_e2e
