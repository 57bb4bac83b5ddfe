#include <ostream>

#include "app/StopAgents.h"

namespace dralmin {

int StopAllAgents(std::ostream& err) {
  // Each user's agent is a systemd user unit or a desktop's autostart here.
  err << "stop-all is for Windows; here each user runs systemctl --user stop dralmin-tray-agent\n";
  return 2;
}

}  // namespace dralmin
