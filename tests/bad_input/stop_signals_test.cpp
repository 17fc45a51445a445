// The programs that run until stopped (kpxadac-capture, -generate, -scope)
// end cleanly on Ctrl+C, SIGTERM and SIGHUP (the terminal went away), all
// through the shared stop handlers (tools/common/tool_platform_posix.cpp):
// each is started, left to get going, sent the signal, and must end with
// status 0 and its closing lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::scratchFolder;

struct Program {
  std::string name;  // kpxadac-<name>
  const char* path;
  std::vector<std::string> arguments;  // "FOLDER" stands for the scratch folder
  std::string rack;                    // KPXADAC_SIM; FOLDER as above
  std::string growingFile;             // running once this file has 64 KiB; "" for the log
  std::string readyText;               // else once the log holds this
  std::string closingText;             // the log's closing words after the stop
};

std::vector<Program> programs() {
  std::vector<Program> built;
#ifdef KPXADAC_CAPTURE
  // A slowed writer keeps the file small.
  built.push_back(
      {"capture",
       KPXADAC_CAPTURE,
       {"--chunk", "65536", "--ring", "2", "--writer-delay-ms", "5", "-o", "FOLDER/rec.bin"},
       "default",
       "rec.bin",
       "",
       "stopped by signal"});
#endif
#ifdef KPXADAC_GENERATE
  // A real-time DAC at 1 MHz that records what it plays.
  built.push_back({"generate",
                   KPXADAC_GENERATE,
                   {"--frequency", "1000", "--sample-rate", "1e6", "--block", "4096"},
                   R"({"boards": [{"device": 0, "board_id": "0x86", "output_file": )"
                   R"("FOLDER/played.raw", "realtime": true, "synthesizer_rate_hz": 1e6}]})",
                   "played.raw",
                   "",
                   "stopped by signal"});
#endif
#ifdef KPXADAC_SCOPE
  built.push_back({"scope",
                   KPXADAC_SCOPE,
                   {"--port", "0"},
                   "default",
                   "",
                   "kpxadac-scope: serving",
                   "spectra in"});
#endif
  return built;
}

std::string inFolder(std::string text, const fs::path& folder) {
  for (size_t at; (at = text.find("FOLDER")) != std::string::npos;)
    text.replace(at, 6, folder.string());
  return text;
}

// Starts `program` with standard output and error into `log`.
pid_t start(const Program& program, const fs::path& folder, const fs::path& log) {
  std::vector<std::string> words{program.path};
  for (const auto& argument : program.arguments) words.push_back(inFolder(argument, folder));
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string simulation = "KPXADAC_SIM=" + inFolder(program.rack, folder);
  char* envp[] = {simulation.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program.path, &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool running(const Program& program, const fs::path& folder, const fs::path& log) {
  if (program.growingFile.empty())
    return readFile(log).find(program.readyText) != std::string::npos;
  std::error_code error;
  const auto size = fs::file_size(folder / program.growingFile, error);
  return !error && size >= 64 * 1024;
}

TEST(StopSignals, EndEveryLongRunningProgramCleanly) {
  const std::vector<Program> table = programs();
  ASSERT_FALSE(table.empty());
  for (const Program& program : table)
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      const std::string name = "kpxadac-" + program.name;
      SCOPED_TRACE(name + " and signal " + std::to_string(signal));
      const fs::path folder =
          scratchFolder("stop-signal-" + program.name + "-" + std::to_string(signal));
      const fs::path log = folder / "log.txt";
      const pid_t pid = start(program, folder, log);
      ASSERT_GT(pid, 0);
      // Until it runs; the test's time-out bounds a program that never does.
      int status = 0;
      while (!running(program, folder, log)) {
        ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended early: " << readFile(log);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      kill(pid, signal);
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      const std::string output = readFile(log);
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ":\n" << output;
      EXPECT_EQ(WEXITSTATUS(status), 0) << output;
      EXPECT_NE(output.find(program.closingText), std::string::npos) << output;
    }
}

}  // namespace
