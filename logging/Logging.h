// The event-log writer: collects the insertion strings of one event and
// reports it under the program's event source; registers that source in the
// machine hive on first use. One process-wide instance, `logger`.
//
// Nothing here prints or throws when the event log fails: a failed report is
// a false result, a failed registration goes unnoticed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/synch.h"
#include "platform/win32types.h"

namespace velmora::logging {

class LoggingBase {
 public:
  // The source name is widened byte by byte with sign extension.
  LoggingBase(const std::string& sourceName, int32_t defaultCategory);
  virtual ~LoggingBase();
  LoggingBase(const LoggingBase&) = delete;
  LoggingBase& operator=(const LoggingBase&) = delete;

  virtual bool writeEventDefaultCategory(uint32_t eventId, uint16_t level) = 0;
  virtual bool writeEvent(uint16_t category, uint32_t eventId, uint16_t level) = 0;
  virtual uint16_t eventTypeForLevel(uint16_t level) = 0;
  virtual std::u16string errorText(uint32_t code) = 0;
  virtual bool open() = 0;
  virtual void close() = 0;

  // Sets insertion string [index] (1-32), or appends it with index -1. The
  // first string of a message keeps the lock held for this thread until the
  // message's writeEvent ends.
  void addString(const std::string& text, int32_t index = -1);
  void addString(int16_t index, const std::u16string& text);
  void addNumber(int32_t value, int32_t index = -1);

  // Registers the source under the Application log unless one of the first
  // 32 event logs already knows it.
  void ensureEventSource(uint32_t categoryCount);

 protected:
  bool isEventSourceRegistered();
  void registerEventSource(const std::u16string& messageFile, const std::u16string& categoryFile,
                           uint32_t categoryCount);

  // Lowest and highest insertion string index.
  static constexpr int16_t kFirstIndex = 1;
  static constexpr int16_t kLastIndex = 32;

  CRITICAL_SECTION lock_;
  bool messageHeld_ = false;
  std::u16string sourceName_;
  uint16_t defaultCategory_;
  int16_t nextStringIndex_ = kFirstIndex;
  std::map<uint16_t, std::u16string> strings_;
  std::vector<BYTE> rawData_;
};

class Logging : public LoggingBase {
 public:
  Logging(const std::string& sourceName, int32_t defaultCategory);
  ~Logging() override;

  bool writeEventDefaultCategory(uint32_t eventId, uint16_t level) override;
  bool writeEvent(uint16_t category, uint32_t eventId, uint16_t level) override;
  uint16_t eventTypeForLevel(uint16_t level) override;
  std::u16string errorText(uint32_t code) override;
  bool open() override;
  void close() override;

 private:
  HANDLE eventSource_ = nullptr;
};

// The process-wide instance: source "Harrowlights", default category 2.
extern Logging logger;

}  // namespace velmora::logging
