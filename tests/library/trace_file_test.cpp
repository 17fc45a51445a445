// The request trace's file (KPXADAC_TRACE) as users give it: a file, a FIFO
// they read, one nobody reads, a directory, a full disk. The trace is read
// once per process, so each case runs in a child process of its own.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kpxadac_board.h"
#include "program_runner.h"
#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;

using TraceFileTest = SimTest;

// In a child process: the library's failure lines into `lines`, a few
// requests on the default board with the trace at `trace`, exit status 0.
void runTracedRequests(const std::string& trace, const fs::path& lines) {
  setenv("KPXADAC_TRACE", trace.c_str(), 1);
  if (!std::freopen(lines.c_str(), "w", stdout)) std::_Exit(3);
  testbed::configure("default");
  Kpxadac16_Open();
  const BoardHandle board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  for (int i = 0; i < 5; ++i) Kpxadac16_ReadReg(board, 0x70);
  Kpxadac16_CloseAll();
  std::fflush(stdout);
  std::_Exit(board == -1 ? 4 : 0);
}

size_t count(const std::string& text, const std::string& words) {
  size_t n = 0;
  for (size_t at = text.find(words); at != std::string::npos; at = text.find(words, at + 1)) ++n;
  return n;
}

TEST_F(TraceFileTest, EachTraceFileIsWrittenOrRefusedAndAFailureIsSaidOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Each child runs this body again up to its own case: the folder and the
  // FIFO stay as the parent made them.
  const fs::path folder = fs::absolute("scratch") / "kpxadac-trace-files";
  const fs::path lines = folder / "lines.txt";
  fs::create_directories(folder / "a-directory");
  const fs::path fifo = folder / "a-fifo";
  if (!fs::is_fifo(fifo)) {
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  }

  // Refused at the start, on standard error; the program runs on.
  for (const auto& [path, words] :
       {std::pair<std::string, std::string>{(folder / "a-directory").string(), "directory"},
        {fifo.string(), "FIFO \\(named pipe\\) that nobody reads"}}) {
    EXPECT_EXIT(runTracedRequests(path, lines), testing::ExitedWithCode(0),
                "KPXADAC_TRACE: .*" + words + ".*; running without a trace");
  }

  // A full disk: one failure line on the library's channel, and the
  // requests go on.
  EXPECT_EXIT(runTracedRequests("/dev/full", lines), testing::ExitedWithCode(0), "");
  const std::string said = test_support::readFile(lines);
  EXPECT_EQ(count(said, "KPXADAC_TRACE: cannot write \"/dev/full\""), 1u) << said;
  EXPECT_NE(said.find("the trace stops here"), std::string::npos) << said;

  // A FIFO that someone reads gets the trace.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EXIT(runTracedRequests(fifo.string(), lines), testing::ExitedWithCode(0), "");
  char trace[65536];
  const ssize_t got = ::read(reader, trace, sizeof trace);
  ::close(reader);
  ASSERT_GT(got, 0);
  EXPECT_EQ(count(std::string(trace, static_cast<size_t>(got)), "\"name\":\"IOCTL_GET_HSREG\""),
            5u);
}

}  // namespace
#endif
