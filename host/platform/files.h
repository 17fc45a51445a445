// The files the library reads and writes beside the boards: the rack
// description, the recordings a virtual board plays, a virtual DAC board's
// output file, the request trace and .bit files. Each is checked for what it
// is before it is used, so that a FIFO nobody writes, a device or a
// directory never hangs a program or passes for an empty file.
// files_posix.cpp and files_win32.cpp implement the host's part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kpx::platform {

// A file opened here; kNoFile when none.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

enum class FileKind { kMissing, kRegular, kDirectory, kFifo, kDevice, kOther };

// What `path` names now (the link's target), without opening it.
FileKind fileKind(const char* path);

// Opens a regular file for reading and gives its size. Anything else (a
// directory, a FIFO, a device) is refused without waiting on it. On failure
// returns kNoFile and sets `reason`, which names the file and why.
FileHandle openInputFile(const char* path, uint64_t& size, std::string& reason);

// Reads up to `length` bytes from `offset`: the bytes read (fewer at the end
// of the file), or -1 on a read error.
int64_t readFileAt(FileHandle file, uint64_t offset, void* buffer, size_t length);

// Opens `path` for appending, creating a regular file if there is none. A
// FIFO, a terminal or another device (/dev/stderr, /dev/null) is written as
// it is, but a FIFO that nobody has open for reading is refused at once
// rather than waited on. On failure returns kNoFile and sets `reason`.
FileHandle openOutputFile(const char* path, std::string& reason);

// Writes all of `data`; on failure returns false and sets `reason` (the
// system's words, without the file's name) and `diskFull` when there is no
// room left.
bool writeFile(FileHandle file, const void* data, size_t length, std::string& reason,
               bool& diskFull);

void closeFile(FileHandle file);

// Reads the whole of a regular file of at most `maxBytes` bytes into `text`.
// Returns the reason it cannot, naming the file.
std::optional<std::string> readWholeFile(const char* path, uint64_t maxBytes, std::string& text);

// "the FIFO \"path\"", ...: the file and what it is, for a refusal.
std::string describeNotRegular(const char* path, FileKind kind);

// `path` in double quotes, and "<verb> \"<path>\": <why>", as the reasons
// above name files.
std::string quotedPath(const char* path);
std::string pathFailure(const char* verb, const char* path, const std::string& why);

}  // namespace kpx::platform
