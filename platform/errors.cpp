// Last error, errno mapping and the system message table.
#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/detail.h"

namespace {

thread_local DWORD g_lastError = 0;

struct SystemMessage {
  DWORD code;
  const char* text;
};

// English system texts for every code the program and its platform layer can
// produce, including the Winsock codes and errno values passed in as codes.
// Each ends in the line break the system message file carries.
const SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {7, "The storage control blocks were destroyed.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {9, "The storage control block address is invalid.\r\n"},
    {10, "The environment is incorrect.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {12, "The access code is invalid.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {16, "The directory cannot be removed.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {20, "The system cannot find the device specified.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {25, "The drive cannot locate a specific area or track on the disk.\r\n"},
    {26, "The specified disk or diskette cannot be accessed.\r\n"},
    {27, "The drive cannot find the sector requested.\r\n"},
    {28, "The printer is out of paper.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file.\r\n"},
    {36, "Too many files opened for sharing.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for "
          "%2.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no "
           "longer valid.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015, "The registry is corrupted. The structure of one of the files containing registry "
           "data is corrupted, or the system's memory image of the file is corrupted, or the "
           "file could not be recovered because the alternate copy or log was absent or "
           "corrupted.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for "
           "deletion.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1168, "Element not found.\r\n"},
    {1208, "An extended error has occurred.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {1921, "The name of the file cannot be resolved by the system.\r\n"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, "The file handle supplied is not valid.\r\n"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access "
            "permissions.\r\n"},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer "
            "argument in a call.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10024, "Too many open sockets.\r\n"},
    {10035, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, "A blocking operation is currently executing.\r\n"},
    {10037, "An operation was attempted on a non-blocking socket that already had an "
            "operation in progress.\r\n"},
    {10038, "An operation was attempted on something that is not a socket.\r\n"},
    {10039, "A required address was omitted from an operation on a socket.\r\n"},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer "
            "or some other network limit, or the buffer used to receive a datagram into was "
            "smaller than the datagram itself.\r\n"},
    {10041, "A protocol was specified in the socket function call that does not support the "
            "semantics of the socket type requested.\r\n"},
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt "
            "or setsockopt call.\r\n"},
    {10043, "The requested protocol has not been configured into the system, or no "
            "implementation for it exists.\r\n"},
    {10044, "The support for the specified socket type does not exist in this address "
            "family.\r\n"},
    {10045, "The attempted operation is not supported for the type of object referenced.\r\n"},
    {10046, "The protocol family has not been configured into the system or no implementation "
            "for it exists.\r\n"},
    {10047, "An address incompatible with the requested protocol was used.\r\n"},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally "
            "permitted.\r\n"},
    {10049, "The requested address is not valid in its context.\r\n"},
    {10050, "A socket operation encountered a dead network.\r\n"},
    {10051, "A socket operation was attempted to an unreachable network.\r\n"},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure "
            "while the operation was in progress.\r\n"},
    {10053, "An established connection was aborted by the software in your host machine.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, "An operation on a socket could not be performed because the system lacked "
            "sufficient buffer space or because a queue was full.\r\n"},
    {10056, "A connect request was made on an already connected socket.\r\n"},
    {10057, "A request to send or receive data was disallowed because the socket is not "
            "connected and (when sending on a datagram socket using a sendto call) no address "
            "was supplied.\r\n"},
    {10058, "A request to send or receive data was disallowed because the socket had already "
            "been shut down in that direction with a previous shutdown call.\r\n"},
    {10059, "Too many references to some kernel object.\r\n"},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
    {10062, "Cannot translate name.\r\n"},
    {10063, "Name component or name was too long.\r\n"},
    {10064, "A socket operation failed because the destination host was down.\r\n"},
    {10065, "A socket operation was attempted to an unreachable host.\r\n"},
    {10066, "Cannot remove a directory that is not empty.\r\n"},
    {10068, "Ran out of quota.\r\n"},
    {10069, "Ran out of disk quota.\r\n"},
    {10070, "File handle reference is no longer available.\r\n"},
    {10071, "Item is not available locally.\r\n"},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to "
            "provide network services is currently unavailable.\r\n"},
    {10092, "The Windows Sockets version requested is not supported.\r\n"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {10107, "A system call that should never fail has failed.\r\n"},
    {10109, "The specified class was not found.\r\n"},
    {11001, "No such host is known.\r\n"},
    {11002, "This is usually a temporary error during hostname resolution and means that the "
            "local server did not receive a response from an authoritative server.\r\n"},
    {11003, "A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, "The requested name is valid, but no data of the requested type was found.\r\n"},
    // Security package statuses (the HRESULTs of the Negotiate package).
    {0x80090300, "Not enough memory is available to complete this request\r\n"},
    {0x80090301, "The handle specified is invalid\r\n"},
    {0x80090302, "The function requested is not supported\r\n"},
    {0x80090303, "The specified target is unknown or unreachable\r\n"},
    {0x80090304, "The Local Security Authority cannot be contacted\r\n"},
    {0x80090305, "The requested security package does not exist\r\n"},
    {0x80090308, "The token supplied to the function is invalid\r\n"},
    {0x8009030C, "The logon attempt failed\r\n"},
    {0x8009030D, "The credentials supplied to the package were not recognized\r\n"},
    {0x8009030E, "No credentials are available in the security package\r\n"},
    {0x80090311, "No authority could be contacted for authentication.\r\n"},
};

bool languageAccepted(DWORD lang) {
  // Neutral, user default, system default and US English all give English.
  return lang == 0 || lang == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
         lang == MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT) || lang == 0x0409;
}

// Applies the line-width rules to a message text. Width 0 keeps the text as
// it is; the maximum width (0xFF) turns every line break into one blank; any
// other width re-flows the text into lines of at most that many characters.
std::string applyWidth(const std::string& text, DWORD width) {
  if (width == 0) return text;
  std::string flat;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      flat += ' ';
      ++i;
    } else if (text[i] == '\n' || text[i] == '\r') {
      flat += ' ';
    } else {
      flat += text[i];
    }
  }
  if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK) return flat;
  std::string out;
  size_t lineStart = 0;
  while (flat.size() - lineStart > width) {
    size_t cut = flat.rfind(' ', lineStart + width);
    if (cut == std::string::npos || cut <= lineStart) cut = lineStart + width;
    out.append(flat, lineStart, cut - lineStart);
    out += "\r\n";
    lineStart = cut;
    while (lineStart < flat.size() && flat[lineStart] == ' ') ++lineStart;
  }
  out.append(flat, lineStart, std::string::npos);
  return out;
}

// Builds the formatted text or returns false with the last error set.
bool formatSystem(DWORD flags, DWORD messageId, DWORD languageId, std::string& out) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE |
                FORMAT_MESSAGE_ALLOCATE_BUFFER)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!languageAccepted(languageId)) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return false;
  }
  const char* text = tw_platform::systemMessageText(messageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  std::string raw(text);
  if ((flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && raw.find('%') != std::string::npos) {
    // System texts with inserts need arguments this program never passes.
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  out = applyWidth(raw, flags & FORMAT_MESSAGE_MAX_WIDTH_MASK);
  return true;
}

}  // namespace

namespace tw_platform {

const char* systemMessageText(DWORD code) {
  for (const auto& m : kSystemMessages) {
    if (m.code == code) return m.text;
  }
  return nullptr;
}

DWORD win32FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EWOULDBLOCK:
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_IO_DEVICE;
  }
}

std::u16string fromWide(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace tw_platform

DWORD GetLastError() { return g_lastError; }

void SetLastError(DWORD code) { g_lastError = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list*) {
  std::string text;
  if (!formatSystem(flags, messageId, languageId, text)) return 0;
  if (buffer == nullptr || text.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list*) {
  std::string text;
  if (!formatSystem(flags, messageId, languageId, text)) return 0;
  if (buffer == nullptr || text.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // The system texts are ASCII, so each byte is one UTF-16 unit.
  for (size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<unsigned char>(text[i]);
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

DWORD WNetGetLastErrorA(LPDWORD error, LPSTR errorBuf, DWORD errorBufSize, LPSTR nameBuf,
                        DWORD nameBufSize) {
  if (error) *error = 0;
  if (errorBuf && errorBufSize > 0) errorBuf[0] = 0;
  if (nameBuf && nameBufSize > 0) nameBuf[0] = 0;
  return NO_ERROR;
}
