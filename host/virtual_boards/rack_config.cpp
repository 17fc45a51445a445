#include "virtual_boards/rack_config.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>

#include "kpxadac_ioctl.h"
#include "platform/files.h"
#include "virtual_boards/bounded_json.h"

namespace kpx::sim {
namespace {

using nlohmann::json;

// Every check throws this with the reason; the parser's caller turns it into
// a plain string so nothing escapes to the device entry points.
struct ConfigError {
  std::string reason;
};

// A value as a reason quotes it: its JSON text, cut short when long.
std::string shown(const json& v) {
  constexpr size_t kLongest = 60;
  std::string text = v.dump();
  if (text.size() > kLongest) text = text.substr(0, kLongest) + "...";
  return text;
}

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw ConfigError{where + ": " + what};
}

void allowOnly(const json& object, const std::string& where,
               std::initializer_list<std::string_view> keys) {
  for (const auto& item : object.items()) {
    if (std::find(keys.begin(), keys.end(), item.key()) == keys.end())
      fail(where, "unknown key \"" + item.key() + "\"");
  }
}

std::optional<uint64_t> parseUnsignedText(const std::string& text) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  return value;
}

// A whole number from 0 to `max`, given as a JSON number or as a decimal or
// "0x" hexadecimal string.
uint64_t unsignedValue(const json& v, const std::string& where, uint64_t max) {
  std::optional<uint64_t> value;
  if (v.is_number_unsigned()) {
    value = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    if (v.get<int64_t>() >= 0) value = static_cast<uint64_t>(v.get<int64_t>());
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (d >= 0 && d <= 1.8e19 && std::floor(d) == d) value = static_cast<uint64_t>(d);
  } else if (v.is_string()) {
    value = parseUnsignedText(v.get<std::string>());
  }
  if (!value || *value > max)
    fail(where, "expected a whole number from 0 to " + std::to_string(max) + ", got " + shown(v));
  return *value;
}

uint32_t u32(const json& v, const std::string& where) {
  return static_cast<uint32_t>(unsignedValue(v, where, 0xFFFFFFFFu));
}

uint8_t byteValue(const json& v, const std::string& where) {
  return static_cast<uint8_t>(unsignedValue(v, where, 255));
}

double realValue(const json& v, const std::string& where, double min, double max) {
  if (!v.is_number() || !(v.get<double>() >= min && v.get<double>() <= max)) {
    std::ostringstream range;
    range << "expected a number from " << min << " to " << max << ", got " << shown(v);
    fail(where, range.str());
  }
  return v.get<double>();
}

// null or -1: never; otherwise a count of reads.
ReadCount readCount(const json& v, const std::string& where) {
  if (v.is_null() || (v.is_number_integer() && v.get<int64_t>() == -1)) return std::nullopt;
  if (!v.is_number() && !v.is_string()) fail(where, "expected a count of reads, -1 or null");
  return u32(v, where);
}

// Keys every generated waveform takes, and those of each waveform.
constexpr std::string_view kWaveTypes =
    "\"tone\", \"multitone\", \"chirp\", \"square\", \"pulse\", \"noise\", \"dc\", "
    "\"ramp\" or \"file\"";

int32_t waveformOf(const std::string& type) {
  static const std::pair<const char*, int32_t> kTypes[] = {
      {"tone", KPXWAVE_TONE},   {"multitone", KPXWAVE_MULTITONE},
      {"chirp", KPXWAVE_CHIRP}, {"square", KPXWAVE_SQUARE},
      {"pulse", KPXWAVE_PULSE}, {"noise", KPXWAVE_NOISE},
      {"dc", KPXWAVE_DC},       {"ramp", KPXWAVE_RAMP}};
  for (const auto& [name, waveform] : kTypes)
    if (type == name) return waveform;
  return -1;
}

SignalSettings parseSignal(const json& v, const std::string& where) {
  if (!v.is_object()) fail(where, "expected an object");
  SignalSettings settings;
  std::string type = "tone";
  if (v.contains("type")) {
    if (!v["type"].is_string()) fail(where + ".type", "expected " + std::string(kWaveTypes));
    type = v["type"].get<std::string>();
  }
  if (type == "file") {
    settings.kind = SignalSettings::Kind::kFile;
    allowOnly(v, where, {"type", "path", "loop", "comment"});
    if (!v.contains("path") || !v["path"].is_string() || v["path"].get<std::string>().empty())
      fail(where + ".path", "expected the path of a recording");
    settings.path = v["path"].get<std::string>();
    if (v.contains("loop")) {
      if (!v["loop"].is_boolean()) fail(where + ".loop", "expected true or false");
      settings.loop = v["loop"].get<bool>();
    }
    return settings;
  }
  const int32_t waveform = waveformOf(type);
  if (waveform < 0)
    fail(where + ".type", "expected " + std::string(kWaveTypes) + ", got " + shown(v["type"]));
  KpxWaveSettings& wave = settings.wave;
  if (waveform == KPXWAVE_RAMP) {
    wave.waveform = KPXWAVE_RAMP;
    allowOnly(v, where, {"type", "comment"});
    return settings;
  }
  if (waveform != KPXWAVE_TONE) {
    // The other waveforms start from the generator's defaults, without noise.
    KpxWave_DefaultSettings(&wave, waveform, 0);
    wave.startHz = wave.stopHz = -1;  // the chirp's band follows the board's rate
  }
  switch (waveform) {
    case KPXWAVE_TONE:
      allowOnly(v, where,
                {"type", "frequency_hz", "amplitude_dbfs", "phase_deg", "noise_lsb_rms", "seed",
                 "harmonics_dbc", "comment"});
      break;
    case KPXWAVE_MULTITONE:
      allowOnly(v, where,
                {"type", "frequencies_hz", "amplitude_dbfs", "phase_deg", "noise_lsb_rms", "seed",
                 "comment"});
      break;
    case KPXWAVE_CHIRP:
      allowOnly(v, where,
                {"type", "start_hz", "stop_hz", "sweep_time_s", "amplitude_dbfs", "phase_deg",
                 "noise_lsb_rms", "seed", "comment"});
      break;
    case KPXWAVE_SQUARE:
      allowOnly(v, where,
                {"type", "frequency_hz", "duty", "amplitude_dbfs", "phase_deg", "noise_lsb_rms",
                 "seed", "comment"});
      break;
    case KPXWAVE_PULSE:
      allowOnly(v, where,
                {"type", "width", "period", "amplitude_dbfs", "baseline", "noise_lsb_rms", "seed",
                 "comment"});
      break;
    default:  // noise, dc
      allowOnly(v, where, {"type", "amplitude_dbfs", "noise_lsb_rms", "seed", "comment"});
      break;
  }
  if (v.contains("frequency_hz"))
    wave.frequenciesHz[0] = realValue(v["frequency_hz"], where + ".frequency_hz", 0, 1e10);
  if (v.contains("frequencies_hz")) {
    const json& list = v["frequencies_hz"];
    if (!list.is_array() || list.empty() || list.size() > KPXWAVE_MAX_TONES)
      fail(where + ".frequencies_hz", "expected a list of 1 to 32 frequencies");
    wave.frequencyCount = static_cast<uint32_t>(list.size());
    for (size_t i = 0; i < list.size(); ++i)
      wave.frequenciesHz[i] =
          realValue(list[i], where + ".frequencies_hz[" + std::to_string(i) + "]", 0, 1e10);
  } else if (waveform == KPXWAVE_MULTITONE) {
    fail(where, "a multitone needs \"frequencies_hz\"");
  }
  if (v.contains("amplitude_dbfs"))
    wave.amplitudeDbfs = realValue(v["amplitude_dbfs"], where + ".amplitude_dbfs", -200, 0);
  if (v.contains("phase_deg"))
    wave.phaseDeg = realValue(v["phase_deg"], where + ".phase_deg", -360, 360);
  if (v.contains("noise_lsb_rms"))
    wave.noiseLsbRms = realValue(v["noise_lsb_rms"], where + ".noise_lsb_rms", 0, 10000);
  if (v.contains("seed")) wave.seed = unsignedValue(v["seed"], where + ".seed", UINT64_MAX);
  if (v.contains("start_hz")) wave.startHz = realValue(v["start_hz"], where + ".start_hz", 0, 1e10);
  if (v.contains("stop_hz")) wave.stopHz = realValue(v["stop_hz"], where + ".stop_hz", 0, 1e10);
  if (v.contains("sweep_time_s"))
    wave.sweepTimeS = realValue(v["sweep_time_s"], where + ".sweep_time_s", 0, 1e6);
  if (v.contains("duty")) wave.duty = realValue(v["duty"], where + ".duty", 0, 1);
  if (v.contains("width"))
    wave.widthSamples = unsignedValue(v["width"], where + ".width", uint64_t{1} << 40);
  if (v.contains("period")) {
    const json& period = v["period"];
    const std::string at = where + ".period";
    if (period.is_array()) {
      if (period.size() != 2) fail(at, "expected a number of samples or [minimum, maximum]");
      wave.periodSamples = 0;
      wave.minIntervalSamples = unsignedValue(period[0], at + "[0]", uint64_t{1} << 40);
      wave.maxIntervalSamples = unsignedValue(period[1], at + "[1]", uint64_t{1} << 40);
    } else {
      wave.periodSamples = unsignedValue(period, at, uint64_t{1} << 40);
      if (wave.periodSamples == 0) fail(at, "expected at least 1 sample");
    }
  }
  if (v.contains("baseline"))
    wave.baselineLsb =
        static_cast<int32_t>(realValue(v["baseline"], where + ".baseline", -32768, 32767));
  if (v.contains("harmonics_dbc")) {
    const std::string at = where + ".harmonics_dbc";
    const json& levels = v["harmonics_dbc"];
    if (!levels.is_object()) fail(at, "expected an object of levels by order, {\"2\": -70}");
    for (const auto& item : levels.items()) {
      const std::string& order = item.key();
      if (order == "comment") continue;
      const bool known = order.size() == 1 && order[0] >= '0' + SignalSettings::kFirstHarmonic &&
                         order[0] <= '0' + SignalSettings::kLastHarmonic;
      if (!known) fail(at, "unknown harmonic \"" + order + "\" (orders 2 to 6)");
      if (item.value().is_null()) continue;
      const auto index = static_cast<size_t>(order[0] - '0' - SignalSettings::kFirstHarmonic);
      wave.harmonicsDbc[index] = realValue(item.value(), at + "." + order, -200, 0);
      wave.harmonicsUsed |= 1u << index;
    }
  }
  return settings;
}

// Checks what only the board's rate can tell: the generator's own checks,
// and that a recording can be read.
void checkSignal(SignalSettings& signal, double sampleRateHz, const std::string& where) {
  if (signal.kind == SignalSettings::Kind::kWaveform && signal.wave.waveform == KPXWAVE_CHIRP) {
    if (signal.wave.startHz < 0) signal.wave.startHz = sampleRateHz / 20;
    if (signal.wave.stopHz < 0) signal.wave.stopHz = sampleRateHz * 9 / 20;
  }
  std::string reason;
  if (signal.kind == SignalSettings::Kind::kFile ||
      (signal.wave.waveform != KPXWAVE_TONE && signal.wave.waveform != KPXWAVE_RAMP)) {
    if (!SampleSource::make(signal, sampleRateHz, reason)) fail(where, reason);
    return;
  }
  KpxWaveSettings wave = signal.wave;
  wave.sampleRateHz = sampleRateHz;
  // A tone's frequency is rounded to a whole number of cycles in its period,
  // at most the generator's limit, half the rate (SampleSource::make).
  wave.frequenciesHz[0] = std::min(wave.frequenciesHz[0], KpxWave_MaxFrequencyHz(sampleRateHz));
  KpxWave* made = nullptr;
  const int32_t result = KpxWave_Create(&wave, &made);
  KpxWave_Destroy(made);
  if (result != KPXWAVE_OK) fail(where, KpxWave_ResultText(result));
}

bool isFaultOp(const std::string& op) {
  return driver::findRequest(op) != nullptr || op == "open" || op == "close" || op == "read" ||
         op == "write" || op == "cancel";
}

FaultRule parseFault(const json& v, const std::string& where) {
  if (!v.is_object()) fail(where, "expected an object");
  allowOnly(v, where,
            {"op", "error", "skip", "count", "returned", "rx_overrun", "tx_underrun", "comment"});
  FaultRule rule;
  if (!v.contains("op") || !v["op"].is_string()) fail(where, "\"op\" is required (a name)");
  rule.op = v["op"].get<std::string>();
  if (!isFaultOp(rule.op))
    fail(where + ".op", "unknown operation \"" + rule.op +
                            "\" (use a request name such as \"IOCTL_GET_HSREG\", or open, close, "
                            "read, write, cancel)");
  if (v.contains("skip")) rule.skip = u32(v["skip"], where + ".skip");
  if (v.contains("count")) rule.count = u32(v["count"], where + ".count");
  if (v.contains("rx_overrun")) rule.rxOverrun = u32(v["rx_overrun"], where + ".rx_overrun");
  if (v.contains("tx_underrun")) rule.txUnderrun = u32(v["tx_underrun"], where + ".tx_underrun");
  if (v.contains("returned")) {
    if (rule.op == "open" || rule.op == "close" || rule.op == "cancel")
      fail(where + ".returned", "\"" + rule.op + "\" moves no bytes");
    if (v.contains("error")) fail(where, "\"returned\" and \"error\" exclude each other");
    rule.returned = u32(v["returned"], where + ".returned");
  }
  if (v.contains("error")) {
    rule.error = u32(v["error"], where + ".error");
    if (rule.error == 0) fail(where + ".error", "0 is not an error");
  }
  const bool counterOnly =
      (v.contains("rx_overrun") || v.contains("tx_underrun")) && !v.contains("error");
  rule.fails = !rule.returned && !counterOnly;
  return rule;
}

using Sources = std::vector<std::pair<std::string, SignalSettings>>;

// The largest model a "through" takes; far beyond any device to be measured.
constexpr size_t kMaxSections = 64;
constexpr size_t kMaxFirTaps = 4096;
constexpr size_t kMaxPolynomial = 16;
constexpr double kMaxCoefficient = 1e9;

std::vector<double> numberList(const json& v, const std::string& where, size_t most, double limit) {
  if (!v.is_array() || v.empty() || v.size() > most)
    fail(where, "expected a list of 1 to " + std::to_string(most) + " numbers");
  std::vector<double> list;
  for (size_t i = 0; i < v.size(); ++i)
    list.push_back(realValue(v[i], where + "[" + std::to_string(i) + "]", -limit, limit));
  return list;
}

ThroughSettings parseThrough(const json& v, const std::string& where) {
  if (!v.is_object()) fail(where, "expected an object");
  allowOnly(
      v, where,
      {"gain_db", "delay_samples", "sos", "fir", "polynomial", "noise_lsb_rms", "seed", "comment"});
  ThroughSettings t;
  if (v.contains("gain_db")) t.gainDb = realValue(v["gain_db"], where + ".gain_db", -200, 200);
  if (v.contains("delay_samples"))
    t.delaySamples = realValue(v["delay_samples"], where + ".delay_samples", 0, 1e6);
  if (v.contains("sos")) {
    const json& sections = v["sos"];
    const std::string at = where + ".sos";
    if (!sections.is_array() || sections.empty() || sections.size() > kMaxSections)
      fail(at, "expected a list of 1 to 64 sections [b0, b1, b2, a0, a1, a2]");
    for (size_t i = 0; i < sections.size(); ++i) {
      const std::string here = at + "[" + std::to_string(i) + "]";
      if (!sections[i].is_array() || sections[i].size() != 6)
        fail(here, "expected [b0, b1, b2, a0, a1, a2]");
      const std::vector<double> c = numberList(sections[i], here, 6, kMaxCoefficient);
      if (c[3] == 0) fail(here, "a0 is 0");
      // Poles inside the unit circle: |a2| < 1 and |a1| < 1 + a2 (normalised).
      const double a1 = c[4] / c[3], a2 = c[5] / c[3];
      if (!(std::abs(a2) < 1 && std::abs(a1) < 1 + a2))
        fail(here, "the section is unstable (a pole on or outside the unit circle)");
      t.sos.push_back({c[0], c[1], c[2], c[3], c[4], c[5]});
    }
  }
  if (v.contains("fir")) t.fir = numberList(v["fir"], where + ".fir", kMaxFirTaps, kMaxCoefficient);
  if (v.contains("polynomial"))
    t.polynomial = numberList(v["polynomial"], where + ".polynomial", kMaxPolynomial, 1e6);
  if (v.contains("noise_lsb_rms"))
    t.noiseLsbRms = realValue(v["noise_lsb_rms"], where + ".noise_lsb_rms", 0, 10000);
  if (v.contains("seed")) t.seed = unsignedValue(v["seed"], where + ".seed", UINT64_MAX);
  return t;
}

BoardInput parseInput(const json& v, const std::string& where, const Sources& sources) {
  BoardInput input;
  if (v.is_string()) {
    input.kind = BoardInput::Kind::kSource;
    input.source = v.get<std::string>();
    for (const auto& [name, settings] : sources)
      if (name == input.source) return input;
    std::string known;
    for (const auto& [name, settings] : sources) known += (known.empty() ? "" : ", ") + name;
    fail(where,
         "unknown source " + shown(v) +
             (known.empty() ? " (the rack has no \"sources\")" : " (sources: " + known + ")"));
  }
  if (!v.is_object())
    fail(where, "expected a source's name or {\"dac\": device, \"through\": {...}}");
  allowOnly(v, where, {"dac", "through", "comment"});
  if (!v.contains("dac")) fail(where, "\"dac\" is required (the DAC board's device)");
  input.kind = BoardInput::Kind::kDac;
  input.dac = static_cast<int>(unsignedValue(v["dac"], where + ".dac", driver::kLastDevice));
  if (v.contains("through")) input.through = parseThrough(v["through"], where + ".through");
  return input;
}

BoardConfig parseBoard(const json& v, const std::string& where, size_t position,
                       const Sources& sources) {
  if (!v.is_object()) fail(where, "expected an object");
  allowOnly(v, where,
            {"device",
             "board_id",
             "fixed_clock",
             "ident",
             "status",
             "faults",
             "registers",
             "signal",
             "clock_ready",
             "ready_after_reads",
             "busy_reads",
             "table_busy_reads",
             "sequence_reads",
             "sequence_result",
             "synthesizer_rate_hz",
             "fixed_clock_rate_hz",
             "read_timeout_ms",
             "realtime",
             "fifo_depth",
             "bitstream_result",
             "rx_overrun",
             "tx_underrun",
             "output_file",
             "input",
             "timeline_offset",
             "clock_ppm",
             "comment"});
  BoardConfig b;
  b.device = static_cast<int>(position);
  if (v.contains("device"))
    b.device = static_cast<int>(unsignedValue(v["device"], where + ".device", driver::kLastDevice));
  if (b.device > driver::kLastDevice)
    fail(where,
         "device " + std::to_string(b.device) + " is out of range 0 to 64 (give \"device\")");
  if (v.contains("board_id"))
    b.boardId = static_cast<int>(byteValue(v["board_id"], where + ".board_id"));
  if (v.contains("fixed_clock")) b.fixedClock = byteValue(v["fixed_clock"], where + ".fixed_clock");
  if (v.contains("status")) b.status = byteValue(v["status"], where + ".status");
  if (v.contains("ident")) {
    const json& ident = v["ident"];
    if (!ident.is_array() || ident.size() != 5) fail(where + ".ident", "expected 5 bytes");
    for (size_t i = 0; i < 5; ++i)
      b.ident[i] = byteValue(ident[i], where + ".ident[" + std::to_string(i) + "]");
  }
  if (v.contains("registers")) {
    const json& regs = v["registers"];
    if (!regs.is_object()) fail(where + ".registers", "expected an object of offset: value");
    for (const auto& item : regs.items()) {
      const std::string at = where + ".registers[\"" + item.key() + "\"]";
      const auto offset = parseUnsignedText(item.key());
      if (!offset || *offset > 0xFFFFFFFFu) fail(at, "the key must be a 32-bit offset");
      b.registers[static_cast<uint32_t>(*offset)] = u32(item.value(), at);
    }
  }
  if (v.contains("signal")) b.signal = parseSignal(v["signal"], where + ".signal");
  if (v.contains("ready_after_reads"))
    b.readyAfterReads = readCount(v["ready_after_reads"], where + ".ready_after_reads");
  if (v.contains("clock_ready")) {
    if (!v["clock_ready"].is_boolean()) fail(where + ".clock_ready", "expected true or false");
    if (!v["clock_ready"].get<bool>()) {
      if (v.contains("ready_after_reads") && b.readyAfterReads)
        fail(where, "\"clock_ready\": false contradicts \"ready_after_reads\"");
      b.readyAfterReads = std::nullopt;
    }
  }
  if (v.contains("busy_reads")) b.busyReads = readCount(v["busy_reads"], where + ".busy_reads");
  if (v.contains("table_busy_reads"))
    b.tableBusyReads = readCount(v["table_busy_reads"], where + ".table_busy_reads");
  if (v.contains("sequence_reads"))
    b.sequenceReads = readCount(v["sequence_reads"], where + ".sequence_reads");
  if (v.contains("sequence_result")) {
    b.sequenceResult = byteValue(v["sequence_result"], where + ".sequence_result");
    if (b.sequenceResult != 4 && (b.sequenceResult < 8 || b.sequenceResult > 15))
      fail(where + ".sequence_result", "expected 4 (done) or an error code from 8 to 15");
  }
  if (v.contains("synthesizer_rate_hz"))
    b.synthesizerRateHz =
        realValue(v["synthesizer_rate_hz"], where + ".synthesizer_rate_hz", 1, 1e10);
  if (v.contains("fixed_clock_rate_hz"))
    b.fixedClockRateHz =
        realValue(v["fixed_clock_rate_hz"], where + ".fixed_clock_rate_hz", 1, 1e10);
  if (v.contains("read_timeout_ms"))
    b.readTimeoutMs = static_cast<uint32_t>(
        unsignedValue(v["read_timeout_ms"], where + ".read_timeout_ms", 60000));
  if (v.contains("realtime")) {
    if (!v["realtime"].is_boolean()) fail(where + ".realtime", "expected true or false");
    b.realtime = v["realtime"].get<bool>();
  }
  if (v.contains("fifo_depth")) {
    b.fifoDepthSamples =
        unsignedValue(v["fifo_depth"], where + ".fifo_depth", kMaxFifoDepthSamples);
    // The FIFO moves whole 32-bit words, two samples each.
    if (b.fifoDepthSamples < 2 || b.fifoDepthSamples % 2 != 0)
      fail(where + ".fifo_depth", "expected an even number of samples, at least 2");
  }
  if (v.contains("bitstream_result"))
    b.bitstreamResult = u32(v["bitstream_result"], where + ".bitstream_result");
  if (v.contains("rx_overrun")) b.rxOverrun = u32(v["rx_overrun"], where + ".rx_overrun");
  if (v.contains("tx_underrun")) b.txUnderrun = u32(v["tx_underrun"], where + ".tx_underrun");
  if (v.contains("faults")) {
    const json& faults = v["faults"];
    if (!faults.is_array()) fail(where + ".faults", "expected a list");
    for (size_t i = 0; i < faults.size(); ++i)
      b.faults.push_back(parseFault(faults[i], where + ".faults[" + std::to_string(i) + "]"));
  }
  if (v.contains("output_file")) {
    const json& output = v["output_file"];
    if (!output.is_string() || output.get<std::string>().empty())
      fail(where + ".output_file", "expected the path of a file");
    if (!driver::isDacBoardId(b.boardId))
      fail(where + ".output_file", "only a DAC board (board_id 0x86 to 0x89) plays samples");
    b.outputFile = output.get<std::string>();
    // Opened once, here: a FIFO's reader then sees one writer from the
    // first sample to the end of the rack.
    std::string reason;
    const platform::FileHandle file = platform::openOutputFile(b.outputFile.c_str(), reason);
    if (file == platform::kNoFile) fail(where + ".output_file", reason);
    b.output = std::make_shared<OutputFile>(file, b.outputFile);
  }
  if (v.contains("input")) {
    if (v.contains("signal"))
      fail(where, "\"signal\" and \"input\" exclude each other (the board takes one of them)");
    b.input = parseInput(v["input"], where + ".input", sources);
    for (const auto& [name, settings] : sources)
      if (name == b.input.source) b.signal = settings;
  }
  for (const char* key : {"timeline_offset", "clock_ppm"}) {
    if (!v.contains(key)) continue;
    if (b.input.kind != BoardInput::Kind::kSource)
      fail(where + "." + key, "places a board on a source; give \"input\": a source's name");
    if (b.realtime)
      fail(where + "." + key,
           "not for a real-time board: its place on the timeline is the moment its channel starts");
  }
  if (v.contains("timeline_offset"))
    b.timelineOffset = realValue(v["timeline_offset"], where + ".timeline_offset",
                                 -kMaxTimelineOffset, kMaxTimelineOffset);
  if (v.contains("clock_ppm"))
    b.clockPpm = realValue(v["clock_ppm"], where + ".clock_ppm", -kMaxClockPpm, kMaxClockPpm);
  checkSignal(b.signal, b.fixedClock != 0 ? b.fixedClockRateHz : b.synthesizerRateHz,
              where + (b.input.kind == BoardInput::Kind::kSource ? ".input" : ".signal"));
  return b;
}

double rateOf(const BoardConfig& b) {
  return b.fixedClock != 0 ? b.fixedClockRateHz : b.synthesizerRateHz;
}

std::string hertz(double rate) {
  std::ostringstream text;
  text << rate << " Hz";
  return text.str();
}

// What only the whole rack can tell: boards on one source run at one rate,
// and a DAC output goes to an ADC board of the same kind and rate.
void checkWiring(RackConfig& rack) {
  for (size_t i = 0; i < rack.boards.size(); ++i) {
    BoardConfig& b = rack.boards[i];
    const std::string where = "boards[" + std::to_string(i) + "].input";
    if (b.input.kind == BoardInput::Kind::kSource) {
      for (size_t j = 0; j < i; ++j) {
        const BoardConfig& other = rack.boards[j];
        if (other.input.kind == BoardInput::Kind::kSource && other.input.source == b.input.source &&
            rateOf(other) != rateOf(b))
          fail(where, "boards on source \"" + b.input.source +
                          "\" share its timeline at one rate: " + hertz(rateOf(b)) + " here, " +
                          hertz(rateOf(other)) + " on boards[" + std::to_string(j) + "]");
      }
    }
    if (b.input.kind != BoardInput::Kind::kDac) continue;
    if (b.input.dac == b.device) fail(where, "a board cannot take its own output (a loop)");
    if (driver::isDacBoardId(b.boardId))
      fail(where, "only an ADC board takes a DAC's output (this board is a DAC board)");
    BoardConfig* dac = nullptr;
    for (BoardConfig& other : rack.boards)
      if (other.device == b.input.dac) dac = &other;
    const std::string device = "device " + std::to_string(b.input.dac);
    if (!dac) fail(where + ".dac", device + " is not in the rack");
    if (!driver::isDacBoardId(dac->boardId))
      fail(where + ".dac", device + " is not a DAC board (board_id 0x86 to 0x89)");
    if (dac->realtime != b.realtime)
      fail(where + ".dac", device + " and this board must both be real-time or both unpaced");
    if (rateOf(*dac) != rateOf(b))
      fail(where + ".dac", device + " plays at " + hertz(rateOf(*dac)) +
                               ", this board samples at " + hertz(rateOf(b)) +
                               "; wired boards share one rate");
    dac->feedsAdc = true;
  }
}

}  // namespace

OutputFile::~OutputFile() {
  platform::closeFile(handle);
}

std::optional<std::string> parseRackJson(std::string_view text, RackConfig& rack) {
  rack = RackConfig{};
  if (text.size() > kMaxRackBytes)
    return "the rack description holds " + std::to_string(text.size()) +
           " bytes, more than the limit of " + std::to_string(kMaxRackBytes);
  try {
    const json root = parseBoundedJson(text, "the rack description");
    if (!root.is_object()) fail("configuration", "expected a JSON object");
    allowOnly(root, "configuration", {"boards", "sources", "comment", "journal"});
    if (root.contains("sources")) {
      const json& sources = root["sources"];
      if (!sources.is_object()) fail("sources", "expected an object of name: signal");
      for (const auto& item : sources.items()) {
        if (item.key() == "comment") continue;
        const std::string where = "sources[\"" + item.key() + "\"]";
        if (item.key().empty() || item.key().size() > 64)
          fail("sources", "a source's name has 1 to 64 characters");
        rack.sources.emplace_back(item.key(), parseSignal(item.value(), where));
      }
    }
    if (root.contains("journal")) {
      if (!root["journal"].is_boolean()) fail("journal", "expected true or false");
      rack.journal = root["journal"].get<bool>();
    }
    if (root.contains("boards")) {
      const json& boards = root["boards"];
      if (!boards.is_array()) fail("boards", "expected a list");
      for (size_t i = 0; i < boards.size(); ++i) {
        const std::string where = "boards[" + std::to_string(i) + "]";
        BoardConfig board = parseBoard(boards[i], where, i, rack.sources);
        for (const BoardConfig& other : rack.boards)
          if (other.device == board.device)
            fail(where, "device " + std::to_string(board.device) + " is given twice");
        rack.boards.push_back(std::move(board));
      }
      checkWiring(rack);
    }
    return std::nullopt;
  } catch (const ConfigError& e) {
    rack = RackConfig{};
    return e.reason;
  } catch (const JsonTooDeep& e) {
    rack = RackConfig{};
    return e.reason;
  } catch (const std::exception& e) {
    rack = RackConfig{};
    return std::string("invalid JSON: ") + e.what();
  }
}

std::optional<std::string> loadRackConfig(std::string_view value, RackConfig& rack) {
  rack = RackConfig{};
  // "default" names the default rack where a shell cannot set an empty value.
  if (value.empty() || value == "default") {
    rack.boards.emplace_back();  // one ADC board, ID 0x8A, synthesizer clock, tone
    return std::nullopt;
  }
  if (value == "none") return std::nullopt;
  const size_t first = value.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && value[first] == '{') return parseRackJson(value, rack);
  std::string text;
  const std::string path(value);
  if (auto reason = platform::readWholeFile(path.c_str(), kMaxRackBytes, text)) return reason;
  if (auto reason = parseRackJson(text, rack)) return path + ": " + *reason;
  return std::nullopt;
}

}  // namespace kpx::sim
