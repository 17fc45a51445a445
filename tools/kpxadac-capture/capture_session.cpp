#include "capture_session.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "block_ring.h"
#include "sha512.h"

namespace capture {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(500);
constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();

std::string boardErrorName(BoardError error) {
  switch (error) {
    case ERR_NOT_IDLE:
      return "the board was busy";
    case ERR_CANCELLED:
      return "the read was cancelled";
    case ERR_REQUEST_FAILED:
      return "a driver request failed";
    case ERR_READ_FAILED:
      return "the driver's read failed";
    default:
      return "board error " + std::to_string(error);
  }
}

std::string formatProgress(uint64_t bytes, double seconds, uint64_t overruns,
                           std::optional<uint64_t> sampleLimit) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  char text[160];
  int length = std::snprintf(text, sizeof text, "%8.1f MB/s  %llu samples  %llu overruns",
                             rate / 1e6, static_cast<unsigned long long>(bytes / 2),
                             static_cast<unsigned long long>(overruns));
  if (sampleLimit && rate > 0) {
    const double bytesLeft =
        static_cast<double>(*sampleLimit * 2 - std::min(bytes, *sampleLimit * 2));
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length), "  %.0f s left",
                  bytesLeft / rate);
  }
  return text;
}

class CaptureRun {
 public:
  CaptureRun(const CaptureSettings& settings, OutputFile& file, const std::atomic<bool>& stop,
             Console& console)
      : settings_(settings),
        file_(file),
        stop_(stop),
        console_(console),
        ring_(settings.ringBuffers, settings.chunkBytes),
        tracker_(settings.initialOverrunCount),
        bytesToWrite_(settings.sampleLimit ? *settings.sampleLimit * 2 : kUnlimited) {
    if (settings.computeSha512) sha512_ = std::make_unique<Sha512>();
  }

  CaptureResult run() {
    result_.startTime = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([this] { readBlocks(); });
    std::thread writer([this] { writeBlocks(); });
    showProgressUntilWritten(start);
    reader.join();
    writer.join();
    console_.endProgress();

    if (std::string reason = file_.flushToDisk(); !reason.empty() && result_.writeFailure.empty())
      result_.writeFailure = reason;
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result_.bytesWritten = bytesWritten_.load();
    result_.overruns = tracker_.events();
    result_.lostSamples = tracker_.lostSamples();
    if (sha512_) result_.sha512 = sha512_->hexDigest();
    return std::move(result_);
  }

 private:
  // The reader asks for whole 32-bit words: an odd sample limit reads one
  // sample more, which the writer leaves out.
  uint64_t bytesToRead() const {
    return bytesToWrite_ == kUnlimited ? kUnlimited : (bytesToWrite_ + 3) / 4 * 4;
  }

  void readBlocks() {
    const uint64_t target = bytesToRead();
    uint64_t bytesRead = 0;
    bool countersReadable = true;
    while (bytesRead < target) {
      Block* block = ring_.takeEmpty(stop_);
      if (!block) {
        result_.stopped = stop_.load();
        break;
      }
      const auto length =
          static_cast<uint32_t>(std::min<uint64_t>(ring_.blockBytes(), target - bytesRead));
      block->length = TalvoReadBuffer(settings_.board, block->data, length);
      if (block->length == 0) {
        result_.readFailure = "read from the board failed after " + std::to_string(bytesRead / 2) +
                              " samples (" +
                              boardErrorName(Kpxadac16_GetLastError(settings_.board)) + ")";
        ring_.giveBack(block);
        break;
      }
      const uint64_t blockFirstSample = bytesRead / 2;
      bytesRead += block->length;
      TalvoErrorCounts counts{};
      if (TalvoGetError(settings_.board, &counts) == 0) {
        if (auto gap = tracker_.afterBlock(blockFirstSample, counts.rxOverrunCount)) {
          overrunEvents_.fetch_add(1);
          console_.message("overrun: " + std::to_string(gap->lostSamples) +
                           " samples lost before sample " + std::to_string(gap->fileSample) +
                           " (board sample " + std::to_string(gap->globalSample) + ")");
        }
      } else if (countersReadable) {
        countersReadable = false;
        console_.message(
            "warning: the channel's error counters cannot be read; overruns may go unseen");
      }
      ring_.handOn(block);
    }
    ring_.finish();
  }

  void writeBlocks() {
    uint64_t bytesLeft = bytesToWrite_;
    while (Block* block = ring_.takeFilled()) {
      if (result_.writeFailure.empty()) {
        const auto length = static_cast<size_t>(std::min<uint64_t>(block->length, bytesLeft));
        size_t written = 0;
        std::string reason = file_.write(block->data, length, written);
        result_.statistics.add(block->data, written);
        if (sha512_) sha512_->update(block->data, written);
        bytesLeft -= written;
        bytesWritten_.fetch_add(written);
        if (!reason.empty()) {
          result_.writeFailure = reason;
          ring_.abandon();
        }
      }
      ring_.giveBack(block);
      if (settings_.writerDelayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.writerDelayMs));
    }
    {
      std::lock_guard lock(doneMutex_);
      writerDone_ = true;
    }
    doneChanged_.notify_all();
  }

  void showProgressUntilWritten(std::chrono::steady_clock::time_point start) {
    std::unique_lock lock(doneMutex_);
    while (!doneChanged_.wait_for(lock, kProgressInterval, [this] { return writerDone_; })) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      console_.progress(formatProgress(bytesWritten_.load(), seconds, overrunEvents_.load(),
                                       settings_.sampleLimit));
    }
  }

  const CaptureSettings& settings_;
  OutputFile& file_;
  const std::atomic<bool>& stop_;
  Console& console_;
  BlockRing ring_;
  OverrunTracker tracker_;  // reader thread only
  const uint64_t bytesToWrite_;
  std::unique_ptr<Sha512> sha512_;  // writer thread only
  CaptureResult result_;  // read failure and stop: reader; statistics and write failure: writer
  std::atomic<uint64_t> bytesWritten_{0};
  std::atomic<uint64_t> overrunEvents_{0};
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool writerDone_ = false;
};

}  // namespace

CaptureResult runCapture(const CaptureSettings& settings, OutputFile& file,
                         const std::atomic<bool>& stop, Console& console) {
  return CaptureRun(settings, file, stop, console).run();
}

}  // namespace capture
