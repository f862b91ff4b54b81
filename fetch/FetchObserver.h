// FetchObserver: what a diagnostic run sees of a fetch. The fetcher hands
// every event of its component to the observer, with the event's parameters
// by name, after its own handling (so an Accept shows the fetcher's
// decision). The observer may configure the component from inside the call
// (for example name the transcript of the next connection). The check run
// itself sets no observer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class HTTPS;

namespace velmora::network {

struct FetchEvent {
  struct Field {
    std::string name;
    bool isNumber = false;
    int64_t number = 0;
    std::string text;  // the bytes of a text or binary parameter
  };
  explicit FetchEvent(std::string eventName) : name(std::move(eventName)) {}
  std::string name;
  std::vector<Field> fields;

  FetchEvent& number(const char* field, int64_t value) {
    fields.push_back({field, true, value, {}});
    return *this;
  }
  FetchEvent& text(const char* field, const char* value, int length = -1) {
    std::string bytes;
    if (value != nullptr) bytes = length < 0 ? std::string(value) : std::string(value, length);
    fields.push_back({field, false, 0, std::move(bytes)});
    return *this;
  }
};

class FetchObserver {
 public:
  virtual ~FetchObserver() = default;
  virtual void onEvent(HTTPS& component, const FetchEvent& event) = 0;
};

}  // namespace velmora::network
