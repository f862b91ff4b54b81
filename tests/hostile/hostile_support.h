// Pieces of the hostile-server tests: streams of any length made piece by
// piece (never held whole), and the peak-memory measure of a tarnwick run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/scripted_peer.h"

namespace tw_hostile {

// A gzip member whose body inflates to `zeros` zero bytes (a multiple of
// 1 MiB): one compressed MiB of zeros, cut at a full flush so that it does
// not refer back, repeated; then the final block and a correct trailer. It
// is made as it is sent, at the cost of about 1 KiB of output per MiB.
class GzipBomb {
 public:
  explicit GzipBomb(uint64_t zeros);
  // Size of the whole member in bytes.
  uint64_t size() const;
  // The generator of a scripted peer step that sends the member.
  tw_test::PeerStep::Generator generator() const;
  // SHA-256 of the member, upper-case hex (what tarnwick stores when it
  // keeps the body as it came).
  std::string sha256Hex() const;

 private:
  std::string piece(uint64_t offset) const;
  std::string header_, chunk_, tail_;
  uint64_t chunks_ = 0;
};

// A generator that repeats `unit` until `total` bytes went out.
tw_test::PeerStep::Generator repeated(std::string unit, uint64_t total);

// A run of the built tarnwick with its peak memory (KiB) and wall time.
struct Measured {
  tw_test::ProcessResult result;
  long maxRssKb = 0;
  double seconds = 0;
};
// Runs the program (argv[0] is its path) with TARNWICK_ROOT and TMPDIR set to
// root. The allocator of a sanitized build keeps freed blocks in a
// quarantine (256 MiB by default), which would measure the churn of a long
// transfer rather than what is held; measured runs use a small one.
Measured runMeasured(const std::vector<std::string>& argv, const std::string& root,
                     int timeoutSeconds = 60);

// What a sanitizer reported during measured runs with this root (empty:
// nothing).
std::string sanitizerReports(const std::string& root);

// Prints a figure for the report and returns nothing; "case: N KiB (...)".
void reportMemory(const std::string& name, const Measured& run, long baselineKb, long boundKb,
                  uint64_t serverSent);

}  // namespace tw_hostile
