// Code-page conversions on iconv. Unconvertible input is replaced, as the
// Windows functions do without their strict flags.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"

#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

namespace {

// The iconv name of a Windows code page, or an empty text when unknown.
std::string iconvName(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP:
    case CP_UTF8:
      return "UTF-8";
    case 1200:
      return "UTF-16LE";
    case 1201:
      return "UTF-16BE";
    case 20127:
      return "ASCII";
    case 20866:
      return "KOI8-R";
    case 21866:
      return "KOI8-U";
    case 51932:
    case 20932:
      return "EUC-JP";
    case 51949:
      return "EUC-KR";
    case 54936:
      return "GB18030";
    case 936:
      return "GBK";
    case 65000:
      return "UTF-7";
    default:
      break;
  }
  if (codePage >= 28591 && codePage <= 28606) {
    return "ISO-8859-" + std::to_string(codePage - 28590);
  }
  return "CP" + std::to_string(codePage);
}

// Runs iconv over the whole input. Invalid or unconvertible input units of
// inUnit bytes are replaced by `replacement` (already in the target
// encoding); `replaced` tells whether that happened. False when the code
// page is unknown to iconv.
bool convert(const std::string& from, const std::string& to, const char* in, size_t inLen,
             size_t inUnit, const std::string& replacement, std::string& out, bool& replaced) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.clear();
  replaced = false;
  char buf[4096];
  char* src = const_cast<char*>(in);
  size_t left = inLen;
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof(buf);
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, sizeof(buf) - room);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a cut sequence at the end): replace one unit.
      out += replacement;
      replaced = true;
      size_t skip = left < inUnit ? left : inUnit;
      src += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t room = sizeof(buf);
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buf, sizeof(buf) - room);
  iconv_close(cd);
  return true;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int size) {
  if (text == nullptr || length < -1 || size < 0 || (size > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t inLen = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
  std::string bytes;
  bool replaced = false;
  const std::string fffd("\xFD\xFF", 2);
  if (!convert(iconvName(codePage), "UTF-16LE", text, inLen, 1, fffd, bytes, replaced)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (replaced && (flags & MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  int units = static_cast<int>(bytes.size() / 2);
  if (size == 0) return units;
  if (units > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < units; ++i) {
    out[i] = static_cast<WCHAR>(static_cast<unsigned char>(bytes[2 * i]) |
                                (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return units;
}

int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, LPCWSTR text, int length, LPSTR out,
                        int size, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  if (text == nullptr || length < -1 || size < 0 || (size > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t units = 0;
  if (length == -1) {
    while (text[units] != 0) ++units;
    ++units;
  } else {
    units = static_cast<size_t>(length);
  }
  std::string in;
  in.reserve(units * 2);
  for (size_t i = 0; i < units; ++i) {
    in += static_cast<char>(text[i] & 0xFF);
    in += static_cast<char>(text[i] >> 8);
  }
  std::string result;
  bool replaced = false;
  std::string replacement = defaultChar != nullptr ? std::string(defaultChar) : std::string("?");
  if (!convert("UTF-16LE", iconvName(codePage), in.data(), in.size(), 2, replacement, result,
               replaced)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  int n = static_cast<int>(result.size());
  if (size == 0) return n;
  if (n > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, result.data(), result.size());
  return n;
}
