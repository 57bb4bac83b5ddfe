#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

#include "platform/Process.h"
#include "platform/StopEvent_win.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

// The handles of the children this process started, by id: the exit code is read through them.
std::mutex gChildrenMutex;
std::map<ProcessId, HANDLE> gChildren;

HANDLE ChildHandle(ProcessId child) {
  const std::lock_guard lock(gChildrenMutex);
  const auto found = gChildren.find(child);
  return found == gChildren.end() ? nullptr : found->second;
}

int Forget(ProcessId child, HANDLE process) {
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  const std::lock_guard lock(gChildrenMutex);
  gChildren.erase(child);
  return static_cast<int>(code);
}

// One command line argument quoted as the C runtime of the child splits it again.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(OwnStopEvent());
  return TRUE;
}

}  // namespace

std::optional<ProcessId> StartProcess(const std::string& path, const std::vector<std::string>& args,
                                      std::string* error) {
  std::wstring commandLine = Quoted(Widen(path));
  for (const std::string& arg : args) commandLine += L" " + Quoted(Widen(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // The caller's environment and current folder, no inherited handles, normal priority.
  if (!CreateProcessW(Widen(path).c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
    if (error != nullptr) *error = "cannot run " + path + ": " + SystemErrorText(GetLastError());
    return std::nullopt;
  }
  CloseHandle(info.hThread);
  const auto id = static_cast<ProcessId>(info.dwProcessId);
  const std::lock_guard lock(gChildrenMutex);
  gChildren[id] = info.hProcess;
  return id;
}

std::optional<int> TryReap(ProcessId child) {
  HANDLE process = ChildHandle(child);
  if (process == nullptr) return 1;  // not our child: treat as a failed run
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) return std::nullopt;
  return Forget(child, process);
}

int Reap(ProcessId child) {
  HANDLE process = ChildHandle(child);
  if (process == nullptr) return 1;
  WaitForSingleObject(process, INFINITE);
  return Forget(child, process);
}

void AskToEnd(ProcessId child) {
  if (HANDLE stop = OpenStopEvent(static_cast<unsigned long>(child)); stop != nullptr) {
    SetEvent(stop);
    CloseHandle(stop);
  }
}

ProcessSignals::ProcessSignals() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

ProcessSignals::~ProcessSignals() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

ProcessSignals::Event ProcessSignals::Wait(std::chrono::milliseconds timeout) {
  std::vector<HANDLE> handles{OwnStopEvent()};
  {
    const std::lock_guard lock(gChildrenMutex);
    for (const auto& [id, process] : gChildren) {
      if (handles.size() < MAXIMUM_WAIT_OBJECTS) handles.push_back(process);
    }
  }
  const DWORD limit = timeout.count() < 0 ? INFINITE : static_cast<DWORD>(timeout.count());
  const DWORD woken =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, limit);
  if (woken == WAIT_OBJECT_0) {
    ResetEvent(handles[0]);
    return Event::Stop;
  }
  if (woken > WAIT_OBJECT_0 && woken < WAIT_OBJECT_0 + handles.size()) return Event::ChildEnded;
  return Event::Timeout;
}

}  // namespace dralmin
