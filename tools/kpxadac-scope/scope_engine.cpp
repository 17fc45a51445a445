#include "scope_engine.h"

#include <algorithm>
#include <cstdio>

#include "board_options.h"
#include "json_text.h"
#include "kpxadac/analysis.h"
#include "kpxadac/analysis_json.h"
#include "spectrum_view.h"

namespace scope {

namespace analysis = kpx::analysis;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kStatusInterval = 250ms;
constexpr auto kIdlePoll = 100ms;
constexpr auto kRetryInterval = 2s;
constexpr auto kSamplesTimeout = 1000ms;

// The library's name of the clock in use; the synthesizer's with its setting.
std::string clockName(int32_t clock) {
  const int32_t choice = clock == KPXSTREAM_CLOCK_FIXED         ? KPXSTREAM_SETUP_FIXED_CLOCK
                         : clock == KPXSTREAM_CLOCK_SYNTHESIZER ? KPXSTREAM_SETUP_SYNTHESIZER
                                                                : KPXSTREAM_SETUP_NONE;
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(KPXADAC_INVALID_HANDLE, choice, &plan) != KPXSTREAM_OK)
    return "as set on the board";
  if (plan.clock == KPXBOARD_CLOCK_FIXED) return plan.name;
  return std::string(plan.name) + ", " + kpx::tools::megahertz(plan.rateHz) + " MHz setting";
}

}  // namespace

struct ScopeEngine::Analysis {
  std::unique_ptr<analysis::SpectrumAverager> spectrum;  // one spectrum at a time
  RunningAverage average;
  std::vector<int16_t> samples;
  uint64_t frameSeq = 0;
  Clock::time_point retryAt{};
  // The trigger: the arming it was set for, and the record shown.
  const Acquisition* armedOn = nullptr;
  unsigned armedFor = 0;
  std::vector<int16_t> record;
  KpxRecord recordInfo{};
  bool haveRecord = false;
};

ScopeEngine::ScopeEngine(std::vector<BoardInfo> boards, const ViewSettings& initial,
                         const EngineConfig& config, FrameHub& hub)
    : boards_(std::move(boards)),
      config_(config),
      hub_(hub),
      settings_(initial),
      analysis_(std::make_unique<Analysis>()) {}

ScopeEngine::~ScopeEngine() {
  stop();
}

void ScopeEngine::start() {
  analysisThread_ = std::thread([this] { analyse(); });
  statusThread_ = std::thread([this] { reportStatus(); });
}

void ScopeEngine::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  analysisWake_.notify_all();
  statusWake_.notify_all();
  releaseChanged_.notify_all();
  if (analysisThread_.joinable()) analysisThread_.join();
  if (statusThread_.joinable()) statusThread_.join();
  closeAcquisition();
}

nlohmann::json ScopeEngine::state() {
  nlohmann::json boards = nlohmann::json::array();
  for (const auto& board : boards_)
    boards.push_back({{"index", board.index}, {"board_id", board.boardId}});
  nlohmann::json sizes = nlohmann::json::array();
  for (size_t size = kMinFftSize; size <= kMaxFftSize; size *= 2) sizes.push_back(size);
  std::lock_guard lock(mutex_);
  return {{"boards", boards},
          {"fft_sizes", sizes},
          {"windows", {"blackman-harris", "hann", "rectangular"}},
          {"max_averaging", kMaxAveraging},
          {"settings", settingsJson(settings_)}};
}

std::string ScopeEngine::changeSettings(const nlohmann::json& change, nlohmann::json& settings) {
  {
    std::lock_guard lock(mutex_);
    // A group's boards are fixed by the command line.
    if (!config_.group.empty() && change.is_object() && change.contains("board") &&
        change["board"] != nlohmann::json(settings_.board))
      return "the view shows a group of boards (--index N,M,...); its first board stays " +
             std::to_string(settings_.board);
    const auto error =
        applySettingsChange(change, static_cast<unsigned>(boards_.size()), settings_);
    if (!error.empty()) return error;
    settingsChanged_ = true;
    statusPending_ = true;
    settings = settingsJson(settings_);
  }
  analysisWake_.notify_all();
  statusWake_.notify_all();
  return "";
}

bool ScopeEngine::withBoardReleased(const std::function<void(unsigned, BoardHandle)>& job) {
  BoardInfo board;
  {
    std::unique_lock lock(mutex_);
    if (stopping_ || !analysisThread_.joinable()) return false;
    releaseWanted_ = true;
    analysisWake_.notify_all();
    releaseChanged_.wait(lock, [&] { return released_ || stopping_; });
    if (stopping_) {
      releaseWanted_ = false;
      return false;
    }
    board = boards_.at(settings_.board);
  }
  struct Resume {
    ScopeEngine& engine;
    ~Resume() {
      {
        std::lock_guard lock(engine.mutex_);
        engine.releaseWanted_ = false;
      }
      engine.analysisWake_.notify_all();
    }
  } resume{*this};
  job(board.index, board.handle);
  return true;
}

ScopeEngine::Totals ScopeEngine::totals() {
  std::lock_guard lock(mutex_);
  Totals totals = totals_;
  totals.overrunEvents = closedTotals_.overrunEvents;
  totals.overrunSamples = closedTotals_.overrunSamples;
  if (acquisition_) {
    const auto status = acquisition_->status();
    totals.overrunEvents += status.overrunEvents;
    totals.overrunSamples += status.overrunSamples;
  }
  return totals;
}

double ScopeEngine::sampleRate(const AcquisitionStatus& status) const {
  return config_.sampleRateHz.value_or(status.sampleRateHz);
}

void ScopeEngine::closeAcquisition() {
  std::unique_ptr<Acquisition> old;
  {
    std::lock_guard lock(mutex_);
    old = std::move(acquisition_);
    if (old) {
      const auto status = old->status();
      closedTotals_.overrunEvents += status.overrunEvents;
      closedTotals_.overrunSamples += status.overrunSamples;
    }
  }
  // Destroyed outside the lock: the consumer thread may be reporting an
  // overrun, which takes the lock, and the destructor waits for it.
  old.reset();
}

void ScopeEngine::switchBoard(unsigned board) {
  closeAcquisition();
  std::string error;
  auto onOverrun = [this] {
    {
      std::lock_guard lock(mutex_);
      statusPending_ = true;
    }
    statusWake_.notify_all();
  };
  std::unique_ptr<Acquisition> next;
  if (config_.group.empty()) {
    next = Acquisition::start(boards_.at(board), config_.setup, onOverrun, error);
  } else {
    std::vector<BoardInfo> members;
    for (unsigned position : config_.group) members.push_back(boards_.at(position));
    next = Acquisition::startGroup(members, config_.setup, config_.align, onOverrun, error);
  }
  {
    std::lock_guard lock(mutex_);
    // Said once on the console too; the page shows it for as long as it lasts.
    if (!error.empty() && error != startError_)
      std::fprintf(stderr, "kpxadac-scope: %s\n", error.c_str());
    acquisition_ = std::move(next);
    startError_ = error;
    statusPending_ = true;
  }
  statusWake_.notify_all();
}

// A fresh trigger engine on the stream: records of the waveform's length
// with kPretriggerSamples before the trigger; single takes one.
void ScopeEngine::armTrigger(const ViewSettings& settings) {
  Analysis& a = *analysis_;
  // A group's waveforms run free: the records engine reads one stream.
  if (acquisition_->isGroup()) {
    a.armedOn = acquisition_.get();
    a.armedFor = settings.triggerArming;
    return;
  }
  KpxRecordsConfig config{};
  config.edge = settings.triggerEdge;
  config.level = settings.triggerLevel;
  config.hysteresis = settings.triggerHysteresis;
  config.pre = kPretriggerSamples;
  config.post = kWaveformSamples - kPretriggerSamples;
  config.count = settings.triggerMode == TriggerMode::kSingle ? 1 : 0;
  config.autoMs = settings.triggerMode == TriggerMode::kAuto ? kAutoTriggerMs : 0;
  config.queueRecords = 4;
  const std::string error = acquisition_->setTrigger(&config);
  if (!error.empty()) {
    std::lock_guard lock(mutex_);
    startError_ = error;
  }
  a.armedOn = acquisition_.get();
  a.armedFor = settings.triggerArming;
  a.haveRecord = false;
}

void ScopeEngine::analyse() {
  Analysis& a = *analysis_;
  ViewSettings active;
  bool haveActive = false;
  auto nextSpectrum = Clock::now();
  auto rateWindowStart = Clock::now();
  uint64_t spectraInWindow = 0;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / config_.maxSpectraPerSecond));

  for (;;) {
    ViewSettings settings;
    {
      std::unique_lock lock(mutex_);
      analysisWake_.wait_until(lock, nextSpectrum,
                               [&] { return stopping_ || settingsChanged_ || releaseWanted_; });
      if (stopping_) break;
      if (releaseWanted_) {
        // A measurement takes the board: no acquisition until it is done.
        lock.unlock();
        closeAcquisition();
        a.armedOn = nullptr;  // the next acquisition is armed afresh
        lock.lock();
        released_ = true;
        statusPending_ = true;
        releaseChanged_.notify_all();
        statusWake_.notify_all();
        analysisWake_.wait(lock, [&] { return stopping_ || !releaseWanted_; });
        released_ = false;
        if (stopping_) break;
        haveActive = false;  // opens the board again below
      }
      settingsChanged_ = false;
      settings = settings_;
    }
    const auto now = Clock::now();
    const bool boardChanged = !haveActive || settings.board != active.board;
    const bool streamDown = !acquisition_ || !acquisition_->status().error.empty();
    if (boardChanged || (streamDown && now >= a.retryAt)) {
      switchBoard(settings.board);
      a.retryAt = now + kRetryInterval;
      a.average.reset();
    }
    if (!a.spectrum || a.spectrum->fftSize() != settings.fftSize ||
        a.spectrum->window() != settings.window) {
      a.spectrum = std::make_unique<analysis::SpectrumAverager>(settings.fftSize, settings.window);
      a.average.reset();
    }
    a.average.setLength(settings.averaging);
    active = settings;
    haveActive = true;
    if (acquisition_ && (a.armedOn != acquisition_.get() || a.armedFor != settings.triggerArming))
      armTrigger(settings);

    if (!acquisition_ || hub_.clientCount() == 0) {
      nextSpectrum = Clock::now() + kIdlePoll;
      continue;
    }
    a.samples.resize(settings.fftSize);
    uint64_t firstIndex = 0;
    if (!acquisition_->takeSamples(a.samples.data(), a.samples.size(), kSamplesTimeout,
                                   firstIndex)) {
      nextSpectrum = Clock::now() + kIdlePoll;
      continue;
    }
    const double rate = sampleRate(acquisition_->status());
    std::string frame;
    try {
      frame = sseMessage("frame",
                         kpx::tools::jsonText(frameJson(settings, a.samples, firstIndex, rate)));
    } catch (const std::exception& error) {
      std::lock_guard lock(mutex_);
      startError_ = std::string("the analysis failed: ") + error.what();
      nextSpectrum = Clock::now() + kRetryInterval;
      continue;
    }
    hub_.publish(Channel::kFrame, std::move(frame));

    ++spectraInWindow;
    const auto after = Clock::now();
    {
      std::lock_guard lock(mutex_);
      ++totals_.spectra;
      const double seconds = std::chrono::duration<double>(after - rateWindowStart).count();
      if (seconds >= 1.0) {
        spectraPerSecond_ = static_cast<double>(spectraInWindow) / seconds;
        spectraInWindow = 0;
        rateWindowStart = after;
      }
    }
    nextSpectrum = std::max(nextSpectrum + period, after);
  }
}

nlohmann::json ScopeEngine::frameJson(const ViewSettings& settings,
                                      const std::vector<int16_t>& samples, uint64_t firstIndex,
                                      double rate) {
  Analysis& a = *analysis_;
  a.spectrum->reset();
  a.spectrum->add(samples.data());
  a.average.add(a.spectrum->powerLinear());
  const auto measurements =
      analysis::measure(a.average.value(), settings.fftSize, settings.window, rate);
  const auto thinned = thinSpectrum(a.average.value(), kSpectrumPoints);

  // The waveform: the newest record of the trigger engine, held until the
  // next one (normal, single) or replaced by a free-running one (auto).
  if (acquisition_->latestRecord(a.record, a.recordInfo)) a.haveRecord = true;
  const KpxRecord& record = a.recordInfo;
  const bool triggered = a.haveRecord && !(record.flags & KPXRECORD_UNTRIGGERED);
  const auto trigger = acquisition_->triggerStatus();
  const double stepUs = 1e6 / rate;
  nlohmann::json waveform = {
      {"trigger_level", settings.triggerLevel},
      {"mode", triggerModeName(settings.triggerMode)},
      {"edge", settingsJson(settings)["trigger_edge"]},
      {"hysteresis", settings.triggerHysteresis},
      {"triggered", triggered},
      {"waiting", !a.haveRecord},
      // Held only with a record to hold: right after a re-arm the engine's
      // status may still say ended while the record is gone.
      {"held", settings.triggerMode == TriggerMode::kSingle && trigger.ended && a.haveRecord},
      {"start_us", triggered ? -static_cast<double>(kPretriggerSamples) * stepUs : 0.0},
      {"step_us", stepUs},
      {"samples", a.haveRecord ? a.record : std::vector<int16_t>{}}};
  std::vector<Trace> traces;
  uint64_t groupIndex = 0;
  if (acquisition_->isGroup()) {
    // Every board's newest stretch on the group index, overlaid on one axis.
    const bool have = acquisition_->latestTraces(traces, groupIndex);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& trace : traces)
      list.push_back({{"board", trace.index},
                      {"offset", trace.offset},
                      {"skip", trace.skip},
                      {"samples", trace.samples}});
    waveform.update({{"mode", "group"},
                     {"triggered", false},
                     {"waiting", !have},
                     {"held", false},
                     {"start_us", 0.0},
                     {"samples", have ? traces.front().samples : std::vector<int16_t>{}},
                     {"group_index", groupIndex},
                     {"traces", list}});
  } else if (a.haveRecord)
    waveform.update({{"record", record.number},
                     {"trigger_index", record.triggerIndex},
                     {"trigger_time_ns", record.hostTimeNs},
                     {"falling", (record.flags & KPXRECORD_FALLING) != 0}});

  return {{"seq", ++a.frameSeq},
          {"board", settings.board},
          {"sample_rate_hz", rate},
          {"first_sample_index", firstIndex},
          {"settings", settingsJson(settings)},
          {"averaged", a.average.count()},
          {"spectrum",
           {{"fft_size", settings.fftSize},
            {"bin_hz", rate / static_cast<double>(settings.fftSize)},
            {"bins", thinned.bins},
            {"dbfs", thinned.dbfs}}},
          {"waveform", waveform},
          {"measurements", analysis::toJson(measurements)}};
}

nlohmann::json ScopeEngine::statusJson() {
  // Called with mutex_ held.
  nlohmann::json events = nlohmann::json::array();
  nlohmann::json status = {{"settings", settingsJson(settings_)},
                           {"spectra_per_s", spectraPerSecond_},
                           {"clients", hub_.clientCount()}};
  std::string error = startError_;
  if (acquisition_) {
    const auto acquired = acquisition_->status();
    for (const auto& event : acquired.recentEvents)
      events.push_back({{"seq", event.seq},
                        {"index", event.index},
                        {"lost_samples", event.lostSamples},
                        {"host_time_ns", event.hostTimeNs}});
    if (acquisition_->isGroup()) {
      nlohmann::json members = nlohmann::json::array();
      for (unsigned position : config_.group) members.push_back(boards_.at(position).index);
      status["group"] = {{"boards", members},
                         {"align", kpx::tools::alignWord(config_.align.choice)},
                         {"start_skew_samples", acquired.startSkewSamples}};
    }
    status.update({{"board", acquisition_->board().index},
                   {"board_id", acquisition_->board().boardId},
                   {"running", acquired.running},
                   {"clock", clockName(acquired.clock)},
                   {"sample_rate_hz", sampleRate(acquired)},
                   {"samples_moved", acquired.samplesMoved},
                   {"overrun_events", acquired.overrunEvents},
                   {"overrun_samples", acquired.overrunSamples},
                   {"counters_unread", acquired.countersUnread}});
    if (error.empty()) error = acquired.error;
    const auto trigger = acquisition_->triggerStatus();
    const auto now = Clock::now();
    double perSecond = 0;
    if (lastTriggersOn_ == acquisition_.get() && trigger.counts.triggersSeen >= lastTriggers_) {
      const double seconds = std::chrono::duration<double>(now - lastTriggersAt_).count();
      if (seconds > 0)
        perSecond = static_cast<double>(trigger.counts.triggersSeen - lastTriggers_) / seconds;
    }
    lastTriggers_ = trigger.counts.triggersSeen;
    lastTriggersAt_ = now;
    lastTriggersOn_ = acquisition_.get();
    status["trigger"] = {{"mode", triggerModeName(settings_.triggerMode)},
                         {"armed", trigger.active && !trigger.ended},
                         {"triggers_seen", trigger.counts.triggersSeen},
                         {"triggers_per_s", perSecond},
                         {"records", trigger.counts.recordsDelivered}};
  } else {
    status.update({{"running", false},
                   {"clock", "none"},
                   {"sample_rate_hz", nullptr},
                   {"overrun_events", 0},
                   {"overrun_samples", 0}});
  }
  status["events"] = events;
  status["error"] = error;
  status["measuring_response"] = releaseWanted_;
  return status;
}

void ScopeEngine::reportStatus() {
  for (;;) {
    std::string message;
    {
      std::unique_lock lock(mutex_);
      statusWake_.wait_for(lock, kStatusInterval, [&] { return stopping_ || statusPending_; });
      if (stopping_) break;
      statusPending_ = false;
      message = sseMessage("status", kpx::tools::jsonText(statusJson()));
    }
    hub_.publish(Channel::kStatus, std::move(message));
  }
}

}  // namespace scope
