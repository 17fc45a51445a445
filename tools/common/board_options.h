// The options that pick a board and its sample clock (--type, --index,
// --clock), the stream set-up they ask for, and the CLI11 parse with the
// tools' common handling of --help and of errors.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "kpxadac_stream.h"

namespace kpx::tools {

enum class ClockChoice { kAsBoardReports, kFixed, kSynthesizer };

// The library cannot ask a board for its fixed clock's rate; this is the
// boards' usual one.
inline constexpr double kFixedClockRateHz = 100e6;

struct BoardOptions {
  bool dacBoard = false;
  unsigned index = 0;
  ClockChoice clock = ClockChoice::kAsBoardReports;
};

// Adds --type, --index and --clock, which fill `board` as they are parsed.
inline void addBoardOptions(CLI::App& app, BoardOptions& board) {
  app.add_option_function<std::string>(
         "--type",
         [&board](const std::string& type) {
           board.dacBoard = CLI::detail::to_lower(type) == "dac";
         },
         "Board type (default adc)")
      ->check(CLI::IsMember({"adc", "dac"}, CLI::ignore_case))
      ->option_text("adc|dac");
  app.add_option("--index", board.index, "Index of the board among those of its type (default 0)")
      ->check(CLI::Range(0, 255))
      ->option_text("N");
  app.add_option_function<std::string>(
         "--clock",
         [&board](const std::string& clock) {
           board.clock = CLI::detail::to_lower(clock) == "fixed" ? ClockChoice::kFixed
                                                                 : ClockChoice::kSynthesizer;
         },
         "fixed: the onboard fixed clock; synth: the synthesizer at 105 MHz (default: as the "
         "board reports)")
      ->check(CLI::IsMember({"fixed", "synth"}, CLI::ignore_case))
      ->option_text("fixed|synth");
}

// The receive stream's set-up for a clock choice.
inline int32_t streamSetup(ClockChoice clock) {
  switch (clock) {
    case ClockChoice::kFixed:
      return KPXSTREAM_SETUP_FIXED_CLOCK;
    case ClockChoice::kSynthesizer:
      return KPXSTREAM_SETUP_SYNTHESIZER;
    case ClockChoice::kAsBoardReports:
      break;
  }
  return KPXSTREAM_SETUP_AUTO_CLOCK;
}

// What parse() found: go on, or end at once with `exitStatus`.
struct ParseOutcome {
  bool proceed = false;
  int exitStatus = 0;
};

// Parses the command line, then runs `check` (which throws CLI errors for
// combinations CLI11 cannot express). Help goes to standard output; an error
// to standard error as "<program>: <error>", ending with `usageStatus`.
template <typename Check>
ParseOutcome parse(CLI::App& app, int argc, char** argv, const char* program, int usageStatus,
                   Check check) {
  try {
    app.parse(argc, argv);
    check();
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return {false, 0};
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "%s: %s\nRun with --help for the options.\n", program, e.what());
    return {false, usageStatus};
  }
  return {true, 0};
}

}  // namespace kpx::tools
