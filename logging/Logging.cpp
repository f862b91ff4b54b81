// Placeholder until the event log is built: events are not written.
#include "logging/Logging.h"

#include <cstdio>

namespace velmora::logging {

Logging logger("Harrowlights", 2);

Logging::Logging(const std::string&, int32_t) {}
Logging::~Logging() = default;
void Logging::addString(const std::string&, int32_t) {}
void Logging::addNumber(int32_t, int32_t) {}
bool Logging::writeEvent(uint16_t, uint32_t, uint16_t) {
  std::fprintf(stderr, "The event log is not built yet\n");
  return false;
}
void Logging::ensureEventSource(uint32_t) {}

}  // namespace velmora::logging
