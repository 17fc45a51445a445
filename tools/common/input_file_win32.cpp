// Input files on Windows: the C runtime's descriptor, refused unless it is a
// disk file (a named pipe or a console is not). The name is opened through
// the wide calls, converted as the tools convert the names they write
// (win32_paths.h).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include "input_file.h"
#include "win32_paths.h"

namespace kpx::tools {

namespace {

// Empty for a regular file, else what `mode` is.
std::string notRegular(unsigned mode) {
  if ((mode & _S_IFMT) == _S_IFREG) return "";
  if ((mode & _S_IFMT) == _S_IFDIR) return "is a directory, not a file";
  if ((mode & _S_IFMT) == _S_IFIFO) return "is a named pipe, not a regular file";
  if ((mode & _S_IFMT) == _S_IFCHR) return "is a device, not a regular file";
  return "is not a regular file";
}

}  // namespace

InputFile::~InputFile() {
  if (descriptor_ >= 0) _close(descriptor_);
}

std::string InputFile::open(const std::string& path) {
  const std::string name = "\"" + path + "\" ";
  const std::wstring wide = win32::widePath(path);
  struct _stat64 status {};
  if (_wstat64(wide.c_str(), &status) == 0 && !notRegular(status.st_mode).empty())
    return name + notRegular(status.st_mode);
  const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    if (errno == ENOENT) return name + "does not exist";
    return "cannot open " + name + std::strerror(errno);
  }
  if (_fstat64(fd, &status) != 0 || !notRegular(status.st_mode).empty()) {
    _close(fd);
    return name + notRegular(status.st_mode);
  }
  descriptor_ = fd;
  size_ = static_cast<uint64_t>(status.st_size);
  return "";
}

int64_t readNext(int descriptor, void* buffer, size_t length) {
  const unsigned want = length > 0x40000000u ? 0x40000000u : static_cast<unsigned>(length);
  return _read(descriptor, buffer, want);
}

bool rewindToStart(int descriptor) {
  return _lseeki64(descriptor, 0, SEEK_SET) == 0;
}

int standardInputForBytes() {
  _setmode(0, _O_BINARY);
  return 0;
}

int64_t InputFile::readAt(uint64_t offset, void* buffer, size_t length) const {
  if (_lseeki64(descriptor_, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  const unsigned want = length > 0x40000000u ? 0x40000000u : static_cast<unsigned>(length);
  return _read(descriptor_, buffer, want);
}

}  // namespace kpx::tools
