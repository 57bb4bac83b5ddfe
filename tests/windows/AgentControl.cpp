// A helper of agent_smoke.py, run under Wine (whose tasklist lists nothing):
//   dralmin-agent-control pids      one line "PID PARENT" for each running dralmin-tray-agent.exe
//   dralmin-agent-control stop PID  asks that process to end as its watchdog would, through its
//                                   named stop event; status 1 when it has none
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/StopEvent_win.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "pids") == 0) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "cannot list the processes (error %lu)\n", GetLastError());
      return 1;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, L"dralmin-tray-agent.exe") == 0) {
        std::printf("%lu %lu\n", entry.th32ProcessID, entry.th32ParentProcessID);
      }
    }
    CloseHandle(snapshot);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "stop") == 0) {
    const HANDLE stop = dralmin::OpenStopEvent(std::strtoul(argv[2], nullptr, 10));
    if (stop == nullptr) {
      std::fprintf(stderr, "process %s has no stop event\n", argv[2]);
      return 1;
    }
    SetEvent(stop);
    CloseHandle(stop);
    return 0;
  }
  std::fputs("usage: dralmin-agent-control pids | stop PID\n", stderr);
  return 2;
}
