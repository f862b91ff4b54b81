// Shared set-up of the fuzz targets: a state directory of their own, input
// splitters and the check that turns a broken property into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw_fuzz {

// Every target runs in a fresh temporary directory of its own: before the
// first input, TARNWICK_ROOT and TMPDIR point at it, then the target's
// setUp runs (where it has one). The directory goes when the process ends.
void setUp();
// The temporary directory's path.
const std::string& useTempRoot();

// Splits the input at every separator byte; at most maxParts parts (the
// last one keeps the rest, separators included).
std::vector<std::string> split(const uint8_t* data, size_t size, char separator,
                               size_t maxParts);

// Writes a file with exactly these bytes; fails the input when it cannot.
void writeFile(const std::string& path, const std::string& content);

// Sends the program's standard output to /dev/null: the code under test
// prints notices and usage texts that would only slow the fuzzer down.
void silenceStdout();

// Aborts with a message when a property the target checks does not hold,
// so that libFuzzer records the input as a crash.
[[noreturn]] void fail(const std::string& what);
inline void check(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

// The input of the targets that play a message whole and cut: one byte of
// options; one byte n (0-15 used) and n bytes, each a piece size of 1 to
// 256, repeated over the message (no sizes: one piece); the message.
struct CutInput {
  uint8_t options = 0;
  std::vector<size_t> sizes;
  std::string message;
  // False for an input without options byte.
  bool take(const uint8_t* data, size_t size);
  // The message in pieces of the chosen sizes.
  std::vector<std::string> pieces() const;
};

}  // namespace tw_fuzz
