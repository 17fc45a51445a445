// The scope's work: one acquisition on the board the page chose, a thread
// that turns the latest samples into spectrum frames (at most a set number
// per second, only while a browser watches), and a thread that publishes the
// stream's status four times a second and at once after an overrun.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition.h"
#include "frame_hub.h"
#include "scope_control.h"
#include "view_settings.h"

namespace scope {

struct EngineConfig {
  int32_t setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  std::optional<double> sampleRateHz;  // instead of the rate of the clock in use
  double maxSpectraPerSecond = 30;
  // A group (--index N,M,...): the boards' positions in the engine's board
  // list, shown together; empty: one board, as the page chooses.
  std::vector<unsigned> group;
  GroupAlign align;
};

class ScopeEngine final : public ScopeControl {
 public:
  static constexpr size_t kWaveformSamples = 1024;
  static constexpr size_t kPretriggerSamples = 128;
  static constexpr int kTriggerHysteresisLsb = 64;
  // Auto mode: a free-running waveform after this long without a trigger.
  static constexpr int32_t kAutoTriggerMs = 100;
  static constexpr size_t kSpectrumPoints = 4096;

  ScopeEngine(std::vector<BoardInfo> boards, const ViewSettings& initial,
              const EngineConfig& config, FrameHub& hub);
  ~ScopeEngine() override;

  void start();
  void stop();  // joins the threads and closes the stream; idempotent

  nlohmann::json state() override;
  std::string changeSettings(const nlohmann::json& change, nlohmann::json& settings) override;
  // The analysis thread closes the acquisition, runs nothing until `job`
  // returns, then opens the board again.
  bool withBoardReleased(const std::function<void(unsigned, BoardHandle)>& job) override;

  struct Totals {
    uint64_t spectra = 0;
    uint64_t overrunEvents = 0;  // over every stream of this run
    uint64_t overrunSamples = 0;
  };
  Totals totals();

 private:
  void analyse();
  void reportStatus();
  void switchBoard(unsigned board);
  void closeAcquisition();
  void armTrigger(const ViewSettings& settings);
  double sampleRate(const AcquisitionStatus& status) const;
  nlohmann::json statusJson();
  nlohmann::json frameJson(const ViewSettings& settings, const std::vector<int16_t>& samples,
                           uint64_t firstIndex, double rate);

  const std::vector<BoardInfo> boards_;
  const EngineConfig config_;
  FrameHub& hub_;

  std::mutex mutex_;
  std::condition_variable analysisWake_;
  std::condition_variable statusWake_;
  ViewSettings settings_;
  bool settingsChanged_ = false;
  bool statusPending_ = false;
  bool stopping_ = false;
  // A measurement wants the board (releaseWanted_); the analysis thread has
  // closed the acquisition for it (released_).
  bool releaseWanted_ = false;
  bool released_ = false;
  std::condition_variable releaseChanged_;
  std::string startError_;
  double spectraPerSecond_ = 0;
  Totals totals_;
  Totals closedTotals_;  // of the streams closed so far
  // The trigger rate, from the counts of two status reports in a row.
  uint64_t lastTriggers_ = 0;
  std::chrono::steady_clock::time_point lastTriggersAt_{};
  const Acquisition* lastTriggersOn_ = nullptr;
  // Replaced by the analysis thread under mutex_, read by the status thread
  // under mutex_; the analysis thread uses it without the lock.
  std::unique_ptr<Acquisition> acquisition_;

  // Analysis state, used by the analysis thread only.
  struct Analysis;
  std::unique_ptr<Analysis> analysis_;

  std::thread analysisThread_;
  std::thread statusThread_;
};

}  // namespace scope
