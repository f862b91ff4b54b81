// Shared set-up of the fuzz targets: a state directory of their own and a
// splitter for inputs that carry several fields.
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

// Piece sizes chosen by the input: one byte n (0-15 used), then n bytes,
// each giving a piece size of 1 to 256; the sizes repeat over the rest of
// the input. No sizes: the rest is one piece. Consumes those bytes.
struct Pieces {
  std::vector<size_t> sizes;
  // Splits text into pieces of the chosen sizes.
  std::vector<std::string> cut(const std::string& text) const;
};
Pieces takePieces(const uint8_t*& data, size_t& size);

}  // namespace tw_fuzz
