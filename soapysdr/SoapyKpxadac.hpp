// The SoapySDR device class of the KPX-ADAC boards: one device per
// registered board, receiving from ADC boards and transmitting to DAC boards
// through the library's acquisition API (kpxadac_stream.h).
//
// Registration.cpp finds and makes devices, Settings.cpp holds everything
// but the streams (identification, rates and clocks, sensors, registers,
// settings), Streaming.cpp the streams.
#pragma once

#include <SoapySDR/Device.hpp>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"

namespace kpxsoapy {

// A board as the process-wide enumeration found it: the library's
// description of it.
using BoardEntry = KpxBoardDescription;

// Every registered board. The boards are enumerated once per process (each
// enumeration would register them again), at the first call.
const std::vector<BoardEntry>& registeredBoards();

// The find answer of one board: driver, label, device, type, index,
// board_id, serial.
SoapySDR::Kwargs describeBoard(const BoardEntry& board);


class BoardStream;

class SoapyKpxadac : public SoapySDR::Device {
 public:
  explicit SoapyKpxadac(const BoardEntry& board);
  ~SoapyKpxadac() override;

  // Identification and channels (Settings.cpp)
  std::string getDriverKey() const override;
  std::string getHardwareKey() const override;
  SoapySDR::Kwargs getHardwareInfo() const override;
  size_t getNumChannels(int direction) const override;
  bool getFullDuplex(int direction, size_t channel) const override;

  // Rates and clocks (Settings.cpp)
  void setSampleRate(int direction, size_t channel, double rate) override;
  double getSampleRate(int direction, size_t channel) const override;
  std::vector<double> listSampleRates(int direction, size_t channel) const override;
  SoapySDR::RangeList getSampleRateRange(int direction, size_t channel) const override;
  std::vector<std::string> listClockSources() const override;
  void setClockSource(const std::string& source) override;
  std::string getClockSource() const override;

  // Sensors, registers, settings (Settings.cpp)
  std::vector<std::string> listSensors() const override;
  SoapySDR::ArgInfo getSensorInfo(const std::string& key) const override;
  std::string readSensor(const std::string& key) const override;
  std::vector<std::string> listRegisterInterfaces() const override;
  void writeRegister(const std::string& name, unsigned addr, unsigned value) override;
  unsigned readRegister(const std::string& name, unsigned addr) const override;
  void writeRegister(unsigned addr, unsigned value) override;
  unsigned readRegister(unsigned addr) const override;
  SoapySDR::ArgInfoList getSettingInfo() const override;
  void writeSetting(const std::string& key, const std::string& value) override;
  std::string readSetting(const std::string& key) const override;

  // Streams (Streaming.cpp)
  std::vector<std::string> getStreamFormats(int direction, size_t channel) const override;
  std::string getNativeStreamFormat(int direction, size_t channel,
                                    double& fullScale) const override;
  SoapySDR::ArgInfoList getStreamArgsInfo(int direction, size_t channel) const override;
  SoapySDR::Stream* setupStream(int direction, const std::string& format,
                                const std::vector<size_t>& channels,
                                const SoapySDR::Kwargs& args) override;
  void closeStream(SoapySDR::Stream* stream) override;
  size_t getStreamMTU(SoapySDR::Stream* stream) const override;
  int activateStream(SoapySDR::Stream* stream, int flags, long long timeNs,
                     size_t numElems) override;
  int deactivateStream(SoapySDR::Stream* stream, int flags, long long timeNs) override;
  int readStream(SoapySDR::Stream* stream, void* const* buffs, size_t numElems, int& flags,
                 long long& timeNs, long timeoutUs) override;
  int writeStream(SoapySDR::Stream* stream, const void* const* buffs, size_t numElems, int& flags,
                  long long timeNs, long timeoutUs) override;
  int readStreamStatus(SoapySDR::Stream* stream, size_t& chanMask, int& flags, long long& timeNs,
                       long timeoutUs) override;
  size_t getNumDirectAccessBuffers(SoapySDR::Stream* stream) override;
  int acquireReadBuffer(SoapySDR::Stream* stream, size_t& handle, const void** buffs, int& flags,
                        long long& timeNs, long timeoutUs) override;
  void releaseReadBuffer(SoapySDR::Stream* stream, size_t handle) override;

 private:
  // The stream direction this board serves: SOAPY_SDR_RX for ADC boards,
  // SOAPY_SDR_TX for DAC boards.
  int boardDirection() const;
  // Throws unless (direction, channel) is the board's one channel.
  void checkChannel(int direction, size_t channel) const;
  double rate() const;
  // The library's clock code for the clock chosen.
  int32_t chosenClock() const;
  // Throws when the stream runs on the other clock.
  void chooseClock(bool synthesizer);
  BoardStream& streamOf(SoapySDR::Stream* stream) const;
  // Opens the stream's claim on the board (no set-up, not started).
  int32_t claimBoard(BoardStream& own) const;

  const BoardEntry board_;
  mutable std::mutex mutex_;   // guards the fields below against threads other than the stream's
  bool synthesizer_ = true;    // the clock chosen: the synthesizer or the onboard fixed clock
  bool streamActive_ = false;  // between activateStream and deactivateStream
  std::string bitstream_;      // the last .bit file loaded
  BoardStream* stream_ = nullptr;  // the one stream, while set up
};

}  // namespace kpxsoapy
