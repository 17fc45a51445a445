#include "group_capture.h"

#include <chrono>
#include <cinttypes>
#include <filesystem>
#include <memory>
#include <vector>

#include "capture_session.h"
#include "input_file.h"
#include "kpxadac16.h"
#include "kpxadac_group.h"
#include "output_file.h"
#include "output_names.h"
#include "run_steps.h"
#include "sample_statistics.h"
#include "sha512.h"
#include "sigmf_collection.h"
#include "sigmf_files.h"
#include "sigmf_metadata.h"
#include "sigmf_reader.h"
#include "tool_platform.h"

namespace capture {

namespace fs = std::filesystem;

namespace {

constexpr int32_t kAcquireStepMs = 50;  // how often a waiting read looks at the stop flag
constexpr auto kProgressInterval = std::chrono::milliseconds(500);

// One board of the group: its files, digest and counts.
struct Member {
  BoardChoice board;
  OutputNames names;
  std::string base;  // SigMF base name
  OutputFile file;
  std::unique_ptr<MetadataFile> metadata;
  std::unique_ptr<Sha512> sha512;
  SampleStatistics statistics;
  RecordingDescription recording;
  uint64_t nextIndex = 0;  // the board index the next sample should have
  bool renameData = false;
};

std::string groupText(int32_t result) {
  return KpxGroup_ResultText(result);
}

// The SHA-512 of a file as it is on the disk (a metadata file: small).
std::string fileSha512(const std::string& path, std::string& failure) {
  std::string text;
  failure = kpx::tools::readWholeFile(path, kpx::tools::kMaxSigmfMetaBytes, text);
  if (!failure.empty()) return "";
  Sha512 digest;
  digest.update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return digest.hexDigest();
}

class GroupCapture {
 public:
  GroupCapture(const Options& options, std::atomic<bool>& stop)
      : options_(options),
        stop_(stop),
        console_("kpxadac-capture", kpx::tools::standardErrorIsConsole()),
        sigmf_(options.format == OutputFormat::kSigmf) {}

  ~GroupCapture() {
    KpxGroup_Close(group_);
    Kpxadac16_CloseAll();
  }

  int run() {
    if (auto reason = planNames(); !reason.empty()) return usage(reason);
    if (auto reason = findBoards(); !reason.empty()) return failure(reason);
    const double expectedRate = ringRateHz(options_, members_[0]->board);
    if (options_.durationSeconds && !durationFits(*options_.durationSeconds, expectedRate))
      return usage("--duration " + kpx::tools::numberText(*options_.durationSeconds) + " s at " +
                   kpx::tools::numberText(expectedRate) +
                   " samples/s is more samples than a capture counts");
    if (int status = openGroup(expectedRate); status != kExitClean) return status;
    if (auto reason = createFiles(); !reason.empty()) return abandon(reason, kExitFailure);
    if (const int32_t result = KpxGroup_Start(group_); result != KPXGROUP_OK)
      return abandon("the group did not start: " + groupText(result), kExitFailure);
    if (int status = align(); status != kExitClean) return status;
    if (auto reason = commitFiles(); !reason.empty()) return abandon(reason, kExitFailure);
    describeGroup();
    capture();
    return finish();
  }

 private:
  int usage(const std::string& reason) {
    console_.message(reason);
    return kExitUsage;
  }
  int failure(const std::string& reason) {
    console_.message(reason);
    return kExitFailure;
  }
  // A run that ends before the boards read: the new files go, the old stay.
  int abandon(const std::string& reason, int status) {
    for (auto& member : members_) {
      if (member->renameData) member->file.discard();
      if (member->metadata) member->metadata->discard();
    }
    console_.message(reason);
    return status;
  }

  std::string planNames() {
    for (unsigned index : options_.board.indexes) {
      auto member = std::make_unique<Member>();
      const std::string output = groupMemberOutput(options_.output, sigmf_, index);
      if (auto reason = planOutput(output, sigmf_, member->names); !reason.empty()) return reason;
      if (sigmf_) member->base = kpx::tools::sigmfBaseName(output);
      members_.push_back(std::move(member));
    }
    if (!sigmf_) return "";
    const std::string base = kpx::tools::sigmfBaseName(options_.output);
    collectionPath_ = kpx::tools::sigmfCollectionPath(base);
    collectionName_ = fs::path(base).filename().string();
    std::error_code error;
    if (fs::is_directory(collectionPath_, error)) return collectionPath_ + " is a folder";
    const size_t longest = longestFileName(fs::path(collectionPath_).has_parent_path()
                                               ? fs::path(collectionPath_).parent_path().string()
                                               : std::string("."));
    const size_t length = fs::path(temporaryName(collectionPath_)).filename().string().size();
    if (longest != 0 && length > longest)
      return "--output " + options_.output + " is too long: the collection's name " +
             temporaryName(collectionPath_) + " has " + std::to_string(length) +
             " bytes, where the file system takes up to " + std::to_string(longest);
    return "";
  }

  std::string findBoards() {
    Kpxadac16_Open();
    for (size_t b = 0; b < members_.size(); ++b) {
      Options one = options_;
      one.board.index = options_.board.indexes[b];
      BoardChoice& board = members_[b]->board;
      if (auto reason = findBoard(one, board); !reason.empty()) return reason;
      if (options_.bitstream.empty()) continue;
      if (auto reason = loadBitstream(board, options_.bitstream); !reason.empty()) return reason;
      console_.message("bitstream " + options_.bitstream + " loaded on board " +
                       std::to_string(board.index));
    }
    return "";
  }

  int openGroup(double expectedRate) {
    const size_t boards = members_.size();
    RingSize ring = ringForSeconds(options_, expectedRate);
    uint32_t blocks = options_.ringBuffers.value_or(ring.blocks);
    // The memory bound holds for the rings of every board together.
    const uint64_t mostPerBoard =
        std::max<uint64_t>(2, kMaxRingBytes / (uint64_t{boards} * options_.chunkBytes));
    if (blocks > mostPerBoard) {
      blocks = static_cast<uint32_t>(mostPerBoard);
      console_.message("each board's ring holds " + std::to_string(blocks) +
                       " blocks: the rings of " + std::to_string(boards) + " boards hold at most " +
                       std::to_string(kMaxRingBytes) + " bytes (1 GiB) together");
    }
    KpxGroupConfig config{};
    config.direction = KPXSTREAM_RECEIVE;
    config.count = static_cast<uint32_t>(boards);
    for (size_t b = 0; b < boards; ++b)
      config.boards[b] = static_cast<int32_t>(options_.board.indexes[b]);
    config.setup = kpx::tools::streamSetup(options_.board.clock);
    config.blockSamples = options_.chunkBytes / 2;
    config.blockCount = blocks;
    // A gap of any board drops the span for all: the files stay aligned and
    // every recording records the gap as SigMF records a discontinuity.
    config.gapPolicy = KPXGROUP_GAPS_DROP;
    config.streamFlags = options_.realtimeReading ? 0 : KPXSTREAM_FLAG_NORMAL_PRIORITY;
    KpxGroupOpenInfo info{};
    info.position = -1;
    const int32_t result = KpxGroup_Open(&config, &group_, &info);
    if (result == KPXGROUP_OK) return kExitClean;
    std::string reason = "--index: " + groupText(result);
    if (info.position >= 0 && static_cast<size_t>(info.position) < boards)
      reason += " (board " + std::to_string(options_.board.indexes[info.position]) + ")";
    if (info.streamResult < 0)
      reason += std::string(": ") + KpxStream_ResultText(info.streamResult);
    // What the options name wrongly is a usage error; a board that cannot
    // stream is a failure.
    const bool usageError = result == KPXGROUP_ERR_DUPLICATE || result == KPXGROUP_ERR_COUNT ||
                            result == KPXGROUP_ERR_BLOCK_SIZE || result == KPXGROUP_ERR_ARGUMENT;
    console_.message(reason);
    return usageError ? kExitUsage : kExitFailure;
  }

  std::string createFiles() {
    KpxGroupStatus status{};
    KpxGroup_GetStatus(group_, &status);
    sampleRate_ = options_.board.sampleRateHz.value_or(status.sampleRateHz);
    if (options_.samples) {
      sampleLimit_ = *options_.samples;
    } else if (options_.durationSeconds) {
      sampleLimit_ = durationFits(*options_.durationSeconds, sampleRate_)
                         ? kpx::tools::samplesInDuration(*options_.durationSeconds, sampleRate_)
                         : kMaxSamples;
    }
    startTime_ = std::chrono::system_clock::now();
    for (size_t b = 0; b < members_.size(); ++b) {
      Member& member = *members_[b];
      member.renameData = !member.names.dataInPlace;
      if (auto reason = member.file.create(
              member.renameData ? member.names.dataTemporary() : member.names.data,
              options_.unbuffered, member.renameData);
          !reason.empty()) {
        member.renameData = false;  // nothing of ours to discard
        return reason;
      }
      RecordingDescription& recording = member.recording;
      recording.sampleRateHz = sampleRate_;
      recording.hardware = hardwareText(member.board);
      recording.description = "board " + std::to_string(member.board.index) + " of a group of " +
                              std::to_string(members_.size());
      recording.startTime = startTime_;
      recording.collection = collectionName_;
      recording.group = GroupPlace{};
      recording.group->board = member.board.index;
      recording.group->position = static_cast<unsigned>(b);
      recording.group->alignment = kpx::tools::alignWord(options_.align);
      if (!sigmf_) continue;
      member.sha512 = std::make_unique<Sha512>();
      member.metadata = std::make_unique<MetadataFile>(member.names.metadata);
      const std::string text = metadataText(recording);
      if (auto failure = member.metadata->prepare(text, withRoom(text)); !failure.empty())
        return failure;
    }
    return "";
  }

  int align() {
    const size_t boards = members_.size();
    if (options_.align == AlignChoice::kOffsets) {
      const int32_t result =
          KpxGroup_SetOffsets(group_, options_.givenOffsets.data(), static_cast<uint32_t>(boards));
      if (result != KPXGROUP_OK)
        return abandon("--align offsets: " + groupText(result),
                       result == KPXGROUP_ERR_ARGUMENT ? kExitUsage : kExitFailure);
    } else if (options_.align == AlignChoice::kMeasure) {
      std::vector<KpxGroupAlignment> results(boards);
      const int32_t result = KpxGroup_Measure(group_, options_.alignWindow, results.data(), 1, -1);
      if (result == KPXGROUP_ERR_ALIGNMENT) {
        std::string reason = "--align measure: " + groupText(result);
        for (size_t b = 1; b < boards; ++b)
          if (results[b].result != KPXGROUP_ALIGN_OK)
            reason += "; board " + std::to_string(members_[b]->board.index) + ": " +
                      KpxGroup_AlignText(results[b].result);
        return abandon(reason, kExitFailure);
      }
      if (result != KPXGROUP_OK)
        return abandon("--align measure: " + groupText(result), kExitFailure);
      for (size_t b = 0; b < boards; ++b)
        members_[b]->recording.group->driftPpm = results[b].drift * 1e6;
    }
    return kExitClean;
  }

  std::string commitFiles() {
    for (auto& member : members_) {
      if (member->metadata)
        if (auto failure = member->metadata->commit(); !failure.empty()) return failure;
      if (member->renameData) {
        if (auto failure = member->file.moveTo(member->names.data); !failure.empty())
          return failure;
        member->renameData = false;
      }
    }
    return "";
  }

  // The offsets and the skew as the group applied them, into every recording.
  void describeGroup() {
    KpxGroupStatus status{};
    KpxGroup_GetStatus(group_, &status);
    startSkew_ = status.startSkewSamples;
    for (size_t b = 0; b < members_.size(); ++b) {
      GroupPlace& place = *members_[b]->recording.group;
      place.offset = status.offsets[b];
      place.skip = status.skips[b];
      place.startSkew = status.startSkewSamples;
    }
    console_.message("group of " + std::to_string(members_.size()) +
                     " boards started; start skew " + std::to_string(status.startSkewSamples) +
                     " samples at most (" + std::to_string(status.startSkewNs) +
                     " ns); alignment " + kpx::tools::alignWord(options_.align));
  }

  void noteGaps(const KpxGroupBlock& block) {
    bool any = false;
    for (size_t b = 0; b < members_.size(); ++b) {
      Member& member = *members_[b];
      const uint64_t index = block.boards[b].boardIndex;
      if (written_ == 0) {
        member.recording.firstIndex = index;  // skipped to align, or measured on
      } else if (index > member.nextIndex) {
        OverrunEvent gap;
        gap.fileSample = written_;
        gap.globalSample = index;
        gap.lostSamples = index - member.nextIndex;
        member.recording.overruns.push_back(gap);
        any = true;
      }
      member.nextIndex = index + block.samples;
    }
    if (any || block.droppedBefore) {
      gapSinceMetadata_ = true;
      ++gapEvents_;
      console_.message("gap: " + std::to_string(block.droppedBefore) +
                       " group samples not recorded before sample " + std::to_string(written_));
    }
  }

  void writeBlock(const KpxGroupBlock& block) {
    const uint64_t take =
        sampleLimit_ ? std::min<uint64_t>(block.samples, *sampleLimit_ - written_) : block.samples;
    for (size_t b = 0; b < members_.size() && writeFailure_.empty(); ++b) {
      Member& member = *members_[b];
      const auto* bytes = reinterpret_cast<const uint8_t*>(block.boards[b].samples);
      size_t done = 0;
      std::string reason = member.file.write(bytes, static_cast<size_t>(take * 2), done);
      member.statistics.add(bytes, done);
      if (member.sha512) member.sha512->update(bytes, done);
      if (!reason.empty()) writeFailure_ = reason;
    }
    if (writeFailure_.empty()) written_ += take;
  }

  std::string keepMetadata() {
    for (auto& member : members_) {
      std::string failure = member->file.flushData();
      RecordingDescription now = member->recording;
      now.samples = written_;
      if (failure.empty()) failure = keepCurrent(*member->metadata, metadataText(now));
      if (!failure.empty()) return failure;
    }
    return "";
  }

  void capture() {
    kpx::tools::installStopHandlers(stop_);
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start, lastMetadata = start;
    KpxGroupBlock block{};
    while (!sampleLimit_ || written_ < *sampleLimit_) {
      if (stop_.load() && !stopped_) {
        stopped_ = true;
        KpxGroup_Stop(group_);
      }
      const int32_t got = KpxGroup_AcquireRead(group_, &block, kAcquireStepMs);
      if (got == KPXGROUP_OK) {
        noteGaps(block);
        if (writeFailure_.empty()) writeBlock(block);
        KpxGroup_ReleaseRead(group_, &block);
        if (!writeFailure_.empty()) KpxGroup_Stop(group_);
      } else if (got != KPXGROUP_TIMEOUT) {
        if (got == KPXGROUP_BOARD_FAILED) readFailure_ = boardFailure();
        break;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now - lastProgress >= kProgressInterval) {
        lastProgress = now;
        const double seconds = std::chrono::duration<double>(now - start).count();
        char text[160];
        std::snprintf(
            text, sizeof text, "%8.1f MB/s  %" PRIu64 " samples per board  %" PRIu64 " gaps",
            seconds > 0 ? double(written_) * 2 * double(members_.size()) / seconds / 1e6 : 0,
            written_, gapEvents_);
        console_.progress(text);
      }
      if (sigmf_ && metadataFailure_.empty() &&
          (gapSinceMetadata_ || now - lastMetadata >= kMetadataInterval)) {
        gapSinceMetadata_ = false;
        lastMetadata = now;
        metadataFailure_ = keepMetadata();
        if (!metadataFailure_.empty()) KpxGroup_Stop(group_);
      }
    }
    KpxGroup_Stop(group_);
    console_.endProgress();
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  std::string boardFailure() {
    KpxGroupStatus status{};
    KpxGroup_GetStatus(group_, &status);
    const int32_t position = status.failedBoard;
    return "read from board " +
           (position >= 0 && static_cast<size_t>(position) < members_.size()
                ? std::to_string(members_[position]->board.index)
                : std::string("?")) +
           " failed after " + std::to_string(written_) + " samples";
  }

  // The metadata's last text, the collection, the summary and the status.
  int finish() {
    if (!metadataFailure_.empty() && writeFailure_.empty()) writeFailure_ = metadataFailure_;
    for (auto& member : members_) {
      if (auto reason = member->file.flushToDisk(); !reason.empty() && writeFailure_.empty())
        writeFailure_ = reason;
      if (auto reason = member->file.close(); !reason.empty() && writeFailure_.empty())
        writeFailure_ = reason;
    }
    if (stopped_) console_.message("stopped by signal");
    if (!readFailure_.empty()) console_.message(readFailure_);
    if (!writeFailure_.empty()) console_.message(writeFailure_);
    KpxGroupStatus status{};
    KpxGroup_GetStatus(group_, &status);
    bool metadataFailed = false;
    if (sigmf_) {
      kpx::tools::SigmfCollection collection;
      collection.version = kSigmfVersion;
      collection.description =
          "kpxadac-capture: a group of " + std::to_string(members_.size()) +
          " boards; sample i of every recording is the same instant" +
          (options_.align == AlignChoice::kNone ? " within the start skew" : "");
      collection.group.alignment = kpx::tools::alignWord(options_.align);
      collection.group.startSkew = static_cast<double>(startSkew_);
      for (auto& member : members_) {
        RecordingDescription& recording = member->recording;
        recording.samples = written_;
        if (!writeFailure_.empty()) {
          recording.state = kStateWriteFailed;
        } else {
          recording.state = readFailure_.empty() ? kStateComplete : kStateReadFailed;
          recording.sha512 = member->sha512->hexDigest();
        }
        if (!writeFinalMetadata(console_, *member->metadata, metadataText(recording)).empty())
          metadataFailed = true;
        std::string failure;
        const std::string hash = fileSha512(member->names.metadata, failure);
        if (!failure.empty()) {
          console_.message(failure);
          metadataFailed = true;
        }
        collection.streams.push_back({fs::path(member->base).filename().string(), hash});
        collection.group.boards.push_back(member->board.index);
        collection.group.offsets.push_back(recording.group->offset);
        collection.group.driftsPpm.push_back(recording.group->driftPpm);
      }
      MetadataFile file(collectionPath_);
      if (!writeFinalMetadata(console_, file, kpx::tools::collectionText(collection)).empty())
        metadataFailed = true;
    }
    uint64_t lost = 0;
    char line[240];
    std::snprintf(line, sizeof line,
                  "%zu boards, %" PRIu64 " samples each (%" PRIu64 " bytes in all) in %.3f s",
                  members_.size(), written_, written_ * 2 * members_.size(), seconds_);
    console_.message(line);
    for (size_t b = 0; b < members_.size(); ++b) {
      const Member& member = *members_[b];
      uint64_t notRecorded = 0;
      for (const OverrunEvent& gap : member.recording.overruns) notRecorded += gap.lostSamples;
      lost += status.lostSamples[b] + notRecorded;
      const auto& s = member.statistics;
      std::snprintf(line, sizeof line,
                    "board %u: offset %.3f, lost %" PRIu64 ", not recorded in gaps %" PRIu64
                    "; samples min %d, max %d, rms %.3f",
                    member.board.index, member.recording.group->offset, status.lostSamples[b],
                    notRecorded, s.count() ? s.min() : 0, s.count() ? s.max() : 0,
                    s.count() ? s.rms() : 0.0);
      console_.message(line);
    }
    if (!readFailure_.empty()) return kExitFailure;
    if (!writeFailure_.empty() || metadataFailed) return kExitWriteFailed;
    return lost ? kExitDataLost : kExitClean;
  }

  const Options& options_;
  std::atomic<bool>& stop_;
  Console console_;
  const bool sigmf_;
  std::vector<std::unique_ptr<Member>> members_;
  std::string collectionPath_;
  std::string collectionName_;
  KpxGroup* group_ = nullptr;
  double sampleRate_ = 0;
  std::optional<uint64_t> sampleLimit_;
  std::chrono::system_clock::time_point startTime_;
  uint64_t startSkew_ = 0;
  uint64_t written_ = 0;  // samples per board in every file
  uint64_t gapEvents_ = 0;
  bool gapSinceMetadata_ = false;
  bool stopped_ = false;
  double seconds_ = 0;
  std::string readFailure_, writeFailure_, metadataFailure_;
};

}  // namespace

std::string groupMemberOutput(const std::string& output, bool sigmf, unsigned index) {
  const std::string suffix = "-" + std::to_string(index);
  if (sigmf) return kpx::tools::sigmfBaseName(output) + suffix;
  std::error_code error;
  const fs::file_status status = fs::status(output, error);
  if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status))
    return output;
  const fs::path path(output);
  const fs::path name = path.filename();
  if (!name.has_extension() || name.stem().empty()) return output + suffix;
  return (path.parent_path() / (name.stem().string() + suffix + name.extension().string()))
      .string();
}

int runGroupCapture(const Options& options, std::atomic<bool>& stop) {
  return GroupCapture(options, stop).run();
}

}  // namespace capture
