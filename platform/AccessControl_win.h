#pragma once

// Windows only: who owns the files and folders the agent keeps for itself and who else may use
// them, the access-list form of a POSIX owner and mode.

#include <windows.h>

#include <string>
#include <vector>

namespace dralmin {

// This process's user, as the access lists name it.
class ProcessUser {
 public:
  ProcessUser();
  // Nothing when the process's token could not be read.
  PSID sid() const;

 private:
  std::vector<DWORD> buffer_;  // a TOKEN_USER, aligned as one
};

// "S-1-5-21-..." for a log line.
std::string SidText(PSID sid);

// Access for this user, the system and the administrators only, inherited by what is made inside
// a folder: what a mode of 0700 (0600) is on POSIX. Given to a file or folder as it is made.
class PrivateSecurity {
 public:
  PrivateSecurity();
  ~PrivateSecurity();
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // Nothing when it could not be made: the object then takes what its folder passes on, which the
  // owner and access checks still judge.
  SECURITY_ATTRIBUTES* attributes();

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

// Why the file or folder open as `handle` (with READ_CONTROL) is not this user's alone; empty
// when it is. Its owner must be the user (or the administrators, who own what an elevated process
// of the user made), and its access list may let nobody but the user, the system and the
// administrators in.
std::string NotOwnRefusal(HANDLE handle);

}  // namespace dralmin
