// One check: download, pattern search, checksum, reports, exit code.
#include <cstdio>
#include <ctime>

#include "checks/ChecksumStore.h"
#include "checks/FileChecksum.h"
#include "checks/PatternSearch.h"
#include "cli/CliHandler.h"
#include "fetch/PageFetcher.h"
#include "logging/Logging.h"
#include "platform/console.h"
#include "platform/files.h"
#include "resources/MessageIds.h"

using velmora::logging::logger;
namespace checks = velmora::checks;
namespace messages = velmora::messages;

const std::string programShortName = "tarnwick";

namespace {
// Largest part of a page the pattern search reads.
constexpr uint32_t kMaxSearchSize = 8388608;
// The event categories are the message IDs 1 to this one.
constexpr uint32_t kCategoryCount = messages::CATEGORY_KESTRELBY;
}  // namespace

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

int32_t CliHandler::run() {
  if (eventLogOutput) logger.ensureEventSource(kCategoryCount);

  const std::string tempFile = makeTempFileName();
  auto* fetcher = new velmora::network::PageFetcher(url, tempFile, ignoreCertificate, timeout,
                                                    username, password);
  if (proxy.isSet()) fetcher->setProxy(proxy);

  if (clearChecksums) {
    checks::ChecksumStoreResult r = checks::storeChecksum(url, "clear", consoleOutput);
    if (r == checks::Cleared) {
      std::printf("All stored checksums have been removed\n");
    } else {
      std::printf("Unable to remove stored checksums from registry\n");
    }
    delete fetcher;
    return 0;
  }

  if (!fetcher->fetch(true)) {
    std::printf("Unable to connect or retrieve \"%s\" due to error \"%s\" (%d)\n", url.c_str(),
                fetcher->failureText().c_str(), fetcher->failureCode());
    if (eventLogOutput) {
      logger.addString(url);
      logger.addString(fetcher->failureText());
      logger.addNumber(fetcher->failureCode());
      logger.writeEvent(messages::CATEGORY_TARNWICK, messages::MSG_FETCH_FAILED, 2);
    }
    // The fetcher leaves an empty file behind; a monitor run every few minutes
    // would otherwise fill the temporary directory with them.
    DeleteFileA(tempFile.c_str());
    delete fetcher;
    return 2;
  }

  int32_t exitCode = 0;
  bool patternFound = false;
  std::string checksum;
  checks::ChecksumStoreResult checksumResult = checks::Error;

  if (!textPattern.empty()) {
    patternFound =
        checks::searchFileForPattern(tempFile, textPattern.c_str(), kMaxSearchSize) != 0;
  }
  if (checksumEnabled) {
    checks::FileChecksum fileChecksum(tempFile, checks::SHA256, checks::Text);
    checksum = fileChecksum.getChecksum();
    checksumResult = checksum.empty() ? checks::Error
                                      : checks::storeChecksum(url, checksum.c_str(), consoleOutput);
  }
  const velmora::ResultSeverities severities = velmora::parseResultSeverities(severitiesText);

  if (!textPattern.empty()) {
    if (consoleOutput) {
      std::printf(patternFound ? "Pattern \"%s\" was found in URL \"%s\".\n"
                               : "Pattern \"%s\" was not found in URL \"%s\".\n",
                  textPattern.c_str(), url.c_str());
    }
    const velmora::Severity sev =
        severities[patternFound ? velmora::TXT_FOUND : velmora::TXT_NOTFOUND];
    if (eventLogOutput && sev >= 0) {
      logger.addString(textPattern);
      logger.addString(url);
      logger.writeEvent(
          messages::CATEGORY_TARNWICK,
          patternFound ? messages::MSG_PATTERN_FOUND : messages::MSG_PATTERN_NOT_FOUND,
          static_cast<uint16_t>(sev));
    }
    if (!patternFound) exitCode = 1;
  }

  if (checksumEnabled && checksumResult != checks::Error) {
    if (consoleOutput) {
      if (checksumResult == checks::Changed) {
        std::printf("The checksum of URL \"%s\" changed to \"%s\".\n", url.c_str(),
                    checksum.c_str());
      } else if (checksumResult == checks::Equal) {
        std::printf("The checksum of URL \"%s\" did not change.\n", url.c_str());
      }
    }
    if (eventLogOutput) {
      const velmora::Severity changeSev = severities[velmora::CHECKSUM_CHANGE];
      const velmora::Severity equalSev = severities[velmora::CHECKSUM_EQUAL];
      if ((checksumResult == checks::Changed || checksumResult == checks::Initialized) &&
          changeSev >= 0) {
        logger.addString(url);
        logger.addString(checksum);
        logger.writeEvent(messages::CATEGORY_TARNWICK,
                          checksumResult == checks::Changed ? messages::MSG_CHECKSUM_CHANGED
                                                            : messages::MSG_CHECKSUM_INITIALIZED,
                          static_cast<uint16_t>(changeSev));
      } else if (checksumResult == checks::Equal && equalSev >= 0) {
        logger.addString(url);
        logger.writeEvent(messages::CATEGORY_TARNWICK, messages::MSG_CHECKSUM_EQUAL,
                          static_cast<uint16_t>(equalSev));
      }
    }
    if (checksumResult == checks::Changed) exitCode = 1;
  }

  DeleteFileA(tempFile.c_str());
  delete fetcher;
  return exitCode;
}
