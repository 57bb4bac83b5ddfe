#pragma once

#include <windows.h>

namespace dralmin {

// A process is asked to end through a manual-reset event named after its process id, which the
// watchdog can open and set; console control events (Ctrl+C, closing the console) set it too.

// This process's stop event, created on first use; never closed.
HANDLE OwnStopEvent();

// The stop event of another process, in this logon session or another; null when that process
// has none.
HANDLE OpenStopEvent(unsigned long processId);

}  // namespace dralmin
