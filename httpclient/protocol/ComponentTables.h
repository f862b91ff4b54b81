// The component's property table: one row per property, keyed by its
// https_prop id, with its value type, what indexes it, its getter and its
// setter. The flat interface's value passing follows the type; the rows only
// read and write the layers' fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velmora::network::component {

class HttpComponent;

// Property value types.
enum class PropType {
  Integer,  // I: 32-bit, passed as the value itself
  Boolean,  // B: 0/1, passed as the value itself
  Text,     // S: zero-terminated text (id + 10000: UTF-16)
  Binary,   // D: bytes with a length
  Long,     // L: 64-bit, passed through a pointer to a signed 64-bit integer
};

// What the index argument of an indexed property counts.
enum class PropIndex {
  None,
  Cookie,  // the cookie list
  Header,  // the parsed headers of the last response
};

// A value given to Set, decoded by the property's type.
struct PropertyValue {
  int64_t number = 0;  // I, B, L
  std::string text;    // S, D
  int32_t int32() const { return static_cast<int32_t>(number); }
  bool flag() const { return number != 0; }
};

struct PropertyRow {
  int id;  // https_prop
  PropType type;
  PropIndex index;
  // The getter of an I, B or L property; the index is valid when it is used.
  std::function<int64_t(HttpComponent&, size_t index)> number;
  // The getter of an S or D property.
  std::function<const std::string&(HttpComponent&, size_t index)> text;
  // The setter: a result code. Empty for a read-only property.
  std::function<int(HttpComponent&, size_t index, const PropertyValue&)> set;
};

// The row of a property id (without the UTF-16 and raw-byte offsets), or
// nullptr.
const PropertyRow* findProperty(int id);

}  // namespace velmora::network::component
