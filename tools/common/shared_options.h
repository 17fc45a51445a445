// The options that mean the same in several tools, under one name and unit
// each: --block-samples (samples per board read or write), --averages
// (spectra averaged), the trigger's --trigger-edge, --trigger-level and
// --trigger-hysteresis, and the per-board lists of a group (one value for
// every board, or V1,V2,... one per board in --index order). Each tool adds them with one call; the
// names each tool used before stay as hidden aliases, in their old units, so that scripts keep
// working.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "kpxadac16.h"
#include "kpxadac_records.h"
#include "number_options.h"

namespace kpx::tools {

// The most samples in one block: the board's largest transfer.
inline constexpr uint64_t kMaxBlockSamples = TALVO_MAX_CHUNK / 2;

// The old spelling of the block size a tool keeps as a hidden alias.
enum class OldBlockSpelling {
  kChunkBytes,    // kpxadac-capture --chunk BYTES, a multiple of 4
  kBlockSamples,  // kpxadac-generate --block N, samples
};

// Adds --block-samples N (even: the board moves sample pairs; 2 to the
// board's largest transfer), which sets `samples`, and the tool's old
// spelling, hidden. `use` ends the help ("per board read").
template <typename Count>
void addBlockOption(CLI::App& app, Count& samples, OldBlockSpelling old, const std::string& use) {
  const auto even = [](const std::string& text) {
    return std::stoull(text) % 2 == 0
               ? std::string()
               : text + " is odd: it must be even (the board moves sample pairs)";
  };
  auto* block =
      app.add_option("--block-samples", samples,
                     "Samples " + use + ", even (default " + std::to_string(samples) + ")")
          ->transform(WholeRange<uint64_t>(2, kMaxBlockSamples))
          ->check(even, "")
          ->option_text("N");
  if (old == OldBlockSpelling::kBlockSamples) {
    app.add_option("--block", samples)
        ->transform(WholeRange<uint64_t>(2, kMaxBlockSamples))
        ->check(even, "")
        ->excludes(block)
        ->group("");
    return;
  }
  app.add_option_function<uint64_t>(
         "--chunk", [&samples](uint64_t bytes) { samples = static_cast<Count>(bytes / 2); })
      ->transform(WholeRange<uint64_t>(4, TALVO_MAX_CHUNK))
      ->check(
          [](const std::string& text) {
            if (std::stoull(text) % 4 == 0) return std::string();
            const std::string pairs = std::to_string(std::stoull(text) / 2);
            return text + " bytes is not a multiple of 4 bytes: " + pairs + " samples, and " +
                   pairs + " is odd";
          },
          "")
      ->excludes(block)
      ->group("");
}

// Adds --averages N (spectra averaged, 1 to `maximum`), which sets
// `averages`; `oldAveraging` keeps the scope's --averaging as a hidden alias.
template <typename Count>
void addAveragesOption(CLI::App& app, Count& averages, uint64_t maximum, const std::string& help,
                       bool oldAveraging) {
  auto* option = app.add_option("--averages", averages, help)
                     ->transform(WholeRange<uint64_t>(1, maximum))
                     ->option_text("N");
  if (oldAveraging)
    app.add_option("--averaging", averages)
        ->transform(WholeRange<uint64_t>(1, maximum))
        ->excludes(option)
        ->group("");
}

// The trigger on the samples: an edge through a level, re-armed once the
// signal has come back past the level by the hysteresis.
struct TriggerOptions {
  int32_t edge = KPXRECORDS_RISING;  // KPXRECORDS_RISING, _FALLING or _EITHER
  int32_t level = 0;                 // LSB
  int32_t hysteresis = 0;            // LSB
};

// The trigger options as CLI11 added them, for a tool to tie its own to.
struct TriggerOptionHandles {
  CLI::Option* edge = nullptr;
  CLI::Option* level = nullptr;
  CLI::Option* hysteresis = nullptr;
};

// An edge's word (rising, falling, either, in any case) as KPXRECORDS_*; -1
// for any other word.
inline int32_t triggerEdgeOf(const std::string& word) {
  const std::string edge = CLI::detail::to_lower(word);
  if (edge == "rising") return KPXRECORDS_RISING;
  if (edge == "falling") return KPXRECORDS_FALLING;
  if (edge == "either") return KPXRECORDS_EITHER;
  return -1;
}

// Adds --trigger-edge rising|falling|either, --trigger-level LSB and
// --trigger-hysteresis LSB, which fill `trigger`; its values on entry are
// the defaults the help states. `group` is the help's group for them ("":
// the tool's other options).
inline TriggerOptionHandles addTriggerOptions(CLI::App& app, TriggerOptions& trigger,
                                              const std::string& group) {
  TriggerOptionHandles added;
  const char* edges[] = {"rising", "falling", "either"};
  added.edge =
      app.add_option_function<std::string>(
             "--trigger-edge",
             [&trigger](const std::string& word) { trigger.edge = triggerEdgeOf(word); },
             std::string("rising, falling or either (default ") + edges[trigger.edge] + ")")
          ->check(CLI::IsMember({"rising", "falling", "either"}, CLI::ignore_case))
          ->option_text("EDGE");
  added.level =
      app.add_option("--trigger-level", trigger.level,
                     "Trigger level in LSB (default " + std::to_string(trigger.level) + ")")
          ->transform(WholeRange<int64_t>(-32768, 32767))
          ->option_text("LSB");
  added.hysteresis =
      app.add_option("--trigger-hysteresis", trigger.hysteresis,
                     "LSB the signal must come back past the level before the next trigger "
                     "(default " +
                         std::to_string(trigger.hysteresis) + ")")
          ->transform(WholeRange<int64_t>(0, 65535))
          ->option_text("LSB");
  if (!group.empty())
    for (CLI::Option* option : {added.edge, added.level, added.hysteresis}) option->group(group);
  return added;
}

// A per-board list of a group (--phase DEG[,DEG...], --delay N[,N...]):
// comma-separated values, each checked by `range` (a RealRange or
// WholeRange transform) as it is parsed. One value applies to every board;
// perBoardProblem() checks the count once the boards are known.
template <typename Value, typename Range>
CLI::Option* addPerBoardList(CLI::App& app, const std::string& name, std::vector<Value>& values,
                             Range range, const std::string& help, const std::string& unit) {
  return app
      .add_option(name, values,
                  help +
                      "; a group: one value for every board, or one per "
                      "board in --index order")
      ->delimiter(',')
      ->transform(range)
      ->option_text(unit + "[," + unit + "...]");
}

// "" when a per-board list of `given` values fits `boards` boards (one
// value, or one per board), else the reason.
inline std::string perBoardProblem(size_t given, size_t boards) {
  if (given <= 1 || given == boards) return "";
  return std::to_string(given) + " values for " + std::to_string(boards) +
         " boards: give one for every board or one per board";
}

// The value of a per-board list for the board at `position` (the one value
// for all, or its own); `fallback` when the list is empty.
template <typename Value>
Value perBoardValue(const std::vector<Value>& values, size_t position, Value fallback) {
  if (values.empty()) return fallback;
  return values.size() == 1 ? values.front() : values.at(position);
}

// --align: how the boards of a group are put on one sample index.
enum class AlignChoice {
  kNone,     // as started: the boards' samples within the start skew of each other
  kMeasure,  // offsets measured from a reference signal every board sees
  kOffsets,  // offsets given (offsets:0,37,...)
};

// Adds --align SOURCE into `word`; readAlign reads it after the parse.
inline CLI::Option* addAlignOption(CLI::App& app, std::string& word) {
  return app
      .add_option("--align", word,
                  "A group's alignment: none (as started, within the start skew), measure (from a "
                  "reference every board sees) or offsets:0,O1,... (samples, one per board); "
                  "default none")
      ->option_text("SOURCE");
}

// Reads --align's word: none, measure, or offsets:O0,O1,... (samples, one
// per board, finite; the library checks their range) into `align` and
// `offsets`. "" or the reason.
inline std::string readAlign(const std::string& text, AlignChoice& align,
                             std::vector<double>& offsets) {
  const std::string word = CLI::detail::to_lower(text);
  offsets.clear();
  if (word == "none") {
    align = AlignChoice::kNone;
  } else if (word == "measure") {
    align = AlignChoice::kMeasure;
  } else if (word.starts_with("offsets:")) {
    align = AlignChoice::kOffsets;
    const RealRange offset(-1e15, 1e15);
    size_t start = 8;
    while (true) {
      const size_t comma = word.find(',', start);
      std::string entry = word.substr(start, comma == std::string::npos ? comma : comma - start);
      if (auto problem = offset(entry); !problem.empty()) return "--align offsets: " + problem;
      offsets.push_back(std::stod(entry));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  } else {
    return "--align " + text + ": give none, measure or offsets:O1,O2,... (samples per board)";
  }
  return "";
}

// --align's word for `align`, as metadata and status name it.
inline const char* alignWord(AlignChoice align) {
  switch (align) {
    case AlignChoice::kMeasure:
      return "measure";
    case AlignChoice::kOffsets:
      return "offsets";
    case AlignChoice::kNone:
      break;
  }
  return "none";
}

// What is wrong with --align for `boards` boards (--index), or "".
inline std::string alignProblem(AlignChoice align, const std::vector<double>& offsets,
                                size_t boards) {
  if (boards == 1 && align != AlignChoice::kNone)
    return "--align aligns the boards of a group: give --index N,M,...";
  if (align == AlignChoice::kOffsets && offsets.size() != boards)
    return "--align offsets: " + std::to_string(offsets.size()) + " offsets for " +
           std::to_string(boards) + " boards: give one per board, the first 0";
  return "";
}

}  // namespace kpx::tools
