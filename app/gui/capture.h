#pragma once

// Pictures of the running program for its documentation (the hidden option --captura PASTA):
// a second after the start, the window shown in the state the start left (janela-iniciado.png)
// and the port dialog over it (dialogo-porta.png), then the file "iniciado" in the folder. Once
// a file "parar" appears there, the server is stopped through the window's own command, the
// window pictured again (janela-parado.png), the file "parado" written and the window closed,
// which ends the program. The pictures are the widgets' own rendering, whatever the display
// or window manager.
//
// GUI thread only; borrows the window, which must outlive it.

#include <QObject>
#include <QString>
#include <QTimer>

class QWidget;

class TCapture : public QObject {
  Q_OBJECT

 public:
  TCapture(QWidget& AForm, QString AFolder);

 private:
  void CaptureStarted();
  void WaitForStop();
  void Save(QWidget& AWidget, const QString& AName);
  void Mark(const QString& AName);
  void Trigger(const char* AAction);

  QWidget& FForm;
  QString FFolder;
  QTimer FPoll;
};
