// Message tables: layout, lookup and formatting.
#include "platform/message_table.h"

#include "platform/detail.h"
#include "platform/errors.h"
#include "platform/resources.h"

namespace tw_platform {

namespace {

constexpr DWORD kMagic = 0x544D5754;  // "TWMT"
constexpr WORD kUnicodeEntry = 1;
constexpr WORD kEnglishUs = 0x409;
constexpr WORD kGerman = 0x407;

void put16(std::vector<BYTE>& out, WORD v) {
  out.push_back(static_cast<BYTE>(v & 0xFF));
  out.push_back(static_cast<BYTE>(v >> 8));
}

void put32(std::vector<BYTE>& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>((v >> (8 * i)) & 0xFF));
}

void patch32(std::vector<BYTE>& out, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>((v >> (8 * i)) & 0xFF);
}

// Bounds-checked little-endian reader over a byte range.
struct Reader {
  const std::vector<BYTE>& data;
  bool get16(size_t at, WORD& v) const {
    if (at > data.size() || data.size() - at < 2) return false;
    v = static_cast<WORD>(data[at] | (data[at + 1] << 8));
    return true;
  }
  bool get32(size_t at, DWORD& v) const {
    if (at > data.size() || data.size() - at < 4) return false;
    v = static_cast<DWORD>(data[at]) | (static_cast<DWORD>(data[at + 1]) << 8) |
        (static_cast<DWORD>(data[at + 2]) << 16) | (static_cast<DWORD>(data[at + 3]) << 24);
    return true;
  }
};

// One message resource block: consecutive IDs share a block.
std::vector<BYTE> serializeLanguage(const std::map<DWORD, std::u16string>& messages) {
  std::vector<std::pair<DWORD, DWORD>> ranges;
  for (const auto& [id, text] : messages) {
    if (!ranges.empty() && ranges.back().second + 1 == id) {
      ranges.back().second = id;
    } else {
      ranges.emplace_back(id, id);
    }
  }
  std::vector<BYTE> out;
  put32(out, static_cast<DWORD>(ranges.size()));
  const size_t blockTable = out.size();
  for (size_t i = 0; i < ranges.size(); ++i) {
    put32(out, ranges[i].first);
    put32(out, ranges[i].second);
    put32(out, 0);  // offset, patched below
  }
  for (size_t i = 0; i < ranges.size(); ++i) {
    patch32(out, blockTable + i * 12 + 8, static_cast<DWORD>(out.size()));
    for (DWORD id = ranges[i].first;; ++id) {
      const std::u16string& text = messages.at(id);
      size_t bytes = 4 + (text.size() + 1) * 2;
      bytes = (bytes + 3) & ~static_cast<size_t>(3);
      put16(out, static_cast<WORD>(bytes));
      put16(out, kUnicodeEntry);
      for (char16_t c : text) put16(out, c);
      while (out.size() % 4 != 0) out.push_back(0);
      if (text.size() % 2 == 0) put16(out, 0);  // the terminator needs its own slot
      while (out.size() % 4 != 0) out.push_back(0);
      if (id == ranges[i].second) break;  // also ends a range that reaches 0xFFFFFFFF
    }
  }
  return out;
}

bool parseLanguage(const std::vector<BYTE>& data, size_t base, size_t size,
                   std::map<DWORD, std::u16string>& messages) {
  const std::vector<BYTE> block(data.begin() + static_cast<std::ptrdiff_t>(base),
                                data.begin() + static_cast<std::ptrdiff_t>(base + size));
  Reader r{block};
  DWORD blocks;
  if (!r.get32(0, blocks) || blocks > block.size() / 12) return false;
  for (DWORD b = 0; b < blocks; ++b) {
    DWORD low, high, offset;
    if (!r.get32(4 + b * 12, low) || !r.get32(8 + b * 12, high) ||
        !r.get32(12 + b * 12, offset) || high < low) {
      return false;
    }
    size_t at = offset;
    for (DWORD id = low;; ++id) {
      WORD length, flags;
      if (!r.get16(at, length) || !r.get16(at + 2, flags) || length < 4 ||
          length > block.size() - at) {
        return false;
      }
      std::u16string text;
      if (flags == kUnicodeEntry) {
        for (size_t p = at + 4; p + 1 < at + length; p += 2) {
          WORD c = 0;
          r.get16(p, c);
          if (c == 0) break;
          text += static_cast<char16_t>(c);
        }
      } else {
        for (size_t p = at + 4; p < at + length && block[p] != 0; ++p) {
          text += static_cast<char16_t>(block[p]);
        }
      }
      messages[id] = text;
      at += length;
      if (id == high) break;
    }
  }
  return true;
}

void appendAscii(std::u16string& out, const std::string& s) {
  for (unsigned char c : s) out += static_cast<char16_t>(c);
}

}  // namespace

std::vector<BYTE> serializeMessageTable(const MessageTable& table) {
  std::vector<BYTE> out;
  put32(out, kMagic);
  put32(out, static_cast<DWORD>(table.size()));
  const size_t directory = out.size();
  for (size_t i = 0; i < table.size(); ++i) {
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
  }
  size_t i = 0;
  for (const auto& [lang, messages] : table) {
    std::vector<BYTE> block = serializeLanguage(messages);
    patch32(out, directory + i * 12, lang);
    patch32(out, directory + i * 12 + 4, static_cast<DWORD>(out.size()));
    patch32(out, directory + i * 12 + 8, static_cast<DWORD>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
    ++i;
  }
  return out;
}

bool parseMessageTable(const std::vector<BYTE>& data, MessageTable& table) {
  Reader r{data};
  DWORD magic, languages;
  MessageTable parsed;
  bool ok = r.get32(0, magic) && magic == kMagic && r.get32(4, languages) &&
            languages <= (data.size() - 8) / 12;
  for (DWORD i = 0; ok && i < languages; ++i) {
    DWORD lang, offset, size;
    ok = r.get32(8 + i * 12, lang) && r.get32(12 + i * 12, offset) &&
         r.get32(16 + i * 12, size) && lang <= 0xFFFF && offset <= data.size() &&
         size <= data.size() - offset &&
         parseLanguage(data, offset, size, parsed[static_cast<WORD>(lang)]);
  }
  if (!ok) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  table = std::move(parsed);
  return true;
}

bool loadModuleMessageTable(const std::u16string& path, MessageTable& table) {
  std::vector<BYTE> data;
  if (!readResourceSection(utf16ToUtf8(path), kMessageSection, data)) return false;
  return parseMessageTable(data, table);
}

std::u16string expandMessage(const std::u16string& text,
                             const std::vector<std::u16string>& inserts) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c != u'%' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    const char16_t e = text[++i];
    if (e >= u'1' && e <= u'9') {
      const size_t start = i - 1;
      size_t n = e - u'0';
      if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') {
        n = n * 10 + (text[++i] - u'0');
      }
      // An optional printf-style format between '!' marks; every insertion
      // string here is text, so the format adds nothing.
      if (i + 1 < text.size() && text[i + 1] == u'!') {
        const size_t close = text.find(u'!', i + 2);
        if (close != std::u16string::npos) i = close;
      }
      if (n <= inserts.size()) {
        out += inserts[n - 1];
      } else {
        out.append(text, start, i + 1 - start);
      }
      continue;
    }
    switch (e) {
      case u'0': return out;
      case u'n': out += u"\r\n"; break;
      case u't': out += u'\t'; break;
      case u'r': out += u'\r'; break;
      default: out += e; break;  // %% %. %! "% " and anything else: the character
    }
  }
  return out;
}

bool formatTableMessage(const MessageTable& table, DWORD id, WORD languageId,
                        const std::vector<std::u16string>& inserts, std::u16string& out) {
  const std::map<DWORD, std::u16string>* messages = nullptr;
  if (languageId == 0) {
    auto it = table.find(kEnglishUs);
    if (it == table.end()) it = table.begin();
    if (it != table.end()) messages = &it->second;
  } else {
    auto it = table.find(languageId);
    if (it != table.end()) messages = &it->second;
  }
  if (messages == nullptr) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return false;
  }
  auto m = messages->find(id);
  if (m == messages->end()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  out = expandMessage(m->second, inserts);
  return true;
}

std::u16string missingDescriptionText(DWORD eventId, const std::u16string& source,
                                      const std::vector<std::u16string>& strings,
                                      WORD languageId) {
  std::u16string out;
  const std::string id = std::to_string(eventId);
  if (languageId == kGerman) {
    out += u"Die Beschreibung f\u00fcr Ereignis-ID ";
    appendAscii(out, id);
    out += u" aus Quelle ";
    out += source;
    out += u" wurde nicht gefunden. Entweder ist die Komponente, die dieses Ereignis "
           u"ausl\u00f6st, nicht auf dem lokalen Computer installiert, oder die Installation "
           u"ist besch\u00e4digt. Sie k\u00f6nnen die Komponente auf dem lokalen Computer "
           u"installieren oder reparieren.\r\n\r\n"
           u"Falls das Ereignis auf einem anderen Computer aufgetreten ist, mussten die "
           u"Anzeigeinformationen mit dem Ereignis gespeichert werden.\r\n\r\n"
           u"Die folgenden Informationen wurden mit dem Ereignis gespeichert: \r\n\r\n";
  } else {
    out += u"The description for Event ID ";
    appendAscii(out, id);
    out += u" from source ";
    out += source;
    out += u" cannot be found. Either the component that raises this event is not installed "
           u"on your local computer or the installation is corrupted. You can install or "
           u"repair the component on the local computer.\r\n\r\n"
           u"If the event originated on another computer, the display information had to be "
           u"saved with the event.\r\n\r\n"
           u"The following information was included with the event: \r\n\r\n";
  }
  for (const std::u16string& s : strings) {
    out += s;
    out += u"\r\n";
  }
  return out;
}

}  // namespace tw_platform
