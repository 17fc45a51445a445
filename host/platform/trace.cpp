#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kpxadac_ioctl.h"
#include "library/messages.h"
#include "platform/files.h"

namespace kpx::platform::trace {

std::atomic<bool> enabled{false};

namespace {

// Hex dumps stop after this many bytes so a 64 MiB block stays one short line.
constexpr uint32_t kMaxDumpBytes = 64;

std::mutex traceMutex;  // guards the file and the device map
FileHandle traceFile = kNoFile;
std::string tracePath;
std::unordered_map<intptr_t, int> devices;

int deviceOf(intptr_t handle) {
  auto it = devices.find(handle);
  return it == devices.end() ? -1 : it->second;
}

void appendHex(std::string& line, const void* data, uint32_t length) {
  static const char digits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t n = length < kMaxDumpBytes ? length : kMaxDumpBytes;
  line += '"';
  for (uint32_t i = 0; bytes && i < n; ++i) {
    line += digits[bytes[i] >> 4];
    line += digits[bytes[i] & 15];
  }
  line += '"';
}

void appendJsonString(std::string& line, const char* text) {
  line += '"';
  for (const char* p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      line += '\\';
      line += *p;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      line += esc;
    } else {
      line += *p;
    }
  }
  line += '"';
}

// Starts a line with the fields every operation has; the caller holds the lock.
std::string begin(const char* op, intptr_t handle, bool ok, uint32_t error) {
  std::string line = "{\"op\":\"";
  line += op;
  line += "\",\"device\":" + std::to_string(deviceOf(handle));
  line += ok ? ",\"ok\":true" : ",\"ok\":false";
  line += ",\"error\":" + std::to_string(ok ? 0u : error);
  return line;
}

// Appends the line. The first write that fails ends the trace, with one
// failure line that says so: the program runs on without it.
void finish(std::string& line) {
  if (traceFile == kNoFile) return;
  line += "}\n";
  std::string reason;
  bool diskFull = false;
  if (writeFile(traceFile, line.data(), line.size(), reason, diskFull)) return;
  printLine("kpxadac: KPXADAC_TRACE: cannot write \"%s\": %s; the trace stops here\n",
            tracePath.c_str(), reason.c_str());
  closeFile(traceFile);
  traceFile = kNoFile;
  enabled = false;
}

}  // namespace

void start() {
  std::lock_guard lock(traceMutex);
  if (traceFile != kNoFile) return;
  const char* path = std::getenv("KPXADAC_TRACE");
  if (!path || !*path) return;
  std::string reason;
  traceFile = openOutputFile(path, reason);
  if (traceFile == kNoFile) {
    std::fprintf(stderr, "kpxadac: KPXADAC_TRACE: %s; running without a trace\n", reason.c_str());
    return;
  }
  tracePath = path;
  enabled = true;
}

void rememberDevice(intptr_t handle, int device) {
  std::lock_guard lock(traceMutex);
  devices[handle] = device;
}

void forgetDevice(intptr_t handle) {
  std::lock_guard lock(traceMutex);
  devices.erase(handle);
}

void open(const char* path, intptr_t handle, bool ok, uint32_t error, uint32_t access,
          uint32_t share, uint32_t disposition, uint32_t flags) {
  std::lock_guard lock(traceMutex);
  std::string line = "{\"op\":\"open\",\"device\":";
  line += std::to_string(driver::deviceNumberFromName(path).value_or(-1));
  line += ok ? ",\"ok\":true" : ",\"ok\":false";
  line += ",\"error\":" + std::to_string(ok ? 0u : error);
  line += ",\"path\":";
  appendJsonString(line, path);
  char extra[128];
  std::snprintf(extra, sizeof extra,
                ",\"access\":\"0x%08X\",\"share\":%u,\"disposition\":%u,\"flags\":%u", access,
                share, disposition, flags);
  line += extra;
  if (ok) line += ",\"handle\":" + std::to_string(handle);
  finish(line);
}

void close(intptr_t handle, bool ok, uint32_t error) {
  std::lock_guard lock(traceMutex);
  std::string line = begin("close", handle, ok, error);
  finish(line);
}

void control(intptr_t handle, uint32_t code, const void* in, uint32_t inLength, const void* out,
             uint32_t outLength, uint32_t returned, bool ok, uint32_t error) {
  std::lock_guard lock(traceMutex);
  std::string line = begin("control", handle, ok, error);
  char codeText[32];
  std::snprintf(codeText, sizeof codeText, ",\"code\":\"0x%08X\"", code);
  line += codeText;
  line += ",\"name\":\"";
  line += driver::requestName(code);
  line += "\",\"in\":";
  appendHex(line, in, in ? inLength : 0);
  line += ",\"in_len\":" + std::to_string(inLength);
  line += ",\"out_len\":" + std::to_string(outLength);
  line += ",\"returned\":" + std::to_string(returned);
  if (ok) {
    line += ",\"out\":";
    uint32_t shown = returned < outLength ? returned : outLength;
    appendHex(line, out, out ? shown : 0);
  }
  finish(line);
}

void transfer(const char* op, intptr_t handle, uint32_t length, uint32_t returned, bool ok,
              uint32_t error) {
  std::lock_guard lock(traceMutex);
  std::string line = begin(op, handle, ok, error);
  line += ",\"len\":" + std::to_string(length);
  line += ",\"returned\":" + std::to_string(returned);
  finish(line);
}

void cancel(intptr_t handle, bool ok, uint32_t error) {
  std::lock_guard lock(traceMutex);
  std::string line = begin("cancel", handle, ok, error);
  finish(line);
}

void timeline(int device, const char* input, double offset, double clockPpm) {
  std::lock_guard lock(traceMutex);
  std::string line = "{\"op\":\"timeline\",\"device\":" + std::to_string(device);
  line += ",\"ok\":true,\"error\":0,\"input\":";
  appendJsonString(line, input);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, ",\"offset\":%.17g,\"clock_ppm\":%.17g", offset, clockPpm);
  line += numbers;
  finish(line);
}

}  // namespace kpx::platform::trace
