// Build-time generator of the resource sections: "mkres version OUT" writes
// the version block of the executable, "mkres messages IN OUT" the message
// table from its text form (lines of ID, language and text, tab-separated),
// and "mkres ids IN OUT" a C++ header with the table's IDs by name.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/message_table.h"
#include "platform/resources.h"
#include "platform/version.h"

namespace {

using tw_platform::VersionNode;

VersionNode textNode(const std::u16string& key, const std::u16string& value) {
  VersionNode n;
  n.key = key;
  n.text = true;
  n.textValue = value;
  return n;
}

std::vector<BYTE> versionBlock() {
  VS_FIXEDFILEINFO ffi{};
  ffi.dwSignature = VS_FFI_SIGNATURE;
  ffi.dwStrucVersion = VS_FFI_STRUCVERSION;
  ffi.dwFileVersionMS = (2u << 16) | 1u;  // 2.1.1.1
  ffi.dwFileVersionLS = (1u << 16) | 1u;
  ffi.dwProductVersionMS = (2u << 16) | 1u;  // 2.1.0.0
  ffi.dwProductVersionLS = 0;
  ffi.dwFileFlagsMask = 0x3F;
  ffi.dwFileOS = VOS__WINDOWS32;
  ffi.dwFileType = VFT_APP;

  VersionNode strings;
  strings.key = u"040904b0";
  strings.children = {
      textNode(u"CompanyName", u"Tarnwick Project"),
      textNode(u"FileDescription",
               u"Monitors web pages by looking for a string and/or verifying checksums"),
      textNode(u"FileVersion", u"2, 1, 1, 1"),
      textNode(u"InternalName", u"Tarnwick"),
      textNode(u"LegalCopyright", u"Copyright (C) 2026"),
      textNode(u"OriginalFilename", u"Tarnwick.exe"),
      textNode(u"ProductName", u"Tarnwick Web Page Monitor"),
      textNode(u"ProductVersion", u"2.1.0.0"),
  };
  VersionNode stringFileInfo;
  stringFileInfo.key = u"StringFileInfo";
  stringFileInfo.children = {strings};

  VersionNode translation;
  translation.key = u"Translation";
  translation.text = false;
  translation.binaryValue = {0x09, 0x04, 0xB0, 0x04};  // 0x0409, code page 1200
  VersionNode varFileInfo;
  varFileInfo.key = u"VarFileInfo";
  varFileInfo.children = {translation};

  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  root.text = false;
  root.binaryValue.resize(sizeof ffi);
  std::memcpy(root.binaryValue.data(), &ffi, sizeof ffi);
  root.children = {stringFileInfo, varFileInfo};
  return tw_platform::serializeVersionNode(root);
}

bool writeFile(const char* path, const std::vector<BYTE>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// The text form of the message table: the texts by language and ID, and
// the name of each ID.
struct MessageSource {
  tw_platform::MessageTable table;
  std::map<DWORD, std::string> names;
};

bool isSymbol(const std::string& text) {
  if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// Reads the text form of the message table. Every text gets the CR LF that
// ends each message. Returns false with a message on stderr for a bad line,
// a name given twice, or an ID without a name or without a text.
bool readMessageSource(const char* path, MessageSource& source) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "mkres: cannot read %s\n", path);
    return false;
  }
  std::set<std::string> symbols;
  std::set<DWORD> withText;
  std::string line;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    if (line.empty() || line[0] == '#') continue;
    const size_t t1 = line.find('\t');
    const size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    if (t2 == std::string::npos) {
      std::fprintf(stderr, "mkres: %s:%d: expected ID, language and text\n", path, lineNo);
      return false;
    }
    char* end = nullptr;
    const unsigned long id = std::strtoul(line.c_str(), &end, 0);
    if (line.compare(t1 + 1, t2 - t1 - 1, "name") == 0) {
      const std::string symbol = line.substr(t2 + 1);
      if (!isSymbol(symbol) || !symbols.insert(symbol).second ||
          !source.names.emplace(static_cast<DWORD>(id), symbol).second) {
        std::fprintf(stderr, "mkres: %s:%d: bad or second name\n", path, lineNo);
        return false;
      }
      continue;
    }
    const unsigned long lang = std::strtoul(line.c_str() + t1 + 1, &end, 0);
    if (end != line.c_str() + t2 || lang == 0 || lang > 0xFFFF) {
      std::fprintf(stderr, "mkres: %s:%d: bad ID or language\n", path, lineNo);
      return false;
    }
    auto& messages = source.table[static_cast<WORD>(lang)];
    if (messages.count(static_cast<DWORD>(id)) != 0) {
      std::fprintf(stderr, "mkres: %s:%d: message %lu defined twice\n", path, lineNo, id);
      return false;
    }
    messages[static_cast<DWORD>(id)] = tw_platform::utf8ToUtf16(line.substr(t2 + 1)) + u"\r\n";
    withText.insert(static_cast<DWORD>(id));
  }
  for (DWORD id : withText) {
    if (source.names.count(id) == 0) {
      std::fprintf(stderr, "mkres: %s: message %u has no name\n", path, id);
      return false;
    }
  }
  for (const auto& [id, symbol] : source.names) {
    if (withText.count(id) == 0) {
      std::fprintf(stderr, "mkres: %s: %s names message %u, which has no text\n", path,
                   symbol.c_str(), id);
      return false;
    }
  }
  return true;
}

// The header of message IDs by name. An unchanged header is not written
// again, so that what includes it is not rebuilt.
bool writeIdHeader(const char* path, const std::map<DWORD, std::string>& names) {
  std::ostringstream text;
  text << "// Generated by mkres from the message table: its IDs by name.\n"
          "#pragma once\n\n#include <cstdint>\n\nnamespace velmora::messages {\n\n";
  for (const auto& [id, symbol] : names) {
    text << "inline constexpr uint32_t " << symbol << " = " << id << ";\n";
  }
  text << "\n}  // namespace velmora::messages\n";
  const std::string header = text.str();
  std::ifstream existing(path, std::ios::binary);
  std::ostringstream old;
  old << existing.rdbuf();
  if (existing && old.str() == header) return true;
  return writeFile(path, std::vector<BYTE>(header.begin(), header.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "version") == 0) {
    if (writeFile(argv[2], versionBlock())) return 0;
    std::fprintf(stderr, "mkres: cannot write %s\n", argv[2]);
    return 1;
  }
  const bool messages = argc == 4 && std::strcmp(argv[1], "messages") == 0;
  const bool ids = argc == 4 && std::strcmp(argv[1], "ids") == 0;
  if (messages || ids) {
    MessageSource source;
    if (!readMessageSource(argv[2], source)) return 1;
    if (messages ? writeFile(argv[3], tw_platform::serializeMessageTable(source.table))
                 : writeIdHeader(argv[3], source.names)) {
      return 0;
    }
    std::fprintf(stderr, "mkres: cannot write %s\n", argv[3]);
    return 1;
  }
  std::fprintf(stderr, "usage: mkres version OUT | mkres messages IN OUT | mkres ids IN OUT\n");
  return 2;
}
