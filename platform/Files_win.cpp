#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

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

int OpenRegularFile(const std::string& path, bool& notRegular, Links links) {
  notRegular = false;
  // With FILE_FLAG_OPEN_REPARSE_POINT a link (or junction) opens as itself, and is refused below.
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : DWORD{0});
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
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

namespace {

// Whether the object behind `handle` is owned by this process's user (or by the administrators'
// group, which owns what an elevated process of the user made).
bool OwnedByThisUser(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool own = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    std::string buffer(length, '\0');
    if (length > 0 && GetTokenInformation(token, TokenUser, buffer.data(), length, &length)) {
      own = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) != FALSE;
    }
    CloseHandle(token);
  }
  own = own || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != FALSE;
  LocalFree(descriptor);
  return own;
}

}  // namespace

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
  if (!OwnedByThisUser(handle)) {
    _close(fd);
    file.failure = OwnFile::Failure::kRefused;
    file.why = "it does not belong to this agent's user";
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
    why = "it cannot be looked at";
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = "it is a link or junction";
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    why = "it is not a folder";
  } else if (!OwnedByThisUser(folder)) {
    why = "it does not belong to this agent's user";
  }
  CloseHandle(folder);
  return why;
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
