// The rack: the device entry points of the virtual driver (handles, length
// checks, fault injection, the gate and the journal) in front of the boards.
#include "virtual_boards/virtual_rack.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kpxadac_ioctl.h"
#include "virtual_boards/board.h"
#include "virtual_boards/rack_config.h"

namespace kpx::sim {
namespace {

namespace err = driver::error;

constexpr Handle kFirstHandle = 0x1000;
constexpr Handle kHandleStep = 4;
constexpr size_t kJournalBlockLimit = size_t{1} << 20;
constexpr size_t kJournalDataBytes = 64;

// ---- Rack -------------------------------------------------------------

struct Rack {
  std::mutex mutex;
  bool built = false;
  // Why the last rack asked for could not be built ("" when it was).
  std::string problem;
  std::map<int, std::shared_ptr<Board>> boards;
  std::unordered_map<Handle, std::shared_ptr<Board>> handles;
};

// Never destroyed: other threads and atexit handlers may still close handles
// while the process ends.
Rack& rack() {
  static Rack* instance = new Rack;
  return *instance;
}

std::atomic<Handle> nextHandle{kFirstHandle};

// Off unless a test or the rack's "journal" key asks for it: only tests read
// it, and an ordinary process should not keep 100000 entries.
std::atomic<bool> journalEnabled{false};

void installLocked(Rack& r, const RackConfig& config) {
  r.boards.clear();
  r.handles.clear();
  // The timeline's origin: real-time boards are placed on it by the moment
  // their clocks start.
  const auto origin = SampleClock::Clock::now();
  for (const BoardConfig& board : config.boards)
    r.boards[board.device] = std::make_shared<Board>(board, origin);
  for (const BoardConfig& board : config.boards)
    if (board.input.kind == BoardInput::Kind::kDac)
      r.boards[board.device]->wireTo(*r.boards[board.input.dac]);
  if (config.journal) setJournalEnabled(true);
  r.built = true;
}

void buildFromEnvironmentLocked(Rack& r) {
  if (r.built) return;
  const char* value = std::getenv("KPXADAC_SIM");
  RackConfig config;
  const auto reason = loadRackConfig(value ? value : "", config);
  if (reason) std::fprintf(stderr, "kpxadac: KPXADAC_SIM: %s\n", reason->c_str());
  installLocked(r, config);
  r.problem = reason ? "KPXADAC_SIM: " + *reason : std::string();
}

std::shared_ptr<Board> boardOfHandle(Handle handle) {
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  const auto found = r.handles.find(handle);
  return found == r.handles.end() ? nullptr : found->second;
}

std::shared_ptr<Board> boardAt(int device) {
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  buildFromEnvironmentLocked(r);
  const auto found = r.boards.find(device);
  return found == r.boards.end() ? nullptr : found->second;
}

// ---- Journal ------------------------------------------------------------

struct Journal {
  std::mutex mutex;
  std::deque<JournalEntry> entries;
};

Journal& theJournal() {
  static Journal* instance = new Journal;
  return *instance;
}

void record(JournalEntry&& entry) {
  Journal& j = theJournal();
  std::lock_guard lock(j.mutex);
  if (j.entries.size() >= kJournalCapacity) j.entries.pop_front();
  j.entries.push_back(std::move(entry));
}

std::vector<uint8_t> firstBytes(const void* data, size_t length, size_t limit) {
  if (!data) return {};
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + std::min(length, limit));
}

// ---- Gate ---------------------------------------------------------------

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool armed = false;
  int device = -1;
  std::string op;
  bool held = false;
  bool released = false;
};

Gate& theGate() {
  static Gate* instance = new Gate;
  return *instance;
}

std::atomic<bool> gateArmed{false};

void passGate(int device, std::string_view op) {
  if (!gateArmed.load(std::memory_order_acquire)) return;
  Gate& g = theGate();
  std::unique_lock lock(g.mutex);
  if (!g.armed || g.device != device || g.op != op) return;
  g.armed = false;
  gateArmed = false;
  g.held = true;
  g.changed.notify_all();
  g.changed.wait(lock, [&] { return g.released; });
  g.held = false;
}

// ---- Operation helpers ----------------------------------------------------

uint32_t loadWord(const void* p) {
  uint8_t b[4];
  std::memcpy(b, p, 4);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

bool lengthsMatch(const driver::RequestInfo& request, const void* in, uint32_t inLength,
                  const void* out, uint32_t outLength) {
  if ((inLength != 0 && !in) || (outLength != 0 && !out)) return false;
  if (request.inLength == driver::kVariable) {
    // A 32-bit length n, then n bytes.
    if (inLength < 4 || uint64_t{loadWord(in)} + 4 != inLength) return false;
  } else if (inLength != static_cast<uint32_t>(request.inLength)) {
    return false;
  }
  return request.outLength == driver::kVariable ||
         outLength == static_cast<uint32_t>(request.outLength);
}

// Fills in the journal entry's outcome and records it; returns the error.
uint32_t finish(JournalEntry& entry, uint32_t error, uint32_t returned) {
  if (journalEnabled.load(std::memory_order_relaxed)) {
    entry.ok = error == 0;
    entry.error = error;
    entry.returned = returned;
    record(std::move(entry));
  }
  return error;
}

}  // namespace

// ---- Device entry points ----------------------------------------------------

uint32_t openDevice(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags, Handle* handle) {
  if (handle) *handle = -1;
  JournalEntry entry{.op = "open"};
  if (path && journalEnabled) entry.in = firstBytes(path, std::strlen(path), 256);
  if (!path || !handle || access != driver::kGenericReadWrite || share != driver::kShareReadWrite ||
      disposition != driver::kOpenExisting || flags != driver::kNoFlags)
    return finish(entry, err::kInvalidParameter, 0);
  const auto device = driver::deviceNumberFromName(path);
  if (device) entry.device = *device;  // also for a number with no board
  std::shared_ptr<Board> board = device ? boardAt(*device) : nullptr;
  if (!board) return finish(entry, err::kFileNotFound, 0);
  passGate(*device, "open");
  if (auto fault = board->takeFault("open"); fault && fault->fails)
    return finish(entry, fault->error, 0);
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  // The rack may have been replaced while this open was held at the gate.
  const auto current = r.boards.find(*device);
  if (current == r.boards.end() || current->second != board)
    return finish(entry, err::kFileNotFound, 0);
  const Handle h = nextHandle.fetch_add(kHandleStep);
  r.handles[h] = board;
  *handle = h;
  return finish(entry, 0, 0);
}

uint32_t closeDevice(Handle handle) {
  JournalEntry entry{.op = "close"};
  std::shared_ptr<Board> board = boardOfHandle(handle);
  if (!board) return finish(entry, err::kInvalidHandle, 0);
  entry.device = board->device();
  passGate(board->device(), "close");
  // A close that fails leaves the handle open.
  if (auto fault = board->takeFault("close"); fault && fault->fails)
    return finish(entry, fault->error, 0);
  {
    Rack& r = rack();
    std::lock_guard lock(r.mutex);
    if (r.handles.erase(handle) == 0) return finish(entry, err::kInvalidHandle, 0);
  }
  board->handleClosed(handle);
  return finish(entry, 0, 0);
}

uint32_t control(Handle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) {
  if (returned) *returned = 0;
  JournalEntry entry{.op = "control", .code = code, .inLength = inLength, .outLength = outLength};
  if (journalEnabled) entry.in = firstBytes(in, inLength, kJournalBlockLimit);
  std::shared_ptr<Board> board = boardOfHandle(handle);
  if (!board) return finish(entry, err::kInvalidHandle, 0);
  entry.device = board->device();
  const driver::RequestInfo* request = driver::findRequest(code);
  if (!request) return finish(entry, err::kInvalidFunction, 0);
  if (!lengthsMatch(*request, in, inLength, out, outLength))
    return finish(entry, err::kInvalidParameter, 0);
  passGate(board->device(), request->name);
  const auto fault = board->takeFault(request->name);
  if (fault) board->applyFaultCounters(*fault);
  if (fault && fault->fails) return finish(entry, fault->error, 0);
  uint32_t count = 0;
  const uint32_t error = board->control(handle, code, static_cast<const uint8_t*>(in), inLength,
                                        static_cast<uint8_t*>(out), outLength, count);
  if (error) return finish(entry, error, 0);
  if (fault && fault->returned) count = *fault->returned;
  if (returned) *returned = count;
  return finish(entry, 0, count);
}

uint32_t readDevice(Handle handle, void* buffer, uint32_t length, uint32_t* moved) {
  if (moved) *moved = 0;
  JournalEntry entry{.op = "read", .length = length};
  std::shared_ptr<Board> board = boardOfHandle(handle);
  if (!board) return finish(entry, err::kInvalidHandle, 0);
  entry.device = board->device();
  if (!buffer && length != 0) return finish(entry, err::kInvalidParameter, 0);
  passGate(board->device(), "read");
  const auto fault = board->takeFault("read");
  if (fault) board->applyFaultCounters(*fault);
  if (fault && fault->fails) return finish(entry, fault->error, 0);
  uint32_t count = 0;
  const uint32_t error = board->read(static_cast<uint8_t*>(buffer), length,
                                     fault ? fault->returned : std::nullopt, count);
  if (error) return finish(entry, error, 0);
  if (moved) *moved = count;
  if (journalEnabled) entry.in = firstBytes(buffer, count, kJournalDataBytes);
  return finish(entry, 0, count);
}

uint32_t writeDevice(Handle handle, const void* buffer, uint32_t length, uint32_t* moved) {
  if (moved) *moved = 0;
  JournalEntry entry{.op = "write", .length = length};
  std::shared_ptr<Board> board = boardOfHandle(handle);
  if (!board) return finish(entry, err::kInvalidHandle, 0);
  entry.device = board->device();
  if (!buffer && length != 0) return finish(entry, err::kInvalidParameter, 0);
  if (journalEnabled) entry.in = firstBytes(buffer, length, kJournalDataBytes);
  passGate(board->device(), "write");
  const auto fault = board->takeFault("write");
  if (fault) board->applyFaultCounters(*fault);
  if (fault && fault->fails) return finish(entry, fault->error, 0);
  uint32_t count = 0;
  const uint32_t error = board->write(static_cast<const uint8_t*>(buffer), length,
                                      fault ? fault->returned : std::nullopt, count);
  if (error) return finish(entry, error, 0);
  if (moved) *moved = count;
  return finish(entry, 0, count);
}

uint32_t cancelIo(Handle handle) {
  JournalEntry entry{.op = "cancel"};
  std::shared_ptr<Board> board = boardOfHandle(handle);
  if (!board) return finish(entry, err::kInvalidHandle, 0);
  entry.device = board->device();
  passGate(board->device(), "cancel");
  if (auto fault = board->takeFault("cancel"); fault && fault->fails)
    return finish(entry, fault->error, 0);
  // Requests complete before they return, so nothing is ever pending.
  return finish(entry, 0, 0);
}

// ---- Configuration -----------------------------------------------------------

std::string configure(std::string_view config) {
  RackConfig parsed;
  const auto reason = loadRackConfig(config, parsed);
  // Tests that configure a rack read what reached it.
  setJournalEnabled(true);
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  installLocked(r, parsed);  // empty after a failure
  r.problem = reason.value_or("");
  return r.problem;
}

std::string rackProblem() {
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  buildFromEnvironmentLocked(r);
  return r.problem;
}

void resetToEnvironment() {
  Rack& r = rack();
  std::lock_guard lock(r.mutex);
  installLocked(r, RackConfig{});
  r.built = false;
  r.problem.clear();
}

// ---- Journal ----------------------------------------------------------------

std::vector<JournalEntry> journal() {
  Journal& j = theJournal();
  std::lock_guard lock(j.mutex);
  return {j.entries.begin(), j.entries.end()};
}

void clearJournal() {
  Journal& j = theJournal();
  std::lock_guard lock(j.mutex);
  j.entries.clear();
}

void setJournalEnabled(bool enabled) {
  journalEnabled = enabled;
}

// ---- Test hooks ---------------------------------------------------------------

uint32_t peekRegister(int device, uint32_t offset) {
  auto board = boardAt(device);
  return board ? board->peek(offset) : 0;
}

void pokeRegister(int device, uint32_t offset, uint32_t value) {
  if (auto board = boardAt(device)) board->poke(offset, value);
}

std::string loadedPart(int device) {
  auto board = boardAt(device);
  return board ? board->loadedPart() : "";
}

bool fpgaConfigured(int device) {
  auto board = boardAt(device);
  return board && board->fpgaConfigured();
}

bool isLocked(int device) {
  auto board = boardAt(device);
  return board && board->isLocked();
}

bool synthesizerProgrammed(int device) {
  auto board = boardAt(device);
  return board && board->synthesizerProgrammed();
}

double sampleRate(int device) {
  auto board = boardAt(device);
  return board ? board->sampleRate() : 0.0;
}

uint64_t channelSampleIndex(int device) {
  auto board = boardAt(device);
  return board ? board->channelSampleIndex() : 0;
}

int16_t signalSample(int device, uint64_t index) {
  auto board = boardAt(device);
  return board ? board->sampleAt(index) : 0;
}

double trueTimelineOffset(int device) {
  auto board = boardAt(device);
  return board ? board->timelineOffset() : std::numeric_limits<double>::quiet_NaN();
}

double trueClockPpm(int device) {
  auto board = boardAt(device);
  return board ? board->clockPpm() : std::numeric_limits<double>::quiet_NaN();
}

std::vector<uint8_t> peekFpgaMemory(int device, uint64_t address, size_t length) {
  std::vector<uint8_t> bytes(length);
  if (auto board = boardAt(device)) board->memory().read(address, bytes.data(), length);
  return bytes;
}

// ---- Gate ---------------------------------------------------------------------

void setGate(int device, std::string_view op) {
  Gate& g = theGate();
  std::lock_guard lock(g.mutex);
  g.armed = true;
  g.device = device;
  g.op = std::string(op);
  g.held = false;
  g.released = false;
  gateArmed = true;
}

void waitForGate() {
  Gate& g = theGate();
  std::unique_lock lock(g.mutex);
  // Bounded, so that a test whose operation never comes fails instead of
  // hanging.
  g.changed.wait_for(lock, std::chrono::seconds(30), [&] { return g.held; });
}

void releaseGate() {
  Gate& g = theGate();
  std::lock_guard lock(g.mutex);
  g.armed = false;
  gateArmed = false;
  g.released = true;
  g.changed.notify_all();
}

}  // namespace kpx::sim
