#pragma once

// TfrmMainServer: the program's only window and its tray icon. It shows whether the server
// runs, lists the configuration (the port), and offers the operator the commands to start and
// stop the server, minimise the window and change the port; the tray icon shows a hint with the
// product, version and server state, restores the window on double click and has a menu to show
// the window or end the program. The tray icon is greyed with a red mark while the server is
// not running. Every command goes to the TServerController, which the window
// creates with itself and frees with itself.
//
// GUI thread only. The window owns its widgets, actions, timer, tray icon and the controller;
// the container and the desktop are borrowed and must outlive it. Handlers never let an
// exception out: what a command raises is shown in the standard error box.

#include <QString>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/container/server_container.h"
#include "app/controller/server_controller.h"
#include "platform/gui/desktop.h"
#include "server/utils/certificate_validity.h"
#include "server/utils/logger.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;

class TfrmMainServer : public QWidget {
  Q_OBJECT

 public:
  // FormCreate: the controller on AContainer's server (AConfigFile, or the INI file of
  // TConfigServerINI's places when empty; AJournal receives its records), the list refreshed and
  // the server started, the window minimised. A missing INI file, or a failed start (logged
  // first), is shown in the error box and leaves the window shown and stopped (in the first case
  // without a controller; the list then shows the port's row without a value, and the port
  // dialog makes the file).
  TfrmMainServer(TSC& AContainer, IDesktop& ADesktop, std::filesystem::path AConfigFile = {},
                 TLogFunction AJournal = {}, QWidget* AParent = nullptr);
  // FormDestroy: stops the server before the container can go.
  ~TfrmMainServer() override;

 signals:
  // The window was closed: the program ends.
  void Closed();

 public slots:
  void actStartServerExecute();
  void actStopServerExecute();
  void actStatusServerExecute();
  void actLoadConfigServerExecute();
  void actMinimizeFormExecute();
  void actShowFormExecute();
  void actCloseFormExecute();
  void updConfigServerExecute();
  // The pointer is over the tray icon. The tray has no such signal: the status timer and any
  // activation of the icon call it, so the hint is never more than a second old.
  void TrayIcon1MouseMove();

 protected:
  void closeEvent(QCloseEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  struct TAnchoredControl {
    QWidget* Control;
    QRect Design;  // at 96 DPI, in the designed client area
    bool Right;    // anchored right: grows with the width
    bool Top;      // anchored top: stays; otherwise it follows the bottom edge
    bool Bottom;   // anchored bottom
  };

  void FormCreate();
  void FormDestroy() noexcept;
  void RefreshTrayHint();
  // The tray's icon: the program's own while the server runs, the stopped variant otherwise.
  void ShowTrayState();
  // The store's certificates near their end: journal records once per run, the tray's line.
  // At the server's start and then hourly; the store's listing is cached, so it is cheap.
  void CheckCertificates();
  void EditConfigServer();
  // The parameter list from a reload of the configuration; a failure to write the journal
  // record leaves to the caller.
  void LoadConfigServerList();
  void CreateControls();
  void CreateActions();
  void CreateTrayIcon();
  // Runs a handler; an exception becomes the standard error box, as an uncaught one would.
  template <class THandler>
  void Guarded(THandler AHandler);
  int Scaled(int APixels) const;

  TSC& FContainer;
  IDesktop& FDesktop;
  std::filesystem::path FConfigFile;
  TLogFunction FJournal;
  std::unique_ptr<TServerController> FServerController;
  double FScale = 1.0;             // screen DPI / 96
  bool FNoTrayReported = false;    // the journal was told why the window stays in the task bar
  QString FTrayHint;               // as last handed to the tray
  bool FTrayShowsStarted = false;  // the tray's icon is the running server's
  TExpiryWatch FExpiryWatch;
  std::vector<TAnchoredControl> FAnchored;

  QWidget* pnlFundo01 = nullptr;
  QLabel* lblStatusServer = nullptr;
  QTreeWidget* lstConfigServer = nullptr;
  QPushButton* btnStartServer = nullptr;
  QPushButton* btnStopServer = nullptr;
  QPushButton* btnMinimizeForm = nullptr;
  QTimer* Timer1 = nullptr;
  QTimer* TimerCertificates = nullptr;
  QAction* actStartServer = nullptr;
  QAction* actStopServer = nullptr;
  QAction* actStatusServer = nullptr;
  QAction* actLoadConfigServer = nullptr;
  QAction* actMinimizeForm = nullptr;
  QAction* actShowForm = nullptr;
  QAction* actCloseForm = nullptr;
  QAction* updConfigServer = nullptr;
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QMenu* mnuConfig = nullptr;
};
