#include "fuzz/fuzz_support.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace tw_fuzz {

namespace {

std::string rootPath;

void removeRoot() {
  std::error_code ec;
  std::filesystem::remove_all(rootPath, ec);
}

}  // namespace

const std::string& useTempRoot() {
  if (rootPath.empty()) {
    // A memory file system when there is one: the registry and the page
    // file are written on every input, and disk syncs would dominate.
    std::error_code ec;
    const bool shm = std::filesystem::is_directory("/dev/shm", ec);
    std::string pattern = (shm ? "/dev/shm" : std::filesystem::temp_directory_path().string()) +
                          "/tw_fuzz_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a temporary directory");
    rootPath = pattern;
    setenv("TARNWICK_ROOT", rootPath.c_str(), 1);
    setenv("TMPDIR", rootPath.c_str(), 1);
    std::atexit(removeRoot);
  }
  return rootPath;
}

std::vector<std::string> split(const uint8_t* data, size_t size, char separator,
                               size_t maxParts) {
  std::vector<std::string> parts;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  for (size_t sep = input.find(separator); parts.size() + 1 < maxParts && sep != std::string::npos;
       sep = input.find(separator, at)) {
    parts.push_back(input.substr(at, sep - at));
    at = sep + 1;
  }
  parts.push_back(input.substr(at));
  return parts;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  check(static_cast<bool>(out.write(content.data(), static_cast<std::streamsize>(content.size()))),
        "cannot write " + path);
}

void silenceStdout() {
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("cannot redirect stdout");
}

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

bool CutInput::take(const uint8_t* data, size_t size) {
  if (size == 0) return false;
  options = data[0];
  size_t at = 2 + (size > 1 ? data[1] % 16 : 0);
  for (size_t i = 2; i < at && i < size; ++i) sizes.push_back(static_cast<size_t>(data[i]) + 1);
  if (at < size) message.assign(reinterpret_cast<const char*>(data) + at, size - at);
  return true;
}

std::vector<std::string> CutInput::pieces() const {
  if (sizes.empty()) return {message};
  std::vector<std::string> out;
  for (size_t at = 0, i = 0; at < message.size(); at += sizes[i], i = (i + 1) % sizes.size()) {
    out.push_back(message.substr(at, sizes[i]));
  }
  return out;
}

__attribute__((weak)) void setUp() {}

}  // namespace tw_fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tw_fuzz::useTempRoot();
  tw_fuzz::setUp();
  return 0;
}
