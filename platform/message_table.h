// Message tables: the event texts an executable carries, by message ID and
// language, and their formatting with insertion strings.
//
// The build adds a table to an executable as the non-loaded section
// kMessageSection (platform/resources.h). Its layout:
//   u32 magic "TWMT", u32 language count, then per language
//   { u32 language ID, u32 offset, u32 size } of one message resource block
//   in the Windows layout: u32 block count, blocks { u32 low ID, u32 high ID,
//   u32 offset to entries }, entries { u16 length, u16 flags (1 = UTF-16),
//   zero-terminated text padded to 4 bytes }.
// All numbers are little-endian; offsets count from the start of the section.
//
// Formatting works like FormatMessage with FORMAT_MESSAGE_FROM_HMODULE and an
// argument array of strings; the module is named by its file path, since the
// tools format events of programs they have not loaded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win32types.h"

namespace tw_platform {

// language ID -> message ID -> text (the stored text, escapes not expanded).
using MessageTable = std::map<WORD, std::map<DWORD, std::u16string>>;

std::vector<BYTE> serializeMessageTable(const MessageTable& table);

// Reads a serialised table. Returns false (last error 13) for data that does
// not have the layout above; nothing beyond the data is ever read.
bool parseMessageTable(const std::vector<BYTE>& data, MessageTable& table);

// Reads the message table of the module file at path. False with the last
// error set: the file's open error, 1812 for a file that is no executable,
// 1813 for one without a table, 13 for a damaged table.
bool loadModuleMessageTable(const std::u16string& path, MessageTable& table);

// Expands the escapes of a message text: %1..%99 insertion string (an
// optional "!format!" after the number is skipped; a string that was not
// supplied leaves the escape as it is), %n CR LF, %t tab, %r CR, %0 ends the
// text without its line break, %% %. %! and "% " the character itself.
std::u16string expandMessage(const std::u16string& text, const std::vector<std::u16string>& inserts);

// Looks up message id in the given language and expands it. Language 0 takes
// US English, then any language the table has. False with the last error:
// 317 when the ID is missing, 1815 when the language is.
bool formatTableMessage(const MessageTable& table, DWORD id, WORD languageId,
                        const std::vector<std::u16string>& inserts, std::u16string& out);

// The text an event viewer shows for an event whose source has no usable
// message file: the "description cannot be found" form followed by the
// insertion strings, one per line. English, or German for language 0x407.
std::u16string missingDescriptionText(DWORD eventId, const std::u16string& source,
                                      const std::vector<std::u16string>& strings,
                                      WORD languageId);

}  // namespace tw_platform
