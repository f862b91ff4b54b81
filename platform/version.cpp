// Version information read from the version block section of an executable.
#include "platform/version.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/resources.h"
#include "platform/text.h"

namespace {

bool loadBlock(LPCWSTR fileName, std::vector<BYTE>& data) {
  if (fileName == nullptr || fileName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string path = tw_platform::utf16ToUtf8(tw_platform::fromWide(fileName));
  if (!tw_platform::readResourceSection(path, tw_platform::kVersionSection, data)) return false;
  if (data.size() < 6) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return false;
  }
  return true;
}

uint16_t get16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

size_t align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

// One parsed node header inside a block.
struct Node {
  size_t start = 0;
  size_t end = 0;  // start + wLength
  uint16_t valueLength = 0;
  uint16_t type = 0;
  std::u16string key;
  size_t valueOffset = 0;
  size_t childrenOffset = 0;
};

bool parseNode(const BYTE* base, size_t start, size_t limit, Node& n) {
  if (start + 6 > limit) return false;
  const uint16_t len = get16(base + start);
  if (len < 6 || start + len > limit) return false;
  n.start = start;
  n.end = start + len;
  n.valueLength = get16(base + start + 2);
  n.type = get16(base + start + 4);
  n.key.clear();
  size_t p = start + 6;
  for (;;) {
    if (p + 2 > n.end) return false;
    char16_t c = get16(base + p);
    p += 2;
    if (c == 0) break;
    n.key += c;
  }
  n.valueOffset = align4(p);
  const size_t valueBytes = n.type == 1 ? static_cast<size_t>(n.valueLength) * 2 : n.valueLength;
  if (n.valueOffset + valueBytes > n.end) {
    if (valueBytes != 0) return false;
    n.valueOffset = n.end;
  }
  n.childrenOffset = align4(n.valueOffset + valueBytes);
  return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
  if (handle) *handle = 0;
  std::vector<BYTE> data;
  if (!loadBlock(fileName, data)) return 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(data.size());
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD len, LPVOID data) {
  if (data == nullptr || len == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<BYTE> block;
  if (!loadBlock(fileName, block)) return FALSE;
  std::memcpy(data, block.data(), std::min<size_t>(len, block.size()));
  if (len < block.size()) {
    // A cut copy must not claim more than it holds.
    BYTE* p = static_cast<BYTE*>(data);
    if (len >= 2) {
      p[0] = static_cast<BYTE>(len & 0xFF);
      p[1] = static_cast<BYTE>((len >> 8) & 0xFF);
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len) {
  if (buffer) *buffer = nullptr;
  if (len) *len = 0;
  if (block == nullptr || subBlock == nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const BYTE* base = static_cast<const BYTE*>(block);
  Node node;
  if (!parseNode(base, 0, get16(base), node)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return FALSE;
  }
  std::u16string path(subBlock);
  size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == u'\\') ++pos;
    if (pos >= path.size()) break;
    size_t next = path.find(u'\\', pos);
    std::u16string part = path.substr(pos, next == std::u16string::npos ? std::u16string::npos
                                                                         : next - pos);
    pos = next == std::u16string::npos ? path.size() : next;
    bool found = false;
    size_t child = node.childrenOffset;
    Node c;
    while (child < node.end && parseNode(base, child, node.end, c)) {
      if (tw_platform::equalsNoCase(c.key, part)) {
        found = true;
        break;
      }
      child = align4(c.end);
    }
    if (!found) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    node = c;
  }
  *buffer = const_cast<BYTE*>(base + node.valueOffset);
  if (len) *len = node.valueLength;
  return TRUE;
}
