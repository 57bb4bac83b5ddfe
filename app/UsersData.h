#pragma once

#include <iosfwd>

namespace dralmin {

// Removes what the agent keeps for each user of this machine, for an uninstallation asked to
// leave nothing (Windows): the folder Dralmin of each profile's roaming and local application
// data (settings, printer settings, log), the certificate files in its Veltrana folder, and the
// installed certificate version of each user whose registry is loaded. Returns the exit status of
// the command: 0 when everything found was removed.
int RemoveUsersData(std::ostream& out, std::ostream& err);

}  // namespace dralmin
