#include "app/Agent.h"
#include "app/Roles.h"
#include "app/Watchdog.h"
#include "platform/Paths.h"

int main(int argc, char** argv) {
  const std::string program = dralmin::ProgramPath();
  return dralmin::IsAgentRun(argc, argv) ? dralmin::RunAgent(program)
                                         : dralmin::RunWatchdog(program);
}
