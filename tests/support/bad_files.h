// Files that are not what a reader expects, for tables of tests that run
// every reader over each of them (POSIX hosts: FIFOs and device files).
// A reader that waits on a FIFO is released after a time-out and fails the
// test, rather than hanging it.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct BadFile {
  std::string what;  // for the failure message
  std::string path;
  std::string words;  // what the refusal must say
  bool tooLarge = false;
};

// In `folder`: a regular file one byte larger than `limit` (sparse; only
// when a limit is given), a directory, a FIFO that nobody writes or reads,
// /dev/zero and a name that does not exist.
inline std::vector<BadFile> badInputFiles(const std::filesystem::path& folder,
                                          std::optional<uint64_t> limit) {
  std::vector<BadFile> files;
  if (limit) {
    const auto large = folder / "too-large";
    std::ofstream(large).put('{');
    std::filesystem::resize_file(large, *limit + 1);
    files.push_back({"a file over the limit", large.string(), "limit", true});
  }
  const auto directory = folder / "a-directory";
  std::filesystem::create_directories(directory);
  files.push_back({"a directory", directory.string(), "directory"});
  const auto fifo = folder / "a-fifo";
  ::unlink(fifo.c_str());
  ::mkfifo(fifo.c_str(), 0600);
  files.push_back({"a FIFO nobody writes", fifo.string(), "FIFO"});
  files.push_back({"a device", "/dev/zero", "device"});
  files.push_back({"a missing file", (folder / "missing").string(), "does not exist"});
  return files;
}

// Runs `read` and gives its result; a call that has not returned after 20 s
// (a reader waiting on the FIFO `fifo`) fails the test and is released by
// opening the FIFO's other end for a moment.
template <typename Read>
auto withinTime(Read read, const std::string& fifo) {
  auto result = std::async(std::launch::async, read);
  if (result.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
    ADD_FAILURE() << "still waiting after 20 s (on " << fifo << "?)";
    const int other = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (other >= 0) ::close(other);
  }
  return result.get();
}

}  // namespace test_support
#endif
