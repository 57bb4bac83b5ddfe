#pragma once

#include <QIcon>

class QWidget;

namespace dralmin {

// The agent's icon, in every size drawn for it (16 to 128 pixels).
QIcon AgentIcon();

// What the agent's dialogs and message boxes look like to the window manager: a caption with a
// close button only (neither minimise nor maximise), and the agent's icon.
void DecorateDialog(QWidget& window);

}  // namespace dralmin
