// The message table the executables must carry, English and German, exactly
// (the build adds CR LF to each), and the plain insertion of strings the
// event viewer shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw_test {

struct MessageText {
  uint32_t id;
  const char* english;
  const char* german;
};

inline const MessageText kMessageTexts[] = {
    {1, "Tarnwick", "Tarnwick"},
    {2, "Kestrelby", "Kestrelby"},
    {1000, "Unable to connect to \"%1\" due to error \"%2\" (%3).",
     "Eine Verbindung zu \"%1\" konnte wegen Fehler \"%2\" (%3) nicht aufgebaut werden."},
    {1001, "The checksum of URL \"%1\" was initialized to \"%2\".",
     "Die Pruefsumme der URL \"%1\" wurde auf \"%2\" initialisiert."},
    {1002, "The checksum of URL \"%1\" changed to \"%2\".",
     "Die Pruefsumme der URL \"%1\" aenderte sich auf \"%2\"."},
    {1003, "The checksum of URL \"%1\" did not change.",
     "Die Pruefsumme der URL \"%1\" hat sich nicht geaendert."},
    {1010, "Pattern \"%1\" was found in URL \"%2\".", "Suchmuster \"%1\" wurde in URL \"%2\" gefunden."},
    {1011, "Pattern \"%1\" was not found in URL \"%2\".",
     "Suchmuster \"%1\" wurde nicht in URL \"%2\" gefunden."},
    {1100, "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%n"},
    {1101, "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%nSQL Query:%t\"%3\"%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%nSQL Befehl:%t\"%3\"%n"},
    {1102, "Connection:%tERROR%nReason:%t%t%1%n", "Verbindung:%tFEHLER%nFehlerursache:%t%1%n"},
    {1103,
     "Connection:%tOK%nDatabase Type:%t%1%nTime Elapsed:%t%2%nSQL Query:%t\"%3\" -> "
     "ERROR%nFailure Reason:%t%4%n",
     "Verbindung:%tOK%nDatabase Typ:%t%1%nAbgelaufene Zeit:%t%2%nSQL Befehl:%t\"%3\" -> "
     "ERROR%nFehlerursache:%t%4%n"},
};

// Message id in English or German with %1 to %9 replaced by the strings
// (texts with other escapes are not for this).
inline std::string messageText(uint32_t id, bool german, const std::vector<std::string>& strings) {
  std::string out;
  for (const MessageText& m : kMessageTexts) {
    if (m.id != id) continue;
    for (const char* p = german ? m.german : m.english; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] >= '1' && p[1] <= '9' && size_t(p[1] - '1') < strings.size()) {
        out += strings[size_t(*++p - '1')];
      } else {
        out += *p;
      }
    }
  }
  return out;
}

}  // namespace tw_test
