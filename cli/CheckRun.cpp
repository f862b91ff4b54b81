// One check: download, pattern search, checksum, reports, exit code.
#include <cstdio>
#include <ctime>
#include <memory>

#include "checks/ChecksumStore.h"
#include "checks/FileChecksum.h"
#include "checks/PatternSearch.h"
#include "checks/SameFile.h"
#include "cli/CliHandler.h"
#include "fetch/PageFetcher.h"
#include "generated/MessageIds.h"
#include "logging/Logging.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "winsupport/SystemErrorText.h"

using velmora::logging::logger;
using velmora::network::PageFetcher;
namespace checks = velmora::checks;
namespace messages = velmora::messages;

const std::string programShortName = "tarnwick";

BOOL onConsoleControl(DWORD ctrlType) {
  return (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) ? TRUE : FALSE;
}

std::string makeTempFileName() {
  char tempDir[MAX_PATH + 1] = {0};
  if (GetTempPathA(sizeof tempDir, tempDir) == 0 || tempDir[sizeof tempDir - 1] != '\0') {
    tempDir[0] = '\0';
  }
  char name[MAX_PATH + 1] = {0};
  // The name is bounded to the buffer like every Windows path; a longer one
  // is cut, which the compiler would otherwise warn about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
  std::snprintf(name, sizeof name, "%s%s_%lld_%d.tmp", tempDir, programShortName.c_str(),
                static_cast<long long>(std::time(nullptr)),
                static_cast<int>(GetProcessId(GetCurrentProcess())));
#pragma GCC diagnostic pop
  return name;
}

namespace {

// The event categories are the message IDs 1 to this one.
constexpr uint32_t kCategoryCount = messages::CATEGORY_KESTRELBY;
// The level of the event of a page that was not retrieved: an error.
constexpr uint16_t kLevelError = 2;

// Exit codes of a check.
constexpr int32_t kExitPassed = 0;        // no negative result
constexpr int32_t kExitNegative = 1;      // pattern not found or checksum changed
constexpr int32_t kExitNotRetrieved = 2;  // the page could not be downloaded

// Removes every stored checksum; the line is printed whatever the console
// option says.
void clearStoredChecksums(const CliHandler& check) {
  if (checks::storeChecksum(check.url, "clear", check.consoleOutput) == checks::Cleared) {
    std::printf("All stored checksums have been removed\n");
  } else {
    std::printf("Unable to remove stored checksums from registry\n");
  }
}

// The console line (always printed) and the event of a failed download.
void reportFetchFailure(const CliHandler& check, const std::string& text, int32_t code) {
  std::printf("Unable to connect or retrieve \"%s\" due to error \"%s\" (%d)\n",
              check.url.c_str(), text.c_str(), code);
  if (!check.eventLogOutput) return;
  logger.addString(check.url);
  logger.addString(text);
  logger.addNumber(code);
  logger.writeEvent(messages::CATEGORY_TARNWICK, messages::MSG_FETCH_FAILED, kLevelError);
}

// The page file's name is predictable and its folder shared: the check
// creates it itself, new and private, before anything is fetched, so that
// nothing someone else put there is ever taken for the page. An object
// already at the name fails the check (80) and is left alone.
bool createPageFile(const std::string& name, BY_HANDLE_FILE_INFORMATION& created) {
  HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &created) != FALSE;
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return known;
}

// Removes the page file only when the name is still the file this run made.
void removePageFile(const std::string& name, const BY_HANDLE_FILE_INFORMATION& own) {
  HANDLE file =
      checks::openSameFile(name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &own);
  if (file == INVALID_HANDLE_VALUE) return;
  CloseHandle(file);
  DeleteFileA(name.c_str());
}

bool searchPattern(const CliHandler& check, const std::string& file,
                   const BY_HANDLE_FILE_INFORMATION& page) {
  return checks::searchFileForPattern(file, check.textPattern.c_str(), kMaxPatternSearchSize, &page) !=
         0;
}

struct ChecksumOutcome {
  std::string checksum;  // empty when it could not be computed
  checks::ChecksumStoreResult result = checks::Error;
};

// Computes the page's checksum and compares it with the stored one, which
// it replaces. The store prints its own lines.
ChecksumOutcome compareChecksum(const CliHandler& check, const std::string& file,
                                const BY_HANDLE_FILE_INFORMATION& page) {
  ChecksumOutcome outcome;
  checks::FileChecksum checksum(file, checks::SHA256, checks::Text);
  checksum.expectFile(page);
  outcome.checksum = checksum.getChecksum();
  if (!outcome.checksum.empty()) {
    outcome.result =
        checks::storeChecksum(check.url, outcome.checksum.c_str(), check.consoleOutput);
  }
  return outcome;
}

void reportPattern(const CliHandler& check, bool found,
                   const velmora::ResultSeverities& severities) {
  if (check.consoleOutput) {
    std::printf(found ? "Pattern \"%s\" was found in URL \"%s\".\n"
                      : "Pattern \"%s\" was not found in URL \"%s\".\n",
                check.textPattern.c_str(), check.url.c_str());
  }
  const velmora::Severity severity =
      severities[found ? velmora::TXT_FOUND : velmora::TXT_NOTFOUND];
  if (!check.eventLogOutput || severity < 0) return;
  logger.addString(check.textPattern);
  logger.addString(check.url);
  logger.writeEvent(messages::CATEGORY_TARNWICK,
                    found ? messages::MSG_PATTERN_FOUND : messages::MSG_PATTERN_NOT_FOUND,
                    static_cast<uint16_t>(severity));
}

// Reports a checksum that was stored: changed, equal or initialized.
void reportChecksum(const CliHandler& check, const ChecksumOutcome& outcome,
                    const velmora::ResultSeverities& severities) {
  const std::string& url = check.url;
  if (check.consoleOutput) {
    if (outcome.result == checks::Changed) {
      std::printf("The checksum of URL \"%s\" changed to \"%s\".\n", url.c_str(),
                  outcome.checksum.c_str());
    } else if (outcome.result == checks::Equal) {
      std::printf("The checksum of URL \"%s\" did not change.\n", url.c_str());
    }
  }
  if (!check.eventLogOutput) return;
  const velmora::Severity changeSeverity = severities[velmora::CHECKSUM_CHANGE];
  const velmora::Severity equalSeverity = severities[velmora::CHECKSUM_EQUAL];
  if ((outcome.result == checks::Changed || outcome.result == checks::Initialized) &&
      changeSeverity >= 0) {
    logger.addString(url);
    logger.addString(outcome.checksum);
    logger.writeEvent(messages::CATEGORY_TARNWICK,
                      outcome.result == checks::Changed ? messages::MSG_CHECKSUM_CHANGED
                                                        : messages::MSG_CHECKSUM_INITIALIZED,
                      static_cast<uint16_t>(changeSeverity));
  } else if (outcome.result == checks::Equal && equalSeverity >= 0) {
    logger.addString(url);
    logger.writeEvent(messages::CATEGORY_TARNWICK, messages::MSG_CHECKSUM_EQUAL,
                      static_cast<uint16_t>(equalSeverity));
  }
}

}  // namespace

int32_t CliHandler::run() {
  if (eventLogOutput) logger.ensureEventSource(kCategoryCount);

  const std::string tempFile = makeTempFileName();
  auto fetcher = std::make_unique<PageFetcher>(url, tempFile, ignoreCertificate, timeout,
                                               username, password);
  if (proxy.isSet()) fetcher->setProxy(proxy);

  if (clearChecksums) {
    clearStoredChecksums(*this);
    return kExitPassed;
  }

  BY_HANDLE_FILE_INFORMATION page;
  if (!createPageFile(tempFile, page)) {
    const DWORD error = GetLastError();
    reportFetchFailure(*this, velmora::windows_specific::systemErrorText(error),
                       static_cast<int32_t>(error));
    return kExitNotRetrieved;
  }
  const bool fetched = fetcher->fetch(true);
  // The fetcher re-creates the file; from here on only the file it wrote is
  // read or removed.
  if (fetcher->writtenFile()) page = *fetcher->writtenFile();
  if (!fetched) {
    reportFetchFailure(*this, fetcher->failureText(), fetcher->failureCode());
    // The fetcher leaves an empty file behind; a monitor run every few minutes
    // would otherwise fill the temporary directory with them.
    removePageFile(tempFile, page);
    return kExitNotRetrieved;
  }

  const bool patternFound = !textPattern.empty() && searchPattern(*this, tempFile, page);
  const ChecksumOutcome checksum =
      checksumEnabled ? compareChecksum(*this, tempFile, page) : ChecksumOutcome{};
  const velmora::ResultSeverities severities = velmora::parseResultSeverities(severitiesText);

  int32_t exitCode = kExitPassed;
  if (!textPattern.empty()) {
    reportPattern(*this, patternFound, severities);
    if (!patternFound) exitCode = kExitNegative;
  }
  if (checksumEnabled && checksum.result != checks::Error) {
    reportChecksum(*this, checksum, severities);
    if (checksum.result == checks::Changed) exitCode = kExitNegative;
  }

  removePageFile(tempFile, page);
  return exitCode;
}
