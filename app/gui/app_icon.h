#pragma once

// The program's own icon, for the window and the tray: the PNG sizes made from
// resources/assinador-nfse.svg at build time, built into the program.

#include <QIcon>

inline constexpr int kAppIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

inline QIcon AppIcon() {
  QIcon icon;
  for (const int size : kAppIconSizes)
    icon.addFile(QStringLiteral(":/icons/assinador-nfse-%1.png").arg(size), QSize(size, size));
  return icon;
}
