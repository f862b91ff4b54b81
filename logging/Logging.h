// The process-wide event-log writer.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::logging {

class Logging {
 public:
  Logging(const std::string& sourceName, int32_t defaultCategory);
  virtual ~Logging();

  void addString(const std::string& text, int32_t index = -1);
  void addNumber(int32_t value, int32_t index = -1);
  virtual bool writeEvent(uint16_t category, uint32_t eventId, uint16_t level);
  void ensureEventSource(uint32_t categoryCount);
};

// The process-wide instance: source "Harrowlights", default category 2.
extern Logging logger;

}  // namespace velmora::logging
