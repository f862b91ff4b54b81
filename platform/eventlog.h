// The event log: sources report events into an append-only store that every
// user of the machine may write, and each event is mirrored to syslog.
//
// The store is the SQLite file eventlog.db in $TARNWICK_ROOT when that names
// a directory, else /var/log/tarnwick/eventlog.db. Records are numbered from 1
// without gaps, also when many processes write at once. The mirror sends one
// datagram per event to the unix socket named by TARNWICK_SYSLOG_SOCKET
// (default /dev/log), with the English message text taken from the message
// table of the reporting executable; it is best effort and never fails a call.
#pragma once

#include <cstdint>
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

typedef void* PSID;

// Opens a handle for reporting events of the named source on the local
// computer (serverName must be null or empty: 50 otherwise). The store is
// opened, and created when missing; null with the last error when it cannot
// be (5 when the user may not write it).
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);

// Appends one event. numStrings strings (at most 256, each at most 31,839
// characters) and dataSize bytes of raw data go with it; the user SID is not
// recorded. Fails only when the event cannot be stored: 6 for a handle that
// is not an event source, 87 for bad arguments, 5 when the store may not be
// written, 1460 when other writers hold it past the busy timeout.
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
};

// Path of the store file (UTF-8).
std::string eventLogPath();

// Reads the stored events in record order, oldest first. An empty source
// matches every source (otherwise compared without case, as source names are
// on Windows); eventId matches every ID when null. A missing store holds no
// events. False with the last error when the store cannot be read.
bool readEventLog(std::vector<EventLogRecord>& records, const std::u16string& source = u"",
                  const DWORD* eventId = nullptr);

}  // namespace tw_platform
