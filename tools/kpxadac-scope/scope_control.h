// What the web server asks of the scope behind it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace scope {

class ScopeControl {
 public:
  virtual ~ScopeControl() = default;
  // The boards, the settings and their choices, for a page that starts.
  virtual nlohmann::json state() = 0;
  // Applies a change from the page; "" and the settings now in force in
  // `settings`, or what is wrong.
  virtual std::string changeSettings(const nlohmann::json& change, nlohmann::json& settings) = 0;
};

}  // namespace scope
