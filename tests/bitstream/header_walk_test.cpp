// The .bit header walk and the part-name test on images in memory, and the
// fuzz corpus replayed as regression inputs.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "bit_file.h"

using kpx::bitstream::HeaderStatus;
using kpx::bitstream::partMatches;
using kpx::bitstream::readHeader;

namespace {

HeaderStatus walk(const std::vector<uint8_t>& image, std::string& part) {
  // A copy of exactly the image's size, so that a read past its end is a
  // read past a heap block (seen by AddressSanitizer builds).
  auto copy = std::make_unique<uint8_t[]>(image.size());
  std::copy(image.begin(), image.end(), copy.get());
  return readHeader(copy.get(), image.size(), part);
}

TEST(HeaderWalk, CollectsThePartNameOfTheUsualFields) {
  std::string part;
  EXPECT_EQ(walk(bitImageForPart("xc4vlx40ff668"), part), HeaderStatus::kOk);
  EXPECT_EQ(part, "xc4vlx40ff668");
  // The value stops at its NUL even when the field goes on.
  EXPECT_EQ(walk(bitImage({{'b', std::string("2v3000\0junk", 11)}}), part), HeaderStatus::kOk);
  EXPECT_EQ(part, "2v3000");
}

TEST(HeaderWalk, EndsAfterFourFieldsOrAtAZeroLength) {
  std::string part;
  EXPECT_EQ(walk(bitImage({{'a', "a"}, {'c', "c"}, {'d', "d"}, {'x', "x"}, {'b', "2v3000"}}), part),
            HeaderStatus::kOk);
  EXPECT_EQ(part, "");
  // After a zero length nothing more is read, not even past the file's end.
  std::vector<uint8_t> image = bitImage({{'b', "2v"}}, 0);
  image.resize(13 + 6);
  image.insert(image.end(), {'x', 0x7F, 0x00});
  EXPECT_EQ(walk(image, part), HeaderStatus::kOk);
  EXPECT_EQ(part, "2v");
}

TEST(HeaderWalk, EveryCutOfAValidHeaderIsRefusedOrComplete) {
  const auto image = bitImage({{'a', "design"}, {'b', "4vlx60ff668"}, {'c', "c"}, {'d', "d"}}, 0);
  const size_t fieldsEnd = image.size() - 5;  // before 'e' and its length
  for (size_t size = 0; size <= image.size(); ++size) {
    std::string part;
    const auto status = walk(std::vector<uint8_t>(image.begin(), image.begin() + size), part);
    const HeaderStatus expected = size < 13          ? HeaderStatus::kNotBitstream
                                  : size < fieldsEnd ? HeaderStatus::kMalformed
                                                     : HeaderStatus::kOk;
    EXPECT_EQ(status, expected) << size;
  }
}

TEST(HeaderWalk, LongPartNamesAreCappedAt255) {
  std::string part;
  EXPECT_EQ(walk(bitImage({{'b', std::string(200, 'a')}, {'b', std::string(55, 'b')}}), part),
            HeaderStatus::kOk);
  EXPECT_EQ(part.size(), 255u);
  EXPECT_EQ(walk(bitImage({{'b', std::string(200, 'a')}, {'b', std::string(56, 'b')}}), part),
            HeaderStatus::kPartNameTooLong);
}

TEST(PartMatch, NoDigitMayBorderTheExpectedName) {
  EXPECT_TRUE(partMatches("4vlx40", "4vlx40"));
  EXPECT_TRUE(partMatches("xc4vlx40ff668", "4vlx40"));
  EXPECT_TRUE(partMatches("4vlx40-10ff668", "4vlx40"));
  EXPECT_FALSE(partMatches("4vlx400", "4vlx40"));
  EXPECT_FALSE(partMatches("14vlx40", "4vlx40"));
  EXPECT_FALSE(partMatches("4vlx160ff1148", "4vlx60"));
  EXPECT_FALSE(partMatches("2v30000", "2v3000"));
  EXPECT_FALSE(partMatches("4VLX40", "4vlx40"));
  EXPECT_FALSE(partMatches("", "4vlx40"));
  // A bordered occurrence does not hide a later clean one.
  EXPECT_TRUE(partMatches("4vlx400/4vlx40ff", "4vlx40"));
}

// The statuses the fuzz seeds stand for. Any file added to the corpus (for
// instance an input that made a fuzz run fail) is walked as well, under the
// sanitizers in those builds.
TEST(HeaderWalk, FuzzCorpusRegressions) {
  const std::map<std::string, HeaderStatus> expected = {
      {"valid_4vlx40", HeaderStatus::kOk},
      {"valid_xc2v3000", HeaderStatus::kOk},
      {"part_fifth_field", HeaderStatus::kOk},
      {"zero_length_stop", HeaderStatus::kOk},
      {"two_b_fields", HeaderStatus::kOk},
      {"high_length_byte_ignored", HeaderStatus::kOk},
      {"truncated_after_header", HeaderStatus::kMalformed},
      {"short_header", HeaderStatus::kNotBitstream},
      {"wrong_header", HeaderStatus::kNotBitstream},
      {"field_past_end", HeaderStatus::kMalformed},
      {"part_without_nul", HeaderStatus::kMalformed},
      {"part_too_long", HeaderStatus::kPartNameTooLong},
  };
  size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KPXADAC_BIT_HEADER_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::string part;
    const auto status = walk(bytes, part);
    const auto name = entry.path().filename().string();
    if (auto it = expected.find(name); it != expected.end()) {
      EXPECT_EQ(status, it->second) << name;
      ++seen;
    }
    if (status == HeaderStatus::kOk) {
      EXPECT_LE(part.size(), 255u) << name;
    }
  }
  EXPECT_EQ(seen, expected.size());
}

}  // namespace
