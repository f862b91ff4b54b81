// The event log: each reported event goes to syslog, then into an
// append-only store that its owner (and the group it gives write rights)
// may write and every user may read.
//
// The store is the SQLite file eventlog.db in $TARNWICK_ROOT when that names
// a directory, else /var/log/tarnwick/eventlog.db; a missing one is created
// 0644 (a missing folder 0755), one found is used as it is. Records are
// numbered from 1 without gaps, also when many processes write at once; each
// keeps the uid of its writer, and the store keeps the newest 100,000. The
// mirror sends one datagram per event to the unix socket named by
// TARNWICK_SYSLOG_SOCKET (default /dev/log), with the English message text
// taken from the message table of the reporting executable; it is best effort
// and never fails a call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32types.h"

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

#define ERROR_EVENTLOG_FILE_CORRUPT 1500L
#define ERROR_LOG_FILE_FULL 1502L

typedef void* PSID;

// Opens a handle for reporting events of the named source on the local
// computer (serverName must be null or empty: 50 otherwise). The store is
// not touched.
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);

// Sends one event to syslog, then appends it to the store (created when
// missing). numStrings strings (at most 256, each at most 31,839 characters)
// and dataSize bytes of raw data go with it; the user SID is not recorded,
// the writer's effective uid is. Fails when the event cannot be stored: 6 for
// a handle that is not an event source, 87 for bad arguments (nothing sent
// then), 5 when the store may not be written, 1502 when it is damaged or
// other writers hold it past a wait of 5 s (the syslog line has gone out).
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

// Closes a handle of RegisterEventSourceW.
BOOL DeregisterEventSource(HANDLE eventLog);

namespace tw_platform {

// One stored event, as the viewer reads it back.
struct EventLogRecord {
  DWORD record = 0;
  int64_t time = 0;  // seconds since 1970-01-01 UTC
  std::u16string source;
  WORD category = 0;
  DWORD eventId = 0;
  WORD type = 0;
  std::vector<std::u16string> strings;
  std::vector<BYTE> data;
  int64_t uid = -1;  // the writer's uid; -1 where the store did not keep it
};

// Which events a reader wants.
struct EventLogQuery {
  std::u16string source{};  // "" for every source; else compared without case
  std::optional<DWORD> eventId{};
  uint64_t last = 0;  // only the newest this many (0: all)
};

// Path of the store file (UTF-8).
std::string eventLogPath();

// Calls each with the stored events the query selects, in record order,
// oldest first; events stored after the call began are left out. Reads a few
// hundred events at a time and holds no lock on the store while each runs.
// A missing store holds no events. False with the last error when the store
// cannot be read (events already passed to each stay passed).
bool forEachEvent(const EventLogQuery& query,
                  const std::function<void(const EventLogRecord&)>& each);

}  // namespace tw_platform
