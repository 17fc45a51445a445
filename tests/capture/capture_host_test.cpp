// What kpxadac-capture takes from the host: the SHA-512 (OpenSSL, or CNG on
// Windows), the output file (POSIX or Win32 calls) and the time in the
// metadata. Runs on both.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "metadata_file.h"
#include "output_file.h"
#include "program_runner.h"
#include "sha512.h"
#include "sigmf_metadata.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

using capture::MetadataFile;
using capture::OutputFile;
using capture::Sha512;
using test_support::readFile;
using test_support::scratchFolder;

namespace {

std::string sha512Of(const std::string& text, size_t piece) {
  Sha512 sha;
  for (size_t at = 0; at < text.size(); at += piece)
    sha.update(reinterpret_cast<const uint8_t*>(text.data()) + at,
               std::min(piece, text.size() - at));
  return sha.hexDigest();
}

TEST(CaptureHostSha512, GivesTheStandardDigestsInAnyPieces) {
  EXPECT_EQ(sha512Of("", 1),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(sha512Of("abc", 3),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  // A million times 'a', in pieces that straddle the 128-byte blocks.
  const std::string million(1000000, 'a');
  const std::string expected =
      "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
      "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b";
  EXPECT_EQ(sha512Of(million, 1000000), expected);
  EXPECT_EQ(sha512Of(million, 1000), expected);
  EXPECT_EQ(sha512Of(million, 127), expected);
}

TEST(CaptureHostTime, UtcTextIsTheSameOnEveryHost) {
  using std::chrono::milliseconds;
  const auto at = [](int64_t ms) {
    return capture::isoUtc(std::chrono::system_clock::time_point(milliseconds(ms)));
  };
  EXPECT_EQ(at(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(at(1700000000123), "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(at(951868799999), "2000-02-29T23:59:59.999Z");
  EXPECT_EQ(at(4102444800001), "2100-01-01T00:00:00.001Z");
}

std::string write(OutputFile& file, const std::string& bytes, size_t& written) {
  return file.write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), written);
}

// Unbuffered writes take aligned blocks past the cache and the unaligned end
// through it; the file holds every byte either way.
TEST(CaptureHostOutputFile, UnbufferedFileKeepsAlignedBlocksAndAnUnalignedEnd) {
  const auto folder = scratchFolder("capture-output-direct");
  const std::string path = (folder / "direct.bin").string();
  constexpr size_t kBlock = 1 << 16;
  alignas(4096) static uint8_t data[3 * kBlock + 6];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 13 + (i >> 11));
  OutputFile file;
  ASSERT_EQ(file.create(path, true), "");
  size_t written = 0;
  for (size_t at = 0; at < 3 * kBlock; at += kBlock) {
    ASSERT_EQ(file.write(data + at, kBlock, written), "");
    ASSERT_EQ(written, kBlock);
  }
  ASSERT_EQ(file.write(data + 3 * kBlock, 6, written), "");
  ASSERT_EQ(file.write(data, kBlock, written), "") << "aligned again after the end";
  EXPECT_EQ(file.flushToDisk(), "");
  EXPECT_EQ(file.close(), "");
  std::string expected(reinterpret_cast<const char*>(data), sizeof data);
  expected.append(reinterpret_cast<const char*>(data), kBlock);
  EXPECT_EQ(readFile(path), expected);
}

// Each unbuffered write is direct or not by its own alignment: a block in
// unaligned memory goes through the cache and does not turn the file's later
// aligned blocks to the cache (on Windows it does); an unaligned length
// leaves every later offset unaligned. The file holds every byte either way.
TEST(CaptureHostOutputFile, UnbufferedWritesChooseTheCacheOneByOne) {
  const auto folder = scratchFolder("capture-output-per-write");
  const std::string path = (folder / "direct.bin").string();
  constexpr size_t kBlock = 1 << 14;
  alignas(4096) static uint8_t data[4 * kBlock + 4096];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 29 + (i >> 10));
#ifdef _WIN32
  constexpr bool kDirectAgain = false;
#else
  constexpr bool kDirectAgain = true;
#endif
  struct Step {
    size_t from;
    size_t length;
    bool direct;  // the write went past the cache
  };
  const Step steps[] = {
      {0, kBlock, true},                   // aligned
      {kBlock + 16, kBlock, false},        // unaligned memory, whole pages long
      {2 * kBlock, kBlock, kDirectAgain},  // aligned again
      {3 * kBlock, 6, false},              // an unaligned length
      {0, kBlock, false},                  // aligned memory at an unaligned offset
  };
  OutputFile file;
  ASSERT_EQ(file.create(path, true), "");
  if (!file.unbuffered()) GTEST_SKIP() << "the scratch folder's file system refuses O_DIRECT";
  std::string expected;
  for (const Step& step : steps) {
    size_t written = 0;
    ASSERT_EQ(file.write(data + step.from, step.length, written), "");
    ASSERT_EQ(written, step.length);
    EXPECT_EQ(file.unbuffered(), step.direct)
        << "the write of " << step.length << " bytes from " << step.from;
    expected.append(reinterpret_cast<const char*>(data + step.from), step.length);
  }
  EXPECT_EQ(file.flushToDisk(), "");
  EXPECT_EQ(file.close(), "");
  EXPECT_EQ(readFile(path), expected);
}

TEST(CaptureHostOutputFile, WritesEveryByteAndEmptiesAnOldFile) {
  const auto folder = scratchFolder("capture-output-file");
  const std::string path = (folder / "data.bin").string();
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + (i >> 9));
  {
    OutputFile file;
    ASSERT_EQ(file.create(path), "");
    size_t written = 0;
    EXPECT_EQ(write(file, bytes.substr(0, 1000), written), "");
    EXPECT_EQ(written, 1000u);
    EXPECT_EQ(write(file, bytes.substr(1000), written), "");
    EXPECT_EQ(file.flushToDisk(), "");
    EXPECT_EQ(file.close(), "");
    EXPECT_EQ(file.close(), "") << "a second close has nothing to do";
  }
  // The bytes as they were given: no line-end translation.
  EXPECT_EQ(readFile(path), bytes);
  {
    OutputFile file;
    ASSERT_EQ(file.create(path), "");
    size_t written = 0;
    EXPECT_EQ(write(file, "\n\n", written), "");
  }  // closed by the destructor
  EXPECT_EQ(readFile(path), "\n\n");

  OutputFile missing;
  const std::string missingPath = (folder / "no-such-folder" / "x.bin").string();
  const std::string reason = missing.create(missingPath);
  const std::string start = "cannot create " + missingPath + ": ";
  EXPECT_EQ(reason.rfind(start, 0), 0u) << reason;
  EXPECT_GT(reason.size(), start.size()) << "no cause given";
}

TEST(CaptureHostOutputFile, AdoptedDescriptorTakesTheBytesAndAGoneReaderIsAWriteError) {
  const auto folder = scratchFolder("capture-adopt");
  const std::string path = (folder / "adopted.bin").string();
#ifdef _WIN32
  const int descriptor = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
#else
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
#endif
  ASSERT_GE(descriptor, 0);
  {
    OutputFile file;
    file.adopt(descriptor, "adopted");
    size_t written = 0;
    EXPECT_EQ(write(file, "a\r\nb\n", written), "");
    EXPECT_EQ(file.close(), "");
  }
  EXPECT_EQ(readFile(path), "a\r\nb\n");

  int ends[2] = {-1, -1};
#ifdef _WIN32
  ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
  _close(ends[0]);
#else
  std::signal(SIGPIPE, SIG_IGN);  // as kpxadac-capture does
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
#endif
  OutputFile pipe;
  pipe.adopt(ends[1], "the pipe");
  size_t written = 1;
  const std::string reason = write(pipe, std::string(100000, 'x'), written);
  EXPECT_EQ(reason.rfind("cannot write the pipe: ", 0), 0u) << reason;
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(pipe.flushToDisk(), "") << "a pipe has nothing to put on a disk";
}

// A new recording is written under temporary names and takes the old one's
// names only when moved: until then the old files stay as they were, and
// one that is discarded leaves nothing behind.
TEST(CaptureHostOutputFile, TemporaryFilesReplaceTheOldOnesOnlyWhenMoved) {
  const auto folder = scratchFolder("capture-output-move");
  const std::string data = (folder / "rec.bin").string();
  const std::string meta = (folder / "rec.meta").string();
  std::FILE* old = std::fopen(data.c_str(), "wb");
  ASSERT_NE(old, nullptr);
  std::fputs("old data", old);
  std::fclose(old);
  old = std::fopen(meta.c_str(), "wb");
  ASSERT_NE(old, nullptr);
  std::fputs("old meta", old);
  std::fclose(old);

  OutputFile taken;
  EXPECT_NE(taken.create(data, false, true), "") << "exclusive: an existing file is refused";
  EXPECT_EQ(readFile(data), "old data");

  OutputFile file;
  ASSERT_EQ(file.create(capture::temporaryName(data), true, true), "");
  MetadataFile metadata(meta);
  ASSERT_EQ(metadata.prepare("new meta", 0), "");
  size_t written = 0;
  alignas(4096) static uint8_t block[4096];
  for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(file.write(block, sizeof block, written), "");
  EXPECT_EQ(readFile(data), "old data");
  EXPECT_EQ(readFile(meta), "old meta");

  EXPECT_EQ(metadata.commit(), "");
  EXPECT_EQ(file.moveTo(data), "");
  EXPECT_EQ(file.name(), data);
  // Writing goes on under the new name, unaligned too (a second handle on
  // Windows, opened by name).
  EXPECT_EQ(write(file, "end", written), "");
  EXPECT_EQ(file.flushToDisk(), "");
  EXPECT_EQ(file.close(), "");
  EXPECT_EQ(readFile(data),
            std::string(reinterpret_cast<const char*>(block), sizeof block) + "end");
  EXPECT_EQ(readFile(meta), "new meta");
  EXPECT_FALSE(std::filesystem::exists(capture::temporaryName(data)));
  EXPECT_FALSE(std::filesystem::exists(capture::temporaryName(meta)));

  // Discarded before the move: the files of the finished recording stay.
  OutputFile dropped;
  ASSERT_EQ(dropped.create(capture::temporaryName(data), false, true), "");
  ASSERT_EQ(write(dropped, "x", written), "");
  dropped.discard();
  MetadataFile droppedMeta(meta);
  ASSERT_EQ(droppedMeta.prepare("dropped", 0), "");
  droppedMeta.discard();
  EXPECT_EQ(readFile(meta), "new meta");
  EXPECT_EQ(readFile(data).size(), sizeof block + 3);
  EXPECT_FALSE(std::filesystem::exists(capture::temporaryName(data)));
  EXPECT_FALSE(std::filesystem::exists(capture::temporaryName(meta)));

  // A folder in the way of the metadata: the commit fails and leaves no
  // temporary file.
  const std::string blocked = (folder / "blocked.meta").string();
  std::filesystem::create_directory(blocked);
  MetadataFile intoFolder(blocked);
  ASSERT_EQ(intoFolder.prepare("text", 0), "");
  EXPECT_NE(intoFolder.commit(), "");
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
  EXPECT_FALSE(std::filesystem::exists(capture::temporaryName(blocked)));
}

}  // namespace
