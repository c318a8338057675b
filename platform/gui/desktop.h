#pragma once

// What the main window asks of the desktop beyond its own widgets: the message boxes, the
// single-line input dialog, and the notification area (is there one, and its hint). The window
// takes it as an interface so that tests answer the modal dialogs and watch the hint.
//
// GUI thread only. Texts may hold the program's lone CR between layers; the Qt side shows it as
// a line break.

#include <QString>
#include <memory>

class QInputDialog;
class QSystemTrayIcon;
class QWidget;

class IDesktop {
 public:
  virtual ~IDesktop() = default;

  // A warning box with an OK button.
  virtual void ShowWarning(QWidget* AParent, const QString& AText) = 0;
  // The application's standard error box, with an OK button.
  virtual void ShowError(QWidget* AParent, const QString& AText) = 0;
  // A modal single-line input dialog; true on OK, with AValue then holding the entered text.
  virtual bool InputQuery(QWidget* AParent, const QString& ACaption, const QString& APrompt,
                          QString& AValue) = 0;
  // Whether the session has a notification area to hold the tray icon.
  virtual bool TrayAvailable() const = 0;
  virtual void SetTrayHint(QSystemTrayIcon& ATray, const QString& AHint) = 0;
};

// The real desktop: Qt's message boxes, input dialog and system tray.
class TQtDesktop final : public IDesktop {
 public:
  void ShowWarning(QWidget* AParent, const QString& AText) override;
  void ShowError(QWidget* AParent, const QString& AText) override;
  bool InputQuery(QWidget* AParent, const QString& ACaption, const QString& APrompt,
                  QString& AValue) override;
  bool TrayAvailable() const override;
  void SetTrayHint(QSystemTrayIcon& ATray, const QString& AHint) override;
};

// The most characters an input dialog's edit box takes.
inline constexpr int kInputQueryMaxLength = 255;

// The input dialog InputQuery shows, not yet shown: ACaption as its title, APrompt above one
// edit box that holds AValue, OK (the default) and Cancel (also Escape). Centred on the screen.
std::unique_ptr<QInputDialog> MakeInputDialog(QWidget* AParent, const QString& ACaption,
                                              const QString& APrompt, const QString& AValue);

// AText with each lone CR as a line feed, as Qt's labels break lines.
QString ShownText(const QString& AText);
