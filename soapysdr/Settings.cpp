// Everything of a KPX-ADAC device but its streams: identification, the one
// channel, sample rates and clocks, sensors, the register interface and the
// settings.
#include <SoapySDR/Logger.hpp>
#include <cstdio>
#include <stdexcept>

#include "SoapyKpxadac.hpp"
#include "kpxadc.h"

namespace kpxsoapy {

namespace {

constexpr const char* kRegisterInterface = "board";
constexpr const char* kBitstreamSetting = "bitstream";
constexpr const char* kSynthesizerSource = "synthesizer";
constexpr const char* kFixedSource = "fixed";

const char* directionName(int direction) {
  return direction == SOAPY_SDR_RX ? "RX" : "TX";
}

// "105e6": rates in whole MHz read as the rates are written everywhere else.
std::string rateText(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%ge6", rate / 1e6);
  return text;
}

SoapySDR::ArgInfo sensorInfo(const std::string& key, SoapySDR::ArgInfo::Type type,
                             const std::string& name, const std::string& description) {
  SoapySDR::ArgInfo info;
  info.key = key;
  info.type = type;
  info.name = name;
  info.description = description;
  return info;
}

const SoapySDR::ArgInfoList& sensors() {
  static const SoapySDR::ArgInfoList list = {
      sensorInfo("clock_ready", SoapySDR::ArgInfo::BOOL, "Clock ready",
                 "the sample clock's ready bit (clock register, bit 8)"),
      sensorInfo("rx_overrun_count", SoapySDR::ArgInfo::INT, "Receive overruns",
                 "the streaming channel's receive overrun counter (lost 32-bit words)"),
      sensorInfo("tx_underrun_count", SoapySDR::ArgInfo::INT, "Transmit underruns",
                 "the streaming channel's transmit underrun counter"),
      sensorInfo("board_status", SoapySDR::ArgInfo::INT, "Board status",
                 "the board's status byte; bit 0 is set once an FPGA image is loaded"),
      sensorInfo("fpga_part", SoapySDR::ArgInfo::STRING, "FPGA part",
                 "the FPGA part the board ID calls for"),
  };
  return list;
}

std::string sensorKeys() {
  std::string keys;
  for (const auto& info : sensors()) keys += (keys.empty() ? "" : ", ") + info.key;
  return keys;
}

void checkRegisterInterface(const std::string& name) {
  if (name != kRegisterInterface)
    throw std::invalid_argument("kpxadac: unknown register interface '" + name +
                                "'; the interface is 'board'");
}

}  // namespace

SoapyKpxadac::SoapyKpxadac(const BoardEntry& board) : board_(board) {
  synthesizer_ = KpxBoard_ReportedClock(board_.handle) == KPXBOARD_CLOCK_SYNTHESIZER;
}

SoapyKpxadac::~SoapyKpxadac() {
  if (stream_) closeStream(reinterpret_cast<SoapySDR::Stream*>(stream_));
}

std::string SoapyKpxadac::getDriverKey() const {
  return "kpxadac";
}

std::string SoapyKpxadac::getHardwareKey() const {
  return board_.type == BOARD_TYPE_DAC ? "KPX-ADAC DAC" : "KPX-ADAC ADC";
}

SoapySDR::Kwargs SoapyKpxadac::getHardwareInfo() const {
  SoapySDR::Kwargs info = describeBoard(board_);
  info.erase("driver");
  info["fpga_part"] = board_.fpgaPart;
  return info;
}

int SoapyKpxadac::boardDirection() const {
  return board_.type == BOARD_TYPE_DAC ? SOAPY_SDR_TX : SOAPY_SDR_RX;
}

size_t SoapyKpxadac::getNumChannels(int direction) const {
  return direction == boardDirection() ? 1 : 0;
}

bool SoapyKpxadac::getFullDuplex(int, size_t) const {
  return false;
}

void SoapyKpxadac::checkChannel(int direction, size_t channel) const {
  if (direction != boardDirection())
    throw std::invalid_argument(std::string("kpxadac: ") + getHardwareKey() + " boards have no " +
                                directionName(direction) + " channel");
  if (channel != 0)
    throw std::invalid_argument("kpxadac: no channel " + std::to_string(channel) +
                                "; the board has one channel, 0");
}

void SoapyKpxadac::setSampleRate(int direction, size_t channel, double rate) {
  checkChannel(direction, channel);
  const double synthesizerRate = KpxBoard_ClockRateHz(board_.handle, KPXBOARD_CLOCK_SYNTHESIZER);
  const double fixedRate = KpxBoard_ClockRateHz(board_.handle, KPXBOARD_CLOCK_FIXED);
  bool synthesizer = false;
  if (rate == synthesizerRate)
    synthesizer = true;
  else if (rate != fixedRate)
    throw std::invalid_argument("kpxadac: sample rate " + std::to_string(rate) +
                                " not available; the rates are " + rateText(synthesizerRate) +
                                " (synthesizer) or " + rateText(fixedRate) + " (fixed clock)");
  chooseClock(synthesizer);
}

void SoapyKpxadac::chooseClock(bool synthesizer) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The stream sets the clock up as it starts.
  if (streamActive_ && synthesizer != synthesizer_)
    throw std::runtime_error(
        "kpxadac: the clock cannot change while the stream runs; "
        "deactivate the stream first");
  synthesizer_ = synthesizer;
}

double SoapyKpxadac::getSampleRate(int direction, size_t channel) const {
  checkChannel(direction, channel);
  return rate();
}

int32_t SoapyKpxadac::chosenClock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return synthesizer_ ? KPXBOARD_CLOCK_SYNTHESIZER : KPXBOARD_CLOCK_FIXED;
}

double SoapyKpxadac::rate() const {
  return KpxBoard_ClockRateHz(board_.handle, chosenClock());
}

std::vector<double> SoapyKpxadac::listSampleRates(int direction, size_t channel) const {
  checkChannel(direction, channel);
  return {KpxBoard_ClockRateHz(board_.handle, KPXBOARD_CLOCK_FIXED),
          KpxBoard_ClockRateHz(board_.handle, KPXBOARD_CLOCK_SYNTHESIZER)};
}

SoapySDR::RangeList SoapyKpxadac::getSampleRateRange(int direction, size_t channel) const {
  SoapySDR::RangeList ranges;
  for (double rate : listSampleRates(direction, channel))
    ranges.push_back(SoapySDR::Range(rate, rate));
  return ranges;
}

std::vector<std::string> SoapyKpxadac::listClockSources() const {
  return {kSynthesizerSource, kFixedSource};
}

void SoapyKpxadac::setClockSource(const std::string& source) {
  if (source != kSynthesizerSource && source != kFixedSource)
    throw std::invalid_argument("kpxadac: unknown clock source '" + source +
                                "'; the sources are synthesizer and fixed");
  chooseClock(source == kSynthesizerSource);
}

std::string SoapyKpxadac::getClockSource() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return synthesizer_ ? kSynthesizerSource : kFixedSource;
}

std::vector<std::string> SoapyKpxadac::listSensors() const {
  std::vector<std::string> keys;
  for (const auto& info : sensors()) keys.push_back(info.key);
  return keys;
}

SoapySDR::ArgInfo SoapyKpxadac::getSensorInfo(const std::string& key) const {
  for (const auto& info : sensors())
    if (info.key == key) return info;
  throw std::invalid_argument("kpxadac: unknown sensor '" + key + "'; the sensors are " +
                              sensorKeys());
}

std::string SoapyKpxadac::readSensor(const std::string& key) const {
  if (key == "clock_ready") return KPXADC_GetClockReady(board_.handle) == 1 ? "true" : "false";
  if (key == "rx_overrun_count" || key == "tx_underrun_count") {
    TalvoErrorCounts counts{};
    if (TalvoGetError(board_.handle, &counts) != 0)
      throw std::runtime_error("kpxadac: the streaming channel's error counters cannot be read");
    return std::to_string(key == "rx_overrun_count" ? counts.rxOverrunCount
                                                    : counts.txUnderrunCount);
  }
  if (key == "board_status") {
    const int32_t status = Kpxadac16_GetBoardStatus(board_.handle);
    if (status < 0)
      throw std::runtime_error(std::string("kpxadac: board status not read: ") +
                               KpxBoard_QueryResultText(KPXBOARD_QUERY_STATUS, status));
    return std::to_string(status);
  }
  if (key == "fpga_part") {
    return board_.fpgaPart;
  }
  return getSensorInfo(key).value;  // throws for an unknown key
}

std::vector<std::string> SoapyKpxadac::listRegisterInterfaces() const {
  return {kRegisterInterface};
}

void SoapyKpxadac::writeRegister(const std::string& name, unsigned addr, unsigned value) {
  checkRegisterInterface(name);
  // The write answers with the value written, so -1 is a failure only
  // when the value was not all ones.
  if (Kpxadac16_WriteReg(board_.handle, addr, value) == -1 && value != 0xFFFFFFFFu)
    throw std::runtime_error("kpxadac: register " + std::to_string(addr) + " not written");
}

unsigned SoapyKpxadac::readRegister(const std::string& name, unsigned addr) const {
  checkRegisterInterface(name);
  return Kpxadac16_ReadReg(board_.handle, addr);
}

void SoapyKpxadac::writeRegister(unsigned addr, unsigned value) {
  writeRegister(kRegisterInterface, addr, value);
}

unsigned SoapyKpxadac::readRegister(unsigned addr) const {
  return readRegister(kRegisterInterface, addr);
}

SoapySDR::ArgInfoList SoapyKpxadac::getSettingInfo() const {
  SoapySDR::ArgInfo bitstream;
  bitstream.key = kBitstreamSetting;
  bitstream.type = SoapySDR::ArgInfo::STRING;
  bitstream.name = "FPGA image";
  bitstream.description =
      "the path of a Xilinx .bit file to load into the board's FPGA; reads back the last one "
      "loaded";
  return {bitstream};
}

void SoapyKpxadac::writeSetting(const std::string& key, const std::string& value) {
  if (key != kBitstreamSetting)
    throw std::invalid_argument("kpxadac: unknown setting '" + key + "'; the setting is " +
                                kBitstreamSetting);
  const int32_t result = Kpxadac16_LoadBitstreamFile(board_.handle, value.c_str());
  if (result != 0)
    throw std::runtime_error("kpxadac: bitstream " + value + " not loaded: result " +
                             std::to_string(result) + " (" + KpxBoard_BitstreamResultText(result) +
                             ")");
  SoapySDR::logf(SOAPY_SDR_INFO, "kpxadac: loaded %s into device %d", value.c_str(), board_.device);
  std::lock_guard<std::mutex> lock(mutex_);
  bitstream_ = value;
}

std::string SoapyKpxadac::readSetting(const std::string& key) const {
  if (key != kBitstreamSetting)
    throw std::invalid_argument("kpxadac: unknown setting '" + key + "'; the setting is " +
                                kBitstreamSetting);
  std::lock_guard<std::mutex> lock(mutex_);
  return bitstream_;
}

}  // namespace kpxsoapy
