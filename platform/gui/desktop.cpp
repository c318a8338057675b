#include "platform/gui/desktop.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>

namespace {

void CentreOnScreen(QWidget& AWindow) {
  AWindow.adjustSize();
  const QScreen* screen = AWindow.screen() ? AWindow.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = AWindow.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  AWindow.move(frame.topLeft());
}

}  // namespace

QString ShownText(const QString& AText) {
  QString shown = AText;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

void TQtDesktop::ShowWarning(QWidget* AParent, const QString& AText) {
  QMessageBox::warning(AParent, QApplication::applicationDisplayName(), ShownText(AText));
}

void TQtDesktop::ShowError(QWidget* AParent, const QString& AText) {
  QMessageBox::critical(AParent, QApplication::applicationDisplayName(), ShownText(AText));
}

bool TQtDesktop::InputQuery(QWidget* AParent, const QString& ACaption, const QString& APrompt,
                            QString& AValue) {
  const std::unique_ptr<QInputDialog> dialog = MakeInputDialog(AParent, ACaption, APrompt, AValue);
  if (dialog->exec() != QDialog::Accepted) return false;
  AValue = dialog->textValue();
  return true;
}

bool TQtDesktop::TrayAvailable() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TQtDesktop::SetTrayHint(QSystemTrayIcon& ATray, const QString& AHint) {
  ATray.setToolTip(ShownText(AHint));
}

std::unique_ptr<QInputDialog> MakeInputDialog(QWidget* AParent, const QString& ACaption,
                                              const QString& APrompt, const QString& AValue) {
  auto dialog = std::make_unique<QInputDialog>(AParent);
  dialog->setWindowTitle(ACaption);
  dialog->setInputMode(QInputDialog::TextInput);
  dialog->setLabelText(APrompt);
  dialog->setTextValue(AValue);
  dialog->setOkButtonText(QStringLiteral("OK"));
  dialog->setCancelButtonText(QStringLiteral("Cancelar"));
  if (auto* edit = dialog->findChild<QLineEdit*>()) {
    edit->setMaxLength(kInputQueryMaxLength);
    edit->selectAll();
    edit->setFocus();
  }
  CentreOnScreen(*dialog);
  return dialog;
}
