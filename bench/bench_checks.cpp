// Timings of the content checks:
//  1. SHA-256 of a 1 GiB file in the page cache through FileChecksum,
//     against Crypto++'s SHA256 over the same bytes in memory, alternating
//     (ROUNDS each, medians; the file's rate as a share of the memory's),
//     and against sha256sum on the same file, each with its peak memory;
//  2. the wildcard matcher on an 8 MiB page with pathological patterns.
//
// Usage: tw_bench_checks [--size-mib N] [--dir DIR] [--rounds N]
// The file is created in DIR (default $TMPDIR or /tmp) and removed after.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <crypto++/hex.h>
#include <crypto++/sha.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checks/FileChecksum.h"
#include "checks/PatternSearch.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

long maxRssKiB() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Fills bytes with a pseudo-random stream and writes them to the file.
bool writeRandomFile(const std::string& path, std::vector<uint64_t>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (auto& w : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    w = x;
  }
  {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    size_t left = bytes.size() * 8;
    while (left > 0) {
      ssize_t n = write(fd, p, left);
      if (n <= 0) {
        close(fd);
        return false;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  return close(fd) == 0;
}

// Runs sha256sum on the file; returns its digest (upper case), its wall
// time and its peak resident memory. Linux keeps the spawning process's
// high-water mark across exec, so the peak is taken through /usr/bin/time
// (whose own footprint is small) when it is there; otherwise the figure is
// only an upper bound and says so.
bool runSha256sum(const std::string& path, std::string& digest, double& secs, long& rssKiB,
                  bool& rssExact) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return false;
  rssExact = access("/usr/bin/time", X_OK) == 0;
  std::vector<const char*> argv;
  if (rssExact) {
    for (const char* a : {"/usr/bin/time", "-f", "%M"}) argv.push_back(a);
  }
  argv.push_back("sha256sum");
  argv.push_back(path.c_str());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&fa, outPipe[0]);
  posix_spawn_file_actions_addclose(&fa, errPipe[0]);
  pid_t pid;
  auto t0 = Clock::now();
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, const_cast<char* const*>(argv.data()),
                        environ);
  posix_spawn_file_actions_destroy(&fa);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return false;
  }
  std::string out, err;
  char buf[256];
  ssize_t n;
  while ((n = read(outPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  while ((n = read(errPipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  secs = seconds(t0, Clock::now());
  rssKiB = rssExact ? std::strtol(err.c_str(), nullptr, 10) : ru.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.size() < 64) return false;
  digest = out.substr(0, 64);
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return true;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void benchMatcher() {
  constexpr size_t kPage = 8u << 20;
  std::string page(kPage, 'a');

  struct Case {
    const char* name;
    std::string pattern;
  };
  std::vector<Case> cases;
  {
    // 46 floating segments that each fail only at their last character.
    std::string p;
    while (p.size() + 11 <= 510) p += "*aaaaaaaaab";
    p += "*";
    cases.push_back({"46 segments '*aaaaaaaaab', none found", p});
  }
  {
    // One last segment of 509 characters that almost matches at every
    // position: the slide to the end of the text is the worst case.
    std::string p(1, '*');
    p.append(509, 'a');
    p.push_back('b');
    cases.push_back({"last segment of 510 ('a' x509 + 'b'), slid to the end", p});
  }
  {
    std::string p;
    while (p.size() + 11 <= 510) p += "*aaaaaaaaa?";
    p += "*";
    cases.push_back({"46 segments '*aaaaaaaaa?', all found", p});
  }
  for (const auto& c : cases) {
    auto t0 = Clock::now();
    bool m = velmora::checks::wildcardMatch(page.c_str(), c.pattern.c_str());
    double s = seconds(t0, Clock::now());
    std::printf("matcher  %-56s pattern %3zu chars  %s  %8.3f s  (%.0f MiB/s)\n", c.name,
                c.pattern.size(), m ? "match   " : "no match", s, 8.0 / s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 1024;
  int rounds = 5;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc) {
      mib = std::strtoul(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: tw_bench_checks [--size-mib N] [--dir DIR] [--rounds N]\n");
      return 2;
    }
  }

  std::string path = dir + "/tw_bench_" + std::to_string(getpid()) + ".bin";
  std::printf("creating %zu MiB file %s\n", mib, path.c_str());
  std::vector<uint64_t> bytes(mib << 17);
  if (!writeRandomFile(path, bytes)) {
    std::perror("writing the file");
    unlink(path.c_str());
    return 1;
  }
  // Read it once so that both contenders find it in the page cache.
  {
    std::string warm;
    double s;
    long r;
    bool e;
    runSha256sum(path, warm, s, r, e);
  }

  const long rssBefore = maxRssKiB();
  auto t0 = Clock::now();
  velmora::checks::FileChecksum checksum(path, velmora::checks::SHA256, velmora::checks::Text);
  const std::string ours = checksum.getChecksum();
  const double oursSecs = seconds(t0, Clock::now());
  const long rssAfter = maxRssKiB();

  // The file through FileChecksum and the same bytes in memory, in turn.
  std::vector<double> fileSecs, memorySecs;
  std::string inMemory;
  bool fileAgrees = true;
  for (int r = 0; r < rounds; ++r) {
    auto f0 = Clock::now();
    velmora::checks::FileChecksum again(path, velmora::checks::SHA256, velmora::checks::Text);
    fileAgrees = again.getChecksum() == ours && fileAgrees;
    fileSecs.push_back(seconds(f0, Clock::now()));
    auto m0 = Clock::now();
    CryptoPP::SHA256 sha;
    uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
    sha.CalculateDigest(digest, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() * 8);
    memorySecs.push_back(seconds(m0, Clock::now()));
    inMemory.clear();
    CryptoPP::ArraySource(digest, sizeof digest, true,
                          new CryptoPP::HexEncoder(new CryptoPP::StringSink(inMemory), true));
  }
  const double fileMedian = median(fileSecs);
  const double memoryMedian = median(memorySecs);
  std::printf("checksum FileChecksum (file)  median %8.3f s  %7.1f MiB/s  (%d rounds)\n",
              fileMedian, mib / fileMedian, rounds);
  std::printf("checksum SHA256 in memory     median %8.3f s  %7.1f MiB/s  (same bytes)\n",
              memoryMedian, mib / memoryMedian);
  std::printf("checksum file rate / memory rate: %.2f  (%s)\n", memoryMedian / fileMedian,
              inMemory == ours && fileAgrees ? "digests agree" : "digests DIFFER");

  std::string theirs;
  double theirSecs = 0;
  long theirRss = 0;
  bool theirRssExact = false;
  const bool ran = runSha256sum(path, theirs, theirSecs, theirRss, theirRssExact);
  unlink(path.c_str());

  std::printf("checksum FileChecksum SHA256 %8.3f s  %7.1f MiB/s  peak RSS %ld KiB (before %ld KiB)\n",
              oursSecs, mib / oursSecs, rssAfter, rssBefore);
  if (ran) {
    std::printf("checksum sha256sum           %8.3f s  %7.1f MiB/s  peak RSS %s%ld KiB\n", theirSecs,
                mib / theirSecs, theirRssExact ? "" : "<= ", theirRss);
  }
  const bool agree = ran && theirs == ours && inMemory == ours && fileAgrees;
  std::printf("digests %s\n", agree ? "agree" : "DIFFER");
  if (ours.empty()) std::printf("error: %s\n", checksum.lastError.c_str());

  benchMatcher();
  return agree ? 0 : 1;
}
