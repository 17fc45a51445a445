// What kpxadac-response writes: the CSV table, the JSON object, the SVG Bode
// diagram and the reference file, and the reference read back.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kpxadac/response.h"

namespace response {

// A result's figures, as the library gives them.
struct Table {
  KpxResponseSummary summary{};
  std::vector<KpxResponsePoint> points;
};
Table tableOf(const KpxResponseResult* result);

// The CSV table and the JSON object (one line) of a result, as the library
// renders them (KpxResponse_FormatCsv, KpxResponse_FormatJson).
std::string csvText(const KpxResponseResult* result);
std::string jsonText(const KpxResponseResult* result);

// The Bode diagram: magnitude over phase on one log frequency axis. Each
// curve is one <path> (id "magnitude", "phase") whose data-* attributes give
// its axes: pixel x0..x1 for data-f0..data-f1 Hz (log), pixel y0..y1 for
// values data-v0..data-v1 (linear).
std::string svgText(const Table& table);

// The reference file: the points with the latency removed, as JSON.
std::string referenceText(const Table& latencyRemoved);
// Reads a reference file into a result. Returns "" or the reason (naming the file).
std::string readReference(const std::string& path, KpxResponseResult** result);

// Writes each text to its path, each first to a temporary file; only when
// every one is written are they renamed over the old files, so that a run
// that fails leaves every file as it was. Returns "" or the reason.
struct OutputText {
  std::string path, text;
};
std::string writeTextFiles(const std::vector<OutputText>& files);

}  // namespace response
