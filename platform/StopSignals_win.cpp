#include "platform/StopSignals.h"

#include <string>

#include "platform/StopEvent_win.h"

namespace dralmin {
namespace {

std::wstring StopEventName(unsigned long processId) {
  return L"DralminTrayAgent_Stop_" + std::to_wstring(processId);
}

}  // namespace

HANDLE OwnStopEvent() {
  static const HANDLE event =
      CreateEventW(nullptr, TRUE, FALSE, StopEventName(GetCurrentProcessId()).c_str());
  return event;
}

HANDLE OpenStopEvent(unsigned long processId) {
  if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(processId).c_str())) {
    return event;
  }
  // A process of another logon session (the installer, running as the system, stopping the
  // users' agents) names the event in that session's namespace.
  DWORD session = 0;
  if (!ProcessIdToSessionId(processId, &session)) return nullptr;
  const std::wstring name =
      L"Session\\" + std::to_wstring(session) + L"\\" + StopEventName(processId);
  return OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
}

StopSignals::StopSignals() : event_(OwnStopEvent()) {}

StopSignals::~StopSignals() = default;

bool StopSignals::Consume() {
  if (event_ == nullptr || WaitForSingleObject(static_cast<HANDLE>(event_), 0) != WAIT_OBJECT_0) {
    return false;
  }
  ResetEvent(static_cast<HANDLE>(event_));
  return true;
}

}  // namespace dralmin
