// Fixture for the virtual boards' own tests: speaks to kpx::sim directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kpxadac_ioctl.h"
#include "virtual_boards/virtual_rack.h"

namespace kpx::sim::test {

using namespace kpx::driver;

class RackTest : public ::testing::Test {
 public:
  void SetUp() override { ASSERT_EQ(configure("none"), ""); }
  void TearDown() override { configure("none"); }

  void useRack(const std::string& config) {
    ASSERT_EQ(configure(config), "");
    clearJournal();
  }

  static std::string name(int device) { return "\\\\.\\KPXADAC_" + std::to_string(device); }

  static Handle open(int device) {
    Handle h = -1;
    EXPECT_EQ(openDevice(name(device).c_str(), kGenericReadWrite, kShareReadWrite, kOpenExisting,
                         kNoFlags, &h),
              0u);
    return h;
  }

  // A control request with byte blocks; returns the error (0 = success).
  static uint32_t request(Handle h, uint32_t code, const std::vector<uint8_t>& in,
                          std::vector<uint8_t>& out, uint32_t* returned = nullptr) {
    uint32_t count = 0xDEAD;
    const uint32_t e =
        control(h, code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                out.empty() ? nullptr : out.data(), static_cast<uint32_t>(out.size()), &count);
    if (returned) *returned = count;
    return e;
  }
  static uint32_t request(Handle h, uint32_t code, const std::vector<uint8_t>& in = {}) {
    std::vector<uint8_t> none;
    return request(h, code, in, none);
  }

  static std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : values)
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return bytes;
  }
  static uint32_t word(const std::vector<uint8_t>& bytes, size_t index) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes[index * 4 + static_cast<size_t>(i)];
    return v;
  }

  static uint32_t readReg(Handle h, uint32_t offset) {
    std::vector<uint8_t> out(4);
    EXPECT_EQ(request(h, IOCTL_GET_HSREG, words({offset}), out), 0u);
    return word(out, 0);
  }
  static void writeReg(Handle h, uint32_t offset, uint32_t value) {
    std::vector<uint8_t> out(4);
    EXPECT_EQ(request(h, IOCTL_WRITE_SET_HSREG, words({offset, value}), out), 0u);
  }

  // Reads `length` bytes from the channel; returns the error.
  static uint32_t readBytes(Handle h, std::vector<uint8_t>& data, uint32_t length,
                            uint32_t* moved = nullptr) {
    data.assign(length, 0);
    uint32_t count = 0;
    const uint32_t e = readDevice(h, data.data(), length, &count);
    data.resize(count);
    if (moved) *moved = count;
    return e;
  }

  // 16-bit little-endian samples of a channel's bytes.
  static std::vector<uint16_t> samplesOf(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> samples;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      samples.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
    return samples;
  }

  // Reads a ramp board's channel from `threads` threads at once, `reads`
  // reads of `length` bytes each (calling `between` after each read), and
  // expects every sample of the stream exactly once, each read being one
  // contiguous piece of the ramp.
  template <typename Between>
  static void expectThreadsShareTheRamp(Handle h, int threads, int reads, uint32_t length,
                                        Between between) {
    std::vector<std::vector<uint16_t>> seen(static_cast<size_t>(threads));
    std::vector<std::thread> readers;
    for (int t = 0; t < threads; ++t) {
      readers.emplace_back([&, t] {
        std::vector<uint8_t> data(length);
        for (int i = 0; i < reads; ++i) {
          uint32_t moved = 0;
          if (readDevice(h, data.data(), length, &moved) != 0 || moved != length) return;
          const auto samples = samplesOf(data);
          for (size_t k = 1; k < samples.size(); ++k)
            if (samples[k] != static_cast<uint16_t>(samples[0] + k)) return;
          auto& mine = seen[static_cast<size_t>(t)];
          mine.insert(mine.end(), samples.begin(), samples.end());
          between();
        }
      });
    }
    for (auto& r : readers) r.join();
    std::set<uint16_t> all;
    size_t total = 0;
    for (const auto& s : seen) {
      total += s.size();
      all.insert(s.begin(), s.end());
    }
    EXPECT_EQ(total, static_cast<size_t>(threads) * static_cast<size_t>(reads) * length / 2);
    EXPECT_EQ(all.size(), total) << "no sample delivered twice";
    EXPECT_EQ(*all.rbegin(), total - 1) << "no sample skipped";
  }

  // Puts the ADC into its run state with a ready clock.
  static void startAdc(Handle h) { writeReg(h, 28, readReg(h, 28) | 1); }
};

}  // namespace kpx::sim::test
