#include <windows.h>
#include <tlhelp32.h>

#include <ostream>
#include <vector>

#include "app/StopAgents.h"
#include "platform/StopEvent_win.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

// Long enough for an agent to close its listeners and its watchdog to see it end.
constexpr DWORD kGraceMs = 10000;

std::vector<DWORD> OtherAgentProcesses() {
  std::vector<DWORD> ids;
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring name(self, length);
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != GetCurrentProcessId() && _wcsicmp(entry.szExeFile, name.c_str()) == 0) {
      ids.push_back(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return ids;
}

}  // namespace

int StopAllAgents(std::ostream& err) {
  std::vector<HANDLE> running;
  std::vector<DWORD> ids;
  for (DWORD id : OtherAgentProcesses()) {
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    if (process == nullptr) continue;  // ended meanwhile
    if (const HANDLE stop = OpenStopEvent(id)) {
      SetEvent(stop);
      CloseHandle(stop);
    }
    running.push_back(process);
    ids.push_back(id);
  }
  const DWORD deadline = GetTickCount() + kGraceMs;
  int status = 0;
  for (size_t i = 0; i < running.size(); ++i) {
    const DWORD now = GetTickCount();
    const DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
    if (WaitForSingleObject(running[i], left) != WAIT_OBJECT_0) {
      err << "process " << ids[i] << " did not end at its stop request; ended by force\n";
      if (!TerminateProcess(running[i], 1)) {
        err << "process " << ids[i] << " cannot be ended: " << SystemErrorText(GetLastError())
            << '\n';
        status = 1;
      }
    }
    CloseHandle(running[i]);
  }
  return status;
}

}  // namespace dralmin
