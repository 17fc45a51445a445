// kpxadac-analyze run as a program: on a kpxadac-capture recording of the
// default board, on samples it takes from a board itself, on raw files and
// on SigMF segments split by gaps; and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <vector>

#include "bad_files.h"
#include "program_runner.h"
#include "tone_theory.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::runProgram;
using test_support::scratchFolder;

constexpr double kRate = 105e6;

struct Analysis {
  test_support::ProgramRun run;
  json result;
};

Analysis analyze(const fs::path& folder, const std::string& arguments,
                 const std::optional<std::string>& rack = std::nullopt) {
  Analysis a;
  a.run = runProgram(KPXADAC_ANALYZE, arguments, folder, {{"KPXADAC_SIM", rack}});
  if (a.run.status == 0) a.result = json::parse(a.run.output, nullptr, false);
  return a;
}

// `count` samples of a 16-bit sine with `cycles` periods per 1024 samples.
void writeSine(const fs::path& path, size_t count, double cycles) {
  std::ofstream out(path, std::ios::binary);
  for (size_t n = 0; n < count; ++n) {
    const auto v = static_cast<int16_t>(std::lround(
        20000 * std::sin(2 * std::numbers::pi * cycles * static_cast<double>(n) / 1024)));
    const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
    out.write(bytes, 2);
  }
}

TEST(Analyze, CaptureOfTheDefaultBoardShowsTenMegahertzAndTheTheorysSnr) {
#ifndef KPXADAC_CAPTURE
  GTEST_SKIP() << "kpxadac-capture is not built here";
#else
  const fs::path folder = scratchFolder("analyze-default");
  // The default rack by its name: on Windows an unset KPXADAC_SIM means the
  // driver.
  auto capture = runProgram(KPXADAC_CAPTURE, "--samples 524288 --format sigmf -o rec", folder,
                            {{"KPXADAC_SIM", "default"}});
  ASSERT_EQ(capture.status, 0) << capture.output;
  const Analysis a = analyze(folder, "--json rec");
  ASSERT_EQ(a.run.status, 0) << a.run.output;
  const json& r = a.result;
  const double snr = tone_theory::snrDb(-1, 2);  // the default tone: -1 dBFS, 2 LSB rms
  EXPECT_NEAR(r["fundamental_hz"].get<double>(), 10e6, kRate / 65536);
  EXPECT_NEAR(r["fundamental_dbfs"].get<double>(), tone_theory::powerDbfs(-1), 0.05);
  EXPECT_NEAR(r["snr_db"].get<double>(), snr, 0.5);
  EXPECT_NEAR(r["enob_bits"].get<double>(), tone_theory::enobBits(snr), 0.1);
  EXPECT_EQ(r["input"]["sample_rate_hz"], kRate);
  EXPECT_EQ(r["input"]["spectra"], 8);
  EXPECT_EQ(r["harmonics"].size(), 5u);
  std::printf(
      "kpxadac-analyze --json rec: fundamental %.1f Hz, SNR %.3f dB (theory %.3f), "
      "ENOB %.4f bits (theory %.4f)\n",
      r["fundamental_hz"].get<double>(), r["snr_db"].get<double>(), snr,
      r["enob_bits"].get<double>(), tone_theory::enobBits(snr));
#endif
}

TEST(Analyze, SamplesFromABoardWithHarmonicsGiveTheirThdAndSfdr) {
  const fs::path folder = scratchFolder("analyze-board");
  const std::string rack = R"({"boards": [{"device": 0, "signal": {"frequency_hz": 7e6,
      "harmonics_dbc": {"2": -60, "3": -66}}}]})";
  const Analysis a = analyze(folder, "--json --fft-size 16384 --averages 4", rack);
  ASSERT_EQ(a.run.status, 0) << a.run.output;
  EXPECT_EQ(a.result["input"]["samples"], 16384 * 4);
  EXPECT_NEAR(a.result["fundamental_hz"].get<double>(), 7e6, kRate / 16384);
  EXPECT_NEAR(a.result["sfdr_dbc"].get<double>(), 60, 0.5);
  EXPECT_NEAR(a.result["thd_db"].get<double>(),
              10 * std::log10(std::pow(10.0, -6.0) + std::pow(10.0, -6.6)), 0.5);
}

TEST(Analyze, RawFileNeedsARateAndMeasuresLikeItsSigmfTwin) {
  const fs::path folder = scratchFolder("analyze-raw");
  writeSine(folder / "tone.bin", 8192, 100.25);
  auto noRate = analyze(folder, "tone.bin --fft-size 1024");
  EXPECT_EQ(noRate.run.status, 1);
  EXPECT_NE(noRate.run.output.find("--sample-rate"), std::string::npos) << noRate.run.output;

  const Analysis a = analyze(folder, "tone.bin --rate 1024 --fft-size 1024 --json");
  ASSERT_EQ(a.run.status, 0) << a.run.output;
  EXPECT_NEAR(a.result["fundamental_hz"].get<double>(), 100.25, 0.01);
  EXPECT_EQ(a.result["input"]["spectra"], 8);
}

TEST(Analyze, SpectraNeverSpanTheGapsOfASigmfRecording) {
  // 4096 samples with a gap before sample 1500 (the board index jumps by
  // 100): one whole block of 1024 fits before it and two after it; the
  // segment at 2500 continues the board's count and splits nothing.
  const fs::path folder = scratchFolder("analyze-gaps");
  writeSine(folder / "rec.sigmf-data", 4096, 64);
  json meta = {{"global", {{"core:datatype", "ri16_le"}, {"core:sample_rate", 1e6}}},
               {"captures",
                {{{"core:sample_start", 0}, {"core:global_index", 0}},
                 {{"core:sample_start", 1500}, {"core:global_index", 1600}},
                 {{"core:sample_start", 2500}, {"core:global_index", 2600}}}},
               {"annotations", json::array()}};
  std::ofstream(folder / "rec.sigmf-meta") << meta.dump();
  const Analysis a = analyze(folder, "rec.sigmf-meta --fft-size 1024 --averages 100 --json");
  ASSERT_EQ(a.run.status, 0) << a.run.output;
  EXPECT_EQ(a.result["input"]["spectra"], 3);
  EXPECT_NEAR(a.result["fundamental_hz"].get<double>(), 62500, 1);

  // Gaps every 1000 samples or less: no block fits.
  meta["captures"] = json::array();
  for (int start : {0, 1000, 2000, 3000, 3500})
    meta["captures"].push_back({{"core:sample_start", start}, {"core:global_index", start * 2}});
  std::ofstream(folder / "rec.sigmf-meta") << meta.dump();
  const Analysis none = analyze(folder, "rec --fft-size 1024");
  EXPECT_EQ(none.run.status, 2);
  EXPECT_NE(none.run.output.find("without a gap"), std::string::npos) << none.run.output;
}

// The recordings of tests/sigmf/cases.json, which kpxadac.sigmf reads too:
// the same gaps, samples and ignored bytes, or the same refusal.
TEST(Analyze, SharedSigmfCasesGiveTheGapsBothReadersFind) {
  const json cases = json::parse(std::ifstream(SIGMF_CASES))["cases"];
  ASSERT_FALSE(cases.empty());
  for (const auto& [name, c] : cases.items()) {
    SCOPED_TRACE(name);
    const fs::path folder = scratchFolder("analyze-case-" + name);
    const uint64_t bytes = c["data_bytes"];
    writeSine(folder / "rec.sigmf-data", bytes / 2, 64);
    if (bytes % 2) std::ofstream(folder / "rec.sigmf-data", std::ios::app) << 'x';
    {
      std::ofstream meta(folder / "rec.sigmf-meta", std::ios::binary);
      if (c.value("bom", false)) meta << "\xEF\xBB\xBF";
      meta << c["meta"].dump();
    }
    const auto run = runProgram(KPXADAC_ANALYZE, "rec --fft-size 1024 --averages 2 --json", folder,
                                {}, /*errorsApart=*/true);
    const json& expect = c["expect"];
    if (expect.contains("error")) {
      EXPECT_EQ(run.status, 2) << run.errors;
      EXPECT_NE(run.errors.find(expect["error"].get<std::string>()), std::string::npos)
          << run.errors;
      continue;
    }
    ASSERT_EQ(run.status, 0) << run.errors;
    const json input = json::parse(run.output)["input"];
    json gaps = json::array();
    for (const auto& gap : input["gaps"])
      gaps.push_back({gap["sample_start"], gap["global_index"], gap["lost"]});
    EXPECT_EQ(gaps, expect["gaps"]);
    EXPECT_EQ(input["samples"], expect["samples"]);
    EXPECT_EQ(input["ignored_bytes"], expect["ignored_bytes"]);
    if (expect["ignored_bytes"] != 0) {
      EXPECT_NE(run.errors.find(expect["ignored_bytes"].dump() + " trailing bytes ignored"),
                std::string::npos)
          << run.errors;
    }
  }
}

// Without a tone (all zeros, or DC alone) the figures relative to one are
// undefined: said in words in the text, null in JSON, never "nan"; the noise
// floor is still given.
TEST(Analyze, FiguresWithoutAToneAreUndefinedNotNan) {
  const fs::path folder = scratchFolder("analyze-no-tone");
  const std::vector<std::pair<std::string, int16_t>> files = {{"zeros.bin", 0}, {"dc.bin", 1000}};
  for (const auto& [name, level] : files) {
    SCOPED_TRACE(name);
    std::ofstream out(folder / name, std::ios::binary);
    for (int n = 0; n < 4096; ++n) out.write(reinterpret_cast<const char*>(&level), 2);
    out.close();
    const auto text = runProgram(KPXADAC_ANALYZE, name + " --sample-rate 1e6 --fft-size 1024",
                                 folder, {}, /*errorsApart=*/true);
    EXPECT_EQ(text.status, 0) << text.errors;
    EXPECT_EQ(text.output.find("nan"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("fundamental   none: no power outside DC"), std::string::npos)
        << text.output;
    for (const char* line :
         {"SNR           undefined dB", "SINAD         undefined dB", "THD           undefined dBc",
          "ENOB          undefined bits", "SFDR          undefined dBc  undefined dBFS"})
      EXPECT_NE(text.output.find(line), std::string::npos) << line << "\n" << text.output;
    EXPECT_EQ(text.output.find("harmonic 2"), std::string::npos) << text.output;

    const Analysis a = analyze(folder, name + " --sample-rate 1e6 --fft-size 1024 --json");
    ASSERT_EQ(a.run.status, 0) << a.run.output;
    EXPECT_EQ(a.result["tone_found"], false);
    for (const char* key :
         {"fundamental_hz", "snr_db", "sinad_db", "thd_db", "sfdr_dbc", "sfdr_dbfs", "enob_bits"})
      EXPECT_TRUE(a.result[key].is_null()) << key << ": " << a.result[key];
    EXPECT_TRUE(a.result["noise_floor_dbfs_per_bin"].is_number());
  }
  writeSine(folder / "tone.bin", 4096, 64);
  const Analysis tone = analyze(folder, "tone.bin --sample-rate 1e6 --fft-size 1024 --json");
  ASSERT_EQ(tone.run.status, 0) << tone.run.output;
  EXPECT_EQ(tone.result["tone_found"], true);
  EXPECT_TRUE(tone.result["snr_db"].is_number());
}

#ifndef _WIN32  // Windows names are UTF-16: a stray byte cannot name a file there
// A file name that is not UTF-8 is named in the JSON report with U+FFFD
// for its stray byte, instead of ending the program with an exception.
TEST(Analyze, AFileNameThatIsNotUtf8GoesIntoTheJsonReport) {
  const fs::path folder = scratchFolder("analyze-name");
  const std::string name = "tone\xff.bin";
  writeSine(folder / name, 4096, 64);
  const Analysis a = analyze(folder, "'" + name + "' --sample-rate 1e6 --fft-size 1024 --json");
  ASSERT_EQ(a.run.status, 0) << a.run.output;
  EXPECT_EQ(a.result["input"]["source"], "tone\xEF\xBF\xBD.bin");
}
#endif

// A recording's own sample rate is range-checked as --sample-rate is.
TEST(Analyze, ARecordingsAbsurdSampleRateIsRefused) {
  const fs::path folder = scratchFolder("analyze-absurd-rate");
  writeSine(folder / "rec.sigmf-data", 4096, 64);
  for (const double rate : {1e308, 1e-3}) {
    SCOPED_TRACE(rate);
    const json meta = {{"global", {{"core:datatype", "ri16_le"}, {"core:sample_rate", rate}}},
                       {"captures", {{{"core:sample_start", 0}}}},
                       {"annotations", json::array()}};
    std::ofstream(folder / "rec.sigmf-meta") << meta.dump();
    const auto run = runProgram(KPXADAC_ANALYZE, "rec --fft-size 1024", folder, {});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("sample rate"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("--sample-rate"), std::string::npos) << run.output;
    // Given on the command line, it is used instead.
    EXPECT_EQ(
        runProgram(KPXADAC_ANALYZE, "rec --fft-size 1024 --sample-rate 1e6", folder, {}).status, 0);
  }
}

#ifndef _WIN32
// Bad files as a recording's metadata (through a link), as its data and as
// a raw recording: each refused at once with the file and what it is, never
// waited on or read without end.
TEST(Analyze, FilesThatAreNotWhatTheReaderReadsAreRefusedWithWhatTheyAre) {
  const json meta = {{"global", {{"core:datatype", "ri16_le"}, {"core:sample_rate", 1e6}}}};
  const struct {
    std::string name;
    std::optional<uint64_t> limit;
    std::string link;  // the name that links to the bad file, or "" to name it
  } readers[] = {
      {"metadata", uint64_t{1} << 30, "rec.sigmf-meta"},
      {"data", std::nullopt, "rec.sigmf-data"},
      {"raw", std::nullopt, ""},
  };
  for (const auto& reader : readers) {
    const fs::path folder = scratchFolder("analyze-bad-" + reader.name);
    std::ofstream(folder / "rec.sigmf-meta") << meta.dump();
    writeSine(folder / "rec.sigmf-data", 4096, 64);
    for (const auto& bad : test_support::badInputFiles(folder, reader.limit)) {
      SCOPED_TRACE(reader.name + ", " + bad.what);
      std::string named = bad.path;
      if (!reader.link.empty()) {
        fs::remove(folder / reader.link);
        fs::create_symlink(bad.path, folder / reader.link);
        named = reader.link;
      }
      const std::string path = reader.link.empty() ? bad.path : "rec";
      // A reader that waits on the FIFO is ended after 20 s (status 124).
      const auto run = runProgram("timeout",
                                  "20 " + std::string(KPXADAC_ANALYZE) + " '" + path +
                                      "' --rate 1e6 --fft-size 1024 --json",
                                  folder, {}, /*errorsApart=*/true);
      EXPECT_EQ(run.status, 2) << run.errors;
      EXPECT_NE(run.errors.find(bad.words), std::string::npos) << run.errors;
      EXPECT_NE(run.errors.find(named), std::string::npos) << run.errors;
    }
  }
  // Metadata nested deeper than the reader takes.
  const fs::path folder = scratchFolder("analyze-bad-deep");
  writeSine(folder / "rec.sigmf-data", 4096, 64);
  std::ofstream(folder / "rec.sigmf-meta") << R"({"global":)" << std::string(100000, '[');
  const auto deep = runProgram(KPXADAC_ANALYZE, "rec --fft-size 1024", folder, {}, true);
  EXPECT_EQ(deep.status, 2) << deep.errors;
  EXPECT_NE(deep.errors.find("nested deeper than 64 levels"), std::string::npos) << deep.errors;
}
#endif

// The fuzz stage's seeds for the SigMF reader, and whatever it found, as
// metadata: each is read or refused (status 0 or 2), never a crash.
TEST(Analyze, FuzzCorpusMetadataIsReadOrRefused) {
  const fs::path folder = scratchFolder("analyze-corpus");
  writeSine(folder / "rec.sigmf-data", 4096, 64);
  size_t texts = 0;
  for (const auto& entry : fs::directory_iterator(KPXADAC_SIGMF_CORPUS)) {
    SCOPED_TRACE(entry.path().filename().string());
    // Removed first: mingw's copy_file does not overwrite.
    fs::remove(folder / "rec.sigmf-meta");
    fs::copy_file(entry.path(), folder / "rec.sigmf-meta");
    const auto run =
        runProgram(KPXADAC_ANALYZE, "rec --rate 1e6 --fft-size 1024", folder, {}, true);
    EXPECT_TRUE(run.status == 0 || run.status == 2) << run.status << " " << run.errors;
    ++texts;
  }
  EXPECT_GT(texts, 5u);
}

TEST(Analyze, BadOptionsAndMissingBoardsAreRefused) {
  const fs::path folder = scratchFolder("analyze-refused");
  EXPECT_EQ(analyze(folder, "--fft-size 3000").run.status, 1);
  EXPECT_EQ(analyze(folder, "--window kaiser").run.status, 1);
  EXPECT_EQ(analyze(folder, "x.bin --samples 10").run.status, 1);
  const Analysis noBoard = analyze(folder, "", "none");
  EXPECT_EQ(noBoard.run.status, 2);
  EXPECT_NE(noBoard.run.output.find("no ADC board with index 0"), std::string::npos)
      << noBoard.run.output;
  const Analysis help = analyze(folder, "--help");
  EXPECT_EQ(help.run.status, 0);
  EXPECT_NE(help.run.output.find("--averages"), std::string::npos);
}

}  // namespace
