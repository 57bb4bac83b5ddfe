// The test helpers on Winsock. Socket handles are kept in the int fields of Helpers.h: their
// values are small, and -1 is INVALID_SOCKET.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/testkit/Helpers.h"
#include "tests/testkit/SocketIo.h"

namespace dralmin::test {
namespace {

SOCKET AsSocket(int fd) {
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

int AsInt(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}

// Winsock before the first socket of the process; it stays up until the process ends.
SOCKET OpenSocket() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool detail::Readable(int fd, std::chrono::milliseconds left) {
  WSAPOLLFD waiting{AsSocket(fd), POLLRDNORM, 0};
  return WSAPoll(&waiting, 1, static_cast<INT>(left.count())) > 0;
}

long detail::ReceiveSome(int fd, char* buffer, size_t size) {
  return recv(AsSocket(fd), buffer, static_cast<int>(size), 0);
}

uint16_t FreePort() {
  const SOCKET fd = OpenSocket();
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(fd);
  return ntohs(address.sin_port);
}

Socket::Socket(uint16_t port) {
  const SOCKET fd = OpenSocket();
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(fd);
    return;
  }
  BOOL one = TRUE;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  fd_ = AsInt(fd);
}

Socket::~Socket() {
  if (fd_ >= 0) closesocket(AsSocket(fd_));
}

bool Socket::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(AsSocket(fd_), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Socket::Reset() {
  const linger reset{1, 0};
  setsockopt(AsSocket(fd_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  closesocket(AsSocket(fd_));
  fd_ = -1;
}

HeldPort::HeldPort() {
  const SOCKET fd = OpenSocket();
  fd_ = AsInt(fd);
  // Exclusive, as a port held by another program is on Windows.
  BOOL one = TRUE;
  setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in address = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
    return;
  }
  int length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

HeldPort::~HeldPort() {
  if (fd_ >= 0) closesocket(AsSocket(fd_));
}

TempFolder::TempFolder() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (unsigned n = GetCurrentProcessId() * 1000 + GetTickCount() % 1000;; ++n) {
    const std::filesystem::path candidate = base / ("dralmin-test-" + std::to_string(n));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
    if (error) return;  // no temporary folder at all
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

PrivateUserProfile::PrivateUserProfile()
    : configHome_(folder_.path() + "\\AppData"), dataHome_(configHome_) {
  std::filesystem::create_directory(configHome_);  // the shell names only a folder that exists
  registryKey_ = "SOFTWARE\\DralminTest\\Profile-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(GetTickCount());
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, registryKey_.c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot create the private user key " << registryKey_;
    return;
  }
  // The shell reads the application data folder from the user key, which is now the private one.
  const std::wstring appData = std::filesystem::path(configHome_).wstring();
  RegSetKeyValueW(key, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                  L"AppData", REG_SZ, appData.c_str(),
                  static_cast<DWORD>((appData.size() + 1) * sizeof(wchar_t)));
  RegOverridePredefKey(HKEY_CURRENT_USER, key);  // keeps a handle of its own
  RegCloseKey(key);
}

PrivateUserProfile::~PrivateUserProfile() {
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, registryKey_.c_str());
}

std::string PrivateUserProfile::RawUserValue(const std::string& key,
                                             const std::string& name) const {
  std::string bytes(4096, '\0');
  DWORD size = static_cast<DWORD>(bytes.size());
  if (RegGetValueA(HKEY_CURRENT_USER, ("SOFTWARE\\" + key).c_str(), name.c_str(),
                   RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, bytes.data(), &size) != ERROR_SUCCESS ||
      size == 0) {
    return {};
  }
  bytes.resize(size - 1);
  return bytes;
}

void PrivateUserProfile::SetRawUserValue(const std::string& key, const std::string& name,
                                         const std::string& bytes) const {
  const std::string stored = bytes + '\0';
  RegSetKeyValueA(HKEY_CURRENT_USER, ("SOFTWARE\\" + key).c_str(), name.c_str(), REG_SZ,
                  stored.data(), static_cast<DWORD>(stored.size()));
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());  // an empty value removes the variable
}

}  // namespace dralmin::test
