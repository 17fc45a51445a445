// Builds .bit files for the tests: the fixed header, text fields, and a
// configuration data field.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bitstream_header.h"

struct BitField {
  char key;
  std::string text;
  bool nul = true;       // the value ends in a NUL
  uint8_t highByte = 0;  // high byte of the 16-bit length
};

// Header, the fields, then an 'e' field with `dataLength` bytes of data.
inline std::vector<uint8_t> bitImage(const std::vector<BitField>& fields,
                                     uint32_t dataLength = 16) {
  std::vector<uint8_t> out(std::begin(kpx::bitstream::kFixedHeader),
                           std::end(kpx::bitstream::kFixedHeader));
  for (const auto& f : fields) {
    const size_t length = f.text.size() + (f.nul ? 1 : 0);
    out.push_back(static_cast<uint8_t>(f.key));
    out.push_back(f.highByte);
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), f.text.begin(), f.text.end());
    if (f.nul) out.push_back(0);
  }
  out.push_back('e');
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(dataLength >> shift));
  for (uint32_t i = 0; i < dataLength; ++i) out.push_back(static_cast<uint8_t>(0xA0 + i));
  return out;
}

// The usual four text fields with `part` as the part name.
inline std::vector<uint8_t> bitImageForPart(const std::string& part) {
  return bitImage(
      {{'a', "design.ncd;UserID=0xFFFFFFFF"}, {'b', part}, {'c', "2024/01/05"}, {'d', "12:00:00"}});
}

// Writes `bytes` to a file in the test's temporary directory; returns its path.
inline std::string writeTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = testing::TempDir() + "kpxadac_" + info->name() + "_" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr) << path;
  if (!f) return path;
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
  return path;
}
