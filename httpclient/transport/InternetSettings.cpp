#include "httpclient/transport/InternetSettings.h"

#include "platform/registry.h"

namespace velmora::network::component {

bool systemProxyServer(std::string& value) {
  static constexpr const char* kKey = REGSTR_PATH_INTERNET_SETTINGS;
  value.clear();
  HKEY key = nullptr;
  LONG r = RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key);
  if (r == ERROR_FILE_NOT_FOUND) r = RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 256, KEY_READ, &key);
  if (r != ERROR_SUCCESS) return false;
  DWORD enable = 0;
  DWORD type = 0;
  DWORD size = sizeof(enable);
  r = RegQueryValueExA(key, "ProxyEnable", nullptr, &type, reinterpret_cast<LPBYTE>(&enable),
                       &size);
  if (r != ERROR_SUCCESS || enable == 0) {
    RegCloseKey(key);
    return false;
  }
  char text[400] = {0};
  size = sizeof(text) - 1;
  r = RegQueryValueExA(key, "ProxyServer", nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) return false;
  text[size < sizeof(text) ? size : sizeof(text) - 1] = 0;
  value = text;
  return true;
}

}  // namespace velmora::network::component
