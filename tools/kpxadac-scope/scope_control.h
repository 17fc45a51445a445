// What the web server asks of the scope behind it.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "kpxadac16.h"

namespace scope {

class ScopeControl {
 public:
  virtual ~ScopeControl() = default;
  // The boards, the settings and their choices, for a page that starts.
  virtual nlohmann::json state() = 0;
  // Applies a change from the page; "" and the settings now in force in
  // `settings`, or what is wrong.
  virtual std::string changeSettings(const nlohmann::json& change, nlohmann::json& settings) = 0;
  // Runs `job` with the ADC board the view shows (its index among the ADC
  // boards, its handle) while the view's acquisition is closed, and starts
  // the acquisition again afterwards. False, and `job` not run, when the
  // scope is stopping.
  virtual bool withBoardReleased(const std::function<void(unsigned, BoardHandle)>& job) = 0;
};

}  // namespace scope
