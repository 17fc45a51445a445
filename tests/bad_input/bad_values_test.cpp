// One table of bad values run through every program against the default
// virtual rack: each must end with status 1 and one message that starts
// with the program's name and holds the row's words, at once (timeout(1)
// ends a program that would run on, and the row then fails). Also every
// program's standard output on a device that refuses writes (/dev/full).
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using test_support::ProgramRun;
using test_support::runProgram;
using test_support::scratchFolder;

// The programs built here, by short name.
const std::map<std::string, std::string>& programs() {
  static const std::map<std::string, std::string> built = {
#ifdef KPXADAC_CAPTURE
      {"capture", KPXADAC_CAPTURE},
#endif
#ifdef KPXADAC_GENERATE
      {"generate", KPXADAC_GENERATE},
#endif
#ifdef KPXADAC_ANALYZE
      {"analyze", KPXADAC_ANALYZE},
#endif
#ifdef KPXADAC_INFO
      {"info", KPXADAC_INFO},
#endif
#ifdef KPXADAC_SCOPE
      {"scope", KPXADAC_SCOPE},
#endif
  };
  return built;
}

// Arguments that let each program end soon once its options are taken, so
// that a bad value let through shows as a wrong status, not a long run.
const std::map<std::string, std::string> kQuickEnd = {
    {"capture", "-o out.bin --samples 10"},
    {"generate", "--samples 10"},
    {"analyze", "--fft-size 1024 --averages 1"},
    {"info", ""},
    {"scope", "--port 0"},
};

struct Row {
  std::string program;
  std::string arguments;           // given before the program's kQuickEnd arguments
  std::vector<std::string> words;  // the message holds each of them
  bool quickEnd = true;            // false: without kQuickEnd (they would conflict)
};

// Bad values of the options every board-using program shares, for `program`.
std::vector<Row> sharedRows(const std::string& program) {
  std::vector<Row> rows = {
      {program, "--sample-rate nan", {"--sample-rate", "nan is not a number"}},
      {program, "--sample-rate inf", {"--sample-rate", "inf is not finite"}},
      {program, "--sample-rate -inf", {"--sample-rate", "-inf is not finite"}},
      {program, "--sample-rate 1e400", {"--sample-rate", "out of range", "2e+09"}},
      {program, "--sample-rate 1e10", {"--sample-rate", "out of range"}},
      {program, "--sample-rate 0", {"--sample-rate", "out of range"}},
      {program, "--sample-rate -105e6", {"--sample-rate", "out of range"}},
      {program, "--sample-rate 105MHz", {"--sample-rate", "not a number"}},
      {program, "--rate nan", {"--rate", "not a number"}},
      {program, "--index -1", {"--index", "out of range", "0 to 255"}},
      {program, "--index 256", {"--index", "out of range"}},
      {program, "--index nan", {"--index", "not a number"}},
      {program, "--index 0.5", {"--index", "not a whole number"}},
      {program, "--index 99999999999999999999", {"--index", "out of range"}},
      {program, "--bogus 1", {"--bogus"}},
      // The hidden old spellings are named in the message too.
      {program, "--board 1 --index 1", {"--index excludes --board"}},
      {program, "--rate 1e6 --sample-rate 1e6", {"--sample-rate excludes --rate"}},
  };
  return rows;
}

std::vector<Row> table() {
  std::vector<Row> rows;
  for (const char* program : {"capture", "generate", "analyze", "scope"})
    for (Row& row : sharedRows(program)) rows.push_back(std::move(row));
  const std::vector<Row> own = {
      // kpxadac-generate
      {"generate", "--type adc", {"--type", "DAC boards only"}},
      {"generate", "--duration nan", {"--duration", "not a number"}, false},
      {"generate", "--duration inf", {"--duration", "not finite"}, false},
      {"generate", "--duration 0", {"--duration", "out of range"}, false},
      {"generate", "--duration -1", {"--duration", "out of range"}, false},
      {"generate", "--duration 1e300", {"--duration", "out of range"}, false},
      {"generate", "--samples 0", {"--samples", "out of range"}, false},
      {"generate", "--samples -1", {"--samples", "out of range"}, false},
      {"generate", "--samples 99999999999999999999", {"--samples", "out of range"}, false},
      {"generate", "--samples 1.5", {"--samples", "not a whole number"}, false},
      {"generate", "--samples nan", {"--samples", "not a number"}, false},
      {"generate", "--amplitude nan", {"--amplitude", "nan is not a number"}},
      {"generate", "--amplitude inf", {"--amplitude", "not finite"}},
      {"generate", "--amplitude 1", {"--amplitude", "out of range", "-300 to 0"}},
      {"generate", "--frequency nan", {"--frequency", "not a number"}},
      {"generate", "--frequency -1", {"--frequency", "out of range"}},
      {"generate", "--wave multitone --frequency 1e6,inf", {"--frequency", "not finite"}},
      {"generate", "--phase nan", {"--phase", "not a number"}},
      {"generate", "--phase -inf", {"--phase", "not finite"}},
      {"generate", "--wave chirp --start nan", {"--start", "not a number"}},
      {"generate", "--wave chirp --stop inf", {"--stop", "not finite"}},
      {"generate", "--wave chirp --sweep-time 0", {"--sweep-time", "out of range"}},
      {"generate", "--wave chirp --sweep-time nan", {"--sweep-time", "not a number"}},
      {"generate", "--wave square --duty nan", {"--duty", "not a number"}},
      {"generate", "--wave square --duty 1.5", {"--duty", "out of range"}},
      {"generate", "--wave pulse --width 0", {"--width", "out of range"}},
      {"generate", "--wave pulse --width -1", {"--width", "out of range"}},
      {"generate", "--wave pulse --width nan", {"--width", "not a number"}},
      {"generate", "--wave pulse --period nan", {"--period", "nan"}},
      {"generate", "--wave pulse --period 0", {"--period", "number of samples"}},
      {"generate", "--wave pulse --period -5", {"--period", "number of samples"}},
      {"generate", "--wave pulse --period 99999999999999999999", {"--period", "number of samples"}},
      {"generate", "--wave pulse --baseline 40000", {"--baseline", "out of range"}},
      {"generate", "--wave pulse --baseline nan", {"--baseline", "not a number"}},
      {"generate", "--noise nan", {"--noise", "not a number"}},
      {"generate", "--noise -1", {"--noise", "out of range"}},
      {"generate", "--seed -1", {"--seed", "out of range"}},
      {"generate", "--seed 1.5", {"--seed", "not a whole number"}},
      {"generate", "--block nan", {"--block", "not a number"}},
      {"generate", "--block 1", {"--block", "out of range"}},
      {"generate", "--block 3", {"--block", "even"}},
      {"generate", "--ring 5000", {"--ring", "out of range"}},
      {"generate", "--ring inf", {"--ring", "not finite"}},
      // kpxadac-analyze
      {"analyze", "--type dac", {"--type", "ADC boards only"}},
      {"analyze", "--samples 0", {"--samples", "out of range"}},
      {"analyze", "--samples -1", {"--samples", "out of range"}},
      {"analyze", "--samples nan", {"--samples", "not a number"}},
      {"analyze", "--samples 1e300", {"--samples", "out of range"}},
      {"analyze", "--samples 4294967296", {"--samples", "out of range"}},
      {"analyze", "--fft-size nan", {"--fft-size", "not a number"}, false},
      {"analyze", "--fft-size -1", {"--fft-size", "out of range"}, false},
      {"analyze", "--fft-size 3000", {"--fft-size", "power of two"}, false},
      {"analyze", "--fft-size 2097152", {"--fft-size", "out of range"}, false},
      {"analyze", "--averages 0", {"--averages", "out of range"}, false},
      {"analyze", "--averages inf", {"--averages", "not finite"}, false},
      {"analyze", "--averages 2097152", {"--averages", "out of range"}, false},
      {"analyze", "--fft-size 1048576 --averages 1048576", {"--averages", "samples"}, false},
      {"analyze", "--window kaiser", {"--window"}},
      // kpxadac-info
      {"info", "--bogus", {"--bogus"}},
      {"info", "extra", {"extra"}},
      // kpxadac-scope
      {"scope", "--port 70000", {"--port", "out of range"}, false},
      {"scope", "--port -1", {"--port", "out of range"}, false},
      {"scope", "--port nan", {"--port", "not a number"}, false},
      {"scope", "--listen 127.0.0.1:99999", {"--listen", "port"}, false},
      {"scope", "--token x", {"--token"}},
      {"scope", "--fft-size nan", {"--fft-size", "not a number"}},
      {"scope", "--fft-size 3000", {"--fft-size", "power of two"}},
      {"scope", "--fft-size 1e300", {"--fft-size", "out of range"}},
      {"scope", "--averaging 0", {"--averaging", "out of range"}},
      {"scope", "--averaging nan", {"--averaging", "not a number"}},
      {"scope", "--averaging 20000", {"--averaging", "out of range"}},
      {"scope", "--trigger-level nan", {"--trigger-level", "not a number"}},
      {"scope", "--trigger-level 40000", {"--trigger-level", "out of range"}},
      {"scope", "--trigger-hysteresis -1", {"--trigger-hysteresis", "out of range"}},
      {"scope", "--max-rate nan", {"--max-rate", "not a number"}},
      {"scope", "--max-rate inf", {"--max-rate", "not finite"}},
      {"scope", "--max-rate 0", {"--max-rate", "out of range"}},
      // kpxadac-capture: its own numbers, through the same shared checks.
      // Before them --duration nan captured until the timeout, --duration
      // 2e11 captured one sample and exited 0, --ring-seconds nan quoted a
      // limit that is not the option's, and the rest printed DBL_MAX in 309
      // digits.
      {"capture", "--type dac", {"--type", "ADC boards only"}},
      {"capture", "--samples 0 -o out.bin", {"--samples", "out of range"}, false},
      {"capture", "--samples -1 -o out.bin", {"--samples", "out of range"}, false},
      {"capture",
       "--samples 99999999999999999999 -o out.bin",
       {"--samples", "out of range"},
       false},
      {"capture", "--samples 1.5 -o out.bin", {"--samples", "not a whole number"}, false},
      {"capture", "--duration nan -o /dev/null", {"--duration", "not a number"}, false},
      {"capture", "--duration inf -o out.bin", {"--duration", "not finite"}, false},
      {"capture", "--duration -1 -o out.bin", {"--duration", "out of range"}, false},
      {"capture", "--duration 0 -o out.bin", {"--duration", "out of range"}, false},
      {"capture", "--duration 2e11 -o out.bin", {"--duration", "out of range"}, false},
      {"capture",
       "--sample-rate 1e6 --duration 1e14 -o out.bin",
       {"--duration", "out of range"},
       false},
      {"capture", "--chunk nan", {"--chunk", "not a number"}},
      {"capture", "--chunk 2", {"--chunk", "out of range"}},
      {"capture", "--chunk 1e300", {"--chunk", "out of range"}},
      {"capture", "--ring 1", {"--ring", "out of range"}},
      {"capture", "--ring inf", {"--ring", "not finite"}},
      {"capture", "--ring-seconds nan", {"--ring-seconds", "not a number", "0.001 to 3600"}},
      {"capture", "--ring-seconds inf", {"--ring-seconds", "not finite"}},
      {"capture", "--ring-seconds 0", {"--ring-seconds", "out of range"}},
      {"capture", "--writer-delay-ms nan", {"--writer-delay-ms", "not a number"}},
      {"capture", "--writer-delay-ms -1", {"--writer-delay-ms", "out of range"}},
      {"capture", "--direct --writer-delay-ms nan", {"--writer-delay-ms: nan is not a number"}},
      {"capture", "--trigger rising:100 --pre nan", {"--pre", "not a number"}},
      {"capture", "--trigger rising:100 --post -1", {"--post", "out of range"}},
      {"capture", "--trigger rising:100 --holdoff inf", {"--holdoff", "not finite"}},
      {"capture", "--trigger rising:100 --records 1.5", {"--records", "not a whole number"}},
      {"capture", "--trigger rising:100 --hysteresis 70000", {"--hysteresis", "out of range"}},
      {"capture", "--trigger rising:nan", {"--trigger", "not a number"}},
      {"capture", "--trigger rising:40000", {"--trigger", "out of range", "-32768 to 32767"}},
      {"capture", "--trigger rising:inf", {"--trigger", "not finite"}},
  };
  rows.insert(rows.end(), own.begin(), own.end());
  return rows;
}

ProgramRun runRow(const Row& row, const std::string& path, const std::string& folderName) {
  std::string arguments = row.arguments;
  if (row.quickEnd && !kQuickEnd.at(row.program).empty())
    arguments += " " + kQuickEnd.at(row.program);
  const auto folder = scratchFolder(folderName + "-" + row.program);
  // -k: a program that ignores SIGTERM is killed 2 s later.
  return runProgram("timeout", "-k 2 20 '" + path + "' " + arguments, folder,
                    {{"KPXADAC_SIM", "default"}});
}

// `folderName`: of the scratch folders, one per test, since CTest may run
// the tests of this file at the same time.
void checkRows(const std::vector<Row>& rows, const std::string& folderName) {
  size_t ran = 0;
  for (const Row& row : rows) {
    const auto found = programs().find(row.program);
    if (found == programs().end()) continue;  // not built here
    const std::string name = "kpxadac-" + row.program;
    SCOPED_TRACE(name + " " + row.arguments);
    const ProgramRun run = runRow(row, found->second, folderName);
    ++ran;
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output.rfind(name + ": ", 0), 0u) << "no '" << name << ": ' first:\n"
                                                    << run.output;
    for (const std::string& word : row.words)
      EXPECT_NE(run.output.find(word), std::string::npos) << "'" << word << "' missing:\n"
                                                          << run.output;
    // Bounds are written short: DBL_MAX is 1.79769e+308, not 309 digits.
    EXPECT_FALSE(std::regex_search(run.output, std::regex("[0-9]{25}"))) << run.output;
    EXPECT_EQ(run.output.find("Aborted"), std::string::npos) << run.output;
  }
  EXPECT_GT(ran, 0u);
}

TEST(BadValues, EveryProgramRefusesThemWithStatusOneAndItsName) {
  checkRows(table(), "bad-input");
}

// Every program's help names each option it says one excludes or needs:
// CLI11 leaves hidden options (the old spellings) out, which once printed
// a bare "Excludes:".
TEST(BadValues, HelpNamesEveryOptionItRefersTo) {
  for (const auto& [program, path] : programs()) {
    SCOPED_TRACE("kpxadac-" + program + " --help");
    const auto folder = scratchFolder("help-" + program);
    const ProgramRun run = runProgram("timeout", "-k 2 20 '" + path + "' --help", folder,
                                      {{"KPXADAC_SIM", "default"}});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("--help"), std::string::npos) << run.output;
    std::smatch unnamed;
    EXPECT_FALSE(std::regex_search(run.output, unnamed, std::regex(R"((Excludes|Needs):(?! -))")))
        << "at " << unnamed.position() << ":\n"
        << run.output;
  }
}

// Standard output on /dev/full: the program must notice, say so on
// standard error and end with a failure status.
TEST(BadValues, AFailedWriteOfStandardOutputIsAFailure) {
  struct Case {
    std::string program, arguments;
  };
  const std::vector<Case> cases = {
      {"info", ""},
      {"info", "--json"},
      {"info", "--help"},
      {"analyze", "--fft-size 1024 --averages 1"},
      {"analyze", "--fft-size 1024 --averages 1 --json"},
      {"analyze", "--help"},
      {"generate", "--help"},
      {"scope", "--help"},
      {"scope", "--port 0"},
      {"capture", "--help"},
  };
  for (const Case& c : cases) {
    const auto found = programs().find(c.program);
    if (found == programs().end()) continue;
    SCOPED_TRACE("kpxadac-" + c.program + " " + c.arguments + " > /dev/full");
    const auto folder = scratchFolder("bad-output-" + c.program);
    const ProgramRun run = runProgram(
        "sh", "-c \"timeout -k 2 20 '" + found->second + "' " + c.arguments + " > /dev/full\"",
        folder, {{"KPXADAC_SIM", "default"}});
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_NE(run.status, 124) << "still running: " << run.output;
    EXPECT_NE(run.output.find("kpxadac-" + c.program + ": "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("standard output"), std::string::npos) << run.output;
  }
}

// A rack that cannot be built leaves the process without boards: a program
// says why and fails, rather than reporting an empty rack.
TEST(BadValues, ARackThatCannotBeBuiltIsAFailure) {
  const std::vector<std::string> arguments = {"", "--json"};
  const auto found = programs().find("info");
  ASSERT_NE(found, programs().end());
  for (const std::string& argument : arguments) {
    SCOPED_TRACE("kpxadac-info " + argument);
    const auto folder = scratchFolder("bad-rack-info");
    const ProgramRun run = runProgram("timeout", "-k 2 20 '" + found->second + "' " + argument,
                                      folder, {{"KPXADAC_SIM", R"({"boards":[)"}});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("kpxadac-info: no boards: KPXADAC_SIM: invalid JSON"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("0 board(s)"), std::string::npos) << run.output;
  }
}

}  // namespace
