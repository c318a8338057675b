#pragma once

// One tray program per user session: the first start holds a lock file in the user's runtime
// folder and listens on a local socket beside it; a later start finds the lock taken, asks the
// running program through the socket to show its window, and ends without starting a second
// server. A lock left by a program that died is taken over.
//
// GUI thread only.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class TSingleInstance : public QObject {
  Q_OBJECT

 public:
  // AFolder holds the lock and the socket: the user's runtime folder when empty.
  explicit TSingleInstance(QString AFolder = {});

  // True when this is the first start: it holds the lock and takes the later starts' requests.
  // Throws Exception when it neither holds the lock nor can listen.
  bool Acquire();
  // Asks the running program to show its window; true when it took the request.
  bool AskRunningToShow() const;

 signals:
  // A later start asked for the window.
  void ShowRequested();

 private:
  void TakeRequest();

  QString FFolder;
  QLockFile FLock;
  QLocalServer FServer;
};
