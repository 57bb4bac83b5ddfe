#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/AccessControl_win.h"
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
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
      break;
    default:
      errno = EIO;
  }
}

}  // namespace

int OpenRegularFile(const std::string& path, bool& notRegular, Links links) {
  notRegular = false;
  // With FILE_FLAG_OPEN_REPARSE_POINT a link (or junction) opens as itself, and is refused below.
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : DWORD{0});
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A folder cannot be opened as a file (access denied): it is not regular, as on POSIX.
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      notRegular = true;
      return -1;
    }
    SetLastError(error);
    SetErrnoFromSystem();
    return -1;
  }
  // A device name (CON, NUL, COM1, a pipe) opens as well, but is not a file on a disk.
  BY_HANDLE_FILE_INFORMATION information{};
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  const bool plain = disk && GetFileInformationByHandle(file, &information) &&
                     (information.dwFileAttributes &
                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (!plain) {
    CloseHandle(file);
    notRegular = true;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd;
}

int OpenOwnFile(const std::string& path, OwnFile& file) {
  bool notRegular = false;
  const int fd = OpenRegularFile(path, notRegular, Links::kRefuse);
  if (fd < 0) {
    if (notRegular) {
      file.failure = OwnFile::Failure::kRefused;
    } else {
      file.failure = errno == ENOENT ? OwnFile::Failure::kMissing : OwnFile::Failure::kUnreadable;
    }
    file.why = notRegular ? "it is a link or not a regular file"
                          : std::string("it cannot be opened: ") + std::strerror(errno);
    return -1;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  LARGE_INTEGER size{};
  if (std::string why = NotOwnRefusal(handle); !why.empty()) {
    _close(fd);
    file.failure = OwnFile::Failure::kRefused;
    file.why = std::move(why);
    return -1;
  }
  if (!GetFileSizeEx(handle, &size)) {
    _close(fd);
    file.failure = OwnFile::Failure::kUnreadable;
    file.why = "its size cannot be read";
    return -1;
  }
  file.size = static_cast<std::uint64_t>(size.QuadPart);
  return fd;
}

std::string PrivateFolderRefusal(const std::string& path) {
  const HANDLE folder =
      CreateFileW(Widen(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return "it cannot be opened (system error " + std::to_string(GetLastError()) + ")";
  }
  BY_HANDLE_FILE_INFORMATION information{};
  std::string why;
  if (!GetFileInformationByHandle(folder, &information)) {
    why = "it cannot be looked at (system error " + std::to_string(GetLastError()) + ")";
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = "it is a link or junction";
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    why = "it is not a folder";
  } else {
    why = NotOwnRefusal(folder);
  }
  CloseHandle(folder);
  return why;
}

int CreateFileBeside(const std::string& path, std::string& temporary) {
  // The process id and a counter make the name unique; CREATE_NEW refuses a leftover of the same
  // name. Made for this user alone, as mkostemp makes it 0600 on POSIX.
  static LONG counter = 0;
  PrivateSecurity security;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(InterlockedIncrement(&counter));
    const HANDLE file =
        CreateFileW(Widen(temporary).c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security.attributes(),
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      SetErrnoFromSystem();
      if (errno == EEXIST) continue;
      return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      CloseHandle(file);
      DeleteFileW(Widen(temporary).c_str());
      errno = EMFILE;
    }
    return fd;
  }
  errno = EEXIST;
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

bool RemoveFile(const std::string& path) {
  if (DeleteFileW(Widen(path).c_str())) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  SetErrnoFromSystem();
  return false;
}

bool SyncFolder(const std::string&) {
  // NTFS journals its folder entries, and PutInPlace moves with MOVEFILE_WRITE_THROUGH: a file's
  // entry is on the disk once its data (_commit, FlushFileBuffers) and its move are.
  return true;
}

}  // namespace dralmin
