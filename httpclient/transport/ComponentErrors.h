// Result codes of the HTTP client component and their fixed texts. Every
// operation returns one of these (0 = success) and leaves a text with it.
#pragma once

namespace velmora::network::component {

constexpr int kOk = 0;
constexpr int kErrUnknown = -1;          // unknown property, method or setting
constexpr int kErrLocalFileWrite = 7;    // a LocalFile write failed (Error event only)
constexpr int kErrRemotePortBusy = 100;  // RemotePort set while a socket exists
constexpr int kErrRemoteHostBusy = 101;  // RemoteHost set while a socket exists
constexpr int kErrZeroAddress = 102;     // connect with the target address 0.0.0.0
constexpr int kErrGzipHeader = 102;
constexpr int kErrAlreadyConnected = 104;
constexpr int kErrMaxLineLengthBusy = 112;  // MaxLineLength set while a socket exists
constexpr int kErrZeroPort = 116;        // connect with the target port 0
constexpr int kErrTunnelFailed = 118;    // the tunnel negotiation failed
constexpr int kErrBusy = 143;
constexpr int kErrProtocol = 151;
constexpr int kErrNoServer = 152;
constexpr int kErrBadScheme = 153;
constexpr int kErrOutOfMemory = 200;
constexpr int kErrNoPackage = 270;     // the security package table is missing
constexpr int kErrIndexCheck = 280;      // CheckIndex: index out of range (no text)
constexpr int kErrTimeout = 301;         // time limit passed or Interrupt called
constexpr int kErrLocalFile = 302;
constexpr int kErrTooManyRedirects = 310;
constexpr int kErrBadIndex = 432;

inline constexpr const char* kTextAlreadyConnected =
    "Already connected. If you want to reconnect, close the current connection first.";
inline constexpr const char* kTextMaxLineLengthBusy =
    "You cannot change MaxLineLength at this time. A connection is in progress.";
inline constexpr const char* kTextUnknownConfig = "Unknown config setting.";
inline constexpr const char* kTextBusy = "Busy performing current action.";
inline constexpr const char* kTextOutOfMemory = "Out of memory.";
inline constexpr const char* kTextTimeout = "Timeout.";
inline constexpr const char* kTextInterrupted = "Interrupted.";
inline constexpr const char* kTextNoServer = "No server specified in URL";
inline constexpr const char* kTextNoPackage = "The security library could not be loaded";
inline constexpr const char* kTextTooManyRedirects = "There were too many redirects.";
inline constexpr const char* kTextBadCookieIndex = "Invalid cookie index (out of range).";
// Our own texts for cases the component's tables leave without one.
inline constexpr const char* kTextBadHeaderIndex = "Invalid header index (out of range).";
inline constexpr const char* kTextReadOnlyProperty = "The property is read-only.";
inline constexpr const char* kTextReadOnlySetting = "The config setting is read-only.";

}  // namespace velmora::network::component
