#include "instrument.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "kpxadac/analysis.h"
#include "kpxadac_records.h"
#include "kpxadac_stream.h"
#include "kpxadac_waveform.h"

#ifndef KPXADAC_SCPI_VERSION
#define KPXADAC_SCPI_VERSION "0"
#endif

namespace kpx::scpi_server {

using scpi::Error;
using scpi::Parameter;
using scpi::Unit;
namespace err = scpi::err;

namespace {

constexpr int32_t kPollMs = 100;  // how often a worker looks at its stop flag
constexpr size_t kErrorQueue = 32;
constexpr uint32_t kMaxBlockBytes = 1u << 20;
// Measurements: the largest FFT and the most spectra averaged, so that a
// query stays within milliseconds on the server's thread.
constexpr size_t kMeasureFft = size_t{1} << 16;
constexpr size_t kMeasureAverages = 16;
constexpr int kArbitrary = -1;  // SOURce:FUNCtion ARBitrary

struct AdcSettings {
  int64_t points = 10000;
  int64_t pretrigger = 0;
  int32_t setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  bool internal = false;
  int32_t edge = KPXRECORDS_RISING;
  int32_t level = 0;
  int32_t hysteresis = 0;
  int64_t holdoff = 0;
};

struct DacSettings {
  int function = KPXWAVE_TONE;
  double frequencyHz = 1e6;
  double amplitudeDbfs = -1;
  std::shared_ptr<const std::vector<int16_t>> arbitrary;
};

struct Acquired {
  std::vector<int16_t> samples;
  uint64_t triggerIndex = 0;
  double rateHz = 0;
  bool aborted = false;
  Error error;
  std::optional<analysis::Measurements> measured;
  std::string measureProblem;
  // FETCh's INT,16 block in each byte order (NORMal, SWAPped), made once.
  std::shared_ptr<const std::string> encoded[2];
};

KpxRecordsConfig recordsConfig(const AdcSettings& s) {
  KpxRecordsConfig c{};
  c.edge = s.edge;
  c.level = s.level;
  c.hysteresis = s.hysteresis;
  c.pre = s.pretrigger;
  c.post = s.points - s.pretrigger;
  c.holdoff = s.holdoff;
  c.count = 1;
  c.queueRecords = 2;  // one record is taken; the spare keeps the engine from skipping it
  return c;
}

Error streamError(const char* what, int32_t result) {
  const int code = result == KPXSTREAM_ERR_BOARD_BUSY ? err::kSettingsConflict : err::kHardware;
  return {code, std::string(what) + ": " + KpxStream_ResultText(result)};
}

using StreamPtr = std::unique_ptr<KpxStream, void (*)(KpxStream*)>;
using RecordsPtr = std::unique_ptr<KpxRecords, void (*)(KpxRecords*)>;

// One acquisition on its own thread: `points` contiguous samples at once
// (immediate), or the records engine's first record (internal trigger).
void acquire(BoardHandle board, const AdcSettings& s, bool immediate,
             const std::atomic<bool>& abort, Acquired& out) {
  const auto points = static_cast<uint64_t>(s.points);
  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = static_cast<uint32_t>(
      std::min<uint64_t>(kMaxBlockBytes, std::max<uint64_t>(4, (points * 2 + 3) / 4 * 4)));
  config.blockCount = 8;
  config.setup = s.setup;
  KpxStream* opened = nullptr;
  if (int32_t r = KpxStream_Open(&config, &opened); r != KPXSTREAM_OK) {
    out.error = streamError("opening the stream", r);
    return;
  }
  StreamPtr stream(opened, KpxStream_Close);
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream.get(), &status);
  out.rateHz = status.sampleRateHz;
  out.samples.resize(static_cast<size_t>(points));
  int16_t* buffer = out.samples.data();

  if (immediate) {
    if (int32_t r = KpxStream_Start(stream.get()); r != KPXSTREAM_OK) {
      out.error = streamError("starting the stream", r);
      return;
    }
    uint64_t have = 0;
    while (have < points) {
      if (abort) {
        out.aborted = true;
        return;
      }
      KpxStreamReadInfo info{};
      const int32_t r = KpxStream_Read(stream.get(), buffer + have, points - have, kPollMs, &info);
      if (r == KPXSTREAM_TIMEOUT) continue;
      if (r != KPXSTREAM_OK) {
        out.error = streamError("reading", r);
        return;
      }
      // The samples must be contiguous on the board: start again after a gap.
      if (info.lostBefore > 0 && have > 0) {
        std::memmove(buffer, buffer + have, info.samples * sizeof(int16_t));
        have = 0;
      }
      if (have == 0) out.triggerIndex = info.index;
      have += info.samples;
    }
    return;
  }

  const KpxRecordsConfig rc = recordsConfig(s);
  KpxRecords* engine = nullptr;
  if (int32_t r = KpxRecords_Open(stream.get(), &rc, &engine); r != KPXRECORDS_OK) {
    out.error = {err::kHardware, std::string("opening the trigger: ") + KpxRecords_ResultText(r)};
    return;
  }
  RecordsPtr records(engine, KpxRecords_Close);
  if (int32_t r = KpxRecords_Start(records.get()); r != KPXRECORDS_OK) {
    out.error = {err::kHardware, std::string("starting the trigger: ") + KpxRecords_ResultText(r)};
    return;
  }
  for (;;) {
    if (abort) {
      out.aborted = true;
      return;
    }
    KpxRecord record{};
    const int32_t r = KpxRecords_Read(records.get(), buffer, points, &record, kPollMs);
    if (r == KPXRECORDS_TIMEOUT) continue;
    if (r != KPXRECORDS_OK) {
      out.error = {err::kHardware,
                   std::string("waiting for the trigger: ") + KpxRecords_ResultText(r)};
      return;
    }
    out.triggerIndex = record.triggerIndex;
    return;
  }
}

// The rate a DAC board plays at, as far as the library can tell.
// The DAC's rate before a stream tells it: the clock the library set up, else
// the one the board reports by the library's rule (KpxBoard_ClockPlan), as
// kpxadac-generate takes it.
double dacRate(BoardHandle board) {
  double rate = 0;
  if (KpxBoard_GetSampleRate(board, &rate) > 0 && rate > 0) return rate;
  KpxClockPlan plan{};
  if (KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_AUTO_CLOCK, &plan) != KPXSTREAM_OK)
    KpxBoard_ClockPlan(board, KPXSTREAM_SETUP_SYNTHESIZER, &plan);
  return plan.rateHz;
}

// The generator settings for SOURce's; "" or the library's reason.
std::string waveSettings(const DacSettings& d, double rateHz, KpxWaveSettings& w) {
  KpxWave_DefaultSettings(&w, d.function, rateHz);
  w.frequenciesHz[0] = d.frequencyHz;
  w.amplitudeDbfs = d.amplitudeDbfs;
  KpxWave* wave = nullptr;
  const int32_t r = KpxWave_Create(&w, &wave);
  KpxWave_Destroy(wave);
  return r == KPXWAVE_OK ? "" : KpxWave_ResultText(r);
}

// Plays SOURce's signal until `stop`; "" or why it ended by itself.
std::string play(BoardHandle board, const DacSettings& d, const std::atomic<bool>& stop) {
  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_TRANSMIT;
  config.blockBytes = 1u << 16;
  config.blockCount = 4;
  config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  KpxStream* opened = nullptr;
  if (int32_t r = KpxStream_Open(&config, &opened); r != KPXSTREAM_OK)
    return std::string("opening the transmit stream: ") + KpxStream_ResultText(r);
  StreamPtr stream(opened, KpxStream_Close);
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream.get(), &status);
  const double rate = status.sampleRateHz > 0 ? status.sampleRateHz : dacRate(board);
  std::unique_ptr<KpxWave, void (*)(KpxWave*)> wave(nullptr, KpxWave_Destroy);
  if (d.function != kArbitrary) {
    KpxWaveSettings w;
    if (auto reason = waveSettings(d, rate, w); !reason.empty()) return reason;
    KpxWave* made = nullptr;
    KpxWave_Create(&w, &made);
    wave.reset(made);
  }
  if (int32_t r = KpxStream_Start(stream.get()); r != KPXSTREAM_OK)
    return std::string("starting the transmit stream: ") + KpxStream_ResultText(r);
  size_t position = 0;  // in the arbitrary waveform
  std::string ending;
  while (!stop) {
    KpxStreamBlock block{};
    const int32_t r = KpxStream_AcquireWrite(stream.get(), &block, kPollMs);
    if (r == KPXSTREAM_TIMEOUT) continue;
    if (r != KPXSTREAM_OK) {
      ending = std::string("playing: ") + KpxStream_ResultText(r);
      break;
    }
    auto* bytes = static_cast<uint8_t*>(block.data);
    const size_t count = block.capacity / 2;
    if (wave) {
      KpxWave_GenerateLittleEndian(wave.get(), bytes, count);
    } else {
      const auto& samples = *d.arbitrary;
      for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<uint16_t>(samples[position]);
        bytes[2 * i] = static_cast<uint8_t>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        if (++position == samples.size()) position = 0;
      }
    }
    block.bytes = block.capacity;
    KpxStream_SubmitWrite(stream.get(), &block);
  }
  KpxStream_Stop(stream.get());
  return ending;
}

std::string boardName(const KpxBoardDescription& d) {
  return (d.type == BOARD_TYPE_DAC ? "DAC" : "ADC") + std::to_string(d.index);
}

}  // namespace

struct Board {
  KpxBoardDescription description{};
  std::string name;
  const Session* controller = nullptr;
  AdcSettings adc;
  DacSettings dac;

  // The acquisition: one at a time.
  bool busy = false;
  std::thread worker;
  std::atomic<bool> abort{false};
  std::shared_ptr<Acquired> running;
  std::shared_ptr<Acquired> last;
  std::vector<std::function<void()>> waiters;
  std::function<void(Error)> report;  // to the client that started it

  // The output.
  bool outputOn = false;
  std::thread output;
  std::atomic<bool> outputStop{false};
  uint64_t outputRun = 0;  // which output a posted end belongs to

  bool isDac() const { return description.type == BOARD_TYPE_DAC; }

  void stopOutput() {
    if (!output.joinable()) return;
    outputStop = true;
    output.join();
    outputOn = false;
  }

  void stopAcquisition() {
    abort = true;
    if (worker.joinable()) worker.join();
  }
};

Instrument::Instrument(std::function<void(std::function<void()>)> post) : post_(std::move(post)) {
  Kpxadac16_Open();
  const int32_t count = KpxBoard_Count();
  for (int32_t i = 0; i < count; ++i) {
    auto board = std::make_unique<Board>();
    if (KpxBoard_Describe(i, &board->description) != KPXSTREAM_OK) continue;
    board->name = boardName(board->description);
    boards_.push_back(std::move(board));
  }
}

Instrument::~Instrument() {
  shutdown();
}

void Instrument::shutdown() {
  for (auto& board : boards_) {
    board->stopAcquisition();
    board->stopOutput();
  }
}

Board* Instrument::find(std::string_view name) const {
  for (const auto& board : boards_)
    if (board->name == name) return board.get();
  return nullptr;
}

Board* Instrument::defaultBoard() const {
  for (const auto& board : boards_)
    if (!board->isDac()) return board.get();
  return boards_.empty() ? nullptr : boards_.front().get();
}

// ---------------------------------------------------------------------------
// The command tree

struct Commands {
  using Step = Session::Step;
  using Handler = Step (*)(Session&, const Unit&);
  enum Needs { kNothing, kBoard, kControl };
  struct Command {
    scpi::Pattern pattern;
    Needs needs;
    Handler handler;
  };
  static const std::vector<Command>& table();

  // --- parameters
  static bool count(Session& s, const Unit& u, size_t n) {
    if (u.parameters.size() < n) {
      s.addError(err::kMissingParameter);
      return false;
    }
    if (u.parameters.size() > n) {
      s.addError(err::kParameterNotAllowed);
      return false;
    }
    return true;
  }
  // Which unit suffix a number may carry.
  enum class UnitKind { kNone, kFrequency, kDecibel };
  // A number: HZ, KHZ, MHZ (or MAHZ), GHZ for a frequency, DB for a level.
  static std::optional<double> number(Session& s, const Unit& u, UnitKind kind = UnitKind::kNone) {
    if (!count(s, u, 1)) return std::nullopt;
    const Parameter& p = u.parameters[0];
    if (p.kind != Parameter::Kind::kNumeric) {
      s.addError(err::kDataType, "a number is needed");
      return std::nullopt;
    }
    double factor = 1;
    const bool frequency = kind == UnitKind::kFrequency;
    if (p.suffix.empty() || (frequency && p.suffix == "HZ") ||
        (kind == UnitKind::kDecibel && p.suffix == "DB"))
      factor = 1;
    else if (frequency && p.suffix == "KHZ")
      factor = 1e3;
    else if (frequency && (p.suffix == "MHZ" || p.suffix == "MAHZ"))
      factor = 1e6;
    else if (frequency && p.suffix == "GHZ")
      factor = 1e9;
    else {
      s.addError(err::kInvalidSuffix, p.suffix);
      return std::nullopt;
    }
    return p.number * factor;
  }
  static std::optional<int64_t> integer(Session& s, const Unit& u, int64_t low, int64_t high) {
    const auto value = number(s, u);
    if (!value) return std::nullopt;
    const double rounded = std::nearbyint(*value);
    if (!(rounded >= static_cast<double>(low) && rounded <= static_cast<double>(high))) {
      s.addError(err::kDataOutOfRange,
                 "allowed: " + std::to_string(low) + " to " + std::to_string(high));
      return std::nullopt;
    }
    return static_cast<int64_t>(rounded);
  }
  // The index of the keyword given among `choices`, or -1 (error queued).
  static int keyword(Session& s, const Unit& u, std::initializer_list<const char*> choices) {
    if (!count(s, u, 1)) return -1;
    const Parameter& p = u.parameters[0];
    if (p.kind != Parameter::Kind::kCharacter) {
      s.addError(err::kDataType, "a keyword is needed");
      return -1;
    }
    int i = 0;
    for (const char* choice : choices) {
      if (scpi::isKeyword(p, choice)) return i;
      ++i;
    }
    s.addError(err::kIllegalParameterValue, p.text);
    return -1;
  }
  static bool noParameters(Session& s, const Unit& u) { return count(s, u, 0); }

  // Starts an answer in the response (after ';' when one came before); the
  // caller appends its text.
  static std::string& startAnswer(Session& s) {
    if (s.answered_) s.response_.text += ';';
    s.answered_ = true;
    return s.response_.text;
  }
  static void answer(Session& s, const std::string& text) { startAnswer(s) += text; }
  static Board& board(Session& s) { return *s.selected_; }

  // Waits (returns true) while the selected board's acquisition runs.
  static bool waitForBoard(Session& s) {
    if (!s.selected_ || !s.selected_->busy) return false;
    std::weak_ptr<int> alive = s.alive_;
    Session* self = &s;
    s.selected_->waiters.push_back([alive, self] {
      if (alive.lock()) self->resume();
    });
    return true;
  }

  // --- acquisition
  static bool checkAdc(Session& s, const AdcSettings& a) {
    if (a.pretrigger >= a.points) {
      s.addError(err::kSettingsConflict, "the pretrigger must be below the points");
      return false;
    }
    if (a.internal) {
      const KpxRecordsConfig c = recordsConfig(a);
      if (int32_t r = KpxRecords_CheckConfig(&c); r != KPXRECORDS_OK) {
        s.addError(err::kDataOutOfRange, KpxRecords_ResultText(r));
        return false;
      }
    }
    return true;
  }

  static void start(Session& s, bool immediate) {
    Board& b = board(s);
    if (b.isDac()) {
      s.addError(err::kSettingsConflict, b.name + " is a DAC board");
      return;
    }
    if (b.busy) {
      s.addError(err::kSettingsConflict, "an acquisition is running");
      return;
    }
    if (!checkAdc(s, b.adc)) return;
    if (b.worker.joinable()) b.worker.join();
    b.abort = false;
    b.busy = true;
    b.last.reset();  // a new acquisition makes the last one stale, whatever its end
    b.running = std::make_shared<Acquired>();
    std::weak_ptr<int> alive = s.alive_;
    Session* self = &s;
    b.report = [alive, self](Error e) {
      if (alive.lock()) self->addError(e.code, std::move(e.detail));
    };
    Instrument* instrument = &s.instrument_;
    Board* target = &b;
    auto result = b.running;
    const BoardHandle handle = b.description.handle;
    const AdcSettings settings = b.adc;
    const bool immediateRun = immediate || !settings.internal;
    b.worker = std::thread([instrument, target, result, handle, settings, immediateRun] {
      acquire(handle, settings, immediateRun, target->abort, *result);
      instrument->post([target, result] {
        target->busy = false;
        if (result->error.code != err::kNone) {
          if (target->report) target->report(result->error);
        } else if (!result->aborted) {
          target->last = result;
        }
        target->running.reset();
        auto waiters = std::move(target->waiters);
        target->waiters.clear();
        for (auto& w : waiters) w();
      });
    });
  }

  static Acquired* lastData(Session& s) {
    const Board& b = board(s);
    if (!b.last) {
      s.addError(err::kDataStale, "no acquisition yet");
      return nullptr;
    }
    return b.last.get();
  }

  static void waveform(Session& s, Acquired& a) {
    std::string& out = startAnswer(s);
    if (s.ascii_) {
      out.reserve(out.size() + a.samples.size() * 7 + 1);
      char number[8];
      for (size_t i = 0; i < a.samples.size(); ++i) {
        if (i) out += ',';
        const int n = std::snprintf(number, sizeof number, "%d", a.samples[i]);
        out.append(number, static_cast<size_t>(n));
      }
      return;
    }
    // The block is made once per byte order and shared by every answer.
    auto& encoded = a.encoded[s.swapped_ ? 1 : 0];
    if (!encoded) {
      std::string block;
      const size_t bytes = a.samples.size() * 2;
      block.reserve(bytes + 24);
      scpi::appendBlockHeader(block, bytes);
      const size_t at = block.size();
      block.resize(at + bytes);
      // NORMal: the most significant byte first; SWAPped: the least first.
      const bool bigEndian = !s.swapped_;
      const bool swap = bigEndian != (std::endian::native == std::endian::big);
      char* place = block.data() + at;
      for (size_t i = 0; i < a.samples.size(); ++i) {
        auto v = static_cast<uint16_t>(a.samples[i]);
        if (swap) v = static_cast<uint16_t>((v << 8) | (v >> 8));
        std::memcpy(place + 2 * i, &v, 2);
      }
      encoded = std::make_shared<const std::string>(std::move(block));
    }
    s.response_.pieces.push_back({out.size(), encoded});
  }

  static const analysis::Measurements* measured(Session& s) {
    Acquired* a = lastData(s);
    if (!a) return nullptr;
    Acquired& m = *a;
    if (!m.measured && m.measureProblem.empty()) {
      size_t fft = analysis::kMinFftSize;
      while (fft * 2 <= std::min(m.samples.size(), kMeasureFft)) fft *= 2;
      if (m.samples.size() < analysis::kMinFftSize) {
        m.measureProblem =
            "measurements need at least " + std::to_string(analysis::kMinFftSize) + " points";
      } else if (!(m.rateHz > 0)) {
        m.measureProblem = "the sample rate is not known";
      } else {
        try {
          analysis::SpectrumAverager averager(fft, analysis::Window::kBlackmanHarris4);
          for (size_t k = 0; k < kMeasureAverages && (k + 1) * fft <= m.samples.size(); ++k)
            averager.add(m.samples.data() + k * fft);
          m.measured = analysis::measure(averager.powerLinear(), fft,
                                         analysis::Window::kBlackmanHarris4, m.rateHz);
        } catch (const std::exception& e) {
          m.measureProblem = e.what();
        }
      }
    }
    if (!m.measured) {
      s.addError(err::kSettingsConflict, m.measureProblem);
      return nullptr;
    }
    return &*m.measured;
  }

  static Step measure(Session& s, const Unit& u, double analysis::Measurements::*field) {
    if (!noParameters(s, u)) return Step::kDone;
    if (waitForBoard(s)) return Step::kWait;
    if (const auto* m = measured(s)) answer(s, scpi::formatNumber(m->*field));
    return Step::kDone;
  }

  // --- output
  static void startOutput(Session& s) {
    Board& b = board(s);
    b.stopOutput();
    if (b.dac.function == kArbitrary && (!b.dac.arbitrary || b.dac.arbitrary->empty())) {
      s.addError(err::kSettingsConflict, "no arbitrary waveform loaded (SOURce:DATA:ARBitrary)");
      return;
    }
    b.outputStop = false;
    b.outputOn = true;
    const uint64_t run = ++b.outputRun;
    std::weak_ptr<int> alive = s.alive_;
    Session* self = &s;
    Instrument* instrument = &s.instrument_;
    Board* target = &b;
    const BoardHandle handle = b.description.handle;
    const DacSettings settings = b.dac;
    b.output = std::thread([=] {
      std::string ending = play(handle, settings, target->outputStop);
      if (ending.empty()) return;
      instrument->post([=] {
        if (target->outputRun != run) return;
        target->outputOn = false;
        if (alive.lock()) self->addError(err::kHardware, ending);
      });
    });
  }

  // A SOURce change: checked against the generator, then applied, and the
  // output restarted with it when it plays.
  static void changeSource(Session& s, const DacSettings& changed) {
    Board& b = board(s);
    if (changed.function != kArbitrary) {
      KpxWaveSettings w;
      if (auto reason = waveSettings(changed, dacRate(b.description.handle), w); !reason.empty()) {
        s.addError(err::kDataOutOfRange, reason);
        return;
      }
    }
    b.dac = changed;
    if (b.outputOn) startOutput(s);
  }

  static bool needDac(Session& s) {
    if (board(s).isDac()) return true;
    s.addError(err::kSettingsConflict, board(s).name + " is not a DAC board");
    return false;
  }
  static bool needAdc(Session& s) {
    if (!board(s).isDac()) return true;
    s.addError(err::kSettingsConflict, board(s).name + " is not an ADC board");
    return false;
  }

  // An ADC setting: checked with the others, kept when they agree.
  template <typename Change>
  static Step setAdc(Session& s, Change change) {
    if (!needAdc(s)) return Step::kDone;
    AdcSettings a = board(s).adc;
    if (!change(a)) return Step::kDone;
    if (a.internal) {
      const KpxRecordsConfig c = recordsConfig(a);
      if (int32_t r = KpxRecords_CheckConfig(&c);
          r != KPXRECORDS_OK && r != KPXRECORDS_ERR_LENGTH) {
        s.addError(err::kDataOutOfRange, KpxRecords_ResultText(r));
        return Step::kDone;
      }
    }
    board(s).adc = a;
    return Step::kDone;
  }

  static std::string idn(Session& s) {
    std::string model = "KPX-ADAC", serial = "0";
    if (s.selected_) {
      const auto& d = s.selected_->description;
      model += d.type == BOARD_TYPE_DAC ? " DAC" : " ADC";
      char text[48];
      std::snprintf(text, sizeof text, "ID%02X-%02X%02X%02X%02X%02X-%d",
                    static_cast<unsigned>(d.boardId), d.ident[0], d.ident[1], d.ident[2],
                    d.ident[3], d.ident[4], d.device);
      serial = text;
    }
    return "KPX," + model + "," + serial + "," KPXADAC_SCPI_VERSION;
  }
};

const std::vector<Commands::Command>& Commands::table() {
  static const std::vector<Command> commands = {
      // IEEE 488.2 common commands
      {scpi::Pattern("*IDN?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, idn(s));
         return Step::kDone;
       }},
      {scpi::Pattern("*RST"), kControl,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         Board& b = board(s);
         b.stopAcquisition();
         b.stopOutput();
         b.adc = {};
         b.dac = {};
         s.ascii_ = s.swapped_ = false;
         return Step::kDone;
       }},
      {scpi::Pattern("*CLS"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         s.errors_.clear();
         s.esr_ = 0;
         return Step::kDone;
       }},
      {scpi::Pattern("*OPC"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (s.selected_ && s.selected_->busy) {
           std::weak_ptr<int> alive = s.alive_;
           Session* self = &s;
           s.selected_->waiters.push_back([alive, self] {
             if (alive.lock()) self->esr_ |= 1;
           });
         } else {
           s.esr_ |= 1;
         }
         return Step::kDone;
       }},
      {scpi::Pattern("*OPC?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (waitForBoard(s)) return Step::kWait;
         answer(s, "1");
         return Step::kDone;
       }},
      {scpi::Pattern("*WAI"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         return waitForBoard(s) ? Step::kWait : Step::kDone;
       }},
      {scpi::Pattern("*ESE"), kNothing,
       [](Session& s, const Unit& u) {
         if (auto v = integer(s, u, 0, 255)) s.ese_ = static_cast<int>(*v);
         return Step::kDone;
       }},
      {scpi::Pattern("*ESE?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(s.ese_));
         return Step::kDone;
       }},
      {scpi::Pattern("*ESR?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         answer(s, std::to_string(s.esr_));
         s.esr_ = 0;
         return Step::kDone;
       }},
      {scpi::Pattern("*SRE"), kNothing,
       [](Session& s, const Unit& u) {
         if (auto v = integer(s, u, 0, 255)) s.sre_ = static_cast<int>(*v) & ~0x40;
         return Step::kDone;
       }},
      {scpi::Pattern("*SRE?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(s.sre_));
         return Step::kDone;
       }},
      {scpi::Pattern("*STB?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         int stb = 0;
         if (!s.errors_.empty()) stb |= 0x04;     // error/event queue not empty
         if (s.esr_ & s.ese_) stb |= 0x20;        // event status summary
         if (stb & s.sre_) stb |= 0x40;           // master summary
         answer(s, std::to_string(stb));
         return Step::kDone;
       }},
      {scpi::Pattern("*TST?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         int failed = 0;
         for (const auto& b : s.instrument_.boards()) {
           KpxBoardDescription d{};
           if (KpxBoard_DescribeHandle(b->description.handle, &d) != KPXSTREAM_OK) failed = 1;
         }
         answer(s, std::to_string(failed));
         return Step::kDone;
       }},
      {scpi::Pattern("*TRG"), kControl,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) start(s, true);
         return Step::kDone;
       }},
      // SYSTem
      {scpi::Pattern("SYSTem:ERRor[:NEXT]?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (s.errors_.empty()) {
           answer(s, scpi::formatError({}));
         } else {
           answer(s, scpi::formatError(s.errors_.front()));
           s.errors_.pop_front();
         }
         return Step::kDone;
       }},
      {scpi::Pattern("SYSTem:ERRor:COUNt?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(s.errors_.size()));
         return Step::kDone;
       }},
      {scpi::Pattern("SYSTem:VERSion?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, "1999.0");
         return Step::kDone;
       }},
      // INSTrument
      {scpi::Pattern("INSTrument:CATalog?"), kNothing,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         std::string list;
         for (const auto& b : s.instrument_.boards()) {
           if (!list.empty()) list += ',';
           list += scpi::quoted(b->name);
         }
         answer(s, list.empty() ? "\"\"" : list);
         return Step::kDone;
       }},
      {scpi::Pattern("INSTrument[:SELect]"), kNothing,
       [](Session& s, const Unit& u) {
         if (!count(s, u, 1)) return Step::kDone;
         const Parameter& p = u.parameters[0];
         if (p.kind != Parameter::Kind::kCharacter && p.kind != Parameter::Kind::kString) {
           s.addError(err::kDataType, "a board name is needed");
           return Step::kDone;
         }
         std::string name = p.text;
         for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
         Board* b = s.instrument_.find(name);
         if (!b) {
           s.addError(err::kIllegalParameterValue, "no board " + name);
           return Step::kDone;
         }
         if (s.selected_ && s.selected_ != b && s.selected_->controller == &s)
           s.selected_->controller = nullptr;
         s.selected_ = b;
         return Step::kDone;
       }},
      {scpi::Pattern("INSTrument[:SELect]?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, board(s).name);
         return Step::kDone;
       }},
      // ACQuire
      {scpi::Pattern("ACQuire:POINts"), kControl,
       [](Session& s, const Unit& u) {
         const auto v = integer(s, u, 1, KPXRECORDS_MAX_LENGTH);
         if (!v) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.points = *v;
           return true;
         });
       }},
      {scpi::Pattern("ACQuire:POINts?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(board(s).adc.points));
         return Step::kDone;
       }},
      {scpi::Pattern("ACQuire:PRETrigger"), kControl,
       [](Session& s, const Unit& u) {
         const auto v = integer(s, u, 0, KPXRECORDS_MAX_LENGTH - 1);
         if (!v) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.pretrigger = *v;
           return true;
         });
       }},
      {scpi::Pattern("ACQuire:PRETrigger?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(board(s).adc.pretrigger));
         return Step::kDone;
       }},
      {scpi::Pattern("ACQuire:CLOCk"), kControl,
       [](Session& s, const Unit& u) {
         const int k = keyword(s, u, {"FIXed", "SYNThesizer", "AUTO"});
         if (k < 0) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.setup = k == 0 ? KPXSTREAM_SETUP_FIXED_CLOCK
                     : k == 1 ? KPXSTREAM_SETUP_SYNTHESIZER
                              : KPXSTREAM_SETUP_AUTO_CLOCK;
           return true;
         });
       }},
      {scpi::Pattern("ACQuire:CLOCk?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         const int32_t setup = board(s).adc.setup;
         answer(s, setup == KPXSTREAM_SETUP_FIXED_CLOCK   ? "FIX"
                   : setup == KPXSTREAM_SETUP_SYNTHESIZER ? "SYNT"
                                                          : "AUTO");
         return Step::kDone;
       }},
      {scpi::Pattern("ACQuire:SRATe?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         const Board& b = board(s);
         double rate = 0;
         if (b.last && b.last->rateHz > 0) {
           rate = b.last->rateHz;
         } else if (b.isDac()) {
           rate = dacRate(b.description.handle);
         } else {
           int32_t clock = b.adc.setup == KPXSTREAM_SETUP_FIXED_CLOCK ? KPXBOARD_CLOCK_FIXED
                           : b.adc.setup == KPXSTREAM_SETUP_SYNTHESIZER
                               ? KPXBOARD_CLOCK_SYNTHESIZER
                               : KpxBoard_ReportedClock(b.description.handle);
           rate = KpxBoard_ClockRateHz(b.description.handle, clock);
         }
         answer(s, scpi::formatNumber(rate));
         return Step::kDone;
       }},
      // TRIGger
      {scpi::Pattern("TRIGger:SOURce"), kControl,
       [](Session& s, const Unit& u) {
         const int k = keyword(s, u, {"IMMediate", "INTernal"});
         if (k < 0) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.internal = k == 1;
           return true;
         });
       }},
      {scpi::Pattern("TRIGger:SOURce?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, board(s).adc.internal ? "INT" : "IMM");
         return Step::kDone;
       }},
      {scpi::Pattern("TRIGger:SLOPe"), kControl,
       [](Session& s, const Unit& u) {
         const int k = keyword(s, u, {"POSitive", "NEGative", "EITHer"});
         if (k < 0) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.edge = k == 0 ? KPXRECORDS_RISING : k == 1 ? KPXRECORDS_FALLING : KPXRECORDS_EITHER;
           return true;
         });
       }},
      {scpi::Pattern("TRIGger:SLOPe?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         const int32_t e = board(s).adc.edge;
         answer(s, e == KPXRECORDS_RISING ? "POS" : e == KPXRECORDS_FALLING ? "NEG" : "EITH");
         return Step::kDone;
       }},
      {scpi::Pattern("TRIGger:LEVel"), kControl,
       [](Session& s, const Unit& u) {
         const auto v = integer(s, u, -32768, 32767);
         if (!v) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.level = static_cast<int32_t>(*v);
           return true;
         });
       }},
      {scpi::Pattern("TRIGger:LEVel?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(board(s).adc.level));
         return Step::kDone;
       }},
      {scpi::Pattern("TRIGger:HYSTeresis"), kControl,
       [](Session& s, const Unit& u) {
         const auto v = integer(s, u, 0, 65535);
         if (!v) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.hysteresis = static_cast<int32_t>(*v);
           return true;
         });
       }},
      {scpi::Pattern("TRIGger:HYSTeresis?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(board(s).adc.hysteresis));
         return Step::kDone;
       }},
      {scpi::Pattern("TRIGger:HOLDoff"), kControl,
       [](Session& s, const Unit& u) {
         const auto v = integer(s, u, 0, int64_t{1} << 50);
         if (!v) return Step::kDone;
         return setAdc(s, [&](AdcSettings& a) {
           a.holdoff = *v;
           return true;
         });
       }},
      {scpi::Pattern("TRIGger:HOLDoff?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, std::to_string(board(s).adc.holdoff));
         return Step::kDone;
       }},
      // INITiate, ABORt, FETCh, READ
      {scpi::Pattern("INITiate[:IMMediate]"), kControl,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) start(s, false);
         return Step::kDone;
       }},
      {scpi::Pattern("ABORt"), kControl,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u) && board(s).busy) board(s).abort = true;
         return Step::kDone;
       }},
      {scpi::Pattern("FETCh:WAVeform?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (waitForBoard(s)) return Step::kWait;
         if (Acquired* a = lastData(s)) waveform(s, *a);
         return Step::kDone;
       }},
      {scpi::Pattern("FETCh:TINDex?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (waitForBoard(s)) return Step::kWait;
         if (const Acquired* a = lastData(s)) answer(s, std::to_string(a->triggerIndex));
         return Step::kDone;
       }},
      {scpi::Pattern("READ:WAVeform?"), kControl,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u)) return Step::kDone;
         if (s.unitStep_ == 0) {
           s.unitStep_ = 1;
           start(s, false);
           if (!board(s).busy) return Step::kDone;  // refused; the error is queued
         }
         if (waitForBoard(s)) return Step::kWait;
         if (Acquired* a = lastData(s)) waveform(s, *a);
         return Step::kDone;
       }},
      // FORMat
      {scpi::Pattern("FORMat[:DATA]"), kNothing,
       [](Session& s, const Unit& u) {
         if (u.parameters.empty() || u.parameters.size() > 2) {
           s.addError(u.parameters.empty() ? err::kMissingParameter : err::kParameterNotAllowed);
           return Step::kDone;
         }
         const Parameter& p = u.parameters[0];
         if (scpi::isKeyword(p, "ASCii") && u.parameters.size() == 1) {
           s.ascii_ = true;
         } else if (scpi::isKeyword(p, "INTeger") &&
                    (u.parameters.size() == 1 ||
                     (u.parameters[1].kind == Parameter::Kind::kNumeric &&
                      u.parameters[1].number == 16))) {
           s.ascii_ = false;
         } else {
           s.addError(err::kIllegalParameterValue, "INTeger,16 or ASCii");
         }
         return Step::kDone;
       }},
      {scpi::Pattern("FORMat[:DATA]?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, s.ascii_ ? "ASC" : "INT,16");
         return Step::kDone;
       }},
      {scpi::Pattern("FORMat:BORDer"), kNothing,
       [](Session& s, const Unit& u) {
         const int k = keyword(s, u, {"NORMal", "SWAPped"});
         if (k >= 0) s.swapped_ = k == 1;
         return Step::kDone;
       }},
      {scpi::Pattern("FORMat:BORDer?"), kNothing,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u)) answer(s, s.swapped_ ? "SWAP" : "NORM");
         return Step::kDone;
       }},
      // MEASure on the last acquisition
      {scpi::Pattern("MEASure:FREQuency?"), kBoard,
       [](Session& s, const Unit& u) {
         return measure(s, u, &analysis::Measurements::fundamentalHz);
       }},
      {scpi::Pattern("MEASure:SNR?"), kBoard,
       [](Session& s, const Unit& u) { return measure(s, u, &analysis::Measurements::snrDb); }},
      {scpi::Pattern("MEASure:SINAD?"), kBoard,
       [](Session& s, const Unit& u) { return measure(s, u, &analysis::Measurements::sinadDb); }},
      {scpi::Pattern("MEASure:THD?"), kBoard,
       [](Session& s, const Unit& u) { return measure(s, u, &analysis::Measurements::thdDb); }},
      {scpi::Pattern("MEASure:SFDR?"), kBoard,
       [](Session& s, const Unit& u) { return measure(s, u, &analysis::Measurements::sfdrDbc); }},
      {scpi::Pattern("MEASure:ENOB?"), kBoard,
       [](Session& s, const Unit& u) { return measure(s, u, &analysis::Measurements::enobBits); }},
      // SOURce and OUTPut on a DAC board
      {scpi::Pattern("SOURce:FUNCtion"), kControl,
       [](Session& s, const Unit& u) {
         if (!needDac(s)) return Step::kDone;
         const int k = keyword(
             s, u, {"SINusoid", "SQUare", "PULSe", "NOISe", "RAMP", "DC", "CHIRp", "ARBitrary"});
         static const int functions[] = {KPXWAVE_TONE,  KPXWAVE_SQUARE, KPXWAVE_PULSE,
                                         KPXWAVE_NOISE, KPXWAVE_RAMP,   KPXWAVE_DC,
                                         KPXWAVE_CHIRP, kArbitrary};
         if (k < 0) return Step::kDone;
         DacSettings d = board(s).dac;
         d.function = functions[k];
         changeSource(s, d);
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:FUNCtion?"), kBoard,
       [](Session& s, const Unit& u) {
         if (!noParameters(s, u) || !needDac(s)) return Step::kDone;
         const int f = board(s).dac.function;
         answer(s, f == KPXWAVE_TONE     ? "SIN"
                   : f == KPXWAVE_SQUARE ? "SQU"
                   : f == KPXWAVE_PULSE  ? "PULS"
                   : f == KPXWAVE_NOISE  ? "NOIS"
                   : f == KPXWAVE_RAMP   ? "RAMP"
                   : f == KPXWAVE_DC     ? "DC"
                   : f == KPXWAVE_CHIRP  ? "CHIR"
                                         : "ARB");
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:FREQuency"), kControl,
       [](Session& s, const Unit& u) {
         if (!needDac(s)) return Step::kDone;
         const auto v = number(s, u, UnitKind::kFrequency);
         if (!v) return Step::kDone;
         DacSettings d = board(s).dac;
         d.frequencyHz = *v;
         changeSource(s, d);
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:FREQuency?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u) && needDac(s)) answer(s, scpi::formatNumber(board(s).dac.frequencyHz));
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:AMPLitude"), kControl,
       [](Session& s, const Unit& u) {
         if (!needDac(s)) return Step::kDone;
         const auto v = number(s, u, UnitKind::kDecibel);
         if (!v) return Step::kDone;
         DacSettings d = board(s).dac;
         d.amplitudeDbfs = *v;
         changeSource(s, d);
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:AMPLitude?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u) && needDac(s))
           answer(s, scpi::formatNumber(board(s).dac.amplitudeDbfs));
         return Step::kDone;
       }},
      {scpi::Pattern("SOURce:DATA:ARBitrary"), kControl,
       [](Session& s, const Unit& u) {
         if (!needDac(s) || !count(s, u, 1)) return Step::kDone;
         const Parameter& p = u.parameters[0];
         if (p.kind != Parameter::Kind::kBlock) {
           s.addError(err::kDataType, "a block of int16 samples is needed");
           return Step::kDone;
         }
         if (p.text.empty() || p.text.size() % 2) {
           s.addError(err::kInvalidBlockData, "the block must hold whole int16 samples, at least one");
           return Step::kDone;
         }
         auto samples = std::make_shared<std::vector<int16_t>>(p.text.size() / 2);
         const auto* bytes = reinterpret_cast<const uint8_t*>(p.text.data());
         const int high = s.swapped_ ? 1 : 0;
         for (size_t i = 0; i < samples->size(); ++i)
           (*samples)[i] = static_cast<int16_t>(
               static_cast<uint16_t>(bytes[2 * i + static_cast<size_t>(high)] << 8) |
               bytes[2 * i + static_cast<size_t>(1 - high)]);
         DacSettings d = board(s).dac;
         d.arbitrary = std::move(samples);
         changeSource(s, d);
         return Step::kDone;
       }},
      {scpi::Pattern("OUTPut[:STATe]"), kControl,
       [](Session& s, const Unit& u) {
         if (!needDac(s) || !count(s, u, 1)) return Step::kDone;
         const Parameter& p = u.parameters[0];
         int on = -1;
         if (scpi::isKeyword(p, "ON") || (p.kind == Parameter::Kind::kNumeric && p.number == 1)) on = 1;
         if (scpi::isKeyword(p, "OFF") || (p.kind == Parameter::Kind::kNumeric && p.number == 0)) on = 0;
         if (on < 0) {
           s.addError(err::kIllegalParameterValue, "ON, OFF, 1 or 0");
         } else if (on) {
           startOutput(s);
         } else {
           board(s).stopOutput();
         }
         return Step::kDone;
       }},
      {scpi::Pattern("OUTPut[:STATe]?"), kBoard,
       [](Session& s, const Unit& u) {
         if (noParameters(s, u) && needDac(s)) answer(s, board(s).outputOn ? "1" : "0");
         return Step::kDone;
       }},
  };
  return commands;
}

// ---------------------------------------------------------------------------

Session::Session(Instrument& instrument)
    : instrument_(instrument), selected_(instrument.defaultBoard()) {}

Session::~Session() {
  alive_.reset();
  // A client that goes away gives up its boards; an acquisition it started
  // ends, as nobody waits for it (its output plays on, as set).
  for (const auto& b : instrument_.boards())
    if (b->controller == this) {
      b->controller = nullptr;
      if (b->busy) b->abort = true;
    }
}

void Session::abortOwnAcquisition() {
  if (selected_ && selected_->controller == this && selected_->busy) selected_->abort = true;
}

void Session::addError(int code, std::string detail) {
  if (errors_.size() >= kErrorQueue) {
    errors_.back() = {err::kQueueOverflow, ""};
  } else {
    errors_.push_back({code, std::move(detail)});
  }
  // The event status bit of the error's class.
  if (code <= -100 && code > -200)
    esr_ |= 0x20;  // command error
  else if (code <= -200 && code > -300)
    esr_ |= 0x10;  // execution error
  else if (code <= -300 && code > -400)
    esr_ |= 0x08;  // device-dependent error
  else if (code <= -400 && code > -500)
    esr_ |= 0x04;  // query error
}

Board* Session::controlled(bool take) {
  if (!selected_) return nullptr;
  if (take && !selected_->controller) selected_->controller = this;
  return selected_;
}

void Session::run(std::string_view message, std::function<void(Response&)> done) {
  message_ = scpi::parseMessage(message);
  next_ = 0;
  unitStep_ = 0;
  response_.text.clear();
  response_.pieces.clear();
  answered_ = false;
  done_ = std::move(done);
  resume();
}

void Session::resume() {
  const auto& table = Commands::table();
  while (next_ < message_.units.size()) {
    const Unit& unit = message_.units[next_];
    const Commands::Command* found = nullptr;
    bool otherForm = false;
    for (const auto& command : table) {
      if (command.pattern.matches(unit)) {
        found = &command;
        break;
      }
      if (command.pattern.matchesPath(unit)) otherForm = true;
    }
    Step step = Step::kDone;
    if (!found) {
      addError(err::kUndefinedHeader,
               otherForm ? (unit.query ? "no query form" : "query only") : "");
    } else if (found->needs != Commands::kNothing && !selected_) {
      addError(err::kHardwareMissing, "no board");
    } else if (found->needs == Commands::kControl && selected_->controller &&
               selected_->controller != this) {
      addError(err::kSettingsConflict, selected_->name + " is controlled by another client");
    } else {
      if (found->needs == Commands::kControl) controlled(true);
      step = found->handler(*this, unit);
    }
    if (step == Step::kWait) return;
    ++next_;
    unitStep_ = 0;
  }
  if (message_.error.code != err::kNone) {
    addError(message_.error.code, message_.error.detail);
    message_.error = {};
  }
  // The units (a block among their parameters, perhaps) are not kept.
  message_.units.clear();
  message_.units.shrink_to_fit();
  auto done = std::move(done_);
  done_ = nullptr;
  done(response_);
}

}  // namespace kpx::scpi_server
