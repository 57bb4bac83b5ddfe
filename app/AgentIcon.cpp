#include "app/AgentIcon.h"

#include <QWidget>

namespace dralmin {

QIcon AgentIcon() {
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64, 128}) {
    icon.addFile(QStringLiteral(":/icons/dralmin-tray-agent-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

void DecorateDialog(QWidget& window) {
  window.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowCloseButtonHint);
  window.setWindowIcon(AgentIcon());
}

}  // namespace dralmin
