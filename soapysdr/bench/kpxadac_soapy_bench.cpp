// Measurements of the kpxadac SoapySDR module for scripts/bench.sh; not a test.
//
//   kpxadac_soapy_bench throughput [--samples N] [--runs R] [--block-bytes B] [--blocks K]
//     On the first ADC board: the acquisition API's own receive, once with
//     the copy of KpxStream_Read into a buffer of one block and once without
//     a copy (blocks acquired and released), against the module's readStream
//     in CS16 and CF32 (same ring, buffers of one MTU), run after run in
//     turn; medians and ratios.
//   kpxadac_soapy_bench hold --args ARGS [--stream-args K=V,...] [--seconds S]
//     Reads CS16 through any SoapySDR device for S seconds and tells whether
//     the stream held: no overflow and no jump in the time stamps. Exit code
//     0 held, 1 not held, 2 failed.
#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Time.hpp>
#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "kpxadac16.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

// The rate the module runs at on the synthesizer, as the library gives it.
double synthesizerRateHz() {
  KpxClockPlan plan{};
  KpxBoard_ClockPlan(KPXADAC_INVALID_HANDLE, KPXSTREAM_SETUP_SYNTHESIZER, &plan);
  return plan.rateHz;
}

const double kRate = synthesizerRateHz();

struct Ring {
  uint32_t blockBytes = 1u << 20;  // the module's defaults
  uint32_t blockCount = 32;
  SoapySDR::Kwargs streamArgs() const {
    return {{"block_bytes", std::to_string(blockBytes)}, {"blocks", std::to_string(blockCount)}};
  }
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Samples per second through the acquisition API: KpxStream_Read into a
// buffer of one block, or blocks taken and given back without a copy.
double apiRun(const Ring& ring, uint64_t samples, bool copy) {
  KpxStreamConfig config{};
  config.board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = ring.blockBytes;
  config.blockCount = ring.blockCount;
  config.setup = KPXSTREAM_SETUP_SYNTHESIZER;
  KpxStream* stream = nullptr;
  if (KpxStream_Open(&config, &stream) != KPXSTREAM_OK || KpxStream_Start(stream) != KPXSTREAM_OK)
    throw std::runtime_error("the acquisition API's stream did not start");
  std::vector<int16_t> buffer(copy ? ring.blockBytes / 2 : 0);
  const auto start = Clock::now();
  uint64_t moved = 0;
  while (moved < samples) {
    if (copy) {
      KpxStreamReadInfo info{};
      if (KpxStream_Read(stream, buffer.data(), buffer.size(), 1000, &info) != KPXSTREAM_OK)
        throw std::runtime_error("KpxStream_Read failed");
      moved += info.samples;
    } else {
      KpxStreamBlock block{};
      if (KpxStream_AcquireRead(stream, &block, 1000) != KPXSTREAM_OK)
        throw std::runtime_error("AcquireRead failed");
      moved += block.bytes / 2;
      KpxStream_ReleaseRead(stream, &block);
    }
  }
  const double rate = static_cast<double>(moved) / secondsSince(start);
  KpxStream_Close(stream);
  return rate;
}

// Samples per second through the module's readStream, one MTU at a time.
template <typename Element>
double moduleRun(SoapySDR::Device* device, const Ring& ring, const std::string& format,
                 uint64_t samples) {
  SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, format, {0}, ring.streamArgs());
  std::vector<Element> buffer(device->getStreamMTU(stream));
  void* buffs[] = {buffer.data()};
  device->activateStream(stream);
  const auto start = Clock::now();
  uint64_t moved = 0;
  while (moved < samples) {
    int flags = 0;
    long long timeNs = 0;
    const int got = device->readStream(stream, buffs, buffer.size(), flags, timeNs, 1000000);
    if (got < 0) throw std::runtime_error(std::string("readStream: ") + SoapySDR::errToStr(got));
    moved += static_cast<uint64_t>(got);
  }
  const double rate = static_cast<double>(moved) / secondsSince(start);
  device->closeStream(stream);
  return rate;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int throughput(const Ring& ring, uint64_t samples, int runs) {
  SoapySDR::Device* device = SoapySDR::Device::make("driver=kpxadac,type=adc,index=0");
  device->setSampleRate(SOAPY_SDR_RX, 0, kRate);
  constexpr int kParts = 4;
  std::vector<double> rates[kParts];
  for (int run = 0; run < runs; ++run) {
    // The order turns each run, so that drift on the machine hits all parts.
    for (int step = 0; step < kParts; ++step) {
      const int part = (run + step) % kParts;
      double rate = 0;
      if (part == 0) rate = apiRun(ring, samples, false);
      if (part == 1) rate = apiRun(ring, samples, true);
      if (part == 2) rate = moduleRun<std::complex<int16_t>>(device, ring, SOAPY_SDR_CS16, samples);
      if (part == 3) rate = moduleRun<std::complex<float>>(device, ring, SOAPY_SDR_CF32, samples);
      rates[part].push_back(rate);
    }
  }
  SoapySDR::Device::unmake(device);
  const char* names[kParts] = {"acquisition API, no copy", "acquisition API, KpxStream_Read",
                               "module readStream CS16", "module readStream CF32"};
  double medians[kParts];
  for (int part = 0; part < kParts; ++part) medians[part] = median(rates[part]);
  for (int part = 0; part < kParts; ++part) {
    std::printf("%-32s %8.1f Msps = %5.2f x 105 MHz", names[part], medians[part] / 1e6,
                medians[part] / kRate);
    if (part >= 2)
      std::printf(", %.3f of KpxStream_Read, %.3f of no copy", medians[part] / medians[1],
                  medians[part] / medians[0]);
    std::printf("\n");
  }
  std::printf("(medians of %d runs of %llu samples; blocks of %u bytes, ring of %u)\n", runs,
              static_cast<unsigned long long>(samples), ring.blockBytes, ring.blockCount);
  return 0;
}

int hold(const std::string& args, const std::string& streamArgs, double seconds) {
  SoapySDR::Device* device = SoapySDR::Device::make(args);
  device->setSampleRate(SOAPY_SDR_RX, 0, kRate);
  SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0},
                                                 SoapySDR::KwargsFromString(streamArgs));
  std::vector<std::complex<int16_t>> buffer(device->getStreamMTU(stream));
  void* buffs[] = {buffer.data()};
  device->activateStream(stream);
  uint64_t moved = 0, overflows = 0, jumps = 0, timeouts = 0;
  long long next = -1;
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    int flags = 0;
    long long timeNs = 0;
    const int got = device->readStream(stream, buffs, buffer.size(), flags, timeNs, 1000000);
    if (got == SOAPY_SDR_OVERFLOW) {
      ++overflows;
      continue;
    }
    if (got == SOAPY_SDR_TIMEOUT) {
      ++timeouts;
      continue;
    }
    if (got < 0) {
      std::fprintf(stderr, "readStream: %s\n", SoapySDR::errToStr(got));
      return 2;
    }
    const long long index = SoapySDR::timeNsToTicks(timeNs, kRate);
    if (next >= 0 && index != next) ++jumps;
    next = index + got;
    moved += static_cast<uint64_t>(got);
  }
  const double elapsed = secondsSince(start);
  device->closeStream(stream);
  SoapySDR::Device::unmake(device);
  const bool held = overflows == 0 && jumps == 0 && timeouts == 0;
  std::printf(
      "%s: %llu samples in %.2f s = %.1f Msps, overflows %llu, time jumps %llu, "
      "time-outs %llu\n",
      held ? "held" : "not held", static_cast<unsigned long long>(moved), elapsed,
      static_cast<double>(moved) / elapsed / 1e6, static_cast<unsigned long long>(overflows),
      static_cast<unsigned long long>(jumps), static_cast<unsigned long long>(timeouts));
  return held ? 0 : 1;
}

const char* option(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name) return argv[i + 1];
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "throughput") {
      Ring ring;
      ring.blockBytes = static_cast<uint32_t>(
          std::strtoul(option(argc, argv, "--block-bytes", "1048576"), nullptr, 0));
      ring.blockCount =
          static_cast<uint32_t>(std::strtoul(option(argc, argv, "--blocks", "32"), nullptr, 0));
      return throughput(ring,
                        std::strtoull(option(argc, argv, "--samples", "1073741824"), nullptr, 0),
                        std::atoi(option(argc, argv, "--runs", "5")));
    }
    if (mode == "hold")
      return hold(option(argc, argv, "--args", "driver=kpxadac"),
                  option(argc, argv, "--stream-args", ""),
                  std::atof(option(argc, argv, "--seconds", "10")));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kpxadac_soapy_bench: %s\n", error.what());
    return 2;
  }
  std::fprintf(stderr,
               "usage: kpxadac_soapy_bench throughput [--samples N] [--runs R]\n"
               "       kpxadac_soapy_bench hold --args ARGS [--stream-args K=V,...] "
               "[--seconds S]\n");
  return 2;
}
