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

int OpenRegularFile(const std::string& path, bool& notRegular) {
  notRegular = false;
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetErrnoFromSystem();
    return -1;
  }
  // A device name (CON, NUL, COM1, a pipe) opens as well, but is not a file on a disk.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    notRegular = true;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd;
}

int CreateFileBeside(const std::string& path, std::string& temporary) {
  // The process id and a counter make the name unique; _O_EXCL refuses a leftover of the same name.
  static LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(InterlockedIncrement(&counter));
    const int fd =
        _wopen(Widen(temporary).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
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

bool SyncFolder(const std::string&) {
  // NTFS journals its folder entries, and PutInPlace moves with MOVEFILE_WRITE_THROUGH: a file's
  // entry is on the disk once its data (_commit, FlushFileBuffers) and its move are.
  return true;
}

}  // namespace dralmin
