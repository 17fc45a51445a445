// The response view's measurements (docs/scope.md): one at a time, on a DAC
// board and the ADC board the view shows, whose acquisition pauses for it.
// Built on the response library where it is built (response_runner.cpp);
// without it every measurement is refused (response_runner_none.cpp).
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "frame_hub.h"
#include "scope_control.h"

namespace scope {

// An answer: the HTTP status and the text (JSON or CSV) or the reason.
struct ResponseAnswer {
  int status = 200;
  std::string text;
};

class ResponseRunner {
 public:
  // The longest a measurement may run before it is stopped.
  static constexpr int kMaxSeconds = 120;

  virtual ~ResponseRunner() = default;
  // For the page: whether measurements are possible, the DAC boards, the
  // defaults and limits, whether one runs, its progress and last error.
  virtual nlohmann::json state() = 0;
  // Starts a measurement asked by a POST body: 202, or 400 (a field, or the
  // library's refusal of the request), 409 (one runs), 501 (not built).
  virtual ResponseAnswer start(const nlohmann::json& body) = 0;
  // Asks the measurement that runs to stop; 200 either way, 501 (not built).
  virtual ResponseAnswer cancel() = 0;
  // The last result: CSV or JSON; 404 when there is none yet, 501 (not built).
  virtual ResponseAnswer csv() = 0;
  virtual ResponseAnswer json() = 0;
  // Stops a measurement that runs and waits for its end.
  virtual void shutdown() = 0;
};

// Progress and ends go to `hub` as "response" events.
std::unique_ptr<ResponseRunner> makeResponseRunner(ScopeControl& control, FrameHub& hub);

}  // namespace scope
