// Result codes of the HTTP client component and their fixed texts. Every
// operation returns one of these (0 = success) and leaves a text with it.
#pragma once

namespace velmora::network::component {

constexpr int kOk = 0;
constexpr int kErrUnknown = -1;          // unknown property, method or setting
constexpr int kErrNotBuilt = 50;         // the part of the component that would do it is missing
constexpr int kErrGzipHeader = 102;
constexpr int kErrBusy = 143;
constexpr int kErrProtocol = 151;
constexpr int kErrNoServer = 152;
constexpr int kErrBadScheme = 153;
constexpr int kErrOutOfMemory = 200;
constexpr int kErrIndexCheck = 280;      // CheckIndex: index out of range (no text)
constexpr int kErrTimeout = 301;         // time limit passed or Interrupt called
constexpr int kErrLocalFile = 302;
constexpr int kErrTooManyRedirects = 310;
constexpr int kErrBadIndex = 432;

inline constexpr const char* kTextUnknownConfig = "Unknown config setting.";
inline constexpr const char* kTextBusy = "Busy performing current action.";
inline constexpr const char* kTextOutOfMemory = "Out of memory.";
inline constexpr const char* kTextTimeout = "Timeout.";
inline constexpr const char* kTextInterrupted = "Interrupted.";
inline constexpr const char* kTextNoServer = "No server specified in URL";
inline constexpr const char* kTextTooManyRedirects = "There were too many redirects.";
inline constexpr const char* kTextBadCookieIndex = "Invalid cookie index (out of range).";
// Our own texts for cases the component's tables leave without one.
inline constexpr const char* kTextBadHeaderIndex = "Invalid header index (out of range).";
inline constexpr const char* kTextReadOnlyProperty = "The property is read-only.";
inline constexpr const char* kTextReadOnlySetting = "The config setting is read-only.";

// The text of an operation that needs a part of the component that is not
// built yet: "<part> is not built yet: <operation> is not available."
inline constexpr const char* kPartSocketEngine = "The socket engine";
inline constexpr const char* kPartRequests = "URL parsing and request composition";
inline constexpr const char* kPartTunnels = "Proxy and firewall tunnelling";
inline constexpr const char* kPartTls = "The TLS channel";
inline constexpr const char* kPartCertificates = "Server certificate verification";
inline constexpr const char* kPartInternetLibrary = "The Internet-library transfer path";

}  // namespace velmora::network::component
