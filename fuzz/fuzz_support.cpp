#include "fuzz/fuzz_support.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

namespace tw_fuzz {

namespace {

std::string& rootPath() {
  static std::string path;
  return path;
}

void removeRoot() {
  std::error_code ec;
  if (!rootPath().empty()) std::filesystem::remove_all(rootPath(), ec);
}

}  // namespace

const std::string& useTempRoot() {
  std::string& path = rootPath();
  if (path.empty()) {
    // A memory file system when there is one: the registry and the page
    // file are written on every input, and disk syncs would dominate.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "tw_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a temporary directory");
    path = pattern;
    setenv("TARNWICK_ROOT", path.c_str(), 1);
    setenv("TMPDIR", path.c_str(), 1);
    std::atexit(removeRoot);
  }
  return path;
}

std::vector<std::string> split(const uint8_t* data, size_t size, char separator,
                               size_t maxParts) {
  std::vector<std::string> parts;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (parts.size() + 1 < maxParts) {
    const char* sep = p;
    while (sep != end && *sep != separator) ++sep;
    if (sep == end) break;
    parts.emplace_back(p, sep);
    p = sep + 1;
  }
  parts.emplace_back(p, end);
  return parts;
}

void writeFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  check(f != nullptr, "cannot write " + path);
  const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  std::fclose(f);
  check(written, "short write of " + path);
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

Pieces takePieces(const uint8_t*& data, size_t& size) {
  Pieces p;
  if (size == 0) return p;
  size_t n = data[0] % 16;
  ++data;
  --size;
  for (size_t i = 0; i < n && size > 0; ++i) {
    p.sizes.push_back(static_cast<size_t>(data[0]) + 1);
    ++data;
    --size;
  }
  return p;
}

std::vector<std::string> Pieces::cut(const std::string& text) const {
  std::vector<std::string> out;
  if (sizes.empty()) {
    out.push_back(text);
    return out;
  }
  size_t at = 0;
  for (size_t i = 0; at < text.size(); i = (i + 1) % sizes.size()) {
    out.push_back(text.substr(at, sizes[i]));
    at += sizes[i];
  }
  return out;
}

}  // namespace tw_fuzz
