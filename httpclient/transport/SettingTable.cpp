#include "httpclient/transport/SettingTable.h"

#include "httpclient/transport/ComponentErrors.h"
#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

void SettingTable::addBool(const char* name, bool& field) {
  add({{name}, [&field] { return std::string(configBoolText(field)); },
       [&field](const std::string& v) {
         field = configBool(v);
         return kOk;
       }});
}

void SettingTable::addInt32(const char* name, int32_t& field) {
  add({{name}, [&field] { return std::to_string(field); },
       [&field](const std::string& v) {
         field = configInt32(v);
         return kOk;
       }});
}

void SettingTable::addInt64(const char* name, int64_t& field) {
  add({{name}, [&field] { return std::to_string(field); },
       [&field](const std::string& v) {
         field = configInt64(v);
         return kOk;
       }});
}

void SettingTable::addText(const char* name, std::string& field) {
  add({{name}, [&field] { return field; },
       [&field](const std::string& v) {
         field = v;
         return kOk;
       }});
}

void SettingTable::addBool(const char* name, std::function<bool()> get,
                           std::function<int(bool)> set) {
  add({{name}, [get] { return std::string(configBoolText(get())); },
       [set](const std::string& v) { return set(configBool(v)); }});
}

void SettingTable::addInt32(const char* name, std::function<int32_t()> get,
                            std::function<int(int32_t)> set) {
  add({{name}, [get] { return std::to_string(get()); },
       [set](const std::string& v) { return set(configInt32(v)); }});
}

void SettingTable::addQuery(const char* name, std::function<std::string()> query) {
  add({{name}, std::move(query), {}});
}

bool SettingTable::handle(const ConfigRequest& req, std::string& answer, int& code,
                          std::string& errorText) const {
  for (const Setting& s : settings_) {
    bool match = false;
    for (const char* n : s.names) match = match || equalsNoCase(req.name, n);
    if (!match) continue;
    answer.clear();
    if (req.isQuery) {
      answer = s.query();
      code = kOk;
      return true;
    }
    if (!s.set) {
      code = kErrUnknown;
      errorText = kTextReadOnlySetting;
      return true;
    }
    code = s.set(req.value);
    return true;
  }
  return false;
}

}  // namespace velmora::network::component
