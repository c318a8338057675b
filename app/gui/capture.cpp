#include "app/gui/capture.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QTreeWidget>
#include <QWidget>
#include <cstdio>

#include "app/gui/form_messages.h"
#include "platform/gui/desktop.h"

namespace {

// Past the first status tick, so the window shows the server's state.
constexpr int kFirstPictureMs = 1500;
constexpr int kPollMs = 100;

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace

TCapture::TCapture(QWidget& AForm, QString AFolder) : FForm(AForm), FFolder(std::move(AFolder)) {
  QDir().mkpath(FFolder);
  QTimer::singleShot(kFirstPictureMs, this, &TCapture::CaptureStarted);
  FPoll.setInterval(kPollMs);
  connect(&FPoll, &QTimer::timeout, this, &TCapture::WaitForStop);
}

void TCapture::CaptureStarted() {
  Trigger("actShowForm");
  Settle();
  Save(FForm, QStringLiteral("janela-iniciado.png"));

  QString port;
  if (const auto* list = FForm.findChild<QTreeWidget*>(QStringLiteral("lstConfigServer"));
      list && list->topLevelItemCount() > 0)
    port = list->topLevelItem(0)->text(1);
  const auto dialog =
      MakeInputDialog(&FForm, form_messages::kConfigCaption, form_messages::kPortRow, port);
  dialog->show();
  Settle();
  Save(*dialog, QStringLiteral("dialogo-porta.png"));
  dialog->close();
  Mark(QStringLiteral("iniciado"));
  FPoll.start();
}

void TCapture::WaitForStop() {
  if (!QFile::exists(QDir(FFolder).filePath(QStringLiteral("parar")))) return;
  FPoll.stop();
  Trigger("actStopServer");
  Trigger("actStatusServer");
  Trigger("actShowForm");
  Settle();
  Save(FForm, QStringLiteral("janela-parado.png"));
  Mark(QStringLiteral("parado"));
  FForm.close();
}

void TCapture::Save(QWidget& AWidget, const QString& AName) {
  const QString file = QDir(FFolder).filePath(AName);
  if (!AWidget.grab().save(file, "PNG"))
    std::fprintf(stderr, "assinador-nfse: a imagem %s não pôde ser gravada\n",
                 file.toLocal8Bit().constData());
}

void TCapture::Mark(const QString& AName) {
  QFile mark(QDir(FFolder).filePath(AName));
  if (!mark.open(QIODevice::WriteOnly))
    std::fprintf(stderr, "assinador-nfse: %s não pôde ser criado\n",
                 mark.fileName().toLocal8Bit().constData());
}

void TCapture::Trigger(const char* AAction) {
  if (auto* action = FForm.findChild<QAction*>(QString::fromLatin1(AAction))) action->trigger();
}
