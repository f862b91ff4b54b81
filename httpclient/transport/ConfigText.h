// Parsing of the component's Config texts ("Name=value", "Name" alone for a
// query) and of the setting values. Pure functions: no state, no I/O.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::network::component {

struct ConfigRequest {
  std::string name;        // as written, without an index part
  bool hasIndex = false;   // "Name[3]" or "Name(3)"
  std::string indexText;
  int64_t index = 0;
  bool isQuery = true;     // no "=" in the text
  std::string value;       // blanks and one pair of double quotes stripped
};

ConfigRequest parseConfigText(const std::string& text);

// "TRUE", "yes" or "1" (any case) are true; every other text is false.
bool configBool(const std::string& value);
// Decimal, or hexadecimal after "0x"/"0X"; an optional sign; reading stops at
// the first character that does not belong to the number (none read: 0).
int64_t configInt64(const std::string& value);
int32_t configInt32(const std::string& value);

// Answers of queries: "True"/"False", integers in decimal.
const char* configBoolText(bool value);

}  // namespace velmora::network::component
