// The component's property, method and event tables, as data: what the flat
// interface accepts and how values are passed.
#pragma once

namespace velmora::network::component {

// Property value types.
enum class PropType {
  Integer,  // I: 32-bit, passed as the value itself
  Boolean,  // B: 0/1, passed as the value itself
  Text,     // S: zero-terminated text (id + 10000: UTF-16)
  Binary,   // D: bytes with a length
  Long,     // L: 64-bit, passed through a pointer to a signed 64-bit integer
};

struct PropertyInfo {
  int id;
  const char* name;
  PropType type;
  bool readOnly;
  bool indexed;
};

// Offsets of the id variants.
constexpr int kWideIdOffset = 10000;   // UTF-16 texts
constexpr int kBytesIdOffset = 20000;  // raw bytes with a length

// The entry of a property id (1..61), or nullptr.
const PropertyInfo* findProperty(int id);
int propertyCount();
const PropertyInfo& propertyAt(int i);

// Method ids of Do (id + 10000: UTF-16 arguments).
enum MethodId {
  kMethodAddCookie = 2,
  kMethodConfig = 3,
  kMethodDelete = 4,
  kMethodDoEvents = 5,
  kMethodGet = 6,
  kMethodHead = 7,
  kMethodInterrupt = 8,
  kMethodPost = 9,
  kMethodPut = 10,
  kMethodReset = 11,
};

// Event ids (id + 10000: the event fired again with UTF-16 texts).
enum EventId {
  kEventConnected = 1,
  kEventConnectionStatus = 2,
  kEventDisconnected = 3,
  kEventEndTransfer = 4,
  kEventError = 5,
  kEventHeader = 6,
  kEventRedirect = 7,
  kEventSetCookie = 8,
  kEventSSLServerAuthentication = 9,
  kEventSSLStatus = 10,
  kEventStartTransfer = 11,
  kEventStatus = 12,
  kEventTransfer = 13,
};

// The answer of an event handler that asks for the event again in UTF-16.
constexpr int kEventRefireWide = -10000;

}  // namespace velmora::network::component
