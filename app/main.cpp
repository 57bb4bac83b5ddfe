#include <iostream>
#include <optional>

#include "app/Agent.h"
#include "app/Commands.h"
#include "app/Roles.h"
#include "app/Watchdog.h"
#include "platform/Paths.h"

int main(int argc, char** argv) {
  if (const std::optional<int> status = dralmin::RunCommand(argc, argv, std::cout, std::cerr)) {
    return *status;
  }
  const std::string program = dralmin::ProgramPath();
  return dralmin::IsAgentRun(argc, argv) ? dralmin::RunAgent(program)
                                         : dralmin::RunWatchdog(program);
}

// Only read by the thread sanitizer. Qt, GLib and libdbus are not built for it: the hand-overs
// between Qt's own threads (the bus connection's) and the user-interface thread are synchronised
// inside those libraries, where it cannot see it. Races with them on the stack are not reported.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6DBus.so.6\n"
         "called_from_lib:libdbus-1.so.3\n"
         "called_from_lib:libglib-2.0.so.0\n"
         "race:libQt6Core.so.6\n"
         "race:libQt6Gui.so.6\n"
         "race:libQt6DBus.so.6\n"
         "race:libdbus-1.so.3\n"
         "race:libglib-2.0.so.0\n"
         "race:QAtomicOps\n"
         // libsane and its backends are not built for it either; they may be asked to cancel
         // from another thread while a read runs, as SANE allows.
         "race:libsane\n";
}
