#include <windows.h>

#include "platform/InstanceLock.h"
#include "platform/WideText.h"

namespace dralmin {

std::string InstanceLockPath(const std::string& name) {
  // No "Global\" or "Local\" prefix: the mutex lives in the namespace of the user's logon.
  return name;
}

InstanceLock::InstanceLock(const std::string& path) {
  // Created owned and released at once: the handle, kept open for the process's life, is what
  // keeps the mutex in existence; the system closes it however the process ends.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, Widen(path).c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    error_ = "cannot create the mutex " + path + ": " + SystemErrorText(error);
    return;
  }
  ReleaseMutex(mutex);
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    state_ = State::HeldByPeer;
    return;
  }
  mutex_ = mutex;
  state_ = State::Held;
}

InstanceLock::~InstanceLock() {
  if (mutex_ != nullptr) CloseHandle(static_cast<HANDLE>(mutex_));
}

}  // namespace dralmin
