// The options that pick a board and its sample clock (--type, --index,
// --clock, --sample-rate), the stream set-up they ask for, the sample rate
// the library gives for the clock, and the CLI11 parse with the tools'
// common handling of --help and of errors.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

#include "kpxadac_board.h"
#include "kpxadac_stream.h"

namespace kpx::tools {

enum class ClockChoice { kAsBoardReports, kFixed, kSynthesizer };

struct BoardOptions {
  bool dacBoard = false;
  unsigned index = 0;
  ClockChoice clock = ClockChoice::kAsBoardReports;
  std::optional<double> sampleRateHz;  // overrides the rate the library gives
};

// Which boards a tool works with: --type is offered only where both are.
enum class BoardTypes { kAdcOnly, kAdcAndDac };

// A rate in MHz for help texts, from the library ("105" or "100").
inline std::string megahertz(double rateHz) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", rateHz / 1e6);
  return text;
}

// Adds --type (where both types are), --index, --clock and --sample-rate,
// which fill `board` as they are parsed. `rateUse` ends the --sample-rate
// help ("to record and to time --duration by", ...). The old spellings
// --board (for --index) and --rate (for --sample-rate) stay as hidden
// aliases.
inline void addBoardOptions(CLI::App& app, BoardOptions& board,
                            BoardTypes types = BoardTypes::kAdcAndDac,
                            const std::string& rateUse = "") {
  if (types == BoardTypes::kAdcAndDac)
    app.add_option_function<std::string>(
           "--type",
           [&board](const std::string& type) {
             board.dacBoard = CLI::detail::to_lower(type) == "dac";
           },
           "Board type (default adc)")
        ->check(CLI::IsMember({"adc", "dac"}, CLI::ignore_case))
        ->option_text("adc|dac");
  const std::string typeWord = types == BoardTypes::kAdcAndDac ? "its type" : "the ADC boards";
  auto* index =
      app.add_option("--index", board.index,
                     "Index of the board among " + typeWord + " (default 0)")
          ->check(CLI::Range(0, 255))
          ->option_text("N");
  app.add_option("--board", board.index)->check(CLI::Range(0, 255))->excludes(index)->group("");
  const std::string synthesizer = megahertz(KpxBoard_SynthesizerRateHz());
  const std::string fixed = megahertz(KpxBoard_FixedClockRateHz(KPXADAC_INVALID_HANDLE));
  app.add_option_function<std::string>(
         "--clock",
         [&board](const std::string& clock) {
           board.clock = CLI::detail::to_lower(clock) == "fixed" ? ClockChoice::kFixed
                                                                 : ClockChoice::kSynthesizer;
         },
         "fixed: the onboard fixed clock; synth: the synthesizer at " + synthesizer +
             " MHz (default: as the board reports)")
      ->check(CLI::IsMember({"fixed", "synth"}, CLI::ignore_case))
      ->option_text("fixed|synth");
  auto* rate = app.add_option("--sample-rate", board.sampleRateHz,
                              "Sample rate of the board" + (rateUse.empty() ? "" : " " + rateUse) +
                                  " (default " + fixed + "e6 on the fixed clock, " + synthesizer +
                                  "e6 on the synthesizer)")
                   ->check(CLI::PositiveNumber)
                   ->option_text("HZ");
  app.add_option("--rate", board.sampleRateHz)
      ->check(CLI::PositiveNumber)
      ->excludes(rate)
      ->group("");
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

// The sample rate of a stream: the one given on the command line, else the
// one the library gives for the clock the stream set up.
inline double streamRate(const BoardOptions& board, KpxStream* stream) {
  if (board.sampleRateHz) return *board.sampleRateHz;
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream, &status);
  return status.sampleRateHz;
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
