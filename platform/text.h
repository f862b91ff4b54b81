// Text helpers shared by every layer: UTF-8 <-> UTF-16 conversion for paths
// and texts that cross the platform boundary (UTF-8 is the process code
// page), and ASCII letter case.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

namespace tw_platform {

// Invalid input becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& s);
std::string utf16ToUtf8(const std::u16string& s);

// The program's logger widens each byte of its (UTF-8) text to one unit,
// with sign extension (bytes 0x80-0xFF become 0xFF80-0xFFFF). This gives
// such text back as proper UTF-16 for display, an invalid byte as U+FFFD;
// text with a unit no widened byte gives is returned unchanged.
std::u16string fromWidenedBytes(const std::u16string& s);

// ASCII letter case: only A-Z and a-z change; every other byte or UTF-16
// unit stays as it is, whatever the locale.
template <typename C>
  requires std::is_integral_v<C>
constexpr C asciiLower(C c) {
  return c >= C('A') && c <= C('Z') ? static_cast<C>(c - C('A') + C('a')) : c;
}

template <typename C>
  requires std::is_integral_v<C>
constexpr C asciiUpper(C c) {
  return c >= C('a') && c <= C('z') ? static_cast<C>(c - C('a') + C('A')) : c;
}

inline std::string asciiLower(std::string s) {
  for (char& c : s) c = asciiLower(c);
  return s;
}

inline std::string asciiUpper(std::string s) {
  for (char& c : s) c = asciiUpper(c);
  return s;
}

namespace detail {
template <typename C>
bool equalsNoCase(std::basic_string_view<C> a, std::basic_string_view<C> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}
}  // namespace detail

// Equal but for the case of ASCII letters.
inline bool equalsNoCase(std::string_view a, std::string_view b) {
  return detail::equalsNoCase(a, b);
}
inline bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
  return detail::equalsNoCase(a, b);
}

}  // namespace tw_platform
