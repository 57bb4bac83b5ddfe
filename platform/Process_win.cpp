#include <windows.h>

#include <algorithm>
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

struct PipedChild::Handles {
  HANDLE process = nullptr;
  HANDLE input = nullptr;   // this process's end of the child's standard input
  HANDLE output = nullptr;  // this process's end of the child's standard output
};

std::unique_ptr<PipedChild> PipedChild::Start(const std::string& path,
                                              const std::vector<std::string>& args,
                                              std::string& error) {
  const auto fail = [&error, &path](const char* what) {
    error = "cannot run " + path + ": " + what + ": " + SystemErrorText(GetLastError());
    return nullptr;
  };
  // The child's ends are made inheritable, then named as the only handles it inherits, so that a
  // handle another thread made inheritable meanwhile does not go with them.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE childInput = nullptr, input = nullptr, output = nullptr, childOutput = nullptr;
  if (!CreatePipe(&childInput, &input, &inheritable, 0)) return fail("CreatePipe");
  if (!CreatePipe(&output, &childOutput, &inheritable, 0)) {
    CloseHandle(childInput);
    CloseHandle(input);
    return fail("CreatePipe");
  }
  SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
  const auto closeAll = [&] {
    for (HANDLE handle : {childInput, input, output, childOutput}) CloseHandle(handle);
  };

  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> buffer(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
  HANDLE inherited[] = {childInput, childOutput};
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
    closeAll();
    return fail("InitializeProcThreadAttributeList");
  }
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 sizeof inherited, nullptr, nullptr)) {
    DeleteProcThreadAttributeList(attributes);
    closeAll();
    return fail("UpdateProcThreadAttribute");
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = childInput;
  startup.StartupInfo.hStdOutput = childOutput;
  startup.StartupInfo.hStdError = nullptr;
  startup.lpAttributeList = attributes;

  std::wstring commandLine = Quoted(Widen(path));
  for (const std::string& arg : args) commandLine += L" " + Quoted(Widen(arg));
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(Widen(path).c_str(), commandLine.data(), nullptr, nullptr,
                                      TRUE, EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup.StartupInfo, &info);
  const DWORD startError = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  // The child's ends are the child's alone now: its end of the output is closed with it, which
  // ends a read here.
  CloseHandle(childInput);
  CloseHandle(childOutput);
  if (!started) {
    CloseHandle(input);
    CloseHandle(output);
    SetLastError(startError);
    return fail("CreateProcess");
  }
  CloseHandle(info.hThread);
  std::unique_ptr<PipedChild> child(new PipedChild);
  child->handles_ = std::make_unique<Handles>(Handles{info.hProcess, input, output});
  return child;
}

PipedChild::~PipedChild() {
  Kill();
  WaitForSingleObject(handles_->process, INFINITE);
  CloseHandle(handles_->process);
  CloseHandle(handles_->input);
  CloseHandle(handles_->output);
}

std::size_t PipedChild::Read(void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
    if (!ReadFile(handles_->output, static_cast<char*>(data) + done, want, &got, nullptr) ||
        got == 0) {
      break;
    }
    done += got;
  }
  return done;
}

bool PipedChild::Write(const void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    DWORD wrote = 0;
    const DWORD give = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
    if (!WriteFile(handles_->input, static_cast<const char*>(data) + done, give, &wrote, nullptr)) {
      return false;
    }
    done += wrote;
  }
  return true;
}

void PipedChild::Kill() {
  TerminateProcess(handles_->process, 1);
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
