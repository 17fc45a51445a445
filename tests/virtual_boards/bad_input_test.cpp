// Bad files and hostile JSON through every reader of the virtual boards:
// the rack description (KPXADAC_SIM), a recording an ADC board plays, its
// SigMF metadata and a DAC board's output file. Each is refused with a
// reason that names the file and says why, without waiting on a FIFO, and
// no text nested however deep crashes the parser.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "bad_files.h"
#include "program_runner.h"
#include "rack_test.h"
#include "virtual_boards/rack_config.h"

namespace kpx::sim::test {
namespace {

namespace fs = std::filesystem;

using BadInputTest = RackTest;

std::string fileSignalRack(const std::string& path) {
  return R"({"boards":[{"device":0,"signal":{"type":"file","path":")" + path + R"("}}]})";
}

#ifndef _WIN32
std::string outputRack(const std::string& path) {
  return R"({"boards":[{"device":0,"board_id":"0x87","output_file":")" + path + R"("}]})";
}

TEST_F(BadInputTest, EveryReaderRefusesFilesThatAreNotWhatItReads) {
  struct Reader {
    std::string name;
    std::optional<uint64_t> limit;
    // The configuration that makes the rack read `path`.
    std::function<std::string(const fs::path& folder, const std::string& path)> rack;
  };
  const std::vector<Reader> readers = {
      {"the rack file", kMaxRackBytes,
       [](const fs::path&, const std::string& path) { return path; }},
      {"a recording's samples", std::nullopt,
       [](const fs::path&, const std::string& path) { return fileSignalRack(path); }},
      {"a recording's SigMF metadata", uint64_t{1} << 30,
       [](const fs::path& folder, const std::string& path) {
         // The metadata named through a link to the bad file.
         const fs::path meta = folder / "take.sigmf-meta";
         fs::remove(meta);
         fs::create_symlink(path, meta);
         return fileSignalRack(meta.string());
       }},
  };
  for (const Reader& reader : readers) {
    const fs::path folder =
        test_support::scratchFolder("bad-input-" + std::to_string(&reader - readers.data()));
    for (const auto& bad : test_support::badInputFiles(folder, reader.limit)) {
      SCOPED_TRACE(reader.name + ", " + bad.what);
      const std::string config = reader.rack(folder, bad.path);
      const std::string reason =
          test_support::withinTime([&] { return configure(config); }, bad.path);
      EXPECT_NE(reason.find(bad.words), std::string::npos) << reason;
      // The file named: the bad one, or the link to it.
      const bool named = reason.find(bad.path) != std::string::npos ||
                         reason.find("take.sigmf-meta") != std::string::npos;
      EXPECT_TRUE(named) << reason;
    }
  }
}

TEST_F(BadInputTest, DacOutputFileIsRefusedOrItsWriteErrorReachesTheProgram) {
  const fs::path folder = test_support::scratchFolder("bad-output");
  fs::create_directories(folder / "a-directory");
  const fs::path fifo = folder / "a-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, words;
  } refused[] = {
      {(folder / "a-directory").string(), "directory"},
      {fifo.string(), "FIFO"},  // nobody reads it: refused, not waited on
      {(folder / "missing" / "played.raw").string(), "cannot write"},
  };
  for (const auto& bad : refused) {
    SCOPED_TRACE(bad.path);
    const std::string reason =
        test_support::withinTime([&] { return configure(outputRack(bad.path)); }, bad.path);
    EXPECT_NE(reason.find(bad.words), std::string::npos) << reason;
    EXPECT_NE(reason.find("output_file"), std::string::npos) << reason;
  }

  // A FIFO with a reader gets every sample, through one writer.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  useRack(outputRack(fifo.string()));
  const uint8_t samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t moved = 0;
  Handle h = open(0);
  ASSERT_EQ(writeDevice(h, samples, 8, &moved), 0u);
  uint8_t got[8] = {};
  EXPECT_EQ(::read(reader, got, sizeof got), 8);
  EXPECT_EQ(std::memcmp(got, samples, 8), 0);
  // A reader that goes away fails the next write, and no SIGPIPE ends us.
  ::close(reader);
  EXPECT_EQ(writeDevice(h, samples, 8, &moved), error::kWriteFault);

  // A full disk fails the write, every time, as the driver's would.
  useRack(outputRack("/dev/full"));
  h = open(0);
  moved = 99;
  EXPECT_EQ(writeDevice(h, samples, 8, &moved), error::kDiskFull);
  EXPECT_EQ(writeDevice(h, samples, 8, &moved), error::kDiskFull);
}
#endif

TEST_F(BadInputTest, DeepOrHugeJsonIsRefusedWithItsLimit) {
  const std::string deep(100000, '[');
  const struct {
    std::string what, text, words;
  } cases[] = {
      {"a deep list", R"({"comment":)" + deep, "nested deeper than"},
      {"a deep value of a key", R"({"boards":[{"device":)" + deep, "nested deeper than"},
      {"a deep value that is quoted",
       R"({"boards":[{"device":)" + std::string(60, '[') + "1" + std::string(60, ']') + "}]}",
       "expected a whole number"},
      {"a long value that is quoted",
       R"({"boards":[{"device":")" + std::string(100000, 'x') + R"("}]})", "xxx..."},
      {"a text over the limit", "{\"comment\":\"" + std::string(kMaxRackBytes, ' ') + "\"}",
       "limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string reason = configure(c.text);
    EXPECT_NE(reason.find(c.words), std::string::npos) << reason.substr(0, 200);
    EXPECT_LT(reason.size(), 400u);
  }
  // The same in a recording's metadata.
  const fs::path folder = test_support::scratchFolder("bad-input-deep-meta");
  std::ofstream(folder / "take.sigmf-data") << "abcd";
  std::ofstream(folder / "take.sigmf-meta") << R"({"global":)" << deep;
  const std::string reason = configure(fileSignalRack((folder / "take").generic_string()));
  EXPECT_NE(reason.find("nested deeper than"), std::string::npos) << reason;
}

// The fuzz stage's seeds and whatever it found, replayed: every text ends in
// a rack or in a reason that leaves the rack empty.
TEST_F(BadInputTest, FuzzCorpusTextsEndInARackOrAReason) {
  size_t texts = 0;
  for (const auto& entry : fs::directory_iterator(KPXADAC_RACK_CORPUS)) {
    SCOPED_TRACE(entry.path().filename().string());
    RackConfig rack;
    const auto reason = parseRackJson(test_support::readFile(entry.path()), rack);
    if (reason) {
      EXPECT_FALSE(reason->empty());
      EXPECT_TRUE(rack.boards.empty());
    }
    ++texts;
  }
  EXPECT_GT(texts, 5u);
}

}  // namespace
}  // namespace kpx::sim::test
