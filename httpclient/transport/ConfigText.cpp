#include "httpclient/transport/ConfigText.h"

#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

ConfigRequest parseConfigText(const std::string& text) {
  ConfigRequest req;
  size_t eq = text.find('=');
  std::string name = eq == std::string::npos ? text : text.substr(0, eq);
  req.isQuery = eq == std::string::npos;

  // An index starts at "[" or "(" and runs to the matching closer.
  size_t open = name.find_first_of("[(");
  if (open != std::string::npos) {
    char closer = name[open] == '[' ? ']' : ')';
    size_t close = name.find(closer, open + 1);
    req.hasIndex = true;
    req.indexText = name.substr(open + 1, close == std::string::npos ? std::string::npos
                                                                     : close - open - 1);
    req.index = configInt64(req.indexText);
    name.erase(open);
  }
  req.name = name;

  if (!req.isQuery) {
    std::string v = text.substr(eq + 1);
    size_t b = 0;
    while (b < v.size() && isBlank(v[b])) ++b;
    v.erase(0, b);
    if (!v.empty() && v.front() == '"') v.erase(0, 1);
    while (!v.empty() && isBlank(v.back())) v.pop_back();
    if (!v.empty() && v.back() == '"') v.pop_back();
    req.value = v;
  }
  return req;
}

bool configBool(const std::string& value) {
  return equalsNoCase(value, "TRUE") || equalsNoCase(value, "yes") || value == "1";
}

int64_t configInt64(const std::string& value) {
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
    negative = value[i] == '-';
    ++i;
  }
  int base = 10;
  if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  uint64_t n = 0;
  for (; i < value.size(); ++i) {
    int d;
    char c = value[i];
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      break;
    }
    n = n * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);  // wraps like the C library
  }
  return negative ? static_cast<int64_t>(0 - n) : static_cast<int64_t>(n);
}

int32_t configInt32(const std::string& value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(configInt64(value))));
}

const char* configBoolText(bool value) { return value ? "True" : "False"; }

}  // namespace velmora::network::component
