// tarnwick-diag: runs the download of one check, with tarnwick's own
// command line, and writes what happened on the wire into a bundle folder:
// a transcript per connection, the server's certificate chains, the client's
// events as JSON lines and a summary of what the check would have reported.
// It stores no checksum and writes no event. The bundle is made in a private
// folder next to the target and renamed into place only when complete.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "checks/ChecksumStore.h"
#include "checks/FileChecksum.h"
#include "checks/PatternSearch.h"
#include "cli/CliHandler.h"
#include "fetch/PageFetcher.h"
#include "platform/files.h"
#include "tools/diag/Bundle.h"

namespace fs = std::filesystem;
using nlohmann::ordered_json;
using velmora::diag::BundleRecorder;
using velmora::diag::SecretMask;
using velmora::diag::writePrivateFile;

namespace {

const char* const kUsage =
    "Usage: tarnwick-diag --out DIR [--include-secrets] -- TARNWICK-ARGUMENTS...\n"
    "\n"
    "Runs the download of one tarnwick check, with tarnwick's own arguments after\n"
    "\"--\", and writes what it saw into the folder DIR, which must be new or empty:\n"
    "  transcript-N.txt  the bytes of connection N as sent and received (over\n"
    "                    TLS: before encryption and after decryption)\n"
    "  chain-N.pem       the certificate chain the server of connection N sent\n"
    "  events.jsonl      each event of the HTTP client, one JSON object per line\n"
    "  summary.json      the results, exit code and failure text the check would\n"
    "                    have given, and per connection the TLS parameters and\n"
    "                    the certificate status\n"
    "It stores no checksum and writes no event: the checksum store and the event\n"
    "log stay as they are. Given passwords (/p, /proxypass, TARNWICK_PASSWORD,\n"
    "TARNWICK_PROXY_PASSWORD), also in Base64, and the values of Authorization\n"
    "and Proxy-Authorization headers are replaced by ******** in every file. The\n"
    "files are readable by their owner alone. With /usewininet and a proxy the\n"
    "Internet library makes the download's connection, which leaves no transcript.\n"
    "\n"
    "  --out DIR          the bundle's folder\n"
    "  --include-secrets  keep passwords and credential headers in the bundle\n"
    "  --help             shows this text\n"
    "\n"
    "Exit codes: 0 bundle written (whatever the check found), 1 the bundle could\n"
    "not be written, 2 bad command line.\n";

// With /usewininet and a proxy only the header probe uses the client's own
// connections; the download goes through the Internet library.
const char* const kNoLibraryTranscript =
    "with /usewininet the Internet library makes the download's connection, which leaves no "
    "transcript (only the header probe's connection is recorded)";

constexpr int kExitWritten = 0;
constexpr int kExitNotWritten = 1;
constexpr int kExitBadCommandLine = 2;

// The check's own exit codes.
constexpr int kCheckPassed = 0;
constexpr int kCheckNegative = 1;
constexpr int kCheckNotRetrieved = 2;

struct Options {
  std::string out;
  bool includeSecrets = false;
  int firstCheckArg = 0;  // index of "--"
};

int badCommandLine(const std::string& message) {
  std::cerr << "tarnwick-diag: " << message << "\nTry 'tarnwick-diag --help'.\n";
  return kExitBadCommandLine;
}

// Reads the tool's own options; nullopt after printing why not.
std::optional<Options> parseOptions(int argc, char** argv, int& exitCode) {
  Options o;
  exitCode = kExitBadCommandLine;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      o.firstCheckArg = i;
      break;
    }
    if (arg == "--help") {
      std::cout << kUsage;
      exitCode = kExitWritten;
      return std::nullopt;
    }
    if (arg == "--include-secrets") {
      o.includeSecrets = true;
    } else if (arg == "--out" && i + 1 < argc) {
      o.out = argv[++i];
    } else if (arg.rfind("--out=", 0) == 0) {
      o.out = arg.substr(6);
    } else if (arg.rfind("--", 0) != 0) {
      badCommandLine("\"--\" must come before tarnwick's arguments: " + arg);
      return std::nullopt;
    } else {
      badCommandLine("unknown option or missing value: " + arg);
      return std::nullopt;
    }
  }
  if (o.firstCheckArg == 0) {
    badCommandLine("\"--\" and tarnwick's arguments are missing");
    return std::nullopt;
  }
  if (o.out.empty()) {
    badCommandLine("--out DIR is missing");
    return std::nullopt;
  }
  return o;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A new folder, owner only, next to target; "" when none can be made.
std::string makePrivateFolderBeside(const fs::path& target, std::string& error) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    const fs::path folder =
        target.parent_path() / ("." + target.filename().string() + ".tmp-" + suffix);
    std::error_code ec;
    if (fs::create_directory(folder, ec)) {
      fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
      if (!ec) return folder.string();
      fs::remove(folder);
    }
    if (ec) {
      error = ec.message();
      return "";
    }
  }
  error = "no free name";
  return "";
}

// What the check would have found in the page; sets exitCode as it would.
ordered_json judgePage(const CliHandler& check, const std::string& file,
                       const BY_HANDLE_FILE_INFORMATION& page, int& exitCode) {
  namespace checks = velmora::checks;
  ordered_json results = {{"pattern", nullptr}, {"checksum", nullptr}};
  if (!check.textPattern.empty()) {
    const bool found = checks::searchFileForPattern(file, check.textPattern.c_str(),
                                                    kMaxPatternSearchSize, &page) != 0;
    results["pattern"] = {{"pattern", check.textPattern}, {"found", found}};
    if (!found) exitCode = kCheckNegative;
  }
  if (check.checksumEnabled) {
    checks::FileChecksum checksum(file, checks::SHA256, checks::Text);
    checksum.expectFile(page);
    const std::string value = checksum.getChecksum();
    const std::string stored = checks::storedChecksum(check.url);
    const char* verdict = stored.empty() ? "initialized" : stored == value ? "equal" : "changed";
    if (value.empty()) verdict = "not computed";
    results["checksum"] = {{"value", value},
                           {"stored", stored.empty() ? ordered_json() : ordered_json(stored)},
                           {"result", verdict}};
    if (std::strcmp(verdict, "changed") == 0) exitCode = kCheckNegative;
  }
  return results;
}

// Per connection: its transcript, TLS parameters, certificate and chain.
ordered_json connectionList(const std::string& folder, const BundleRecorder& recorder) {
  const auto& tls = recorder.connections();
  int last = tls.empty() ? 0 : tls.rbegin()->first;
  for (int n = last + 1; fs::exists(folder + "/" + recorder.transcriptName(n)); ++n) last = n;
  ordered_json list = ordered_json::array();
  for (int n = 1; n <= last; ++n) {
    ordered_json c = {{"number", n},
                      {"transcript", nullptr},
                      {"tls_parameters", nullptr},
                      {"certificate", nullptr},
                      {"chain", nullptr}};
    if (fs::exists(folder + "/" + recorder.transcriptName(n))) {
      c["transcript"] = recorder.transcriptName(n);
    }
    const auto info = tls.find(n);
    if (info != tls.end()) {
      if (!info->second.tlsParameters.empty()) c["tls_parameters"] = info->second.tlsParameters;
      c["certificate"] = info->second.certificate;
      if (!info->second.chainFile.empty()) c["chain"] = info->second.chainFile;
    }
    list.push_back(c);
  }
  return list;
}

// Runs the fetch into folder and writes the bundle's files there, masked;
// false when one could not be written.
bool runInto(const std::string& folder, const CliHandler& check, const SecretMask& mask,
             bool masked, const std::vector<std::string>& arguments) {
  BundleRecorder recorder(folder, mask);
  const bool libraryPath = check.proxy.isSet() && check.proxy.useWinInet;
  const std::string pageFile = folder + "/page.tmp";
  auto fetcher = std::make_unique<velmora::network::PageFetcher>(
      check.url, pageFile, check.ignoreCertificate, check.timeout, check.username, check.password);
  if (check.proxy.isSet()) fetcher->setProxy(check.proxy);
  fetcher->setDiagnostics(recorder.componentSettings(), &recorder);

  const bool fetched = fetcher->fetch(true);
  int exitCode = fetched ? kCheckPassed : kCheckNotRetrieved;
  ordered_json summary = {{"url", check.url}, {"arguments", arguments}, {"fetched", fetched}};
  summary["failure_text"] = fetched ? ordered_json() : ordered_json(fetcher->failureText());
  summary["failure_code"] = fetched ? ordered_json() : ordered_json(fetcher->failureCode());
  ordered_json results = {{"pattern", nullptr}, {"checksum", nullptr}};
  if (fetched && fetcher->writtenFile()) {
    results = judgePage(check, pageFile, *fetcher->writtenFile(), exitCode);
  }
  fetcher.reset();
  std::error_code ec;
  fs::remove(pageFile, ec);
  summary.update(results);
  summary["exit_code"] = exitCode;

  summary["transcripts"] = libraryPath ? kNoLibraryTranscript : "one file per connection";
  summary["connections"] = connectionList(folder, recorder);
  summary["secrets_masked"] = masked;
  mask.applyToJson(summary);

  bool ok = recorder.ok();
  for (const std::string& name : recorder.transcripts()) {
    const std::string path = folder + "/" + name;
    ok = writePrivateFile(path, mask.applyToTranscript(readWhole(path))) && ok;
  }
  const std::string text = summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  return writePrivateFile(folder + "/summary.json", text + "\n") && ok;
}

}  // namespace

int main(int argc, char** argv) {
  // Passwords pass through this process, as through tarnwick's.
  tw_platform::keepProcessPrivate();
  int exitCode = kExitBadCommandLine;
  const std::optional<Options> options = parseOptions(argc, argv, exitCode);
  if (!options) return exitCode;

  // tarnwick's command line, parsed by its own option table.
  std::vector<const char*> checkArgv = {"tarnwick"};
  for (int i = options->firstCheckArg + 1; i < argc; ++i) checkArgv.push_back(argv[i]);
  std::unique_ptr<CliHandler> check;
  try {
    check =
        std::make_unique<CliHandler>(static_cast<int>(checkArgv.size()), checkArgv.data(), false);
  } catch (TCLAP::ArgException& e) {
    std::cerr << "error: " << e.error() << " for arg " << e.argId() << std::endl;
    return kExitBadCommandLine;
  } catch (TCLAP::ExitException& e) {
    return e.getExitStatus();  // tarnwick's usage or version was printed
  }
  hideSecretArguments(argc - options->firstCheckArg, argv + options->firstCheckArg);
  if (check->clearChecksums) {
    return badCommandLine(
        "/checksums_clear changes the checksum store; there is no download to diagnose");
  }
  std::vector<std::string> arguments(argv + options->firstCheckArg + 1, argv + argc);

  fs::path target = fs::absolute(options->out).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(target, ec);
  if (fs::exists(status) && !(fs::is_directory(status) && fs::is_empty(target, ec))) {
    return badCommandLine("\"" + options->out + "\" exists and is not an empty folder");
  }
  std::string error;
  const std::string folder = makePrivateFolderBeside(target, error);
  if (folder.empty()) {
    std::cerr << "tarnwick-diag: cannot create a folder next to \"" << options->out
              << "\": " << error << "\n";
    return kExitNotWritten;
  }

  SecretMask mask;
  mask.addSecret(check->username, check->password);
  mask.addSecret(check->proxy.user, check->proxy.password);
  if (options->includeSecrets) mask.keepSecrets();
  if (check->proxy.isSet() && check->proxy.useWinInet) {
    std::cerr << "tarnwick-diag: " << kNoLibraryTranscript << "\n";
  }
  const bool written = runInto(folder, *check, mask, !options->includeSecrets, arguments);
  if (!written || (fs::rename(folder, target, ec), ec)) {
    std::cerr << "tarnwick-diag: the bundle could not be written to \"" << options->out << "\""
              << (ec ? ": " + ec.message() : std::string()) << "\n";
    fs::remove_all(folder, ec);
    return kExitNotWritten;
  }
  std::cout << "Bundle written to \"" << options->out << "\".\n";
  return kExitWritten;
}
