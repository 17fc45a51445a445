// The Win32 device backend and host services, on the real system calls:
// arguments reach CreateFileA unchanged, counts and last errors come back,
// mutexes nest, error texts are the system's, and standard input is read
// and peeked at without the C runtime's buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "kpxadac_ioctl.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/win32.h"

namespace platform = kpx::platform;
using namespace kpx::driver;

namespace {

const platform::DeviceBackend& win32 = platform::win32Backend();

constexpr uint32_t kCreateAlways = 2;

std::string scratchFile(const char* name) {
  auto folder = std::filesystem::temp_directory_path() / "kpxadac-platform-win32";
  std::filesystem::create_directories(folder);
  return (folder / name).string();
}

// ---- Device backend --------------------------------------------------------

TEST(Win32Backend, MissingBoardDeviceGivesTheInvalidHandleAndFileNotFound) {
  platform::setLastError(0);
  platform::Handle handle = win32.open("\\\\.\\KPXADAC_64", kGenericReadWrite, kShareReadWrite,
                                       nullptr, kOpenExisting, kNoFlags, nullptr);
  EXPECT_EQ(handle, platform::kInvalidHandle);
  EXPECT_EQ(platform::lastError(), error::kFileNotFound);
}

TEST(Win32Backend, FileRoundTripPassesOpenArgumentsAndCountsThrough) {
  std::string path = scratchFile("roundtrip.bin");
  // The disposition decides whether the file is made: OPEN_EXISTING on a
  // missing file must fail, CREATE_ALWAYS must create it.
  std::filesystem::remove(path);
  EXPECT_EQ(win32.open(path.c_str(), kGenericReadWrite, kShareReadWrite, nullptr, kOpenExisting,
                       kNoFlags, nullptr),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::lastError(), error::kFileNotFound);

  platform::Handle out = win32.open(path.c_str(), kGenericReadWrite, kShareReadWrite, nullptr,
                                    kCreateAlways, kNoFlags, nullptr);
  ASSERT_NE(out, platform::kInvalidHandle);
  const char data[] = "ramp:0123456789";
  uint32_t moved = 12345;
  ASSERT_TRUE(win32.write(out, data, 15, &moved));
  EXPECT_EQ(moved, 15u);
  EXPECT_TRUE(win32.close(out));

  // Opened for reading only, a write is refused with access denied.
  platform::Handle in = win32.open(path.c_str(), GENERIC_READ, kShareReadWrite, nullptr,
                                   kOpenExisting, kNoFlags, nullptr);
  ASSERT_NE(in, platform::kInvalidHandle);
  moved = 12345;
  EXPECT_FALSE(win32.write(in, data, 4, &moved));
  EXPECT_EQ(platform::lastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(moved, 0u);

  char back[32] = {};
  ASSERT_TRUE(win32.read(in, back, 10, &moved));
  EXPECT_EQ(moved, 10u);
  EXPECT_EQ(std::string(back, 10), "ramp:01234");
  ASSERT_TRUE(win32.read(in, back, sizeof back, &moved));
  EXPECT_EQ(moved, 5u);  // the rest
  EXPECT_EQ(std::string(back, 5), "56789");
  ASSERT_TRUE(win32.read(in, back, sizeof back, &moved));
  EXPECT_EQ(moved, 0u);  // at the end, a success that moves nothing

  // No I/O is pending, so the cancel succeeds.
  EXPECT_TRUE(win32.cancel(in));
  EXPECT_TRUE(win32.close(in));
  std::filesystem::remove(path);
}

TEST(Win32Backend, ControlRequestOnAFileFailsWithACountOfZero) {
  std::string path = scratchFile("control.bin");
  platform::Handle file = win32.open(path.c_str(), kGenericReadWrite, kShareReadWrite, nullptr,
                                     kCreateAlways, kNoFlags, nullptr);
  ASSERT_NE(file, platform::kInvalidHandle);
  uint32_t offset = 112;
  uint32_t value = 0;
  uint32_t returned = 0xDEADBEEF;
  platform::setLastError(0);
  EXPECT_FALSE(win32.control(file, IOCTL_GET_HSREG, &offset, 4, &value, 4, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_NE(platform::lastError(), 0u);
  EXPECT_TRUE(win32.close(file));
  std::filesystem::remove(path);
}

TEST(Win32Backend, CallsOnAHandleThatIsNotOpenFailWithInvalidHandle) {
  // A handle value that no open object has.
  platform::Handle bogus = 0x7FFFFFF0;
  uint32_t count = 777;
  char byte = 0;

  platform::setLastError(0);
  EXPECT_FALSE(win32.control(bogus, IOCTL_GET_FIXED_CLOCK, nullptr, 0, &byte, 1, &count));
  EXPECT_EQ(platform::lastError(), error::kInvalidHandle);
  EXPECT_EQ(count, 0u);

  count = 777;
  platform::setLastError(0);
  EXPECT_FALSE(win32.read(bogus, &byte, 1, &count));
  EXPECT_EQ(platform::lastError(), error::kInvalidHandle);
  EXPECT_EQ(count, 0u);

  count = 777;
  platform::setLastError(0);
  EXPECT_FALSE(win32.write(bogus, &byte, 1, &count));
  EXPECT_EQ(platform::lastError(), error::kInvalidHandle);
  EXPECT_EQ(count, 0u);

  platform::setLastError(0);
  EXPECT_FALSE(win32.cancel(bogus));
  EXPECT_EQ(platform::lastError(), error::kInvalidHandle);

  platform::setLastError(0);
  EXPECT_FALSE(win32.close(bogus));
  EXPECT_EQ(platform::lastError(), error::kInvalidHandle);
}

// ---- Host services ---------------------------------------------------------

TEST(Win32Host, LastErrorBelongsToTheThread) {
  // The two threads meet through atomics only: thread start and join make
  // system calls that may overwrite the last error themselves.
  std::atomic<int> stage{0};
  uint32_t seenByOther = 0;
  uint32_t seenByMain = 0;
  std::thread other([&] {
    platform::setLastError(error::kBusy);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    seenByOther = platform::lastError();
    stage = 3;
  });
  while (stage != 1) std::this_thread::yield();
  platform::setLastError(1234);
  stage = 2;
  while (stage != 3) std::this_thread::yield();
  seenByMain = platform::lastError();
  other.join();
  EXPECT_EQ(seenByOther, error::kBusy);
  EXPECT_EQ(seenByMain, 1234u);
}

TEST(Win32Host, MutexNestsForItsOwnerAndIsFreeAfterMatchingReleases) {
  platform::Mutex* mutex = platform::createMutex(false);
  ASSERT_NE(mutex, nullptr);
  platform::waitMutex(mutex);
  platform::waitMutex(mutex);  // a second take by the owner must not block
  platform::releaseMutex(mutex);

  // Still held once: another thread waits until the last release.
  std::atomic<bool> taken{false};
  std::thread other([&] {
    platform::waitMutex(mutex);
    taken = true;
    platform::releaseMutex(mutex);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(taken);
  platform::releaseMutex(mutex);
  other.join();
  EXPECT_TRUE(taken);
  platform::destroyMutex(mutex);
}

TEST(Win32Host, MutexCreatedOwnedIsHeldByItsCreator) {
  platform::Mutex* mutex = platform::createMutex(true);
  ASSERT_NE(mutex, nullptr);
  std::atomic<bool> taken{false};
  std::thread other([&] {
    platform::waitMutex(mutex);
    taken = true;
    platform::releaseMutex(mutex);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(taken);
  platform::releaseMutex(mutex);
  other.join();
  EXPECT_TRUE(taken);
  platform::destroyMutex(mutex);
}

TEST(Win32Host, ErrorTextIsTheSystemsAndNullForUnknownNumbers) {
  char* text = platform::errorText(error::kFileNotFound);
  ASSERT_NE(text, nullptr);
  // The same text FormatMessageA gives with the user's default language.
  char expected[512] = {};
  ASSERT_NE(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error::kFileNotFound,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected, sizeof expected, nullptr),
      0u);
  EXPECT_STREQ(text, expected);
  EXPECT_GT(std::strlen(text), 0u);
  platform::freeErrorText(text);

  EXPECT_EQ(platform::errorText(0x2FFFFFFF), nullptr);
  platform::freeErrorText(nullptr);
}

// ---- Files the library reads and writes --------------------------------------

TEST(Win32Files, RegularFileIsWrittenAndReadAndAnythingElseIsRefusedWithWhatItIs) {
  const std::string path = scratchFile("checked.bin");
  std::filesystem::remove(path);
  std::string reason;
  bool diskFull = true;
  platform::FileHandle out = platform::openOutputFile(path.c_str(), reason);
  ASSERT_NE(out, platform::kNoFile) << reason;
  EXPECT_TRUE(platform::writeFile(out, "abcdef", 6, reason, diskFull)) << reason;
  EXPECT_FALSE(diskFull);
  platform::closeFile(out);
  out = platform::openOutputFile(path.c_str(), reason);  // appends
  ASSERT_NE(out, platform::kNoFile) << reason;
  EXPECT_TRUE(platform::writeFile(out, "gh", 2, reason, diskFull)) << reason;
  platform::closeFile(out);

  std::string text;
  EXPECT_FALSE(platform::readWholeFile(path.c_str(), 8, text).has_value());
  EXPECT_EQ(text, "abcdefgh");
  const auto tooLarge = platform::readWholeFile(path.c_str(), 7, text);
  ASSERT_TRUE(tooLarge.has_value());
  EXPECT_NE(tooLarge->find("limit of 7"), std::string::npos) << *tooLarge;
  uint64_t size = 0;
  platform::FileHandle in = platform::openInputFile(path.c_str(), size, reason);
  ASSERT_NE(in, platform::kNoFile) << reason;
  EXPECT_EQ(size, 8u);
  char two[2] = {};
  EXPECT_EQ(platform::readFileAt(in, 6, two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "gh");
  EXPECT_EQ(platform::readFileAt(in, 8, two, 2), 0);
  platform::closeFile(in);

  const std::string folder = std::filesystem::path(path).parent_path().string();
  const struct {
    std::string path, words;
  } refused[] = {
      {folder, "directory"},
      {"NUL", "device"},
      // Opening a pipe that no server offers fails at once.
      {"\\\\.\\pipe\\kpxadac-nobody-serves-this", "kpxadac-nobody-serves-this"},
      {scratchFile("missing.bin"), "does not exist"},
  };
  for (const auto& bad : refused) {
    SCOPED_TRACE(bad.path);
    reason.clear();
    EXPECT_EQ(platform::openInputFile(bad.path.c_str(), size, reason), platform::kNoFile);
    EXPECT_NE(reason.find(bad.words), std::string::npos) << reason;
  }
  reason.clear();
  EXPECT_EQ(platform::openOutputFile(folder.c_str(), reason), platform::kNoFile);
  EXPECT_NE(reason.find("directory"), std::string::npos) << reason;
}

// ---- Standard input ----------------------------------------------------------

// Replaces standard input for one test and puts the old one back.
class StandardInput : public ::testing::Test {
 protected:
  void SetUp() override { saved = GetStdHandle(STD_INPUT_HANDLE); }
  void TearDown() override {
    SetStdHandle(STD_INPUT_HANDLE, saved);
    if (reader) CloseHandle(reader);
    if (writer) CloseHandle(writer);
  }

  void usePipe() {
    ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
    SetStdHandle(STD_INPUT_HANDLE, reader);
  }
  void send(const char* text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr));
  }
  void closeWriter() {
    CloseHandle(writer);
    writer = nullptr;
  }

  HANDLE saved = nullptr;
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
};

TEST_F(StandardInput, PipeIsPeekedWithoutTakingAndReadByteByByte) {
  usePipe();
  EXPECT_FALSE(platform::consoleIsInteractive());
  EXPECT_FALSE(platform::consoleKeyWaiting());  // empty, writer still there

  send("a\n");
  EXPECT_TRUE(platform::consoleKeyWaiting());
  EXPECT_TRUE(platform::consoleKeyWaiting());  // peeking took nothing
  EXPECT_EQ(platform::consoleReadChar(), 'a');
  EXPECT_TRUE(platform::consoleKeyWaiting());
  EXPECT_EQ(platform::consoleReadChar(), '\n');
  // Nothing buffered behind the handle: the pipe is empty again.
  EXPECT_FALSE(platform::consoleKeyWaiting());

  send("\x1A");  // Ctrl+Z is data on a pipe, not the end
  EXPECT_EQ(platform::consoleReadChar(), 0x1A);

  closeWriter();
  // At the end a read returns at once, with -1.
  EXPECT_TRUE(platform::consoleKeyWaiting());
  EXPECT_EQ(platform::consoleReadChar(), -1);
}

TEST_F(StandardInput, FileIsReadToItsEnd) {
  std::string path = scratchFile("stdin.txt");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "xy", 2, &written, nullptr));
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  reader = file;  // closed by TearDown
  SetStdHandle(STD_INPUT_HANDLE, file);

  EXPECT_FALSE(platform::consoleIsInteractive());
  EXPECT_TRUE(platform::consoleKeyWaiting());
  EXPECT_EQ(platform::consoleReadChar(), 'x');
  EXPECT_EQ(platform::consoleReadChar(), 'y');
  EXPECT_EQ(platform::consoleReadChar(), -1);
  EXPECT_EQ(platform::consoleReadChar(), -1);
}

TEST_F(StandardInput, NoStandardInputReadsAsTheEnd) {
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
  EXPECT_FALSE(platform::consoleIsInteractive());
  EXPECT_TRUE(platform::consoleKeyWaiting());
  EXPECT_EQ(platform::consoleReadChar(), -1);
}

}  // namespace
