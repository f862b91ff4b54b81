// Shared set-up of the fuzz targets: a state directory of their own, input
// splitters and the check that turns a broken property into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw_fuzz {

// Makes a fresh temporary directory, points TARNWICK_ROOT and TMPDIR at it
// and removes it with its content when the process ends. Returns its path.
// Calling it again returns the same directory.
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
