// The event-log writer and the event-source registration.
#include "logging/Logging.h"

#include <memory>

#include "generated/MessageIds.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "winsupport/CRegistry.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::logging {

Logging logger("Harrowlights", velmora::messages::CATEGORY_KESTRELBY);

namespace {

constexpr uint16_t kAppendIndex = 0xFFFF;
// How many event logs the registration check looks at.
constexpr uint32_t kMaxEventLogs = 32;
const char* const kEventlogKey = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";
const char16_t* const kEventlogKeyW = u"SYSTEM\\CurrentControlSet\\Services\\Eventlog";

// Each byte becomes one 16-bit unit, sign-extended as a signed char would be.
std::u16string widen(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (char c : s) out += static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
  return out;
}

// Keeps the low byte of each unit.
std::string narrow(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out += static_cast<char>(c & 0xFF);
  return out;
}

}  // namespace

LoggingBase::LoggingBase(const std::string& sourceName, int32_t defaultCategory)
    : sourceName_(widen(sourceName)), defaultCategory_(static_cast<uint16_t>(defaultCategory)) {
  InitializeCriticalSection(&lock_);
}

LoggingBase::~LoggingBase() { DeleteCriticalSection(&lock_); }

void LoggingBase::addString(const std::string& text, int32_t index) {
  addString(static_cast<int16_t>(index), widen(text));
}

void LoggingBase::addString(int16_t index, const std::u16string& text) {
  EnterCriticalSection(&lock_);
  if (!messageHeld_) {
    // Hold the message for this thread until its writeEvent.
    EnterCriticalSection(&lock_);
    messageHeld_ = true;
  }
  if (static_cast<uint16_t>(index) != kAppendIndex) {
    if (index >= kFirstIndex && index <= kLastIndex) {
      strings_[static_cast<uint16_t>(index)] = text;
      nextStringIndex_ = static_cast<int16_t>(index + 1);
    }
  } else if (nextStringIndex_ <= kLastIndex) {
    strings_[static_cast<uint16_t>(nextStringIndex_)] = text;
    ++nextStringIndex_;
  }
  LeaveCriticalSection(&lock_);
}

void LoggingBase::addNumber(int32_t value, int32_t index) {
  addString(std::to_string(value), index);
}

bool LoggingBase::isEventSourceRegistered() {
  std::unique_ptr<CRegistry> registry(new CRegistry(HKEY_LOCAL_MACHINE));
  const std::vector<std::string> logs = registry->enumerateSubkeys(kEventlogKey, kMaxEventLogs, 0);
  for (const std::string& log : logs) {
    const std::string key = std::string(kEventlogKey) + "\\" + log + "\\" + narrow(sourceName_);
    if (registry->keyExists(key.c_str())) return true;
  }
  return false;
}

void LoggingBase::registerEventSource(const std::u16string& messageFile,
                                      const std::u16string& categoryFile,
                                      uint32_t categoryCount) {
  const std::u16string key = std::u16string(kEventlogKeyW) + u"\\Application\\" + sourceName_;
  std::unique_ptr<CRegistry> registry(new CRegistry(HKEY_LOCAL_MACHINE));
  if (!registry->createKey(key.c_str())) return;
  // Each write stands on its own; a failed one changes nothing for the others.
  registry->writeString(key.c_str(), u"EventMessageFile", messageFile.c_str());
  registry->writeString(key.c_str(), u"CategoryMessageFile", categoryFile.c_str());
  registry->writeDword(key.c_str(), u"CategoryCount", categoryCount);
}

void LoggingBase::ensureEventSource(uint32_t categoryCount) {
  if (isEventSourceRegistered()) return;
  WCHAR path[MAX_PATH + 1] = {0};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  registerEventSource(path, path, categoryCount);
}

Logging::Logging(const std::string& sourceName, int32_t defaultCategory)
    : LoggingBase(sourceName, defaultCategory) {}

Logging::~Logging() { close(); }

bool Logging::writeEventDefaultCategory(uint32_t eventId, uint16_t level) {
  return writeEvent(defaultCategory_, eventId, level);
}

bool Logging::writeEvent(uint16_t category, uint32_t eventId, uint16_t level) {
  EnterCriticalSection(&lock_);
  if (!open() && messageHeld_) {
    LeaveCriticalSection(&lock_);
    messageHeld_ = false;
  }

  const std::u16string empty;
  LPCWSTR strings[kLastIndex] = {nullptr};
  WORD count = 1;
  for (const auto& [index, text] : strings_) {
    if (index < kFirstIndex || index > kLastIndex) continue;
    strings[index - 1] = text.c_str();
    if (index > count) count = index;
  }
  for (WORD i = 0; i < count; ++i) {
    if (strings[i] == nullptr) strings[i] = empty.c_str();
  }

  const BOOL reported =
      ReportEventW(eventSource_, eventTypeForLevel(level), category, eventId, nullptr, count,
                   static_cast<DWORD>(rawData_.size()),
                   const_cast<LPCWSTR*>(strings), rawData_.empty() ? nullptr : rawData_.data());

  strings_.clear();
  rawData_.clear();
  nextStringIndex_ = kFirstIndex;
  close();

  if (messageHeld_) {
    LeaveCriticalSection(&lock_);
    messageHeld_ = false;
  }
  LeaveCriticalSection(&lock_);
  return reported != FALSE;
}

uint16_t Logging::eventTypeForLevel(uint16_t level) {
  switch (level) {
    case 0: return EVENTLOG_INFORMATION_TYPE;
    case 1: return EVENTLOG_WARNING_TYPE;
    case 2: return EVENTLOG_ERROR_TYPE;
    case 3: return EVENTLOG_AUDIT_FAILURE;
    case 4: return EVENTLOG_AUDIT_SUCCESS;
    default: return EVENTLOG_WARNING_TYPE;
  }
}

std::u16string Logging::errorText(uint32_t code) {
  return velmora::windows_specific::systemErrorTextW(code);
}

bool Logging::open() {
  eventSource_ = RegisterEventSourceW(nullptr, sourceName_.c_str());
  return eventSource_ != nullptr;
}

void Logging::close() {
  if (eventSource_ != nullptr) {
    DeregisterEventSource(eventSource_);
    eventSource_ = nullptr;
  }
}

}  // namespace velmora::logging
