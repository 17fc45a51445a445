// Device entry points of the virtual driver: opening, handles, request
// lengths, identity, faults, configuration errors, journal and the small
// driver services (lock, profiling, V360, FPGA memory and download).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "rack_test.h"

namespace kpx::sim::test {
namespace {

using DeviceTest = RackTest;

TEST_F(DeviceTest, OpenChecksArgumentsAndNames) {
  useRack("");
  Handle h = 0;
  const std::string zero = name(0);
  EXPECT_EQ(openDevice(zero.c_str(), 0x80000000u, 3, 3, 0, &h), 87u);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(openDevice(zero.c_str(), kGenericReadWrite, 1, 3, 0, &h), 87u);
  EXPECT_EQ(openDevice(zero.c_str(), kGenericReadWrite, 3, 2, 0, &h), 87u);
  EXPECT_EQ(openDevice(zero.c_str(), kGenericReadWrite, 3, 3, 0x40000000u, &h), 87u);
  for (const char* missing :
       {"\\\\.\\KPXADAC_1", "\\\\.\\KPXADAC_00", "\\\\.\\KPXADAC_", "KPXADAC_0"})
    EXPECT_EQ(openDevice(missing, kGenericReadWrite, 3, 3, 0, &h), 2u) << missing;

  const auto entries = journal();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().device, -1);
  EXPECT_EQ(entries[entries.size() - 4].device, 1) << "the number is known without a board";
  EXPECT_EQ(entries[entries.size() - 4].error, 2u);

  const Handle a = open(0), b = open(0);
  EXPECT_NE(a, b);
  for (Handle x : {a, b}) EXPECT_TRUE(x != 0 && x != -1);
}

TEST_F(DeviceTest, ClosedOrUnknownHandleFailsEverything) {
  useRack("");
  const Handle h = open(0);
  ASSERT_EQ(closeDevice(h), 0u);
  for (Handle bad : {h, Handle{0}, Handle{-1}, Handle{12345}}) {
    std::vector<uint8_t> out(6);
    uint8_t byte = 0;
    uint32_t moved = 7;
    EXPECT_EQ(request(bad, IOCTL_GET_BOARD_ID, {}, out), 6u);
    EXPECT_EQ(readDevice(bad, &byte, 1, &moved), 6u);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(writeDevice(bad, &byte, 1, &moved), 6u);
    EXPECT_EQ(cancelIo(bad), 6u);
    EXPECT_EQ(closeDevice(bad), 6u);
  }
  // Replacing the rack invalidates its handles.
  const Handle old = open(0);
  useRack("");
  EXPECT_EQ(request(old, IOCTL_V360_RESET), 6u);
}

TEST_F(DeviceTest, EveryRequestChecksItsLengths) {
  useRack("");
  const Handle h = open(0);
  std::vector<uint8_t> big(64, 0), sink(64);
  big[4] = 64;  // FPGA memory: bytes still to move
  for (const RequestInfo& r : kRequests) {
    SCOPED_TRACE(r.name);
    const uint32_t in = r.inLength == kVariable ? 4 : static_cast<uint32_t>(r.inLength);
    const uint32_t out = r.outLength == kVariable ? 8 : static_cast<uint32_t>(r.outLength);
    uint32_t returned = 0;
    EXPECT_EQ(control(h, r.code, big.data(), in, sink.data(), out, &returned), 0u);
    EXPECT_EQ(control(h, r.code, big.data(), in + 1, sink.data(), out, &returned), 87u);
    if (r.outLength != kVariable) {
      EXPECT_EQ(control(h, r.code, big.data(), in, sink.data(), out + 1, &returned), 87u);
    }
  }
  // n + 4 must be the input length.
  std::vector<uint8_t> out(4);
  EXPECT_EQ(request(h, IOCTL_SET_FPGA_BITSTREAM, words({3, 0}), out), 87u);
  EXPECT_EQ(request(h, IOCTL_TALVO_PRELOAD_WRITE, {1, 0, 0}), 87u);
  uint32_t returned = 0;
  EXPECT_EQ(control(h, 0x80002FFCu, nullptr, 0, nullptr, 0, &returned), 1u);
  EXPECT_EQ(control(h, IOCTL_GET_BOARD_ID, nullptr, 0, nullptr, 6, &returned), 87u);
}

TEST_F(DeviceTest, DefaultRackByEmptyValueOrByName) {
  for (const char* value : {"", "default"}) {
    useRack(value);
    const Handle h = open(0);
    std::vector<uint8_t> id(6), clock(1);
    ASSERT_EQ(request(h, IOCTL_GET_BOARD_ID, {}, id), 0u) << value;
    EXPECT_EQ(id[5], 0x8A) << value;
    ASSERT_EQ(request(h, IOCTL_GET_FIXED_CLOCK, {}, clock), 0u);
    EXPECT_EQ(clock[0], 0) << "synthesizer clock";
    Handle other = 0;
    EXPECT_EQ(openDevice(name(1).c_str(), kGenericReadWrite, 3, 3, 0, &other), 2u);
  }
}

TEST_F(DeviceTest, AnswersIdentityStatusAndClockKind) {
  useRack(R"({"boards":[{"device":3,"board_id":"0x91","ident":[1,2,3,"0x44",5],
             "status":"0x40","fixed_clock":7}]})");
  const Handle h = open(3);
  std::vector<uint8_t> id(6), status(1), clock(1);
  uint32_t returned = 0;
  ASSERT_EQ(request(h, IOCTL_GET_BOARD_ID, {}, id, &returned), 0u);
  EXPECT_EQ(id, (std::vector<uint8_t>{1, 2, 3, 0x44, 5, 0x91}));
  EXPECT_EQ(returned, 6u);
  ASSERT_EQ(request(h, IOCTL_GET_BOARD_STATUS, {}, status), 0u);
  EXPECT_EQ(status[0], 0x40);
  ASSERT_EQ(request(h, IOCTL_GET_FIXED_CLOCK, {}, clock), 0u);
  EXPECT_EQ(clock[0], 7);
  EXPECT_EQ(sampleRate(3), 100e6);
}

std::vector<uint8_t> bitImage(const std::string& part, size_t cut = 0) {
  std::vector<uint8_t> image = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
  auto field = [&](char key, const std::string& value) {
    image.push_back(static_cast<uint8_t>(key));
    image.push_back(static_cast<uint8_t>((value.size() + 1) >> 8));
    image.push_back(static_cast<uint8_t>(value.size() + 1));
    image.insert(image.end(), value.begin(), value.end());
    image.push_back(0);
  };
  field('a', "design.ncd");
  field('b', part);
  field('c', "2024/01/01");
  image.insert(image.end(), {'e', 0, 0, 0, 4, 0xAA, 0x99, 0x55, 0x66});
  if (cut) image.resize(cut);
  // Built at full size and filled, which GCC's overflow analysis follows.
  std::vector<uint8_t> in(4 + image.size());
  const auto length = static_cast<uint32_t>(image.size());
  std::memcpy(in.data(), &length, 4);
  std::copy(image.begin(), image.end(), in.begin() + 4);
  return in;
}

TEST_F(DeviceTest, DownloadKeepsPartAndMarksStatus) {
  useRack(R"({"boards":[{"status":"0x10","bitstream_result":"0x1234"}]})");
  const Handle h = open(0);
  std::vector<uint8_t> out(4), status(1);
  EXPECT_FALSE(fpgaConfigured(0));
  ASSERT_EQ(request(h, IOCTL_SET_FPGA_BITSTREAM, bitImage("4vlx40ff668"), out), 0u);
  EXPECT_EQ(word(out, 0), 0x1234u);
  EXPECT_EQ(loadedPart(0), "4vlx40ff668");
  ASSERT_EQ(request(h, IOCTL_GET_BOARD_STATUS, {}, status), 0u);
  EXPECT_EQ(status[0], 0x11);
  // A 'b' field cut short by the end of the image is read only up to it.
  ASSERT_EQ(request(h, IOCTL_SET_FPGA_BITSTREAM, bitImage("2v3000", 13 + 14 + 3 + 3), out), 0u);
  EXPECT_EQ(loadedPart(0), "2v3");
  ASSERT_EQ(request(h, IOCTL_SET_FPGA_BITSTREAM, words({4, 0x00090FF0}), out), 0u);
  EXPECT_EQ(loadedPart(0), "");
}

TEST_F(DeviceTest, FaultsSkipThenFailCount) {
  useRack(R"({"boards":[{"faults":[
      {"op":"IOCTL_GET_HSREG","skip":2,"count":2,"error":55},
      {"op":"IOCTL_GET_FIXED_CLOCK","skip":1},
      {"op":"IOCTL_GET_BOARD_ID","returned":2},
      {"op":"open","skip":1,"count":1,"error":5}]}]})");
  const Handle h = open(0);
  std::vector<uint8_t> out(4);
  std::vector<uint32_t> results;
  for (int i = 0; i < 6; ++i) results.push_back(request(h, IOCTL_GET_HSREG, words({0}), out));
  EXPECT_EQ(results, (std::vector<uint32_t>{0, 0, 55, 55, 0, 0}));
  std::vector<uint8_t> clock(1);
  EXPECT_EQ(request(h, IOCTL_GET_FIXED_CLOCK, {}, clock), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(request(h, IOCTL_GET_FIXED_CLOCK, {}, clock), 31u);
  std::vector<uint8_t> id(6);
  uint32_t returned = 0;
  EXPECT_EQ(request(h, IOCTL_GET_BOARD_ID, {}, id, &returned), 0u);
  EXPECT_EQ(returned, 2u);
  Handle second = 0;
  EXPECT_EQ(openDevice(name(0).c_str(), kGenericReadWrite, 3, 3, 0, &second), 5u);
  EXPECT_EQ(second, -1);
  open(0);
}

TEST_F(DeviceTest, ShortTransferFaultsAndCounterFaults) {
  useRack(R"({"boards":[{"rx_overrun":3,"tx_underrun":4,"faults":[
      {"op":"read","returned":6,"count":1},{"op":"read","skip":1,"returned":0,"count":1},
      {"op":"read","skip":2,"count":1,"rx_overrun":9},{"op":"write","returned":5}]}]})");
  const Handle h = open(0);
  std::vector<uint8_t> counters(8), data;
  ASSERT_EQ(request(h, IOCTL_GET_TALVO_ERROR, {}, counters), 0u);
  EXPECT_EQ(word(counters, 0), 3u);
  EXPECT_EQ(word(counters, 1), 4u);
  ASSERT_EQ(request(h, IOCTL_TALVO_RESET, {0, 0}), 0u);
  ASSERT_EQ(request(h, IOCTL_GET_TALVO_ERROR, {}, counters), 0u);
  EXPECT_EQ(word(counters, 0) + word(counters, 1), 0u);

  // A short read succeeds even with the ADC stopped.
  uint32_t moved = 99;
  EXPECT_EQ(readBytes(h, data, 8, &moved), 0u);
  EXPECT_EQ(moved, 6u);
  EXPECT_EQ(readBytes(h, data, 8, &moved), 0u);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(readBytes(h, data, 8, &moved), 121u);
  ASSERT_EQ(request(h, IOCTL_GET_TALVO_ERROR, {}, counters), 0u);
  EXPECT_EQ(word(counters, 0), 9u);
  std::vector<uint8_t> payload(9, 1);
  EXPECT_EQ(writeDevice(h, payload.data(), 9, &moved), 0u);
  EXPECT_EQ(moved, 5u);
}

TEST_F(DeviceTest, MalformedConfigurationLeavesNoBoards) {
  const char* bad[] = {
      "{",
      R"({"boards":{}})",
      R"({"boards":[{"device":65}]})",
      R"({"boards":[{"device":1},{"device":1}]})",
      R"({"boards":[{"colour":"red"}]})",
      R"({"boards":[{"board_id":256}]})",
      R"({"boards":[{"ident":[1,2,3]}]})",
      R"({"boards":[{"faults":[{"op":"IOCTL_FROB"}]}]})",
      R"({"boards":[{"faults":[{"op":"open","returned":1}]}]})",
      R"({"boards":[{"signal":{"type":"triangle"}}]})",
      R"({"boards":[{"sequence_result":5}]})",
      R"({"boards":[{"registers":{"ten":1}}]})",
      "/nonexistent/rack.json",
  };
  for (const char* config : bad) {
    const std::string reason = configure(config);
    EXPECT_FALSE(reason.empty()) << config;
    Handle h = 0;
    EXPECT_EQ(openDevice(name(0).c_str(), kGenericReadWrite, 3, 3, 0, &h), 2u) << config;
  }
  EXPECT_NE(configure(R"({"boards":[{"device":1},{"device":1}]})").find("boards[1]"),
            std::string::npos);
}

void setEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

TEST_F(DeviceTest, EnvironmentIsReadOnceAtFirstOpenAndErrorsArePrinted) {
  const std::string path = ::testing::TempDir() + "vb_rack.json";
  std::ofstream(path) << R"({"boards":[{"device":4,"board_id":134}]})";
  setEnvironment("KPXADAC_SIM", path.c_str());
  resetToEnvironment();
  std::vector<uint8_t> id(6);
  ASSERT_EQ(request(open(4), IOCTL_GET_BOARD_ID, {}, id), 0u);
  EXPECT_EQ(id[5], 0x86);
  std::remove(path.c_str());
  setEnvironment("KPXADAC_SIM", "none");
  open(4);  // read once only

  setEnvironment("KPXADAC_SIM", R"({"boards":[{"device":4,"status":300}]})");
  resetToEnvironment();
  ::testing::internal::CaptureStderr();
  Handle h = 0;
  EXPECT_EQ(openDevice(name(4).c_str(), kGenericReadWrite, 3, 3, 0, &h), 2u);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed.rfind("kpxadac: KPXADAC_SIM: boards[0].status: ", 0), 0u) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
  setEnvironment("KPXADAC_SIM", "");
}

TEST_F(DeviceTest, JournalRecordsOperationsUnlessDisabled) {
  useRack("");
  const Handle h = open(0);
  std::vector<uint8_t> out(4);
  request(h, IOCTL_WRITE_SET_HSREG, words({0x70, 5}), out);
  const uint8_t data[3] = {7, 8, 9};
  uint32_t moved = 0;
  writeDevice(h, data, 3, &moved);
  control(h, 0x1234, nullptr, 0, nullptr, 0, &moved);
  const auto entries = journal();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].op, "open");
  EXPECT_EQ(entries[1].code, IOCTL_WRITE_SET_HSREG);
  EXPECT_EQ(entries[1].in, words({0x70, 5}));
  EXPECT_EQ(entries[1].outLength, 4u);
  EXPECT_TRUE(entries[1].ok);
  EXPECT_EQ(entries[2].op, "write");
  EXPECT_EQ(entries[2].in, (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(entries[2].returned, 3u);
  EXPECT_EQ(entries[3].error, 1u);
  EXPECT_EQ(peekRegister(0, 0x70), 5u);

  clearJournal();
  setJournalEnabled(false);
  readReg(h, 0);
  setJournalEnabled(true);
  EXPECT_TRUE(journal().empty());
}

TEST_F(DeviceTest, LockBelongsToOneHandleUntilUnlockOrClose) {
  useRack("");
  const Handle a = open(0), b = open(0);
  EXPECT_EQ(request(a, IOCTL_UNLOCK_BOARD), 158u);
  EXPECT_EQ(request(a, IOCTL_LOCK_BOARD), 0u);
  EXPECT_TRUE(isLocked(0));
  EXPECT_EQ(request(b, IOCTL_LOCK_BOARD), 170u);
  EXPECT_EQ(request(b, IOCTL_UNLOCK_BOARD), 170u);
  EXPECT_EQ(request(a, IOCTL_UNLOCK_BOARD), 0u);
  EXPECT_EQ(request(b, IOCTL_LOCK_BOARD), 0u);
  ASSERT_EQ(closeDevice(b), 0u);
  EXPECT_FALSE(isLocked(0));
  EXPECT_EQ(request(a, IOCTL_LOCK_BOARD), 0u);
}

TEST_F(DeviceTest, V360SnapshotHasDistinctFieldsAndCountsResets) {
  useRack("");
  const Handle h = open(0);
  std::vector<uint8_t> snap(44);
  ASSERT_EQ(request(h, IOCTL_V360_DEBUG, {}, snap), 0u);
  // Field offsets and widths; every field's value differs from all others.
  const std::pair<int, int> fields[] = {{0, 2},  {2, 2},  {4, 2},  {6, 2},  {8, 4},  {12, 4},
                                        {16, 4}, {20, 4}, {24, 2}, {26, 2}, {28, 2}, {30, 2},
                                        {32, 1}, {33, 1}, {36, 4}, {40, 4}};
  std::set<uint32_t> values;
  for (auto [at, width] : fields) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | snap[static_cast<size_t>(at + i)];
    EXPECT_NE(v, 0u) << at;
    values.insert(v);
  }
  EXPECT_EQ(values.size(), std::size(fields));
  const uint32_t before = word(snap, 10);
  ASSERT_EQ(request(h, IOCTL_V360_RESET), 0u);
  ASSERT_EQ(request(h, IOCTL_V360_DEBUG, {}, snap), 0u);
  EXPECT_EQ(word(snap, 10), before + 1);
}

TEST_F(DeviceTest, ProfilingCountsRequestsAndBytes) {
  useRack(R"({"boards":[{"board_id":"0x86"}]})");
  const Handle h = open(0);
  std::vector<uint8_t> prof(20), data(10);
  readReg(h, 0);
  readReg(h, 4);
  startAdc(h);  // a read and a write
  uint32_t moved = 0;
  ASSERT_EQ(readDevice(h, data.data(), 10, &moved), 0u);
  ASSERT_EQ(writeDevice(h, data.data(), 7, &moved), 0u);
  ASSERT_EQ(writeDevice(h, data.data(), 5, &moved), 0u);
  ASSERT_EQ(request(h, IOCTL_GET_PROFILING, {}, prof), 0u);
  EXPECT_EQ(words({4, 1, 10, 2, 12}), prof);
  ASSERT_EQ(request(h, IOCTL_RESET_PROFILING, {0x0A, 0}), 0u);  // words 1 and 3
  ASSERT_EQ(request(h, IOCTL_GET_PROFILING, {}, prof), 0u);
  EXPECT_EQ(words({4, 0, 10, 0, 12}), prof);
  ASSERT_EQ(request(h, IOCTL_RESET_PROFILING, {0, 0}), 0u);
  ASSERT_EQ(request(h, IOCTL_GET_PROFILING, {}, prof), 0u);
  EXPECT_EQ(words({0, 0, 0, 0, 0}), prof);
  uint32_t accepted = 0;
  std::vector<uint8_t> none;
  ASSERT_EQ(request(h, IOCTL_TALVO_PRELOAD_WRITE, {3, 0, 0, 0, 1, 2, 3}, none, &accepted), 0u);
  EXPECT_EQ(accepted, 3u);
}

TEST_F(DeviceTest, FpgaMemoryIsSparseAndMovesWholeChunks) {
  useRack("");
  const Handle h = open(0);
  std::vector<uint8_t> chunk(7);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(0xC0 + i);
  uint32_t returned = 0;
  ASSERT_EQ(request(h, IOCTL_WRITE_FPGA_MEM, words({0xFFFFFFFC, 7}), chunk, &returned), 0u);
  EXPECT_EQ(returned, 7u);
  EXPECT_EQ(peekFpgaMemory(0, 0xFFFFFFFFull, 3), (std::vector<uint8_t>{0xC3, 0xC4, 0xC5}));
  std::vector<uint8_t> back(7);
  ASSERT_EQ(request(h, IOCTL_READ_FPGA_MEM, words({0xFFFFFFFC, 100}), back), 0u);
  EXPECT_EQ(back, chunk);
  EXPECT_EQ(request(h, IOCTL_READ_FPGA_MEM, words({0, 6}), back), 87u)
      << "the count still to move includes this chunk";

  std::vector<uint8_t> large(0x3FF0000, 0xFF);
  ASSERT_EQ(request(h, IOCTL_READ_FPGA_MEM, words({0x100, 0x3FF0001}), large, &returned), 0u);
  EXPECT_EQ(returned, 0x3FF0000u);
  EXPECT_EQ(std::count(large.begin(), large.end(), 0), 0x3FF0000);
}

}  // namespace
}  // namespace kpx::sim::test
