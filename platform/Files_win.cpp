#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/Files.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

// errno for the last system error of the file calls below.
void SetErrnoFromSystem() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    default:
      errno = EIO;
  }
}

}  // namespace

int CreateFileBeside(const std::string& path, std::string& temporary) {
  // The process id and a counter make the name unique; _O_EXCL refuses a leftover of the same name.
  static LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(InterlockedIncrement(&counter));
    const int fd = _wopen(Widen(temporary).c_str(),
                          _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool SyncFile(int fd) {
  return _commit(fd) == 0;
}

bool PutInPlace(const std::string& from, const std::string& to) {
  // Unlike rename on POSIX, the C library's rename refuses an existing target here.
  if (MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  SetErrnoFromSystem();
  return false;
}

void RemoveFile(const std::string& path) {
  DeleteFileW(Widen(path).c_str());
}

}  // namespace dralmin
