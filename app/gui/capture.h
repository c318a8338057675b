#pragma once

// Pictures of the running program for its documentation (--captura PASTA, an option of the
// test build assinador-nfse-captura only):
// a second after the start, the window shown in the state the start left (janela-iniciado.png)
// and the port dialog over it (dialogo-porta.png), then the file "iniciado" in the folder. Once
// a file "parar" appears there, the server is stopped through the window's own command, the
// window pictured again (janela-parado.png), the file "parado" written and the window closed,
// which ends the program. A start that failed leaves the window under the error box instead:
// both are pictured together (janela-falha.png), the box closed, the file "falha" written and
// the window closed. The pictures are the widgets' own rendering, whatever the display or
// window manager.
//
// GUI thread only. Made before the window, whose creation may hold the error box, and given the
// window once it is made (SetForm); it touches the window only while the program runs.

#include <QObject>
#include <QString>
#include <QTimer>

class QWidget;

class TCapture : public QObject {
  Q_OBJECT

 public:
  explicit TCapture(QString AFolder);
  void SetForm(QWidget& AForm);

 private:
  void CaptureStarted();
  void CaptureFailedStart(QWidget& ABox);
  void WaitForStop();
  void Save(QWidget& AWidget, const QString& AName);
  void Mark(const QString& AName);
  void Trigger(const char* AAction);

  QWidget* FForm = nullptr;
  bool FFailed = false;  // the failed start was pictured: the window closes once it is given
  QString FFolder;
  QTimer FPoll;
};
