// One layer's named Config settings: each name with its query answer and its
// set action. Every layer keeps one table and passes unknown names down.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "httpclient/transport/ConfigText.h"

namespace velmora::network::component {

struct Setting {
  std::vector<const char*> names;                     // aliases, compared without case
  std::function<std::string()> query;                 // empty: cannot be queried
  std::function<int(const std::string& value)> set;   // empty: read-only
};

class SettingTable {
 public:
  void add(Setting s) { settings_.push_back(std::move(s)); }

  // Plain stored settings.
  void addBool(const char* name, bool& field);
  void addInt32(const char* name, int32_t& field);
  void addInt64(const char* name, int64_t& field);
  void addText(const char* name, std::string& field);
  // Settings read through a getter and set through an operation of the layer.
  void addBool(const char* name, std::function<bool()> get, std::function<int(bool)> set);
  void addInt32(const char* name, std::function<int32_t()> get, std::function<int(int32_t)> set);
  // A setting that is only answered.
  void addQuery(const char* name, std::function<std::string()> query);

  // Handles the request when one of the names matches: true, with the code,
  // the answer (for a query; the empty text after a set) and, for a set of a
  // read-only setting, the error text.
  bool handle(const ConfigRequest& req, std::string& answer, int& code,
              std::string& errorText) const;

 private:
  std::vector<Setting> settings_;
};

}  // namespace velmora::network::component
