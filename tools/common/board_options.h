// The options that pick a board and its sample clock (--type, --index,
// --clock, --sample-rate), the stream set-up they ask for, the sample rate
// the library gives for the clock, and the CLI11 parse with the tools'
// common handling of --help and of errors.
#pragma once

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "number_options.h"

namespace kpx::tools {

enum class ClockChoice { kAsBoardReports, kFixed, kSynthesizer };

struct BoardOptions {
  bool dacBoard = false;
  unsigned index = 0;  // the first of `indexes`
  // --index N,M,... where a tool takes a group of boards (docs/groups.md):
  // every index given, in order; one entry without a list.
  std::vector<unsigned> indexes{0};
  ClockChoice clock = ClockChoice::kAsBoardReports;
  std::optional<double> sampleRateHz;  // overrides the rate the library gives
};

// The sample rates --sample-rate takes: the boards run at 100 and 105 MHz;
// beyond 2 GHz (or below 1 Hz) a rate is a mistake, and the sample counts
// and rings the tools derive from it would not fit.
inline constexpr double kMinSampleRateHz = 1;
inline constexpr double kMaxSampleRateHz = 2e9;

// The longest --duration: 2^61 samples, the most a count holds where a
// program counts bytes too, at the highest rate (about 36 years).
inline constexpr double kMaxDurationSeconds = 0x1p61 / kMaxSampleRateHz;

// The samples in `seconds` at `rateHz`, at least 1, rounded up; 0 when
// they are more than 2^61 (a count that a program cannot represent) or
// either value is not above 0.
inline uint64_t samplesInDuration(double seconds, double rateHz) {
  const double samples = std::ceil(seconds * rateHz);
  if (!(seconds > 0 && rateHz > 0 && samples <= 0x1p61)) return 0;
  return samples < 1 ? 1 : static_cast<uint64_t>(samples);
}

// Which boards a tool works with: kAdcOnly offers no --type; kAdcAndDac
// offers --type adc|dac; kAdcTyped and kDacTyped keep --type for the
// scripts that give it, but take only the one type the tool can use (a
// receive stream reads ADC boards, a transmit stream plays on DAC boards).
enum class BoardTypes { kAdcOnly, kAdcAndDac, kAdcTyped, kDacTyped };

// A rate in MHz for help texts, from the library ("105" or "100").
inline std::string megahertz(double rateHz) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", rateHz / 1e6);
  return text;
}

// Reads a comma-separated list of whole numbers from `min` to `max` (at
// least one, at most `most`) into `values`; "" or what is wrong, naming the
// entry. `what` names an entry in the message ("board index").
inline std::string readWholeList(const std::string& text, int64_t min, int64_t max, size_t most,
                                 const std::string& what, std::vector<int64_t>& values) {
  values.clear();
  const WholeRange<int64_t> range(min, max);
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    std::string entry = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (values.size() == most)
      return "more than " + std::to_string(most) + " entries in '" + text + "'";
    if (auto problem = range(entry); !problem.empty()) return what + " " + problem;
    values.push_back(std::stoll(entry));
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

// Adds --type (where both types are), --index, --clock and --sample-rate,
// which fill `board` as they are parsed. `rateUse` ends the --sample-rate
// help ("to record and to time --duration by", ...). With `mostBoards`
// above 1, --index takes a list of up to that many boards (N,M,...), a
// group. The old spellings --board (for --index) and --rate (for
// --sample-rate) stay as hidden aliases.
inline void addBoardOptions(CLI::App& app, BoardOptions& board,
                            BoardTypes types = BoardTypes::kAdcAndDac,
                            const std::string& rateUse = "", size_t mostBoards = 1) {
  board.dacBoard = types == BoardTypes::kDacTyped;
  if (types != BoardTypes::kAdcOnly) {
    const char* only = types == BoardTypes::kAdcTyped   ? "adc"
                       : types == BoardTypes::kDacTyped ? "dac"
                                                        : nullptr;
    app.add_option_function<std::string>(
           "--type",
           [&board](const std::string& type) {
             board.dacBoard = CLI::detail::to_lower(type) == "dac";
           },
           only ? std::string("Board type: ") + only + ", the only one this program works with"
                : std::string("Board type (default adc)"))
        ->check(CLI::IsMember({"adc", "dac"}, CLI::ignore_case))
        ->check(
            [only](const std::string& type) {
              if (!only || CLI::detail::to_lower(type) == only) return std::string();
              return std::string(only[0] == 'a' ? "this program reads ADC boards only"
                                                : "this program plays on DAC boards only") +
                     " (not " + type + ")";
            },
            "")
        ->option_text(only ? only : "adc|dac");
  }
  const std::string typeWord = types == BoardTypes::kAdcAndDac  ? "its type"
                               : types == BoardTypes::kDacTyped ? "the DAC boards"
                                                                : "the ADC boards";
  CLI::Option* index = nullptr;
  if (mostBoards > 1) {
    index =
        app.add_option_function<std::string>(
               "--index",
               [&board](const std::string& text) {
                 std::vector<int64_t> values;
                 readWholeList(text, 0, 255, SIZE_MAX, "", values);
                 board.indexes.assign(values.begin(), values.end());
                 board.index = board.indexes.front();
               },
               "Index of the board among " + typeWord + " (default 0); N,M,... a group of up to " +
                   std::to_string(mostBoards) + " boards started as one (docs/groups.md)")
            ->check(
                [mostBoards](const std::string& text) {
                  std::vector<int64_t> values;
                  return readWholeList(text, 0, 255, mostBoards, "board index", values);
                },
                "")
            ->option_text("N[,N...]");
  } else {
    index = app.add_option_function<unsigned>(
                   "--index",
                   [&board](unsigned value) {
                     board.index = value;
                     board.indexes = {value};
                   },
                   "Index of the board among " + typeWord + " (default 0)")
                ->transform(WholeRange<uint64_t>(0, 255))
                ->option_text("N");
  }
  app.add_option_function<unsigned>("--board",
                                    [&board](unsigned value) {
                                      board.index = value;
                                      board.indexes = {value};
                                    })
      ->transform(WholeRange<uint64_t>(0, 255))
      ->excludes(index)
      ->group("");
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
                   ->transform(RealRange(kMinSampleRateHz, kMaxSampleRateHz))
                   ->option_text("HZ");
  app.add_option("--rate", board.sampleRateHz)
      ->transform(RealRange(kMinSampleRateHz, kMaxSampleRateHz))
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

// Whether everything written to standard output got there: flushes it and
// checks for a write error (a full disk, a closed pipe, /dev/full). If one
// happened, says so on standard error as "<program>: ..." and returns false;
// the program then ends with a failure status.
inline bool standardOutputWritten(const char* program) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  const int error = errno;
  std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", program, error ? ": " : "",
               error ? std::strerror(error) : "");
  return false;
}

// Parses the command line, then runs `check` (which throws CLI errors for
// combinations CLI11 cannot express). Help goes to standard output (ending
// with `usageStatus` if it cannot be written); an error to standard error as
// "<program>: <error>", ending with `usageStatus`.
template <typename Check>
ParseOutcome parse(CLI::App& app, int argc, const char* const* argv, const char* program,
                   int usageStatus, Check check) {
  try {
    app.parse(argc, argv);
    check();
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return {false, standardOutputWritten(program) ? 0 : usageStatus};
  } catch (const CLI::ParseError& e) {
    // CLI11 names no hidden option (an old spelling) in its messages: it
    // leaves the name out (": nan is not a number", "--index excludes ").
    // Name the hidden option given; a bad value is one that takes a value,
    // not a hidden flag.
    std::string text = e.what();
    const bool valueUnnamed = text.starts_with(": ");
    if (valueUnnamed || text.ends_with(' ')) {
      // Of several hidden options given, the one whose value the message
      // quotes.
      const CLI::Option* hidden = nullptr;
      for (const CLI::Option* option : app.get_options())
        if (option->get_group().empty() && option->count() > 0 && !option->get_lnames().empty() &&
            !(valueUnnamed && option->get_expected_max() == 0)) {
          bool quoted = false;
          for (const std::string& value : option->results())
            quoted = quoted || (!value.empty() && text.find(value) != std::string::npos);
          if (!hidden || quoted) hidden = option;
          if (quoted) break;
        }
      if (hidden) {
        const std::string name = "--" + hidden->get_lnames().front();
        text = valueUnnamed ? name + text : text + name;
      }
    }
    std::fprintf(stderr, "%s: %s\nRun with --help for the options.\n", program, text.c_str());
    return {false, usageStatus};
  }
  return {true, 0};
}

}  // namespace kpx::tools
