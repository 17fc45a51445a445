// The response view where the scope is built without the response library.
#include "response_runner.h"

namespace scope {
namespace {

constexpr const char* kReason =
    "this kpxadac-scope was built without the response library (libkpxadac_response), "
    "so it cannot measure a frequency response";

class NoRunner final : public ResponseRunner {
 public:
  nlohmann::json state() override { return {{"available", false}, {"reason", kReason}}; }
  ResponseAnswer start(const nlohmann::json&) override { return {501, kReason}; }
  ResponseAnswer cancel() override { return {501, kReason}; }
  ResponseAnswer csv() override { return {501, kReason}; }
  ResponseAnswer json() override { return {501, kReason}; }
  void shutdown() override {}
};

}  // namespace

std::unique_ptr<ResponseRunner> makeResponseRunner(ScopeControl&, FrameHub&) {
  return std::make_unique<NoRunner>();
}

}  // namespace scope
