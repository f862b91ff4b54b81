// tarnwick-eventlog: lists the events of the event log, oldest first, with
// their message text formatted through the message file registered for each
// source, as an event viewer does. Events are read and printed a few hundred
// at a time, so memory does not grow with the log.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "platform/message_table.h"
#include "winsupport/CRegistry.h"
#include "winsupport/SystemErrorText.h"

namespace {

const char* const kUsage =
    "Usage: tarnwick-eventlog [--source NAME] [--id EVENTID] [--last N] [--lang en|de]\n"
    "                         [--json]\n"
    "\n"
    "Lists the events of the event log, oldest first, with their message texts\n"
    "and the uid of the user who wrote each (N/A where the log did not keep it).\n"
    "A message text comes from the message file registered for the event's\n"
    "source (EventMessageFile under\n"
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\<log>\\<source>);\n"
    "for a source without one the event's insertion strings are listed instead.\n"
    "\n"
    "  --source NAME   only events of this source (case does not matter)\n"
    "  --id EVENTID    only events with this event ID\n"
    "  --last N        only the newest N of those events (still oldest first)\n"
    "  --lang en|de    language of the message texts (default en)\n"
    "  --json          one JSON object per line:\n"
    "                  {\"record\":N,\"time\":\"...\",\"source\":\"...\",\"category\":C,\n"
    "                   \"event_id\":E,\"type\":\"information|warning|error|audit_success|\n"
    "                   audit_failure\",\"uid\":U,\"strings\":[...],\"message\":\"...\"}\n"
    "                  The message keeps its inner line breaks (CR LF) and loses the\n"
    "                  one that ends every text; uid is null where it is not known.\n"
    "  --help          shows this text\n"
    "\n"
    "Stored strings (the source and the insertion strings) longer than 65536\n"
    "characters are shown cut, ending in \"[...]\". In the text form their control\n"
    "characters other than tab are shown escaped (\\n, \\r, \\xHH, \\u00HH for\n"
    "U+0080 to U+009F), so that no stored text can move the terminal or fake\n"
    "an event; the line breaks and tabs of the message texts themselves stay.\n"
    "\n"
    "The event log is $TARNWICK_ROOT/eventlog.db, or /var/log/tarnwick/eventlog.db.\n"
    "Exit codes: 0 listed, 1 the event log cannot be read, 2 bad command line.\n";

constexpr WORD kEnglish = 0x409;
constexpr WORD kGerman = 0x407;
const char* const kEventlogKey = "SYSTEM\\CurrentControlSet\\Services\\Eventlog";
// Longest stored string printed whole, in UTF-16 units.
constexpr size_t kMaxShownChars = 65536;
// Event logs searched for a source's registration, as the logger searches them.
constexpr uint32_t kMaxEventLogs = 32;
constexpr DWORD kMaxPathValue = 4096;

struct Options {
  tw_platform::EventLogQuery query;
  WORD language = kEnglish;
  bool json = false;
};

// What the registration of one source gives the viewer.
struct SourceFiles {
  std::vector<std::u16string> messageFiles;
  std::vector<std::u16string> categoryFiles;
};

std::vector<std::u16string> splitPaths(const std::string& value) {
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(';', start);
    if (end == std::string::npos) end = value.size();
    if (end > start) out.push_back(tw_platform::utf8ToUtf16(value.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

class Formatter {
 public:
  explicit Formatter(WORD language) : language_(language) {}

  std::u16string message(const tw_platform::EventLogRecord& e) {
    std::u16string text;
    if (format(files(e.source).messageFiles, e.eventId, e.strings, text)) return text;
    return tw_platform::missingDescriptionText(e.eventId, e.source, e.strings, language_);
  }

  // The category's name, "(n)" when it has none, "None" for category 0.
  std::u16string category(const tw_platform::EventLogRecord& e) {
    if (e.category == 0) return u"None";
    std::u16string text;
    if (format(files(e.source).categoryFiles, e.category, {}, text)) {
      while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
      return text;
    }
    return tw_platform::utf8ToUtf16("(" + std::to_string(e.category) + ")");
  }

 private:
  // The registration of source under the first event log that has it.
  const SourceFiles& files(const std::u16string& source) {
    auto it = sources_.find(source);
    if (it != sources_.end()) return it->second;
    SourceFiles& found = sources_[source];
    std::unique_ptr<CRegistry> registry(new CRegistry(HKEY_LOCAL_MACHINE));
    const std::string name = tw_platform::utf16ToUtf8(source);
    for (const std::string& log : registry->enumerateSubkeys(kEventlogKey, kMaxEventLogs, 0)) {
      const std::string key = std::string(kEventlogKey) + "\\" + log + "\\" + name;
      if (!registry->keyExists(key.c_str())) continue;
      std::vector<char> value(kMaxPathValue, '\0');
      if (registry->readString(key.c_str(), "EventMessageFile", value.data(),
                               static_cast<DWORD>(value.size() - 1), 0)) {
        found.messageFiles = splitPaths(value.data());
      }
      std::fill(value.begin(), value.end(), '\0');
      if (registry->readString(key.c_str(), "CategoryMessageFile", value.data(),
                               static_cast<DWORD>(value.size() - 1), 0)) {
        found.categoryFiles = splitPaths(value.data());
      }
      break;
    }
    return found;
  }

  const tw_platform::MessageTable* table(const std::u16string& path) {
    auto it = tables_.find(path);
    if (it == tables_.end()) {
      tw_platform::MessageTable t;
      const bool ok = tw_platform::loadModuleMessageTable(path, t);
      it = tables_.emplace(path, ok ? std::optional(std::move(t)) : std::nullopt).first;
    }
    return it->second ? &*it->second : nullptr;
  }

  // The message in the chosen language, else in English or whatever the
  // file has, from the first file that has the ID.
  bool format(const std::vector<std::u16string>& paths, DWORD id,
              const std::vector<std::u16string>& inserts, std::u16string& out) {
    for (const std::u16string& path : paths) {
      const tw_platform::MessageTable* t = table(path);
      if (t == nullptr) continue;
      if (tw_platform::formatTableMessage(*t, id, language_, inserts, out)) return true;
      if (tw_platform::formatTableMessage(*t, id, 0, inserts, out)) return true;
    }
    return false;
  }

  WORD language_;
  std::map<std::u16string, SourceFiles> sources_;
  std::map<std::u16string, std::optional<tw_platform::MessageTable>> tables_;
};

std::string isoTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char buf[32] = "";
  if (gmtime_r(&t, &utc) != nullptr) std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

const char* typeKey(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_AUDIT_SUCCESS: return "audit_success";
    case EVENTLOG_AUDIT_FAILURE: return "audit_failure";
    default: return "information";
  }
}

const char* typeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
    default: return "Information";
  }
}

std::string withoutFinalLineBreak(std::string s) {
  if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) s.resize(s.size() - 2);
  return s;
}

// CR LF becomes LF for the terminal; the text ends with exactly one LF.
std::string forTerminal(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  if (out.empty() || out.back() != '\n') out += '\n';
  return out;
}

// A stored string as printed: cut at kMaxShownChars (never inside a
// surrogate pair); in the text form also with its control characters but
// tab escaped.
std::u16string shown(const std::u16string& s, bool text) {
  size_t keep = std::min(s.size(), kMaxShownChars);
  if (keep < s.size() && keep > 0 && s[keep - 1] >= 0xD800 && s[keep - 1] < 0xDC00) --keep;
  std::u16string out;
  for (size_t i = 0; i < keep; ++i) {
    const char16_t c = s[i];
    if (!text || c == u'\t' || (c >= 0x20 && c < 0x7F) || c > 0x9F) {
      out += c;
    } else if (c == u'\n' || c == u'\r') {
      out += c == u'\n' ? u"\\n" : u"\\r";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, c < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
      out += tw_platform::utf8ToUtf16(buf);
    }
  }
  if (keep < s.size()) out += u"[...]";
  return out;
}

// Bounds every stored string of e as it will be printed, before its message
// is formatted. The program widens its narrow texts byte by byte; they are
// shown as they were.
void prepare(tw_platform::EventLogRecord& e, bool text) {
  e.source = shown(tw_platform::fromWidenedBytes(e.source), text);
  for (std::u16string& s : e.strings) s = shown(tw_platform::fromWidenedBytes(s), text);
}

// A decimal number up to max, or nothing.
std::optional<uint64_t> number(const std::string& v, uint64_t max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
  if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0 || n > max) return std::nullopt;
  return n;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "tarnwick-eventlog: %s\nTry 'tarnwick-eventlog --help'.\n",
               message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--json") {
      opt.json = true;
    } else if (arg == "--lang") {
      if (!value(v)) return usageError("--lang needs a value");
      if (v == "en") {
        opt.language = kEnglish;
      } else if (v == "de") {
        opt.language = kGerman;
      } else {
        return usageError("unknown language \"" + v + "\" (en or de)");
      }
    } else if (arg == "--source") {
      if (!value(v) || v.empty()) return usageError("--source needs a name");
      opt.query.source = tw_platform::utf8ToUtf16(v);
    } else if (arg == "--id") {
      if (!value(v)) return usageError("--id needs an event ID");
      const std::optional<uint64_t> id = number(v, 0xFFFFFFFFULL);
      if (!id) return usageError("bad event ID \"" + v + "\"");
      opt.query.eventId = static_cast<DWORD>(*id);
    } else if (arg == "--last") {
      if (!value(v)) return usageError("--last needs a number of events");
      opt.query.last = number(v, UINT64_MAX).value_or(0);
      if (opt.query.last == 0) return usageError("bad number of events \"" + v + "\"");
    } else {
      return usageError("unknown argument \"" + arg + "\"");
    }
  }

  Formatter formatter(opt.language);
  const auto print = [&](const tw_platform::EventLogRecord& stored) {
    tw_platform::EventLogRecord e = stored;
    prepare(e, !opt.json);
    const std::string message = tw_platform::utf16ToUtf8(formatter.message(e));
    if (opt.json) {
      nlohmann::ordered_json j;
      j["record"] = e.record;
      j["time"] = isoTime(e.time);
      j["source"] = tw_platform::utf16ToUtf8(e.source);
      j["category"] = e.category;
      j["event_id"] = e.eventId;
      j["type"] = typeKey(e.type);
      j["uid"] = e.uid < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(e.uid);
      j["strings"] = nlohmann::ordered_json::array();
      for (const std::u16string& s : e.strings) j["strings"].push_back(tw_platform::utf16ToUtf8(s));
      j["message"] = withoutFinalLineBreak(message);
      const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      std::printf("%s\n", line.c_str());
    } else {
      const std::string user = e.uid < 0 ? "N/A" : std::to_string(e.uid);
      std::printf("Record:   %u\nTime:     %s\nSource:   %s\nCategory: %s\nEvent ID: %u\n"
                  "Type:     %s\nUser:     %s\n%s\n",
                  e.record, isoTime(e.time).c_str(), tw_platform::utf16ToUtf8(e.source).c_str(),
                  tw_platform::utf16ToUtf8(formatter.category(e)).c_str(), e.eventId,
                  typeName(e.type), user.c_str(),
                  forTerminal(message).c_str());
    }
  };
  if (!tw_platform::forEachEvent(opt.query, print)) {
    const DWORD err = GetLastError();
    std::fflush(stdout);
    std::fprintf(stderr, "tarnwick-eventlog: cannot read the event log %s: %s\n",
                 tw_platform::eventLogPath().c_str(),
                 velmora::windows_specific::systemErrorText(err).c_str());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
