#pragma once

#include <iosfwd>

namespace dralmin {

// Ends every agent and watchdog of this machine, of every user, as their own stop request would
// (Windows: their named stop events), for the installer before it replaces or removes the program.
// One that has not ended after a while is ended by force, with a line on `err`. Returns the exit
// status of the command: 0 when none is left.
int StopAllAgents(std::ostream& err);

}  // namespace dralmin
