#pragma once

// The program's own icon, for the window and the tray: the PNG sizes made from
// resources/assinador-nfse.svg at build time, built into the program. The tray shows the
// stopped variant (grey, with a red mark) whenever the server is not running.

#include <QIcon>

inline constexpr int kAppIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

inline QIcon AppIconNamed(const QString& AName) {
  QIcon icon;
  for (const int size : kAppIconSizes)
    icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(AName).arg(size), QSize(size, size));
  return icon;
}

inline QIcon AppIcon() { return AppIconNamed(QStringLiteral("assinador-nfse")); }
inline QIcon StoppedAppIcon() { return AppIconNamed(QStringLiteral("assinador-nfse-parado")); }
